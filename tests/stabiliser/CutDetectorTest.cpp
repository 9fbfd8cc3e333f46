// Known motions and their evidence for every type; a live caller and the live
// class find the cuts of edited footage at known frames, none in a pan; zoom;
// in every mode, people walking before the camera are not taken for it.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CutDetector.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace orl::calmora;
using calmora_test::toFrame;
namespace fcc = orl::video::fourcc;
constexpr int SHOT = 6;  // frames per shot

// Edited: four shots, cuts at 6, 12, 18. Otherwise one shot panning 5 pixels a
// frame under rising light. A shake of 4 pixels comes from sines of unrelated periods.
static std::vector<cv::Mat> clip(bool edited) {
    std::vector<cv::Mat> frames(4 * SHOT);
    cv::Mat scene;
    for (int k = 0; k < 4 * SHOT; ++k) {
        if (k % SHOT == 0)  // a new shot, or the same scene again
            scene = calmora_test::texturedScene(520, 340, edited ? 11 + k / SHOT : 3);
        const double panX = edited ? 40 : 20 + 5.0 * k, light = edited ? 0 : 0.01 * k;
        const cv::Point2d at(panX + 4 * std::sin(2.3 * k), 50 + 4 * std::sin(3.7 * k));
        calmora_test::view(scene, {320, 240}, at, 0.01 * std::sin(1.9 * k))
            .convertTo(frames[k], -1, 1.0 + light, 200 * light);
    }
    return frames;
}

