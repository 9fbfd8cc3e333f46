// Analysed image: geometry per type and scaleFactor, the luma of every raw
// format taken by nearest neighbours, the two slots, frames whose picture
// cannot be read, and reset.

#include "AnalysedImage.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using calmora_test::lumaOf;
using calmora_test::texturedScene;
using calmora_test::toFrame;

bool same(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_INF) == 0.0;
}

TEST(AnalysedImageTest, GeometryFollowsTypeAndScaleFactor) {
    // frame size, scaleFactor, type, analysis size, scales, measurable
    using Case = std::tuple<int, int, int, int, cv::Size, double, double, bool>;
    const Case cases[] = {
        {640, 480, 1, 0, {256, 256}, 2.5, 1.875, true},
        {1024, 1024, 2, 0, {512, 512}, 2.0, 2.0, true},
        {1022, 1022, 2, 0, {256, 256}, 3.9921875, 3.9921875, true},
        {1281, 721, 2, 1, {640, 360}, 2.0, 2.0, true},
        {43, 43, 2, 2, {21, 21}, 2.0, 2.0, true},
        {42, 40, 2, 2, {21, 20}, 2.0, 2.0, false},
        {40, 42, 2, 1, {20, 21}, 2.0, 2.0, false},
        {7, 7, 8, 2, {0, 0}, 8.0, 8.0, false},
    };
    for (const auto& [width, height, scaleFactor, type, size, scaleX, scaleY, measurable] : cases) {
        SCOPED_TRACE(testing::Message()
                     << width << "x" << height << " scale " << scaleFactor << " type " << type);
        const AnalysisGeometry g = AnalysedImage::geometryFor(width, height, scaleFactor, type);
        EXPECT_EQ(g.size, size);
        EXPECT_DOUBLE_EQ(g.scaleX, scaleX);
        EXPECT_DOUBLE_EQ(g.scaleY, scaleY);
        EXPECT_EQ(AnalysedImage::measurable(g), measurable);
    }
}

TEST(AnalysedImageTest, EveryRawFormatGivesItsLumaByNearestNeighbours) {
    // analysed pixel (x, y) of a W x H analysis is luma pixel
    // (floor(x * 640 / W), floor(y * 480 / H))
    const cv::Mat scene = texturedScene(640, 480, 3);
    for (const uint32_t format : {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV, fcc::UYVY,
                                  fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12}) {
        const video::Frame frame = toFrame(scene, format);
        const cv::Mat luma = lumaOf(frame);
        for (const auto& [scaleFactor, type] :
             {std::pair{1, 2}, std::pair{2, 1}, std::pair{1, 0}}) {
            AnalysedImage image;
            image.adopt(AnalysedImage::geometryFor(640, 480, scaleFactor, type));
            ASSERT_TRUE(image.convert(frame));
            const cv::Mat& out = image.pair().current;
            cv::Mat expected(out.size(), CV_8UC1);
            expected.forEach<uchar>([&](uchar& v, const int* p) {
                v = luma.at<uchar>(p[0] * 480 / out.rows, p[1] * 640 / out.cols);
            });
            EXPECT_TRUE(same(out, expected))
                << "format " << format << " scale " << scaleFactor << " type " << type;
        }
    }
}

TEST(AnalysedImageTest, SlotsAlternateOverReadableFramesUntilReset) {
    video::Frame a = toFrame(texturedScene(64, 48, 1), fcc::GRAY);
    video::Frame b = toFrame(texturedScene(64, 48, 2), fcc::BGR3);
    video::Frame c = toFrame(texturedScene(64, 48, 3), fcc::GRAY);
    video::Frame unknown = c;
    unknown.fourcc = video::makeFourcc("XXXX");
    video::Frame shortC = c;
    shortC.size -= 1;  // one byte short of the picture
    video::Frame jpeg(64, 48, fcc::JPEG);
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(64, 48, 1, 2));
    std::vector<cv::Mat> read;  // lumas of the frames read, oldest first
    for (const video::Frame* frame : {&a, &b, &jpeg, &unknown, &shortC, &c}) {
        const bool readable = frame != &jpeg && frame != &unknown && frame != &shortC;
        EXPECT_EQ(image.convert(*frame), readable);
        if (readable) {
            read.push_back(lumaOf(*frame));
        }
        if (read.size() >= 2) {
            const AnalysedPair pair = image.pair();
            EXPECT_TRUE(same(pair.previous, read[read.size() - 2])) << read.size();
            EXPECT_TRUE(same(pair.current, read.back())) << read.size();
            EXPECT_EQ(pair.current.data, image.grey(pair.currentSlot).data);
        }
    }
    // the same analysis size keeps the images; the scales follow every frame
    EXPECT_FALSE(image.adopt({cv::Size(64, 48), 1.5, 2.5}));
    EXPECT_TRUE(same(image.pair().current, read.back()));
    EXPECT_DOUBLE_EQ(image.pair().scaleY, 2.5);
    image.reset();
    EXPECT_EQ(image.writeIndex(), 0);
    EXPECT_EQ(cv::countNonZero(image.grey(0) != 128) + cv::countNonZero(image.grey(1) != 128), 0);
}

}  // namespace
}  // namespace orl::calmora
