// A camera whose rows are exposed one after another, shaken by hand and
// vibrated along a known path: with the true readout lookahead and offline
// take out most of the wobble a per-frame similarity cannot, live does not
// add to it, the readout is found from the clip, a global shutter is found
// to be one, and a readout of 0 (or shifts of 0) changes no byte.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CameraPath.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>

#include "RowWarp.h"
#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <tuple>

using namespace orl::calmora;
using namespace calmora_test;
namespace fcc = orl::video::fourcc;
using Mode = StabiliserMode;

namespace {

constexpr int FRAMES = 32;

// Every frame of `clip` through `mode` at `readout` (negative: auto), in
// order; the offline readout into `used`.
std::vector<cv::Mat> stabilised(const RollingShutterClip& clip, Mode mode, double readout,
                                double* used = nullptr) {
    ModeSettings settings;
    std::tie(settings.mode, settings.latencyFrames) = std::tuple(mode, 10);
    settings.rollingShutter = std::max(readout, 0.0);
    settings.rollingShutterAuto = readout < 0.0;
    std::vector<cv::Mat> out;
    orl::video::Frame dst;
    std::vector<orl::video::Frame> in;
    for (const cv::Mat& f : clip.frames)
        in.push_back(toFrame(f, fcc::BGR3));
    LookaheadStabiliser lookahead;
    CalmoraOpenCv live;
    OfflineStabiliser offline;
    EXPECT_TRUE(mode == Mode::LIVE ? live.configure(settings)
                : mode == Mode::LOOKAHEAD ? lookahead.configure(settings)
                                          : offline.configure(settings));
    for (const auto& f : in)
        if (mode == Mode::OFFLINE)
            offline.add(f);
    EXPECT_TRUE(offline.plan());
    for (size_t k = 0; k < in.size(); ++k) {
        if (mode == Mode::OFFLINE)
            offline.apply(static_cast<int>(k), in[k], dst);
        if (mode == Mode::LIVE)
            live.stabilise(in[k], dst);
        if (mode != Mode::LOOKAHEAD || lookahead.stabilise(in[k], dst))
            out.push_back(bgrOf(dst));
    }
    while (lookahead.drain(dst))
        out.push_back(bgrOf(dst));
    if (used != nullptr)
        *used = offline.readout();
    return out;
}

}  // namespace

TEST(RollingShutterTest, TheTrueReadoutTakesOutTheWobbleAndIsFoundFromTheClip) {
    const RollingShutterClip clip = rollingShutterClip({480, 320}, FRAMES, 0.85, 5.0);
    const Wobble in = measureWobble(clip, clip.frames, 4, FRAMES - 4);
    ASSERT_GT(in.wobble, 0.5);  // the clip wobbles
    const struct {
        Mode mode;
        double readout;
        double share;  // of the input's wobble left at most
    } table[] = {{Mode::LOOKAHEAD, 0.85, 1 / 3.0}, {Mode::OFFLINE, 0.85, 1 / 3.0},
                 {Mode::OFFLINE, -1.0, 1 / 3.0},   {Mode::LIVE, 0.85, 1.0}};
    Wobble without[3];  // per mode, readout 0
    for (const Mode mode : {Mode::LIVE, Mode::LOOKAHEAD, Mode::OFFLINE})
        without[static_cast<int>(mode)] =
            measureWobble(clip, stabilised(clip, mode, 0.0), 4, FRAMES - 4);
    for (const auto& row : table) {
        SCOPED_TRACE(std::string(modeName(row.mode)) + " " + std::to_string(row.readout));
        double used = 0.0;
        const Wobble out = measureWobble(clip, stabilised(clip, row.mode, row.readout, &used), 4,
                                         FRAMES - 4);
        const Wobble& none = without[static_cast<int>(row.mode)];
        EXPECT_LT(out.wobble, row.share * in.wobble);
        EXPECT_GT(none.wobble, 0.9 * in.wobble);  // a global correction leaves it
        EXPECT_LT(out.shake, 1.1 * none.shake);
        if (row.readout < 0.0) {
            EXPECT_NEAR(used, 0.85, 0.1);
        }
    }
}

TEST(RollingShutterTest, AGlobalShutterIsFoundToBeOne) {
    const RollingShutterClip clip = rollingShutterClip({480, 320}, FRAMES, 0.0, 5.0);
    double used = 1.0;
    const Wobble automatic = measureWobble(clip, stabilised(clip, Mode::OFFLINE, -1.0, &used), 4,
                                           FRAMES - 4);
    const Wobble none = measureWobble(clip, stabilised(clip, Mode::OFFLINE, 0.0), 4, FRAMES - 4);
    EXPECT_LE(used, 0.1);
    EXPECT_LE(automatic.wobble, 1.05 * none.wobble + 0.005);
}

TEST(RollingShutterTest, ShiftsOfWholePixelsAreTheMatrixMovedAndZeroShiftsChangeNothing) {
    const cv::Mat picture = texturedScene(96, 64, 4);
    // the row shifts and the correction that moves every row alike
    RowShifts rows;
    std::fill(rows.x, rows.x + RowShifts::BANDS, 2.0);
    std::fill(rows.y, rows.y + RowShifts::BANDS, -4.0);
    const Correction c{3.25, -1.5, 0.0, 1.0}, moved{1.25, 2.5, 0.0, 1.0};
    CalmoraParams params;
    params.type = 2;
    for (const uint32_t format : {fcc::GRAY, fcc::BGR3, fcc::NV12, fcc::YU12, fcc::YUYV}) {
        SCOPED_TRACE(format);
        const orl::video::Frame src = toFrame(picture, format);
        orl::video::Frame shifted, expected, none, plain;
        ASSERT_TRUE(writeCorrected(src, shifted, c, params, true, &rows));
        ASSERT_TRUE(writeCorrected(src, expected, moved, params, true));
        EXPECT_EQ(std::memcmp(shifted.data, expected.data, src.size), 0);
        const RowShifts zero;
        ASSERT_TRUE(writeCorrected(src, none, moved, params, true, &zero));
        ASSERT_TRUE(writeCorrected(src, plain, moved, params, true));
        EXPECT_EQ(std::memcmp(none.data, plain.data, src.size), 0);
    }
    // a table of zeros gives warpAffine's bytes, a turn and a zoom included
    const cv::Matx23d m(1.08, -0.05, 2.3, 0.05, 1.08, -6.1);
    RowTable table;
    fillRowTable(RowShifts{}, picture.rows, picture.rows, 1.0, 1.0, 0.0, table);
    cv::Mat byRows = cv::Mat::zeros(picture.size(), picture.type()), byAffine = byRows.clone();
    warpRows(picture, byRows, m, table);
    cv::warpAffine(picture, byAffine, m, picture.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    EXPECT_EQ(cv::norm(byRows, byAffine, cv::NORM_INF), 0.0);
}
