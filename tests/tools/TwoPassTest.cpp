// Offline mode pieces with known answers: path smoothing, corrections,
// zoom, the path the first pass records, and shot-cut detection.

#include "CutDetector.h"
#include "SampleClip.h"
#include "TwoPass.h"

#include <calmora/CalmoraOpenCv.h>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

using namespace calmora_cli;
using orl::calmora::Correction;

namespace {

CameraPath pathOf(const std::vector<double>& xs, std::vector<int> cuts = {}) {
    CameraPath path;
    for (const double x : xs) {
        path.points.push_back({x, -0.5 * x, 0.001 * x});
    }
    path.cuts = std::move(cuts);
    return path;
}

}  // namespace

TEST(TwoPassSmoothing, KeepsAPanRemovesShakeAndNeverCrossesACut) {
    // A ramp is kept exactly, ends included: no lag.
    std::vector<double> ramp;
    for (int i = 0; i < 60; ++i) {
        ramp.push_back(0.8 * i);
    }
    const auto kept = smoothPath(pathOf(ramp), 15.0);
    ASSERT_EQ(kept.size(), ramp.size());
    for (size_t i = 0; i < ramp.size(); ++i) {
        EXPECT_NEAR(kept[i].x, ramp[i], 1e-9) << i;
        EXPECT_NEAR(kept[i].y, -0.5 * ramp[i], 1e-9) << i;
    }

    // An alternating shake of +-4 on the ramp is almost gone.
    std::vector<double> shaky = ramp;
    for (size_t i = 0; i < shaky.size(); ++i) {
        shaky[i] += (i % 2 == 0) ? 4.0 : -4.0;
    }
    const auto calm = smoothPath(pathOf(shaky), 15.0);
    for (size_t i = 5; i + 5 < shaky.size(); ++i) {
        EXPECT_NEAR(calm[i].x, ramp[i], 0.3) << i;
    }

    // Two shots: 0 for ten frames, then a path restarted at 100. Nothing of
    // the second shot leaks into the first, and the other way round.
    const auto split =
        smoothPath(pathOf({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100, 100, 100, 100}, {10}), 15.0);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(split[i].x, 0.0, 1e-9);
    }
    for (int i = 10; i < 14; ++i) {
        EXPECT_NEAR(split[i].x, 100.0, 1e-9);
    }

    // The correction moves the measured path onto the smoothed one.
    const CameraPath bumpy = pathOf({0, 3, 0, 3, 0});
    const auto smoothed = smoothPath(bumpy, 2.0);
    const auto corrections = pathCorrections(bumpy, smoothed);
    ASSERT_EQ(corrections.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(bumpy.points[i].x + corrections[i].x, smoothed[i].x);
        EXPECT_DOUBLE_EQ(corrections[i].zoom, 1.0);
    }
}

TEST(TwoPassZoom, SmallestZoomThatCoversTheFrame) {
    // No correction: no zoom.
    EXPECT_DOUBLE_EQ(autoZoom({Correction{}}, 640, 360), 1.0);
    // A shift of 10 right uncovers the left edge: the left output corner
    // reads the source at 320 - 320 / z - 10, which must be at least 0
    // (and a fraction of a pixel more).
    const double zoom = autoZoom({Correction{10.0, 0.0, 0.0, 1.0}}, 640, 360);
    EXPECT_NEAR(zoom, 320.0 / 310.0, 5e-4);
    EXPECT_TRUE(coversFrame({10.0, 0.0, 0.0, 1.0}, zoom + 1e-9, 640, 360));
    EXPECT_FALSE(coversFrame({10.0, 0.0, 0.0, 1.0}, zoom - 1e-3, 640, 360));
    // The largest need over all frames wins; a hopeless one is capped.
    EXPECT_NEAR(autoZoom({{-4.0, 0.0, 0.0, 1.0}, {0.0, 20.0, 0.0, 1.0}}, 640, 360), 180.0 / 160.0,
                5e-4);
    EXPECT_DOUBLE_EQ(autoZoom({{5000.0, 0.0, 0.0, 1.0}}, 640, 360, 2.0), 2.0);

    // Applied for real: with the automatic zoom, a frame moved and turned
    // by each correction has no uncovered (zero) pixel left.
    cv::Mat picture(180, 320, CV_8UC3, cv::Scalar(90, 160, 200));
    const orl::video::Frame src(320, 180, orl::video::fourcc::BGR3,
                                static_cast<uint32_t>(picture.total() * 3), picture.data);
    const std::vector<Correction> moves = {{6.0, -3.5, 0.01, 1.0}, {-7.5, 2.0, -0.012, 1.0}};
    const double needed = autoZoom(moves, 320, 180);
    EXPECT_GT(needed, 1.0);
    for (Correction c : moves) {
        orl::video::Frame dst;
        c.zoom = needed;
        ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, c, false));
        const cv::Mat out(180, 320, CV_8UC3, dst.data);
        cv::Mat grey;
        cv::cvtColor(out, grey, cv::COLOR_BGR2GRAY);
        EXPECT_EQ(cv::countNonZero(grey == 0), 0) << c.x << "," << c.y << "," << c.a;
        c.zoom = 1.0;  // without it the border shows
        ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, c, false));
        cv::cvtColor(cv::Mat(180, 320, CV_8UC3, dst.data), grey, cv::COLOR_BGR2GRAY);
        EXPECT_GT(cv::countNonZero(grey == 0), 100);
    }
}

