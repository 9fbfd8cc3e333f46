// Analysed image: geometry per type and scaleFactor, grey conversion of
// every raw format, nearest down-scaling, slots, reset, formats without luma.

#include "AnalysedImage.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using calmora_test::texturedScene;
using calmora_test::toFrame;

TEST(AnalysedImageTest, GeometryFollowsTypeAndScaleFactor) {
    struct Case {
        uint32_t width, height;
        int scaleFactor, type;
        int expectedW, expectedH;
        double scaleX, scaleY;
    };
    const Case cases[] = {
        {640, 480, 1, 0, 256, 256, 2.5, 1.875},
        {1920, 1080, 1, 0, 512, 512, 3.75, 2.109375},
        {1920, 1080, 2, 0, 512, 512, 3.75, 2.109375},
        {1920, 1080, 3, 0, 256, 256, 7.5, 4.21875},
        {1920, 1080, 3, 2, 640, 360, 3.0, 3.0},
        {1281, 721, 2, 2, 640, 360, 2.0, 2.0},
        {1281, 721, 2, 1, 640, 360, 2.0, 2.0},
        {640, 480, 1, 2, 640, 480, 1.0, 1.0},
        {7, 7, 8, 2, 0, 0, 8.0, 8.0},  // narrower than scaleFactor
    };
    for (const Case& c : cases) {
        const AnalysisGeometry g =
            AnalysedImage::geometryFor(c.width, c.height, c.scaleFactor, c.type);
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) +
                                 " scale " + std::to_string(c.scaleFactor) + " type " +
                                 std::to_string(c.type);
        EXPECT_EQ(g.size, cv::Size(c.expectedW, c.expectedH)) << name;
        EXPECT_DOUBLE_EQ(g.scaleX, c.scaleX) << name;
        EXPECT_DOUBLE_EQ(g.scaleY, c.scaleY) << name;
    }
}

TEST(AnalysedImageTest, MeasurableFromTwentyOnePixels) {
    EXPECT_TRUE(AnalysedImage::measurable({cv::Size(21, 21)}));
    EXPECT_FALSE(AnalysedImage::measurable({cv::Size(20, 400)}));
    EXPECT_FALSE(AnalysedImage::measurable({cv::Size(400, 20)}));
    EXPECT_FALSE(AnalysedImage::measurable({cv::Size(0, 0)}));
}

TEST(AnalysedImageTest, AdoptRecreatesOnlyOnSizeChange) {
    AnalysedImage image;
    EXPECT_EQ(image.size(), cv::Size(0, 0));
    EXPECT_TRUE(image.adopt(AnalysedImage::geometryFor(1920, 1080, 3, 2)));
    EXPECT_EQ(image.size(), cv::Size(640, 360));
    EXPECT_EQ(cv::countNonZero(image.grey(0)), 0);  // zero-filled
    const uchar* before = image.grey(0).data;
    // type 2 -> 1: same size, nothing re-created
    EXPECT_FALSE(image.adopt(AnalysedImage::geometryFor(1920, 1080, 3, 1)));
    EXPECT_EQ(image.grey(0).data, before);
    // type 2 -> 0 with a 512 x 512 frame: the sizes match, nothing re-created
    AnalysedImage square;
    EXPECT_TRUE(square.adopt(AnalysedImage::geometryFor(512, 512, 1, 2)));
    EXPECT_FALSE(square.adopt(AnalysedImage::geometryFor(512, 512, 1, 0)));
    // scales still follow every frame (type 0, another frame size, same N)
    AnalysedImage fft;
    EXPECT_TRUE(fft.adopt(AnalysedImage::geometryFor(640, 480, 1, 0)));
    EXPECT_FALSE(fft.adopt(AnalysedImage::geometryFor(320, 240, 1, 0)));
    EXPECT_DOUBLE_EQ(fft.scaleX(), 1.25);
}

