// Offline mode pieces with known answers: path smoothing, corrections,
// zoom, and shot-cut detection.
#include "CutDetector.h"
#include "SampleClip.h"
#include "TwoPass.h"

#include <gtest/gtest.h>

using namespace calmora_cli;
using orl::calmora::Correction;

TEST(TwoPassSmoothing, KeepsAPanRemovesShakeAndNeverCrossesACut) {
    // a ramp with and without a +-4 shake; then 0 for ten frames, cut, 100
    CameraPath ramp, shaky, shots{{}, {10}};
    for (int i = 0; i < 60; ++i) {
        ramp.points.push_back({0.8 * i, -0.4 * i, 0.001 * i});
        shaky.points.push_back({0.8 * i + (i % 2 == 0 ? 4.0 : -4.0), -0.4 * i, 0.001 * i});
        shots.points.push_back({i < 10 ? 0.0 : 100.0, 0.0, 0.0});
    }
    const auto kept = smoothPath(ramp, 15.0), calm = smoothPath(shaky, 15.0);
    const auto split = smoothPath(shots, 15.0);
    const auto corrections = pathCorrections(shaky, calm);
    ASSERT_EQ(corrections.size(), 60u);
    for (size_t i = 0; i < 60; ++i) {
        EXPECT_NEAR(kept[i].x, ramp.points[i].x, 1e-9) << i;  // no lag, ends included
        EXPECT_NEAR(kept[i].y, ramp.points[i].y, 1e-9) << i;
        EXPECT_NEAR(kept[i].a, ramp.points[i].a, 1e-9) << i;
        EXPECT_NEAR(calm[i].x, ramp.points[i].x, i >= 5 && i < 55 ? 0.3 : 4.0) << i;
        EXPECT_NEAR(split[i].x, shots.points[i].x, 1e-9) << i;
        EXPECT_DOUBLE_EQ(shaky.points[i].x + corrections[i].x, calm[i].x);
        EXPECT_DOUBLE_EQ(shaky.points[i].y + corrections[i].y, calm[i].y);
        EXPECT_DOUBLE_EQ(corrections[i].zoom, 1.0);
    }
}

TEST(TwoPassZoom, SmallestZoomThatCoversTheFrame) {
    EXPECT_DOUBLE_EQ(autoZoom({Correction{}}, 640, 360), 1.0);
    // A shift of 10 uncovers one edge: 320 / z + 10 must stay within 320.
    const double zoom = autoZoom({{10.0, 0.0, 0.0, 1.0}}, 640, 360);
    EXPECT_NEAR(zoom, 320.0 / 310.0, 5e-4);
    EXPECT_TRUE(coversFrame({10.0, 0.0, 0.0, 1.0}, zoom + 1e-9, 640, 360));
    EXPECT_FALSE(coversFrame({10.0, 0.0, 0.0, 1.0}, zoom - 1e-3, 640, 360));
    // the largest need of all frames wins; a hopeless one is capped
    EXPECT_NEAR(autoZoom({{-4.0, 0.0, 0.0, 1.0}, {0.0, 20.0, 0.0, 1.0}}, 640, 360), 180.0 / 160.0,
                5e-4);
    EXPECT_DOUBLE_EQ(autoZoom({{5000.0, 0.0, 0.0, 1.0}}, 640, 360, 2.0), 2.0);

    // Applied with the stabiliser's own warp: no uncovered (zero) pixel left
    // with the zoom, a border without it.
    const cv::Mat picture(180, 320, CV_8UC1, cv::Scalar(90));
    const orl::video::Frame src(320, 180, orl::video::fourcc::GRAY, 320 * 180, picture.data);
    for (Correction c : {Correction{6.0, -3.5, 0.01, 1.0}, Correction{-7.5, 2.0, -0.012, 1.0}}) {
        const double needed = autoZoom({c}, 320, 180);
        for (const double z : {needed, 1.0}) {
            orl::video::Frame dst;
            c.zoom = z;
            ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, c, false));
            const int uncovered = cv::countNonZero(cv::Mat(180, 320, CV_8UC1, dst.data) == 0);
            EXPECT_TRUE(z == 1.0 ? uncovered > 100 : uncovered == 0) << c.x << " zoom " << z;
        }
    }
}

TEST(CutDetection, FindsTheCutBetweenTwoScenesAndNoneInOneShot) {
    SampleSettings settings;
    std::tie(settings.width, settings.height, settings.frames) = std::tuple(320, 180, 60);
    for (const int cutAt : {37, -1}) {  // one shot: shaking twice as hard, no cut
        settings.cutAtFrame = cutAt;
        settings.shakePixels = cutAt < 0 ? 12.0 : 6.0;
        CutDetector detector;
        int frame = 0, found = -1;
        for (const cv::Mat& image :
             renderClip(sampleScene(cv::Mat(), settings), settings, secondScene(settings))) {
            if (detector.isCut(image)) {
                EXPECT_EQ(found, -1) << "second cut at " << frame;
                found = frame;
            }
            ++frame;
        }
        EXPECT_EQ(found, cutAt);
    }
}