TEST(TwoPassFirstPass, RecordsTheInjectedCameraPath) {
    // A camera that moves by known steps over a drawn scene; the recorded
    // path (picture motion) must be minus the camera's own path.
    SampleSettings clipSettings;
    clipSettings.width = 480;
    clipSettings.height = 270;
    const cv::Mat scene = sampleScene(cv::Mat(), clipSettings);
    orl::calmora::CalmoraOpenCv stabiliser;
    PathRecorder recorder(stabiliser);
    CameraPose pose{scene.cols / 2.0, scene.rows / 2.0, 0.0};
    std::vector<CameraPose> poses;
    for (int i = 0; i < 40; ++i) {
        pose.x += 1.5 + 3.0 * std::sin(i * 1.3);
        pose.y += 2.0 * std::cos(i * 0.9);
        poses.push_back(pose);
        recorder.add(renderView(scene, {clipSettings.width, clipSettings.height}, pose), false);
    }
    const CameraPath& path = recorder.path();
    ASSERT_EQ(path.points.size(), poses.size());
    EXPECT_TRUE(path.cuts.empty());
    double worst = 0.0;
    for (size_t i = 0; i < poses.size(); ++i) {
        const double wantX = -(poses[i].x - poses[0].x);
        const double wantY = -(poses[i].y - poses[0].y);
        worst = std::max(
            {worst, std::fabs(path.points[i].x - wantX), std::fabs(path.points[i].y - wantY)});
    }
    EXPECT_LT(worst, 1.5) << "largest path error, pixels";
    // The recorder set the filter to hold the picture still.
    EXPECT_FLOAT_EQ(stabiliser.getParam(orl::calmora::X_FILTER_COEFF), 1.0f);
}

TEST(CutDetection, FindsTheCutBetweenTwoScenesAndNoneInOneShot) {
    SampleSettings clipSettings;
    clipSettings.width = 320;
    clipSettings.height = 180;
    clipSettings.frames = 60;
    clipSettings.cutAtFrame = 37;
    const std::vector<cv::Mat> frames =
        renderClip(sampleScene(cv::Mat(), clipSettings), clipSettings, secondScene(clipSettings));
    CutDetector detector;
    std::vector<int> cuts;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (detector.isCut(frames[i])) {
            cuts.push_back(static_cast<int>(i));
        }
    }
    EXPECT_EQ(cuts, std::vector<int>{37});

    // One continuous shaky shot with a pan: no cut anywhere.
    clipSettings.cutAtFrame = -1;
    clipSettings.shakePixels = 12.0;
    CutDetector steady;
    for (const cv::Mat& frame : renderClip(sampleScene(cv::Mat(), clipSettings), clipSettings)) {
        EXPECT_FALSE(steady.isCut(frame)) << steady.lastCorrelation();
    }
}
