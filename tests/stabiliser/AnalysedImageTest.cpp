// Analysed image: geometry, the luma of every raw format, the two slots, reset.
#include "AnalysedImage.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using namespace calmora_test;

const auto same = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b) == 0.0; };

TEST(AnalysedImageTest, GeometryAndTheLumaOfEveryRawFormat) {
    // frame width, height, scaleFactor, type; analysis size, scales, measurable
    const double cases[][9] = {
        {640, 480, 1, 0, 256, 256, 2.5, 1.875, 1}, {1024, 1024, 2, 0, 512, 512, 2, 2, 1},
        {1281, 721, 2, 1, 640, 360, 2, 2, 1},      {43, 43, 2, 2, 21, 21, 2, 2, 1},
        {42, 40, 2, 2, 21, 20, 2, 2, 0},           {40, 42, 2, 1, 20, 21, 2, 2, 0}};
    for (const auto& c : cases) {
        const AnalysisGeometry g = AnalysedImage::geometryFor(c[0], c[1], c[2], c[3]);
        const std::vector<double> got{double(g.size.width), double(g.size.height), g.scaleX,
                                      g.scaleY, double(AnalysedImage::measurable(g))};
        EXPECT_EQ(got, std::vector<double>(c + 4, c + 9)) << c[0] << "x" << c[1] << " " << c[2];
    }
    // every raw format: analysed (x, y) of W x H is luma (x * 640 / W, y * 480 / H), floored
    const cv::Mat scene = texturedScene(640, 480, 3);
    for (const uint32_t format : {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV, fcc::UYVY,
                                  fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12}) {
        const video::Frame frame = toFrame(scene, format);
        const cv::Mat luma = lumaOf(frame);
        for (const auto& [scaleFactor, type] : {std::pair{1, 2}, {2, 1}, {1, 0}}) {
            AnalysedImage image;
            image.adopt(AnalysedImage::geometryFor(640, 480, scaleFactor, type));
            ASSERT_TRUE(image.convert(frame));
            const cv::Mat& out = image.pair().current;
            cv::Mat expected(out.size(), CV_8UC1);
            expected.forEach<uchar>([&](uchar& v, const int* p) {
                v = luma.at<uchar>(p[0] * 480 / out.rows, p[1] * 640 / out.cols);
            });
            EXPECT_TRUE(same(out, expected)) << format << " " << scaleFactor << " " << type;
        }
    }
}

TEST(AnalysedImageTest, SlotsAlternateOverReadableFramesUntilReset) {
    video::Frame a = toFrame(texturedScene(64, 48, 1), fcc::GRAY), jpeg(64, 48, fcc::JPEG),
                 b = toFrame(texturedScene(64, 48, 2), fcc::BGR3), unknown = a, shortA = a;
    unknown.fourcc = video::makeFourcc("XXXX");
    shortA.size -= 1;  // one byte short of the picture
    AnalysedImage image;
    image.adopt(AnalysedImage::geometryFor(64, 48, 1, 2));
    // lumas of the frames read, oldest first, after the zeros of a new image
    std::vector<cv::Mat> read{cv::Mat::zeros(48, 64, CV_8UC1)};
    for (const video::Frame* frame : {&a, &b, &jpeg, &unknown, &shortA, &a}) {
        const bool readable = frame == &a || frame == &b;
        EXPECT_EQ(image.convert(*frame), readable);
        if (readable) {
            read.push_back(lumaOf(*frame));
        }
        const AnalysedPair pair = image.pair();
        EXPECT_TRUE(same(pair.previous, read[read.size() - 2]) && same(pair.current, read.back()));
        EXPECT_EQ(pair.current.data, image.grey(pair.currentSlot).data);
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
