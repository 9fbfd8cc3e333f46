// Block-corner detector on crafted cell patterns with known responses and
// positions, region selection and counts, and a textured scene.

#include "BlockCornerDetector.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <set>
#include <vector>

namespace orl::calmora {
namespace {

constexpr uchar BACKGROUND = 60;
constexpr uchar BRIGHT = 200;

// Paints grid cell (row, col): the 3 x 3 pixels from (3 col, 3 row).
void paintCell(cv::Mat& image, int row, int col, uchar value) {
    image(cv::Rect(3 * col, 3 * row, 3, 3)).setTo(value);
}

std::vector<cv::Point2f> detect(const cv::Mat& image) {
    BlockCornerDetector detector;
    std::vector<cv::Point2f> points;
    detector.detect(image, points);
    return points;
}

TEST(BlockCornerDetectorTest, UniformAndTinyImagesGiveNoPoints) {
    for (const cv::Size size :
         {cv::Size(640, 480), cv::Size(20, 300), cv::Size(300, 20), cv::Size(21, 21)}) {
        cv::Mat image(size, CV_8UC1, cv::Scalar(BACKGROUND));
        if (size.width < 21 || size.height < 21) {
            paintCell(image, 2, 2, BRIGHT);  // would be a corner on a larger image
        }
        EXPECT_TRUE(detect(image).empty()) << size;
    }
}

TEST(BlockCornerDetectorTest, SingleBrightCellIsFoundOneCellUpAndLeft) {
    cv::Mat image(480, 640, CV_8UC1, cv::Scalar(BACKGROUND));
    paintCell(image, 10, 20, BRIGHT);  // block centre pixel (61, 31)
    BlockCornerDetector detector;
    std::vector<cv::Point2f> points;
    detector.detect(image, points);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0], cv::Point2f(58.0f, 28.0f));  // 3 pixels left of and above the centre
    EXPECT_EQ(detector.response(9, 19), 9 * (BRIGHT - BACKGROUND));
    EXPECT_EQ(detector.response(10, 20), 0);
}

TEST(BlockCornerDetectorTest, NeighboursMustDifferByMoreThanFortyFive) {
    struct Case {
        int centreDeficit;  // how much lower the centre cell's sum is
        int expectedResponse;
    };
    for (const Case c : {Case{45, 0}, Case{46, 46}, Case{100, 100}}) {
        cv::Mat image(90, 90, CV_8UC1, cv::Scalar(100));  // every cell sums 900
        cv::Mat cell = image(cv::Rect(3 * 12, 3 * 12, 3, 3));
        // spread the deficit over the nine pixels
        for (int i = 0; i < 9; ++i) {
            cell.at<uchar>(i / 3, i % 3) =
                static_cast<uchar>(100 - c.centreDeficit / 9 - (i < c.centreDeficit % 9 ? 1 : 0));
        }
        ASSERT_EQ(cv::sum(cell)[0], 900 - c.centreDeficit);
        BlockCornerDetector detector;
        std::vector<cv::Point2f> points;
        detector.detect(image, points);
        EXPECT_EQ(detector.response(11, 11), c.expectedResponse) << "deficit " << c.centreDeficit;
        EXPECT_EQ(points.size(), c.expectedResponse > 0 ? 1u : 0u) << "deficit " << c.centreDeficit;
    }
}

TEST(BlockCornerDetectorTest, PairTestsDecideInOrderWithTheirArcs) {
    // Cell values (pixel value of all nine pixels) of one 3 x 3 window of
    // cells, in the order TL TM TR / ML C MR / BL BM BR; the response is
    // |arc sum / 5 - centre sum| over the arc that the deciding test names.
    struct Case {
        const char* name;
        int cells[9];
        int expected;
    };
    const Case cases[] = {
        {"test 1, arc through TL",
         {180, 190, 200, 170, 100, 100, 160, 100, 100},
         9 * (160 + 170 + 180 + 190 + 200) / 5 - 900},
        {"test 1 otherwise, darker arc",
         {150, 150, 40, 150, 150, 50, 80, 70, 60},
         1350 - 9 * (40 + 50 + 60 + 70 + 80) / 5},
        {"test 2, arc through BL",
         {200, 100, 100, 190, 100, 100, 180, 170, 160},
         9 * (160 + 170 + 180 + 190 + 200) / 5 - 900},
        {"test 3, right-hand arc",
         {100, 160, 170, 100, 100, 180, 100, 200, 190},
         9 * (160 + 170 + 180 + 190 + 200) / 5 - 900},
        {"test 4 otherwise, top arc",
         {170, 180, 190, 160, 100, 200, 100, 100, 100},
         9 * (160 + 170 + 180 + 190 + 200) / 5 - 900},
        // test 1's pair holds and its confirmation fails: no corner, although
        // test 2 alone would have found one
        {"failed confirmation ends the search", {200, 100, 200, 200, 100, 100, 200, 200, 200}, 0},
        {"only three in a row", {200, 200, 200, 100, 100, 100, 100, 100, 100}, 0},
    };
    for (const Case& c : cases) {
        cv::Mat image(90, 90, CV_8UC1, cv::Scalar(100));
        for (int i = 0; i < 9; ++i) {
            paintCell(image, 11 + i / 3, 11 + i % 3, static_cast<uchar>(c.cells[i]));
        }
        BlockCornerDetector detector;
        std::vector<cv::Point2f> points;
        detector.detect(image, points);
        EXPECT_EQ(detector.response(11, 11), c.expected) << c.name;
    }
}

