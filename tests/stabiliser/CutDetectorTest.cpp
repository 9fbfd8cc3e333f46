// Known motions and their evidence for every type; a live caller and the live
// class find the cuts of edited footage at known frames, none in a pan; zoom.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CutDetector.h>
#include <calmora/LookaheadStabiliser.h>

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
