// A shaky pan right, a cut, a pan left, at known camera positions: every frame
// comes out N calls late, moved to where its shot's steady pan puts it.

#include <calmora/LookaheadStabiliser.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

using namespace orl::calmora;
using namespace calmora_test;
namespace fcc = orl::video::fourcc;

TEST(LookaheadStabiliserTest, ShakyPansComeOutLateCalmAndOnTheirOwnShotsPath) {
    const cv::Mat scene = texturedScene(480, 300, 3);
    const auto shot = [&](cv::Point2d at) { return view(scene, {320, 180}, at); };
    const cv::Rect mid(60, 40, 200, 100);
    cv::RNG rng(9);
    std::vector<cv::Point2d> pan, camera;  // top-left corners, intended and shaken
    for (int k = 0; k < 70; ++k) {
        pan.emplace_back(k < 40 ? 30 + 2 * k : 190 - 2 * k, 30 + 0.5 * k);
        camera.push_back(pan[k] + cv::Point2d(rng.uniform(-6.0, 6.0), rng.uniform(-6.0, 6.0)));
    }
    for (const auto& [latency, type, format, limit] :
         {std::tuple(15, 2, fcc::BGR3, 150), std::tuple(10, 0, fcc::GRAY, 150),
          std::tuple(10, 2, fcc::BGR3, 1)}) {
        LookaheadStabiliser s(latency);
        CalmoraParams params = s.getParams();
        std::tie(params.type, params.xOffsetLimit, params.yOffsetLimit) =
            std::tie(type, limit, limit);
        s.init(params);
        orl::video::Frame dst;
        size_t k = 0;      // the next frame out
        cv::Vec4d shake;   // squared steps beside the pan's, distances from it: in, out
        cv::Point2d last;  // where the last frame out's camera stood
        const auto check = [&, type = type, limit = limit] {
            const Correction c = s.lastCorrection();  // types 0 and 1 move by whole pixels
            const auto whole = [&](double v) { return type == 2 ? v : std::trunc(v); };
            const cv::Point2d at = camera[k] - cv::Point2d(whole(c.x), whole(c.y));
            const cv::Mat expected = lumaOf(toFrame(shot(at), fcc::GRAY));
            EXPECT_LT(cv::norm(lumaOf(dst)(mid), expected(mid), cv::NORM_L1), 1.5 * mid.area());
            EXPECT_LE(cv::norm(cv::Vec2d(c.x, c.y), cv::NORM_INF), limit) << k;
            EXPECT_TRUE(limit == 1 || cv::norm(at - pan[k]) < 6.0) << k;
            if (k % 40 != 0)  // not across the cut
                shake += cv::Vec4d(
                    std::pow(cv::norm(camera[k] - camera[k - 1] - pan[k] + pan[k - 1]), 2),
                    std::pow(cv::norm(at - last - pan[k] + pan[k - 1]), 2),
                    std::pow(cv::norm(camera[k] - pan[k]), 2), std::pow(cv::norm(at - pan[k]), 2));
            last = at;
            ++k;
        };
        for (int i = 0; i < 70; ++i) {
            if (i == 40)
                s.cut();
            ASSERT_EQ(s.stabilise(toFrame(shot(camera[i]), format), dst), i >= latency) << i;
            if (i >= latency)
                check();
        }
        while (s.drain(dst))
            check();
        EXPECT_EQ(k, camera.size());
        EXPECT_TRUE(limit == 1 || (16.0 * shake[1] < shake[0] && 4.0 * shake[3] < shake[2]))
            << shake;
    }
}

TEST(LookaheadStabiliserTest, SteadyPanComesOutOnItsLineAndFrameKPlusNCounts) {
    // a pan of (2, 0.5) a frame shaken at periods of 2.5 and 4 frames, which a window of
    // sigma N / 3 = 5 averages away: frames with the whole window come out on the line
    const cv::Mat scene = texturedScene(480, 260, 3);
    const int n = 15, count = 50, k = 20;  // frame k is written as frame k + N comes in
    const auto camera = [](int i, double nudge) {
        return cv::Point2d(30 + 2.0 * i + 1.5 * std::sin(2.51 * i) + nudge,
                           30 + 0.5 * i + 1.5 * std::cos(1.57 * i));
    };
    Correction atK[2];
    for (const double nudge : {0.0, 30.0}) {
        LookaheadStabiliser s(n);
        orl::video::Frame dst;
        for (int i = 0; i < count; ++i) {
            const cv::Point2d at = camera(i, i == k + n ? nudge : 0.0);
            if (!s.stabilise(toFrame(view(scene, {320, 180}, at), fcc::BGR3), dst))
                continue;
            const int out = i - n;
            const Correction c = s.lastCorrection();
            const cv::Point2d line(30 + 2.0 * out, 30 + 0.5 * out);  // where it comes out
            if (nudge == 0.0 && out >= n) {                          // N frames on either side
                EXPECT_LT(cv::norm(camera(out, 0.0) - cv::Point2d(c.x, c.y) - line), 0.15) << out;
            }
            if (out == k)
                atK[nudge == 0.0 ? 0 : 1] = c;
        }
    }
    // the last frame held when frame k is written still moves it
    EXPECT_GT(std::hypot(atK[1].x - atK[0].x, atK[1].y - atK[0].y), 1e-3);
}
