// The independent measurement behind the jitter figures: it must read a
// known motion back, or every report would be wrong.

#include "MotionMeter.h"
#include "SampleClip.h"

#include <gtest/gtest.h>

using namespace calmora_cli;

TEST(MotionMeter, RecoversKnownShiftsAndRotation) {
    SampleSettings clipSettings;
    const cv::Mat scene = sampleScene(cv::Mat(), clipSettings);
    const cv::Size frame(480, 270);
    struct Step {
        double dx, dy, da;
    };
    const Step steps[] = {{3.0, 0.0, 0.0}, {-2.5, 1.5, 0.0}, {0.0, -4.0, 0.0}, {0.0, 0.0, 0.01}};
    for (const Step& s : steps) {
        MotionMeter meter;
        CameraPose pose{scene.cols / 2.0, scene.rows / 2.0, 0.0};
        EXPECT_EQ(meter.measure(renderView(scene, frame, pose)).x, 0.0);  // first frame
        // The camera moves by (dx, dy): the picture content moves the other way.
        pose = {pose.x + s.dx, pose.y + s.dy, s.da};
        const GlobalMotion m = meter.measure(renderView(scene, frame, pose));
        // A turn blurs the correlation peak a little more than a shift.
        const double tolerance = s.da == 0.0 ? 0.25 : 0.5;
        EXPECT_NEAR(m.x, -s.dx, tolerance) << s.dx << "," << s.dy;
        EXPECT_NEAR(m.y, -s.dy, tolerance) << s.dx << "," << s.dy;
        EXPECT_NEAR(m.a, -s.da, 0.002) << s.da;
    }
}

TEST(MotionMeter, SlowSubPixelMotionIsNotPulledToWholePixels) {
    // A smooth pan of a fraction of a pixel per frame, as a stabilised
    // output shows: the measured average must match, not lock to 0 or 1.
    SampleSettings clipSettings;
    const cv::Mat scene = sampleScene(cv::Mat(), clipSettings);
    for (const double step : {0.1, 0.33, 0.65, 1.3}) {
        MotionMeter meter;
        CameraPose pose{scene.cols / 2.0, scene.rows / 2.0, 0.0};
        meter.measure(renderView(scene, {640, 360}, pose));
        double sum = 0.0;
        for (int i = 0; i < 10; ++i) {
            pose.x += step;
            sum += meter.measure(renderView(scene, {640, 360}, pose)).x;
        }
        EXPECT_NEAR(sum / 10.0, -step, 0.03) << step;
    }
}

TEST(MotionMeter, HighPassKeepsShakeAndDropsAPan) {
    // A steady pan has no high-frequency part, also at the ends.
    std::vector<GlobalMotion> pan(100);
    for (size_t i = 0; i < pan.size(); ++i) {
        pan[i] = {2.0 * static_cast<double>(i), -1.0 * static_cast<double>(i), 0.0};
    }
    EXPECT_LT(rmsTranslation(highPass(pan, 5.0)), 1e-9);

    // An alternating shake of +-3 on top of it is kept almost whole.
    std::vector<GlobalMotion> shaky = pan;
    for (size_t i = 0; i < shaky.size(); ++i) {
        shaky[i].x += (i % 2 == 0) ? 3.0 : -3.0;
    }
    EXPECT_NEAR(rmsTranslation(highPass(shaky, 5.0)), 3.0, 0.3);

    const auto path = integrate({{1, 2, 0.1}, {1, 2, 0.1}, {-2, 0, 0.0}});
    EXPECT_DOUBLE_EQ(path.back().x, 0.0);
    EXPECT_DOUBLE_EQ(path.back().y, 4.0);
    EXPECT_DOUBLE_EQ(path.back().a, 0.2);
}
