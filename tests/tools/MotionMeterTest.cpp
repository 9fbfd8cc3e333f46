// The independent measurement behind the jitter figures: it must read a
// known motion back, or every report would be wrong.
#include "MotionMeter.h"
#include "SampleClip.h"

#include <gtest/gtest.h>

using namespace calmora_cli;

TEST(MotionMeter, RecoversKnownShiftsRotationAndSlowPans) {
    const cv::Mat scene = sampleScene(cv::Mat(), SampleSettings());
    // camera step (dx, dy, angle), steps, tolerance in pixels of the mean step
    const double steps[][5] = {{3.0, 0.0, 0.0, 1, 0.25},   {-2.5, 1.5, 0.0, 1, 0.25},
                               {0.0, -4.0, 0.0, 1, 0.25},  {0.0, 0.0, 0.01, 1, 0.5},
                               {0.1, 0.0, 0.0, 10, 0.03},  {0.33, 0.0, 0.0, 10, 0.03},
                               {0.65, 0.0, 0.0, 10, 0.03}, {1.3, 0.0, 0.0, 10, 0.03}};
    for (const auto& [dx, dy, da, count, tolerance] : steps) {
        MotionMeter meter;
        CameraPose pose{scene.cols / 2.0, scene.rows / 2.0, 0.0};
        EXPECT_EQ(meter.measure(renderView(scene, {640, 360}, pose)).x, 0.0);  // first frame
        GlobalMotion sum;
        for (int i = 0; i < count; ++i) {
            pose = {pose.x + dx, pose.y + dy, pose.angle + da};
            const GlobalMotion m = meter.measure(renderView(scene, {640, 360}, pose));
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
