// Path maths and the offline class with known answers: a pan kept and a zig-zag
// dropped shot by shot, the least covering zoom, a shaky pan recovered and calmed.

#include <calmora/OfflineStabiliser.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>

using namespace orl::calmora;

TEST(CameraPathTest, SmootherKeepsPansRemovesAZigZagAndNeverCrossesACut) {
    // pans of (0.8, -0.4, 0.001) then (-2, 0, 0) a frame across a cut; a +-8 zig-zag on x
    CameraPath pans, shaky;
    for (int i = 0; i < 60; ++i) {
        pans.add(i < 30 ? 0.8 : -2.0, i < 30 ? -0.4 : 0.0, i < 30 ? 0.001 : 0.0, i == 30);
        shaky.add((i < 30 ? 0.8 : -2.0) + (i % 2 == 0 ? 8.0 : -8.0), 0.0, 0.0, i == 30);
    }
    const auto kept = smoothPath(pans, 5.0), calm = smoothPath(shaky, 5.0);
    for (size_t i = 0; i < 60; ++i) {
        const double j = i < 30 ? i : i - 30.0;                          // frames into the shot
        EXPECT_NEAR(kept[i].x, i < 30 ? 0.8 * j : -2.0 * j, 1e-9) << i;  // no lag, ends included
        EXPECT_NEAR(kept[i].a, i < 30 ? 0.001 * j : 0.0, 1e-9) << i;
        EXPECT_NEAR(calm[i].x, kept[i].x - 4.0, j >= 5 && j < 25 ? 0.3 : 4.0) << i;
    }
}

TEST(CameraPathTest, GaussianSmootherKeepsTheShareOfASineItsWeightsGive) {
    // inside a shot the window is symmetric and the line passes through the weighted mean:
    // a sine of period P keeps sum w_k cos(2 pi k / P) / sum w_k, w_k = exp(-k^2 / 2 sigma^2)
    for (const auto& [sigma, period] : {std::pair(15.0, 60.0), {5.0, 20.0}, {15.0, 240.0}}) {
        const int radius = static_cast<int>(std::ceil(3 * sigma));
        double weights = 0.0, kept = 0.0;
        for (int k = -radius; k <= radius; ++k) {
            weights += std::exp(-0.5 * k * k / (sigma * sigma));
            kept += std::exp(-0.5 * k * k / (sigma * sigma)) * std::cos(2 * CV_PI * k / period);
        }
        const auto x = [period = period](int i) { return 10 * std::sin(2 * CV_PI * i / period); };
        CameraPath path;
        for (int i = 0; i < 400; ++i)
            path.add(i > 0 ? x(i) - x(i - 1) : 0.0, 0.0, 0.0, false);
        const std::vector<PathPoint> smooth = smoothPath(path, sigma);
        for (int i = radius; i < 400 - radius; ++i)
            ASSERT_NEAR(smooth[static_cast<size_t>(i)].x, kept / weights * x(i), 1e-6) << sigma;
    }
}

TEST(CameraPathTest, ZoomIsTheSmallestThatCoversTheFrame) {
    // a shift of d needs w / (w - 2 d); the largest need wins; a hopeless one is capped at the
    // largest zoom
    const std::vector<std::pair<std::vector<Correction>, double>> table = {
        {{Correction{}}, 1.0},
        {{{10.0, 0.0, 0.0, 1.0}}, 640.0 / 620.0},
        {{{-4.0, 0.0, 0.0, 1.0}, {0.0, 20.0, 0.0, 1.0}}, 360.0 / 320.0},
        {{{5000.0, 0.0, 0.0, 1.0}}, orl::calmora::MAX_ZOOM}};
    for (const auto& [corrections, zoom] : table)
        EXPECT_NEAR(autoZoom(corrections, 640, 360), zoom, 5e-4) << zoom;

    // turned, under the stabiliser's warp: no uncovered (zero) pixel at that zoom, some below
    orl::video::Frame src(320, 180, orl::video::fourcc::GRAY), dst;
    cv::Mat(180, 320, CV_8UC1, src.data).setTo(90);
    const double needed = autoZoom({{6.0, -3.5, 0.01, 1.0}}, 320, 180);
    for (const double zoom : {needed, needed - 0.005}) {
        ASSERT_TRUE(applyCorrection(src, dst, {6.0, -3.5, 0.01, zoom}, false));
        const int uncovered = cv::countNonZero(cv::Mat(180, 320, CV_8UC1, dst.data) == 0);
        EXPECT_EQ(uncovered == 0, zoom == needed) << zoom;
    }
}

