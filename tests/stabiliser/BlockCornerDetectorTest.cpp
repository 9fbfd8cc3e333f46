// Block-corner detector on crafted cells: the arcs, the threshold, one point per region.
#include "BlockCornerDetector.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

namespace orl::calmora {
namespace {

using Cells = std::vector<cv::Vec3i>;  // {row, col, sum of the nine pixels}

// Points of a `size` picture of `background` pixels with `cells` painted.
std::vector<cv::Point2f> detect(BlockCornerDetector& detector, cv::Size size, int background,
                                const Cells& cells) {
    cv::Mat image(size, CV_8UC1, cv::Scalar(background));
    for (const cv::Vec3i& c : cells) {
        for (int i = 0; i < 9; ++i) {
            image.at<uchar>(3 * c[0] + i / 3, 3 * c[1] + i % 3) = uchar(c[2] / 9 + (i < c[2] % 9));
        }
    }
    std::vector<cv::Point2f> points;
    detector.detect(image, points);
    return points;
}

TEST(BlockCornerDetectorTest, ArcsThresholdAndOnePointPerRegion) {
    // Cell sums TL TM TR / ML C MR / BL BM BR of one window on cells of 900, and the response
    // |arc sum / 5 - C| of the deciding pair test's arc, at the window's top-left cell.
    const std::pair<const char*, std::array<int, 10>> cases[] = {
        {"1, arc via TL", {1620, 1710, 1800, 1530, 900, 900, 1440, 900, 900, 720}},
        {"1 else, darker", {1350, 1350, 363, 1350, 1350, 450, 720, 630, 540, 810}},
        {"2, arc via BL", {1800, 900, 900, 1710, 900, 900, 1620, 1530, 1440, 720}},
        {"2 else, via TR", {1800, 1710, 1620, 900, 900, 1530, 900, 900, 1440, 720}},
        {"3, arc via MR", {900, 1440, 1530, 900, 900, 1620, 900, 1800, 1710, 720}},
        {"3 else, via ML", {1530, 1440, 900, 1620, 900, 900, 1710, 1800, 900, 720}},
        {"4, arc via BM", {900, 900, 900, 1440, 900, 1800, 1530, 1620, 1710, 720}},
        {"4 else, via TM", {1530, 1620, 1710, 1440, 900, 1800, 900, 900, 900, 720}},
        {"1 fails, 2 not tried", {1800, 900, 1800, 1800, 900, 900, 1800, 1800, 1800, 0}},
        {"1 else fails at BM", {900, 900, 1800, 900, 900, 1800, 1800, 900, 1800, 0}},
        {"TL 45 brighter", {945, 1000, 1000, 1000, 900, 900, 1000, 900, 900, 0}},
        {"TL 45 darker", {855, 800, 800, 800, 900, 900, 800, 900, 900, 0}},
        {"all 46 brighter", {946, 946, 946, 946, 900, 946, 946, 946, 946, 46}},
        {"all 46 darker", {854, 854, 854, 854, 900, 854, 854, 854, 854, 46}},
    };
    BlockCornerDetector detector;
    for (const auto& [name, sums] : cases) {
        Cells window;
        for (int i = 0; i < 9; ++i) {
            window.push_back({11 + i / 3, 11 + i % 3, sums[i]});
        }
        detect(detector, {90, 90}, 100, window);
        EXPECT_EQ(detector.response(11, 11), sums[9]) << "test " << name;
    }
    // The strongest corner of a region is its point: a lone bright cell's is 3 pixels up and
    // left of its centre pixel (at its window's top-left cell).
    const std::tuple<const char*, cv::Size, Cells, std::vector<cv::Point2f>> regions[] = {
        {"first of equal in row order", {640, 480}, {{8, 4, 1800}, {5, 20, 1800}}, {{58, 13}}},
        {"the stronger one", {640, 480}, {{5, 5, 1350}, {15, 20, 2250}}, {{58, 43}}},
        {"one per region", {640, 480}, {{5, 5, 1800}, {5, 40, 1800}}, {{13, 13}, {118, 13}}},
        {"beyond the last regions", {21, 21}, {{5, 2, 1800}, {2, 5, 1800}}, {}},
        {"smallest size", {21, 21}, {{2, 2, 1800}}, {{4, 4}}},
    };
    for (const auto& [name, size, cells, points] : regions) {
        EXPECT_EQ(detect(detector, size, 60, cells), points) << name;
    }
    // a bright cell in every third row and column: every region has corners
    cv::Mat tile(9, 9, CV_8UC1, cv::Scalar(60));
    tile(cv::Rect(3, 3, 3, 3)).setTo(200);
    for (const auto& [w, h, count] :
         {std::tuple{640, 480, 42u}, {1280, 720, 42u}, {320, 240, 36u}}) {
        std::vector<cv::Point2f> points;
        detector.detect(cv::repeat(tile, h / 9 + 1, w / 9 + 1)(cv::Rect(0, 0, w, h)).clone(),
                        points);
        EXPECT_EQ(points.size(), count) << w;
    }
}

}  // namespace
}  // namespace orl::calmora
