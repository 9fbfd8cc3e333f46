// Optical-flow estimator: known shifts, rotations and zooms; the 16-point minimum.
#include "OpticalFlowEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace orl::calmora {
namespace {

// Motion from `previous` to it moved by (dx, dy, angle, zoom); `scale` = frame / analysed.
Motion estimate(const cv::Mat& previous, double dx, double dy, double angle, double zoom,
                double scale, const MotionLimits& limits, bool withRotation) {
    OpticalFlowEstimator flow;
    flow.create(previous.size());
    const cv::Mat current = calmora_test::moved(previous, dx, dy, angle, zoom);
    return flow.estimate({previous, current, 1, scale, scale}, limits, withRotation);
}

TEST(OpticalFlowEstimatorTest, KnownMotionsOfATexturedScene) {
    // Rotating 640 x 360 by 0.02 rad about its centre moves the origin by (320 (1 - cos) +
    // 180 sin, 180 (1 - cos) - 320 sin) = (3.66, -6.36), kept; the share of a zoom is not.
    // dx, dy, angle, zoom, scale, with rotation, limits x, y, a, motion x, y, a
    const double cases[][12] = {
        {4, -6, 0, 1, 2, 1, 1000, 10, 10, 8, -10, 0},
        {-6, 3, 0, 1, 1, 1, 5, 1000, 10, -5, 3, 0},
        {0, 0, 0.02, 1, 1, 1, 1000, 1000, 10, 3.66, -6.36, 0.02},
        {0, 0, 0.02, 1, 1, 0, 1000, 1000, 10, 3.66, -6.36, 0},
        {0, 0, 0, 1.1, 1, 1, 1000, 1000, 10, 0, 0, 0},
        {0, 0, 0.02, 1, 1, 1, 1000, 1000, 0.01, 3.66, -6.36, 0.01},
        {0, 0, -0.02, 1, 1, 1, 1000, 1000, 0.01, -3.54, 6.44, -0.01},
    };
    cv::Mat scene;
    cv::cvtColor(calmora_test::texturedScene(640, 360, 21), scene, cv::COLOR_BGR2GRAY);
    for (const auto& c : cases) {
        const Motion m = estimate(scene, c[0], c[1], c[2], c[3], c[4], {c[6], c[7], c[8]}, c[5]);
        EXPECT_NEAR(m.x, c[9], 0.3) << "case " << &c - cases;
        EXPECT_NEAR(m.y, c[10], 0.3) << "case " << &c - cases;
        EXPECT_NEAR(m.a, c[11], c[5] ? 0.0005 : 0.0) << "case " << &c - cases;
    }
    // k bright cells, one per detector region, moved by (2, 1): 0 or 15 give zero motion
    for (const int k : {0, 15, 16}) {
        cv::Mat previous(480, 640, CV_8UC1, cv::Scalar(60));
        for (int region = 0; region < k; ++region) {
            previous(cv::Rect(90 * (region % 7) + 36, 69 * (region / 7) + 30, 3, 3)).setTo(220);
        }
        const Motion m = estimate(previous, 2, 1, 0, 1, 1, {1000, 1000, 10}, true);
        EXPECT_LT(cv::norm(cv::Point2d(m.x, m.y) - cv::Point2d(2, 1) * (k == 16)), 0.05) << k;
    }
}

}  // namespace
}  // namespace orl::calmora
