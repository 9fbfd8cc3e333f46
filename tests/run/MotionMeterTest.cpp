// The independent measurement behind the jitter figures: it must read a
// known motion back, or every report would be wrong.
#include "Synthetic.h"

#include <calmora/run/MotionMeter.h>

#include <gtest/gtest.h>

using namespace orl::calmora::run;

TEST(MotionMeter, RecoversKnownShiftsRotationAndSlowPans) {
    const cv::Mat scene = calmora_test::texturedScene(960, 600);
    // pose: the camera's top-left corner in the scene (x, y) and its angle (z)
    const auto frameAt = [&](cv::Point3d pose) {
        return calmora_test::view(scene, {640, 360}, {pose.x, pose.y}, pose.z);
    };
    // camera step (dx, dy, angle), steps, tolerance in pixels of the mean step
    const double steps[][5] = {{3.0, 0.0, 0.0, 1, 0.25},   {-2.5, 1.5, 0.0, 1, 0.25},
                               {0.0, -4.0, 0.0, 1, 0.25},  {0.0, 0.0, 0.01, 1, 0.5},
                               {0.1, 0.0, 0.0, 10, 0.03},  {0.33, 0.0, 0.0, 10, 0.03},
                               {0.65, 0.0, 0.0, 10, 0.03}, {1.3, 0.0, 0.0, 10, 0.03}};
    for (const auto& [dx, dy, da, count, tolerance] : steps) {
        MotionMeter meter;
        cv::Point3d pose(100.0, 100.0, 0.0);
        EXPECT_EQ(meter.measure(frameAt(pose)).x, 0.0);  // first frame
        GlobalMotion sum;
        for (int i = 0; i < count; ++i) {
            pose += cv::Point3d(dx, dy, da);
            const GlobalMotion m = meter.measure(frameAt(pose));
            sum = {sum.x + m.x / count, sum.y + m.y / count, sum.a + m.a / count};
        }
        // the picture moves against the camera
        EXPECT_NEAR(sum.x, -dx, tolerance) << dx << "," << dy;
        EXPECT_NEAR(sum.y, -dy, tolerance) << dx << "," << dy;
        EXPECT_NEAR(sum.a, -da, 0.002) << da;
    }
    EXPECT_DOUBLE_EQ(rmsTranslation({{3, 4, 0}, {-3, -4, 0}}), 5.0);
    EXPECT_DOUBLE_EQ(rmsRotation({{0, 0, 0.1}, {0, 0, -0.1}}), 0.1);
}