TEST(AnalysedImageTest, EveryRawFormatGivesTheSceneLuma) {
    // The luma of each frame, taken by the test support, down-scaled by
    // nearest neighbours: the analysed image must match it exactly.
    const cv::Mat scene = texturedScene(64, 48, 3);
    const uint32_t formats[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                                fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12};
    for (const uint32_t format : formats) {
        for (const int scaleFactor : {1, 2}) {
            const video::Frame frame = toFrame(scene, format);
            AnalysedImage image;
            image.adopt(AnalysedImage::geometryFor(64, 48, scaleFactor, 2));
            ASSERT_TRUE(image.convert(frame));
            EXPECT_EQ(image.writeIndex(), 1);
            const cv::Mat& out = image.pair().current;
            cv::Mat expected;
            cv::resize(calmora_test::lumaOf(frame), expected, out.size(), 0, 0, cv::INTER_NEAREST);
            EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0)
                << "format " << format << " scale " << scaleFactor;
        }
    }
}

TEST(AnalysedImageTest, GrayAtFullSizeIsCopiedByteForByte) {
    const video::Frame frame = toFrame(texturedScene(100, 60, 5), fcc::GRAY);
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(100, 60, 1, 2));
    ASSERT_TRUE(image.convert(frame));
    const cv::Mat source(60, 100, CV_8UC1, frame.data);
    EXPECT_EQ(cv::norm(image.pair().current, source, cv::NORM_INF), 0.0);
}

TEST(AnalysedImageTest, DownScalingTakesNearestPixels) {
    // The analysed pixel (j, i) of a 640 x 480 frame in the 256 square is
    // frame pixel (floor(2.5 j), floor(1.875 i)).
    cv::Mat grey(480, 640, CV_8UC1);
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            grey.at<uchar>(y, x) = static_cast<uchar>((x * 7 + y * 13) % 251);
        }
    }
    const video::Frame frame(640, 480, fcc::GRAY, 640 * 480, grey.data);
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(640, 480, 1, 0));
    ASSERT_TRUE(image.convert(frame));
    const cv::Mat& out = image.pair().current;
    for (const cv::Point p :
         {cv::Point(0, 0), cv::Point(5, 3), cv::Point(255, 255), cv::Point(101, 77)}) {
        const int fx = p.x * 5 / 2;
        const int fy = p.y * 15 / 8;
        EXPECT_EQ(out.at<uchar>(p), grey.at<uchar>(fy, fx)) << p;
    }
}

TEST(AnalysedImageTest, SlotsAlternateAndResetFillsMidGrey) {
    const video::Frame a = toFrame(texturedScene(64, 48, 1), fcc::GRAY);
    const video::Frame b = toFrame(texturedScene(64, 48, 2), fcc::GRAY);
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(64, 48, 1, 2));
    image.convert(a);
    image.convert(b);
    EXPECT_EQ(image.writeIndex(), 0);
    const AnalysedPair pair = image.pair();
    EXPECT_EQ(pair.currentSlot, 1);
    EXPECT_EQ(cv::norm(pair.previous, cv::Mat(48, 64, CV_8UC1, a.data), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(pair.current, cv::Mat(48, 64, CV_8UC1, b.data), cv::NORM_INF), 0.0);

    image.convert(a);
    image.reset();
    EXPECT_EQ(image.writeIndex(), 0);
    for (int slot : {0, 1}) {
        EXPECT_EQ(cv::countNonZero(image.grey(slot) != 128), 0) << "slot " << slot;
    }
}

TEST(AnalysedImageTest, FramesWithoutLumaLeaveImagesUntouched) {
    const video::Frame gray = toFrame(texturedScene(64, 48, 1), fcc::GRAY);
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(64, 48, 1, 2));
    image.convert(gray);
    const cv::Mat before0 = image.grey(0).clone();
    const cv::Mat before1 = image.grey(1).clone();

    video::Frame jpeg(64, 48, fcc::JPEG);
    std::fill(jpeg.data, jpeg.data + jpeg.size, uint8_t{200});
    video::Frame unknown = toFrame(texturedScene(64, 48, 9), fcc::GRAY);
    unknown.fourcc = video::makeFourcc("XXXX");
    video::Frame shortGray = toFrame(texturedScene(64, 48, 9), fcc::GRAY);
    shortGray.size = 100;  // fewer valid bytes than the picture needs
    for (const video::Frame* frame : {&jpeg, &unknown, &shortGray}) {
        EXPECT_FALSE(image.convert(*frame));
        EXPECT_EQ(image.writeIndex(), 1);
        EXPECT_EQ(cv::norm(image.grey(0), before0, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(image.grey(1), before1, cv::NORM_INF), 0.0);
    }
}

}  // namespace
}  // namespace orl::calmora
