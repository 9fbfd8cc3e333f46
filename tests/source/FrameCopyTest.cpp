#include "FrameCopy.h"

#include <Synthetic.h>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <vector>

namespace orl::video {
namespace {

// The frame's bytes as a BGR picture, for comparison.
cv::Mat pictureOf(const Frame& frame) {
    return calmora_test::bgrOf(frame);
}

TEST(FrameCopy, ConvertsEveryImageKindToBgr) {
    const cv::Mat bgr = calmora_test::texturedScene(34, 22, 5);  // odd-ish sizes
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    cv::Mat wide;
    bgr.convertTo(wide, CV_16U, 257.0);
    cv::Mat unit;
    bgr.convertTo(unit, CV_32F, 1.0 / 255.0);
    cv::Mat greyAsBgr;
    cv::cvtColor(grey, greyAsBgr, cv::COLOR_GRAY2BGR);
    // a region of a larger image: rows are padded
    const cv::Mat big = calmora_test::texturedScene(80, 60, 6);
    const cv::Mat region = big(cv::Rect(3, 5, 34, 22));

    struct Case {
        const char* name;
        cv::Mat image;
        cv::Mat expected;
        double tolerance;
    };
    const std::vector<Case> cases{
        {"bgr", bgr, bgr, 0.0},    {"grey", grey, greyAsBgr, 0.0},
        {"bgra", bgra, bgr, 0.0},  {"16-bit", wide, bgr, 0.0},
        {"float", unit, bgr, 1.0}, {"region", region, region.clone(), 0.0},
    };
    for (const Case& c : cases) {
        Frame frame;
        cv::Mat scratch;
        ASSERT_TRUE(copyToBgrFrame(c.image, scratch, frame)) << c.name;
        EXPECT_EQ(frame.width, 34u) << c.name;
        EXPECT_EQ(frame.height, 22u) << c.name;
        EXPECT_EQ(frame.fourcc, fourcc::BGR3) << c.name;
        EXPECT_EQ(frame.size, 34u * 22u * 3u) << c.name;
        EXPECT_LE(cv::norm(pictureOf(frame), c.expected, cv::NORM_INF), c.tolerance) << c.name;
    }
}

TEST(FrameCopy, RecreatesMismatchedFramesKeepingSourceId) {
    const cv::Mat bgr = calmora_test::texturedScene(40, 30, 9);
    struct Case {
        const char* name;
        Frame frame;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", Frame()});
    cases.push_back({"smaller", Frame(20, 10, fourcc::BGR3)});
    cases.push_back({"larger", Frame(400, 300, fourcc::BGR3)});
    cases.push_back({"transposed", Frame(30, 40, fourcc::BGR3)});
    cases.push_back({"other format, same bytes", Frame(40, 30, fourcc::YUV3)});
    cases.push_back({"nv12", Frame(40, 30, fourcc::NV12)});
    cases.push_back({"compressed", Frame(40, 30, fourcc::JPEG)});
    for (Case& c : cases) {
        c.frame.sourceId = 4711;
        cv::Mat scratch;
        ASSERT_TRUE(copyToBgrFrame(bgr, scratch, c.frame)) << c.name;
        EXPECT_EQ(c.frame.sourceId, 4711) << c.name;
        EXPECT_EQ(c.frame.width, 40u) << c.name;
        EXPECT_EQ(c.frame.height, 30u) << c.name;
        EXPECT_EQ(c.frame.fourcc, fourcc::BGR3) << c.name;
        EXPECT_EQ(c.frame.size, 3600u) << c.name;
        EXPECT_EQ(cv::norm(pictureOf(c.frame), bgr, cv::NORM_INF), 0.0) << c.name;
    }
}

TEST(FrameCopy, ReusesAMatchingBuffer) {
    Frame frame(40, 30, fourcc::BGR3);
    const uint8_t* buffer = frame.data;
    cv::Mat scratch;
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        const cv::Mat bgr = calmora_test::texturedScene(40, 30, seed);
        ASSERT_TRUE(copyToBgrFrame(bgr, scratch, frame));
        EXPECT_EQ(frame.data, buffer);
        EXPECT_EQ(cv::norm(pictureOf(frame), bgr, cv::NORM_INF), 0.0);
    }
}

TEST(FrameCopy, RefusesWithoutTouchingTheFrame) {
    Frame frame(8, 4, fourcc::BGR3);
    std::memset(frame.data, 0xAB, frame.size);
    frame.sourceId = 3;
    const std::vector<cv::Mat> refused{
        cv::Mat(),                                    // nothing decoded
        cv::Mat(4, 8, CV_8UC2, cv::Scalar(1, 2)),     // two channels
        cv::Mat(std::vector<int>{2, 3, 4}, CV_8UC3),  // not a picture
    };
    for (const cv::Mat& image : refused) {
        cv::Mat scratch;
        EXPECT_FALSE(copyToBgrFrame(image, scratch, frame));
        EXPECT_EQ(frame.width, 8u);
        EXPECT_EQ(frame.height, 4u);
        EXPECT_EQ(frame.size, 96u);
        EXPECT_EQ(frame.sourceId, 3);
        for (uint32_t i = 0; i < frame.size; ++i) {
            ASSERT_EQ(frame.data[i], 0xAB) << "byte " << i;
        }
    }
}

}  // namespace
}  // namespace orl::video
