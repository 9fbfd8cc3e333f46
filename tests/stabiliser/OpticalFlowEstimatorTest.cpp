// Optical-flow estimator on a textured image moved by a known shift,
// rotation or zoom; limits; too few points.

#include "OpticalFlowEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace orl::calmora {
namespace {

constexpr int W = 640;
constexpr int H = 360;

cv::Mat grey(const cv::Mat& bgr) {
    cv::Mat out;
    cv::cvtColor(bgr, out, cv::COLOR_BGR2GRAY);
    return out;
}

struct Pair {
    cv::Mat previous;
    cv::Mat current;
};

// The scene and the scene moved by (dx, dy), rotated by `angle` and scaled
// by `scale` about the image centre.
Pair movedPair(double dx, double dy, double angle = 0.0, double scale = 1.0) {
    const cv::Mat scene = calmora_test::texturedScene(W, H, 21);
    return {grey(scene), grey(calmora_test::moved(scene, dx, dy, angle, scale))};
}

Motion measure(const Pair& p, double scaleFactor, const MotionLimits& limits,
               bool withRotation = true) {
    OpticalFlowEstimator flow;
    flow.create(p.previous.size());
    return flow.estimate({p.previous, p.current, 1, scaleFactor, scaleFactor}, limits,
                         withRotation);
}

const MotionLimits WIDE{1000.0, 1000.0, 10.0};

TEST(OpticalFlowEstimatorTest, ShiftIsConvertedToFramePixels) {
    const Motion m = measure(movedPair(4.0, -2.0), 2.0, WIDE);
    EXPECT_NEAR(m.x, 8.0, 0.1);
    EXPECT_NEAR(m.y, -4.0, 0.1);
    EXPECT_NEAR(m.a, 0.0, 0.001);
}

TEST(OpticalFlowEstimatorTest, RotationAboutCentreKeepsItsTranslationShare) {
    // Rotating by 0.02 rad about (320, 180) moves the origin by
    // (320 (1 - cos) + 180 sin, 180 (1 - cos) - 320 sin) = (3.66, -6.36).
    const Pair p = movedPair(0.0, 0.0, 0.02);
    const Motion withRotation = measure(p, 1.0, WIDE, true);
    EXPECT_NEAR(withRotation.a, 0.02, 0.0005);
    EXPECT_NEAR(withRotation.x, 3.66, 0.15);
    EXPECT_NEAR(withRotation.y, -6.36, 0.15);
    const Motion shiftOnly = measure(p, 1.0, WIDE, false);
    EXPECT_EQ(shiftOnly.a, 0.0);
    EXPECT_NEAR(shiftOnly.x, 3.66, 0.15);
    EXPECT_NEAR(shiftOnly.y, -6.36, 0.15);
}

TEST(OpticalFlowEstimatorTest, ZoomAboutCentreGivesNoTranslation) {
    const Motion m = measure(movedPair(0.0, 0.0, 0.0, 1.1), 1.0, WIDE);
    EXPECT_NEAR(m.x, 0.0, 0.3);
    EXPECT_NEAR(m.y, 0.0, 0.3);
    EXPECT_NEAR(m.a, 0.0, 0.001);
}

TEST(OpticalFlowEstimatorTest, LimitsKeepTheSign) {
    struct Case {
        double angle, dx;
        MotionLimits limits;
        double expectedA, expectedX;
    };
    const Case cases[] = {
        {0.02, 0.0, {1000, 1000, 0.01}, 0.01, 3.66}, {-0.02, 0.0, {1000, 1000, 0.01}, -0.01, -3.54},
        {0.02, 0.0, {1000, 1000, 10.0}, 0.02, 3.66}, {0.0, 6.0, {5, 1000, 10.0}, 0.0, 5.0},
        {0.0, -6.0, {5, 1000, 10.0}, 0.0, -5.0},     {0.0, -6.0, {0, 1000, 10.0}, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        const Motion m = measure(movedPair(c.dx, 0.0, c.angle), 1.0, c.limits);
        EXPECT_NEAR(m.a, c.expectedA, 0.0005) << "angle " << c.angle << " dx " << c.dx;
        EXPECT_NEAR(m.x, c.expectedX, 0.15) << "angle " << c.angle << " dx " << c.dx;
    }
}

TEST(OpticalFlowEstimatorTest, FeaturelessPreviousImageGivesZeroMotion) {
    const Pair textured = movedPair(3.0, 3.0);
    const cv::Mat uniform(H, W, CV_8UC1, cv::Scalar(128));
    const Motion m = measure({uniform, textured.current}, 1.0, WIDE);
    EXPECT_EQ(m.x, 0.0);
    EXPECT_EQ(m.y, 0.0);
    EXPECT_EQ(m.a, 0.0);
    // too small to detect anything
    const cv::Mat tiny = textured.previous(cv::Rect(0, 0, 20, 20)).clone();
    const Motion t = measure({tiny, tiny}, 1.0, WIDE);
    EXPECT_EQ(t.x, 0.0);
    EXPECT_EQ(t.y, 0.0);
}

TEST(OpticalFlowEstimatorTest, SixteenPointsAreNeededForAFit) {
    // k isolated bright blocks, one per detector region of a 640 x 480
    // image, all moved by (+2, +1): 15 give zero motion, 16 the shift.
    for (const size_t k : {15u, 16u}) {
        cv::Mat previous(480, 640, CV_8UC1, cv::Scalar(60));
        size_t placed = 0;
        for (int region = 0; region < 42 && placed < k; ++region) {
            const int row = (region / 7) * 23 + 10;  // grid cells
            const int col = (region % 7) * 30 + 12;
            previous(cv::Rect(3 * col, 3 * row, 3, 3)).setTo(220);
            ++placed;
        }
        const cv::Mat kernel = (cv::Mat_<double>(2, 3) << 1, 0, 2, 0, 1, 1);
        cv::Mat current;
        cv::warpAffine(previous, current, kernel, previous.size(), cv::INTER_NEAREST,
                       cv::BORDER_REPLICATE);
        OpticalFlowEstimator flow;
        flow.create(previous.size());
        const Motion m = flow.estimate({previous, current, 1, 1.0, 1.0}, WIDE, true);
        if (k < OpticalFlowEstimator::MIN_POINTS) {
            EXPECT_EQ(m.x, 0.0);
            EXPECT_EQ(m.y, 0.0);
        } else {
            EXPECT_EQ(flow.keptPrevious().size(), k);
            EXPECT_NEAR(m.x, 2.0, 0.05);
            EXPECT_NEAR(m.y, 1.0, 0.05);
        }
    }
}

}  // namespace
}  // namespace orl::calmora