TEST(MeasurerAndCutDetector, MeasureKnownMotionsAndFindEveryCutOfEditedFootageForEveryType) {
    const cv::Mat scene = calmora_test::texturedScene(320, 240, 7);
    // type 0 measures whole analysed pixels of 1.25 x 0.9375; a turn of 0.02
    // about the centre (160, 120) adds (2.43, -3.18) to the shift (6, -4)
    const cv::Mat shifted = calmora_test::moved(scene, 6, -4) + cv::Scalar::all(20);  // brighter
    const cv::Mat turned = calmora_test::moved(scene, 6, -4, 0.02) + cv::Scalar::all(20);
    for (const auto& [type, format] : {std::pair{0, fcc::NV12}, {1, fcc::GRAY}, {2, fcc::BGR3}}) {
        SCOPED_TRACE(type);
        MotionMeasurer measurer;
        CalmoraParams params;
        params.type = type;
        const auto measure = [&, f = format](const cv::Mat& bgr) {
            return measurer.measure(toFrame(bgr, f), params);
        };
        const Measurement first = measure(scene), m = measure(type == 0 ? shifted : turned),
                          unrelated = measure(calmora_test::texturedScene(320, 240, 8));
        EXPECT_TRUE(first.restarted && !first.measured && m.measured && !m.restarted);
        EXPECT_NEAR(m.x, type == 0 ? 6.25 : 8.43, 0.5);
        EXPECT_NEAR(m.y, type == 0 ? -3.75 : -7.18, 0.5);
        EXPECT_NEAR(m.a, type == 2 ? 0.02 : 0.0, 0.002);
        EXPECT_GT(m.confidence, type == 0 ? unrelated.confidence : 0.5);
        EXPECT_LT(m.residual, 3.0);
        EXPECT_TRUE(unrelated.confidence < 0.3 && unrelated.residual > 3 * m.residual);
        measurer.reset();
        EXPECT_FALSE(measure(scene).measured);

        for (const bool edited : {true, false}) {
            // a caller applying the cut rule itself, and the live class applying it
            CalmoraOpenCv s, live;
            ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
            live.init(s.getParams());
            live.setCutDetection(true);
            CutDetector detector;
            orl::video::Frame dst, dstFound;
            std::vector<int> cuts, foundLive;
            const std::vector<cv::Mat> frames = clip(edited);
            for (size_t k = 0; k < frames.size(); ++k) {
                const orl::video::Frame frame = toFrame(frames[k], format);
                ASSERT_TRUE(s.stabilise(frame, dst) && live.stabilise(frame, dstFound));
                if (detector.isCut(frame, s.lastMeasurement())) {
                    cuts.push_back(static_cast<int>(k));
                    s.executeCommand(RESET);  // again from a fresh path
                    ASSERT_TRUE(s.stabilise(frame, dst));
                }
                if (live.lastWasCut())
                    foundLive.push_back(static_cast<int>(k));
                float want[3], got[3];
                s.getOffsets(want[0], want[1], want[2]);
                live.getOffsets(got[0], got[1], got[2]);
                EXPECT_TRUE(std::equal(want, want + 3, got)) << k;
            }
            EXPECT_EQ(cuts, (edited ? std::vector<int>{6, 12, 18} : std::vector<int>{}));
            EXPECT_EQ(foundLive, cuts);
            // the lookahead class finds the same cuts itself and then writes
            // what a caller calling cut() there gets
            LookaheadStabiliser finds(4), told(4);
            finds.init(s.getParams());
            told.init(s.getParams());
            finds.setCutDetection(true);
            std::vector<int> found;
            std::vector<Correction> expected, got;
            for (size_t k = 0; k <= frames.size(); ++k) {
                const bool end = k == frames.size();
                if (!end && std::count(cuts.begin(), cuts.end(), static_cast<int>(k)))
                    told.cut();
                const auto out = [&](LookaheadStabiliser& l, std::vector<Correction>& c) {
                    if (end ? l.drain(dst) : l.stabilise(toFrame(frames[k], format), dst))
                        c.push_back(l.lastCorrection());
                };
                out(finds, got);
                out(told, expected);
                if (!end && finds.lastWasCut())
                    found.push_back(static_cast<int>(k));
            }
            EXPECT_EQ(found, cuts);
            ASSERT_EQ(got.size(), expected.size());
            for (size_t k = 0; k < got.size(); ++k)
                EXPECT_TRUE(got[k].x == expected[k].x && got[k].y == expected[k].y &&
                            got[k].a == expected[k].a)
                    << k;
            ASSERT_TRUE(s.setParam(ENABLE, 0));  // nothing measured while disabled
            ASSERT_TRUE(s.stabilise(toFrame(frames[0], format), dst));
            EXPECT_FALSE(s.lastMeasurement().measured);
            s.executeCommand(ON);  // afresh: the next frame is corrected by the zoom alone
            EXPECT_TRUE(s.setZoom(4.0) && s.setZoom(1.0) && s.setZoom(1.5) && !s.setZoom(0.99) &&
                        !s.setZoom(4.01) && !s.setZoom(NAN) && s.getZoom() == 1.5);
            const orl::video::Frame in = toFrame(scene, format);
            ASSERT_TRUE(s.stabilise(in, dst));
            cv::Mat want;  // subsampled formats are only ever shifted
            cv::warpAffine(calmora_test::lumaOf(in), want,
                           cv::getRotationMatrix2D({160, 120}, 0, format == fcc::NV12 ? 1 : 1.5),
                           {320, 240});
            EXPECT_LT(cv::norm(calmora_test::lumaOf(dst), want, cv::NORM_L1), 2.0 * want.total());
        }
    }
}

// Each frame through `mode` as the front ends set it up (refinements on): the
// correction of each frame and the picture written, in order.
static void play(const std::vector<cv::Mat>& frames, StabiliserMode mode,
                 std::vector<Correction>& corrections, std::vector<cv::Mat>& out) {
    ModeSettings settings;
    settings.mode = mode;
    CalmoraOpenCv live;
    LookaheadStabiliser ahead;
    OfflineStabiliser offline;
    ASSERT_TRUE(live.configure(settings) && ahead.configure(settings) &&
                offline.configure(settings));
    orl::video::Frame dst;
    const auto keep = [&](Correction c) {
        corrections.push_back(c), out.push_back(calmora_test::lumaOf(dst));
    };
    for (const cv::Mat& bgr : frames) {
        float x = 0, y = 0, a = 0;
        if (mode == StabiliserMode::LIVE && live.stabilise(toFrame(bgr, fcc::BGR3), dst))
            live.getOffsets(x, y, a), keep({x, y, a, 1.0});
        if (mode == StabiliserMode::LOOKAHEAD && ahead.stabilise(toFrame(bgr, fcc::BGR3), dst))
            keep(ahead.lastCorrection());
        if (mode == StabiliserMode::OFFLINE)
            offline.add(toFrame(bgr, fcc::BGR3));
    }
    while (mode == StabiliserMode::LOOKAHEAD && ahead.drain(dst))
        keep(ahead.lastCorrection());
    offline.plan();
    for (size_t k = 0; mode == StabiliserMode::OFFLINE && k < frames.size(); ++k)
        if (offline.apply(static_cast<int>(k), toFrame(frames[k], fcc::BGR3), dst))
            keep(offline.corrections()[k]);
}