TEST(BlockCornerDetectorTest, FirstOfEqualMaximaInRowOrderWins) {
    struct Case {
        cv::Point first;  // (col, row) of the cell met first in row order
        cv::Point second;
    };
    // both cells lie in the first region (30 x 23 cells) of a 640 x 480 image
    for (const Case c : {Case{{20, 5}, {4, 8}}, Case{{10, 5}, {20, 5}}}) {
        for (const bool swapPaintOrder : {false, true}) {
            cv::Mat image(480, 640, CV_8UC1, cv::Scalar(BACKGROUND));
            const cv::Point a = swapPaintOrder ? c.second : c.first;
            const cv::Point b = swapPaintOrder ? c.first : c.second;
            paintCell(image, a.y, a.x, BRIGHT);
            paintCell(image, b.y, b.x, BRIGHT);
            const std::vector<cv::Point2f> points = detect(image);
            ASSERT_EQ(points.size(), 1u);
            EXPECT_EQ(points[0],
                      cv::Point2f(3.0f * (c.first.x - 1) + 1, 3.0f * (c.first.y - 1) + 1));
        }
    }
}

TEST(BlockCornerDetectorTest, StrongerCornerWinsItsRegion) {
    cv::Mat image(480, 640, CV_8UC1, cv::Scalar(BACKGROUND));
    paintCell(image, 5, 5, 150);
    paintCell(image, 15, 20, 250);  // same region, larger response
    const std::vector<cv::Point2f> points = detect(image);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0], cv::Point2f(3.0f * 19 + 1, 3.0f * 14 + 1));
}

TEST(BlockCornerDetectorTest, OnePointPerRegionForCommonSizes) {
    struct Case {
        cv::Size size;
        size_t regions;
    };
    const Case cases[] = {{{640, 480}, 42},
                          {{1280, 720}, 42},
                          {{1920, 1080}, 42},
                          {{960, 540}, 42},
                          {{320, 240}, 36}};
    for (const Case& c : cases) {
        // isolated bright cells everywhere: every region holds corners
        cv::Mat image(c.size, CV_8UC1, cv::Scalar(BACKGROUND));
        for (int row = 1; row < c.size.height / 3; row += 3) {
            for (int col = 1; col < c.size.width / 3; col += 3) {
                paintCell(image, row, col, BRIGHT);
            }
        }
        EXPECT_EQ(detect(image).size(), c.regions) << c.size;
    }
}

TEST(BlockCornerDetectorTest, TexturedSceneGivesSpreadPointsOnCellCentres) {
    cv::Mat image;
    cv::cvtColor(calmora_test::texturedScene(640, 480, 7), image, cv::COLOR_BGR2GRAY);
    BlockCornerDetector detector;
    std::vector<cv::Point2f> points;
    detector.detect(image, points);
    EXPECT_GE(points.size(), 30u);
    EXPECT_LE(points.size(), 42u);
    std::set<std::pair<int, int>> regions;
    for (const cv::Point2f& p : points) {
        EXPECT_EQ(static_cast<int>(p.x) % 3, 1) << p;
        EXPECT_EQ(static_cast<int>(p.y) % 3, 1) << p;
        EXPECT_EQ(p.x, static_cast<float>(static_cast<int>(p.x)));
        regions.insert({static_cast<int>(p.x) / 3 / 30, static_cast<int>(p.y) / 3 / 23});
    }
    EXPECT_EQ(regions.size(), points.size());  // never two points in one region
    // the point vector's storage is reused by the next call
    const cv::Point2f* storage = points.data();
    detector.detect(image, points);
    EXPECT_EQ(points.data(), storage);
}

}  // namespace
}  // namespace orl::calmora
