// Optical-flow estimator: a textured scene moved by a known shift, rotation
// or zoom, converted to frame pixels and limited; the 16-point minimum.

#include "OpticalFlowEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <tuple>

namespace orl::calmora {
namespace {

const MotionLimits WIDE{1000.0, 1000.0, 10.0};

// Motion from `previous` to `current` (grey), a frame pixel being
// `scaleFactor` analysed pixels.
Motion estimate(const cv::Mat& previous, const cv::Mat& current, double scaleFactor,
                const MotionLimits& limits, bool withRotation) {
    OpticalFlowEstimator flow;
    flow.create(previous.size());
    return flow.estimate({previous, current, 1, scaleFactor, scaleFactor}, limits, withRotation);
}

TEST(OpticalFlowEstimatorTest, KnownMotionsOfATexturedScene) {
    // Rotating 640 x 360 by 0.02 rad about its centre also moves the origin
    // by (320 (1 - cos) + 180 sin, 180 (1 - cos) - 320 sin) = (3.66, -6.36):
    // a share the estimator keeps, while it removes the share of a zoom.
    // dx, dy, angle, zoom, scaleFactor, with rotation, limits, motion x, y, a
    const std::tuple<double, double, double, double, double, bool, MotionLimits, double, double,
                     double>
        cases[] = {
            {4.0, -2.0, 0.0, 1.0, 2.0, true, WIDE, 8.0, -4.0, 0.0},
            {0.0, 0.0, 0.02, 1.0, 1.0, true, WIDE, 3.66, -6.36, 0.02},
            {0.0, 0.0, 0.02, 1.0, 1.0, false, WIDE, 3.66, -6.36, 0.0},
            {0.0, 0.0, 0.0, 1.1, 1.0, true, WIDE, 0.0, 0.0, 0.0},
            {0.0, 0.0, 0.02, 1.0, 1.0, true, {1000, 1000, 0.01}, 3.66, -6.36, 0.01},
            {0.0, 0.0, -0.02, 1.0, 1.0, true, {1000, 1000, 0.01}, -3.54, 6.44, -0.01},
            {-6.0, 3.0, 0.0, 1.0, 1.0, true, {5, 1000, 10}, -5.0, 3.0, 0.0},
            {3.0, -6.0, 0.0, 1.0, 1.0, true, {1000, 5, 10}, 3.0, -5.0, 0.0},
        };
    cv::Mat scene;
    cv::cvtColor(calmora_test::texturedScene(640, 360, 21), scene, cv::COLOR_BGR2GRAY);
    for (const auto& [dx, dy, angle, zoom, scaleFactor, withRotation, limits, x, y, a] : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << dx << "," << dy << " angle " << angle
                                        << " zoom " << zoom << " rotation " << withRotation);
        const Motion m = estimate(scene, calmora_test::moved(scene, dx, dy, angle, zoom),
                                  scaleFactor, limits, withRotation);
        EXPECT_NEAR(m.x, x, 0.3);
        EXPECT_NEAR(m.y, y, 0.3);
        EXPECT_NEAR(m.a, a, withRotation ? 0.0005 : 0.0);
    }
}

TEST(OpticalFlowEstimatorTest, SixteenPointsAreNeededForAFit) {
    // k bright cells, one per detector region of 640 x 480, all moved by
    // (+2, +1): none (a flat picture) or 15 give zero motion
    for (const int k : {0, 15, 16}) {
        cv::Mat previous(480, 640, CV_8UC1, cv::Scalar(60));
        for (int region = 0; region < k; ++region) {
            previous(cv::Rect(90 * (region % 7) + 36, 69 * (region / 7) + 30, 3, 3)).setTo(220);
        }
        const Motion m = estimate(previous, calmora_test::moved(previous, 2, 1), 1.0, WIDE, true);
        EXPECT_NEAR(m.x, k == 16 ? 2.0 : 0.0, 0.05) << k << " cells";
        EXPECT_NEAR(m.y, k == 16 ? 1.0 : 0.0, 0.05) << k << " cells";
    }
}

}  // namespace
}  // namespace orl::calmora