// Three large blocks walk across the scene, each its own way, before a still
// camera, one shaken by up to 3 pixels and one turned by up to 0.01 radians
// about the frame centre: every mode leaves the still picture where it is
// (within 0.02 pixels), takes out the shake and the turn (4 times less),
// adds no shift to the turn and no turn (1e-5 radians a frame) to the rest.
TEST(MeasurerAndCutDetector, PeopleWalkingThroughAreNotTheCameraInAnyMode) {
    const cv::Point2d centre(320, 180);
    for (const auto& [shake, turn] : {std::pair{0.0, 0.0}, {3.0, 0.0}, {0.0, 0.01}}) {
        const auto clip = calmora_test::shakyClip({640, 360}, 32, shake, turn, 5, 3, 2.0);
        for (const StabiliserMode mode :
             {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
            SCOPED_TRACE(testing::Message() << modeName(mode) << " " << shake << " " << turn);
            std::vector<Correction> c;
            std::vector<cv::Mat> out;
            play(clip.frames, mode, c, out);
            ASSERT_EQ(c.size(), clip.frames.size());
            cv::Vec4d steps;  // squared steps of the camera's centre, then angle: before, after
            cv::Point2d last;
            for (size_t k = 0; k < c.size(); ++k) {
                // the correction turns about the top-left corner, then shifts
                const double cosA = std::cos(c[k].a), sinA = std::sin(c[k].a);
                const cv::Point2d moved(cosA * centre.x - sinA * centre.y + c[k].x - centre.x,
                                        sinA * centre.x + cosA * centre.y + c[k].y - centre.y);
                const size_t j = k > 0 ? k - 1 : 0;
                steps +=
                    cv::Vec4d(std::pow(cv::norm(clip.topLeft[k] - clip.topLeft[j]), 2),
                              k > 0 ? std::pow(cv::norm(clip.topLeft[k] - moved - last), 2) : 0,
                              std::pow(clip.angle[k] - clip.angle[j], 2),
                              std::pow(clip.angle[k] - c[k].a - clip.angle[j] + c[j].a, 2));
                last = clip.topLeft[k] - moved;
                if (shake > 0.0 || turn > 0.0)
                    continue;
                // still: the scene about the blocks no further from the input
                // than a shift of 0.02 pixels takes it
                EXPECT_LE(cv::norm(moved), 0.02) << k;
                cv::Mat scene(360, 640, CV_8U, cv::Scalar(255));
                for (const cv::Rect& r : clip.movers[k])  // scene to frame: -40
                    cv::rectangle(scene, {r.x - 45, r.y - 45, r.width + 10, r.height + 10}, 0,
                                  cv::FILLED);
                const cv::Mat in = calmora_test::lumaOf(toFrame(clip.frames[k], fcc::BGR3));
                EXPECT_LE(cv::norm(out[k], in, cv::NORM_L1, scene),
                          cv::norm(calmora_test::moved(in, 0.02, 0.0), in, cv::NORM_L1, scene))
                    << k;
            }
            EXPECT_TRUE(shake == 0.0 || 16.0 * steps[1] < steps[0]) << steps;
            EXPECT_TRUE(turn == 0.0 || (16.0 * steps[3] < steps[2] && steps[1] < 0.01 * c.size()))
                << steps;
            // a camera that does not turn is not turned by what walks before it
            EXPECT_TRUE(turn > 0.0 || steps[3] < 1e-10 * c.size()) << steps;
        }
    }
}