TEST(OfflineStabiliserTest, RecoversTheKnownPathAndCalmsIt) {
    const cv::Mat scene = calmora_test::texturedScene(480, 300, 3);
    cv::RNG rng(9);
    std::vector<cv::Point2d> camera;  // top-left corners: a pan of (1, 0.5) per frame, shaken
    std::vector<orl::video::Frame> frames;
    CalmoraParams params;  // no rotation, a constant shift: the zoom must still warp
    std::tie(params.type, params.constYOffset) = std::tuple(1, 4);  // on the tighter axis
    OfflineStabiliser s;
    orl::calmora::ModeSettings settings;
    std::tie(settings.params, settings.zoomAuto) = std::tuple(params, true);
    ASSERT_TRUE(s.configure(settings));
    for (int k = 0; k < 60; ++k) {
        camera.emplace_back(30 + k + rng.uniform(-6.0, 6.0), 30 + 0.5 * k + rng.uniform(-6.0, 6.0));
        frames.push_back(calmora_test::toFrame(calmora_test::view(scene, {320, 180}, camera[k]),
                                               orl::video::fourcc::BGR3));
        s.add(frames.back());
    }
    orl::video::Frame dst, alone;
    s.plan();
    double before = 0.0, after = 0.0;  // squared steps beside the pan's
    bool tight = false;                // a little less zoom leaves some frame uncovered
    for (size_t k = 1; k < 60; ++k) {
        const PathPoint& p = s.path().points[k];  // the picture moves against the camera
        EXPECT_LT(cv::norm(cv::Point2d(p.x, p.y) + camera[k] - camera[0]), 0.7) << k;
        const Correction &c = s.corrections().at(k), &b = s.corrections()[k - 1];
        const Correction shifted{c.x, c.y + 4, c.a, 1.0};  // as written, the constant shift in
        EXPECT_TRUE(c.zoom == s.zoom() && coversFrame(shifted, c.zoom, 320, 180)) << k;
        tight = tight || !coversFrame(shifted, c.zoom - 0.002, 320, 180);
        ASSERT_TRUE(s.apply(static_cast<int>(k), frames[k], dst));
        ASSERT_TRUE(applyCorrection(frames[k], alone, {c.x, c.y + 4, 0.0, c.zoom}, true));
        EXPECT_EQ(0, std::memcmp(alone.data, dst.data, dst.size)) << k;
        const cv::Point2d moved = camera[k] - camera[k - 1] - cv::Point2d(1.0, 0.5);
        const cv::Point2d left = moved - cv::Point2d(c.x - b.x, c.y - b.y);
        before += moved.dot(moved);
        after += left.dot(left);
    }
    EXPECT_FALSE(s.apply(60, frames[0], dst));
    EXPECT_TRUE(tight);
    EXPECT_LT(16.0 * after, before);  // 4x the jitter
    // a fixed zoom of 0.5% leaves 0.8 pixels for a shake of 6: said, and nothing applied
    std::tie(settings.zoomAuto, settings.zoom) = std::tuple(false, 1.005);
    ASSERT_TRUE(s.configure(settings));
    EXPECT_FALSE(s.plan());
    EXPECT_FALSE(s.feasible());
    EXPECT_EQ(s.message().find("zoom 0.5% is too small"), 0u) << s.message();
    EXPECT_FALSE(s.apply(1, frames[1], dst));
}
