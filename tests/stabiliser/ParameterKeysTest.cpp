// The settings by name: front-end texts with known settings, the modes that
// read them, and the three mode classes refusing the same bad settings with
// the same words.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>
#include <calmora/ParameterKeys.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>

using namespace orl::calmora;

namespace {

using Change = std::function<void(ModeSettings&)>;

ModeSettings changed(const Change& change) {
    ModeSettings s;
    change(s);
    return s;
}

}  // namespace

TEST(ParameterKeysTest, FrontEndTextsGiveKnownSettings) {
    const struct {
        const char* name;
        const char* text;
        Change expected;  // applied to defaults; null: refused, with the name in the message
    } table[] = {
        {"zoom", "50", [](ModeSettings& s) { s.zoom = 1.5; }},
        {"zoom", "300", [](ModeSettings& s) { s.zoom = 4.0; }},
        {"zoom", "auto", [](ModeSettings& s) { s.zoomAuto = true; }},
        {"zoom", "300.5", nullptr},
        {"zoom", "-1", nullptr},
        {"latency", "300", [](ModeSettings& s) { s.latencyFrames = 300; }},
        {"latency", "1.9", [](ModeSettings& s) { s.latencyFrames = 1; }},
        {"latency", "0", nullptr},
        {"smoothing", "0.4", nullptr},
        {"smoother", "gaussian", [](ModeSettings& s) { s.smoother = PathSmoother::GAUSSIAN; }},
        {"smoother", "l2", nullptr},
        {"mode", "offline", [](ModeSettings& s) { s.mode = StabiliserMode::OFFLINE; }},
        {"mode", "1", [](ModeSettings& s) { s.mode = StabiliserMode::LOOKAHEAD; }},
        {"mode", "sideways", nullptr},
        {"cut_detection", "off", [](ModeSettings& s) { s.detectCuts = false; }},
        {"detect-cuts", "maybe", nullptr},
        {"type", "flow", [](ModeSettings& s) { s.params.type = 1; }},
        {"type", "3", nullptr},
        {"xFilterCoeff", "1", [](ModeSettings& s) { s.params.xFilterCoeff = 1.0f; }},
        {"x_filter_coeff", "1.01", nullptr},
        {"scale-factor", "8.9", [](ModeSettings& s) { s.params.scaleFactor = 8; }},
        {"scale-factor", "0.9", nullptr},
        {"const-x-offset", "-12.7", [](ModeSettings& s) { s.params.constXOffset = -12; }},
        {"fps", "25", [](ModeSettings& s) { s.params.fps = 25.0f; }},
        {"enable", "no", [](ModeSettings& s) { s.params.enable = false; }},
        {"refinements", "0", [](ModeSettings& s) { s.refinements = false; }},
        {"rolling_shutter", "0.85", [](ModeSettings& s) { s.rollingShutter = 0.85; }},
        {"rolling-shutter", "auto", [](ModeSettings& s) { s.rollingShutterAuto = true; }},
        {"rollingShutter", "1.01", nullptr},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(std::string(row.name) + "=" + row.text);
        const ParameterKey* key = findParameter(row.name);
        ASSERT_NE(key, nullptr);
        ModeSettings s;
        std::string error;
        const bool set = setSettingText(s, *key, row.text, Units::FRONT_END, error);
        ASSERT_EQ(set, row.expected != nullptr) << error;
        const ModeSettings want = row.expected ? changed(row.expected) : ModeSettings{};
        for (const ParameterKey& k : parameterKeys())  // nothing else changed
            EXPECT_EQ(settingText(s, k, Units::LIBRARY), settingText(want, k, Units::LIBRARY))
                << k.option;
        EXPECT_TRUE(set || error.find(key->option) == 0) << error;
    }
}

TEST(ParameterKeysTest, RangesAndDefaultsAsFrontEndsShowThem) {
    const std::tuple<const char*, const char*, const char*> table[] = {
        {"latency", "1..300", "15"},
        {"zoom", "0..300 or auto", "0"},
        {"smoothing", "0.5..1000", "15"},
        {"smoother", "l1 or gaussian", "l1"},
        {"a-offset-limit", "0..89", "0.2"},
        {"x-filter-coeff", "0..1", "0"},
        {"const-x-offset", "any integer", "0"},
        {"type", "fft, flow or flow-rotation", "flow-rotation"},
        {"mode", "live, lookahead or offline", "live"},
        {"detect-cuts", "true or false", "true"},
        {"refinements", "true or false", "true"},
        {"rolling-shutter", "0..1 or auto", "0"},
    };
    for (const auto& [name, range, initial] : table) {
        const ParameterKey& key = *findParameter(name);
        EXPECT_EQ(rangeText(key, Units::FRONT_END), range);
        EXPECT_EQ(defaultText(key, Units::FRONT_END), initial);
    }
    EXPECT_EQ(rangeText(*findParameter("zoom"), Units::LIBRARY), "1..4 or auto");
    // a bare live stabiliser starts without the refinements every front end uses
    EXPECT_EQ(defaultText(*findParameter("refinements"), Units::LIBRARY), "false");
    EXPECT_FALSE(CalmoraOpenCv().getRefinements());
}

TEST(ParameterKeysTest, AReadoutIsRefusedForFramesTheWarpCannotShiftRowByRow) {
    namespace fcc = orl::video::fourcc;
    const std::tuple<uint32_t, bool, double, bool> table[] = {
        // format, refinements, readout (negative: auto), refused
        {fcc::BGR3, false, 0.5, false}, {fcc::NV12, true, 0.5, false},
        {fcc::NV12, false, 0.5, true},  {fcc::YUYV, false, -1.0, true},
        {fcc::NV12, false, 0.0, false}, {fcc::H264, true, 0.5, true},
    };
    for (const auto& [format, refinements, readout, refused] : table) {
        ModeSettings s;
        std::tie(s.refinements, s.rollingShutter, s.rollingShutterAuto) =
            std::tuple(refinements, std::max(readout, 0.0), readout < 0.0);
        const std::string message = refusedReadout(s, format);
        EXPECT_EQ(!message.empty(), refused) << message;
        EXPECT_TRUE(message.empty() || message.find("rolling-shutter: ") == 0) << message;
    }
}

TEST(ParameterKeysTest, EachModeReadsItsOwnSettings) {
    const struct {
        const char* name;
        bool live, lookahead, offline;
    } table[] = {
        {"latency", false, true, false},   {"smoothing", false, false, true},
        {"zoom", true, true, true},        {"detect-cuts", true, true, true},
        {"a-filter-coeff", true, false, false}, {"type", true, true, true},
        {"log-mod", true, false, false},   {"smoother", false, false, true},
        {"rolling-shutter", true, true, true},
    };
    for (const auto& row : table) {
        const ParameterKey* key = findParameter(row.name);
        ASSERT_NE(key, nullptr) << row.name;
        const bool used[] = {row.live, row.lookahead, row.offline};
        for (const auto mode :
             {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
            const ParameterKey* unused = firstUnused(mode, {findParameter("type"), key});
            EXPECT_EQ(unused == nullptr, used[static_cast<int>(mode)]) << row.name;
            if (unused != nullptr) {
                EXPECT_EQ(unusedMessage(*unused, mode, "--x").find("--x is not used in"), 0u);
            }
        }
    }
}

TEST(ParameterKeysTest, TheThreeModesRefuseTheSameSettingsInTheSameWords) {
    CalmoraOpenCv live;
    LookaheadStabiliser lookahead;
    OfflineStabiliser offline;
    const std::vector<std::pair<Change, const char*>> bad = {
        {[](ModeSettings& s) { s.latencyFrames = 0; }, "latency"},
        {[](ModeSettings& s) { s.latencyFrames = 301; }, "latency"},
        {[](ModeSettings& s) { s.smoothingFrames = NAN; }, "smoothing"},
        {[](ModeSettings& s) { s.zoom = 0.99; }, "zoom"},
        {[](ModeSettings& s) { s.zoom = 4.01; }, "zoom"},
        {[](ModeSettings& s) { s.params.scaleFactor = 0; }, "scale-factor"},
        {[](ModeSettings& s) { s.params.xOffsetLimit = 1025; }, "x-offset-limit"},
        {[](ModeSettings& s) { s.params.aOffsetLimit = 89.5f; }, "a-offset-limit"},
        {[](ModeSettings& s) { s.params.yFilterCoeff = -0.01f; }, "y-filter-coeff"},
        {[](ModeSettings& s) { s.params.type = 3; }, "type"},
        {[](ModeSettings& s) { s.params.fps = INFINITY; }, "fps"},
        {[](ModeSettings& s) { s.rollingShutter = -0.1; }, "rolling-shutter"},
        {[](ModeSettings& s) { std::tie(s.rollingShutter, s.params.type) = std::tuple(0.5, 0); },
         "rolling-shutter"},
    };
    // a refused setting changes nothing: the zoom stays where a good one put it
    ModeSettings good;
    good.zoom = 2.0;
    ASSERT_TRUE(live.configure(good) && lookahead.configure(good) && offline.configure(good));
    for (const auto& [change, name] : bad) {
        const ModeSettings s = changed(change);
        std::string byLive, byLookahead, byOffline;
        EXPECT_FALSE(live.configure(s, &byLive));
        EXPECT_FALSE(lookahead.configure(s, &byLookahead));
        EXPECT_FALSE(offline.configure(s, &byOffline));
        EXPECT_EQ(byLive.find(std::string(name) + ": "), 0u) << byLive;
        EXPECT_TRUE(byLive == byLookahead && byLive == byOffline) << byLive;
        EXPECT_EQ(byLive, validate(s));
    }
    EXPECT_EQ(live.getZoom(), 2.0);
    // the whole path is known only offline
    ModeSettings automatic;
    automatic.zoomAuto = true;
    std::string error;
    EXPECT_TRUE(!live.configure(automatic, &error) && error.find("offline") != std::string::npos);
    EXPECT_FALSE(lookahead.configure(automatic));
    EXPECT_TRUE(offline.configure(automatic));
    automatic = ModeSettings{};
    automatic.rollingShutterAuto = true;
    EXPECT_TRUE(!lookahead.configure(automatic, &error) && error.find("offline") != std::string::npos);
    EXPECT_TRUE(offline.configure(automatic));
    // settings the classes take: the starting parameters, a latency of their own
    ModeSettings taken;
    taken.latencyFrames = 7;
    taken.params.type = 1;
    ASSERT_TRUE(live.configure(taken) && lookahead.configure(taken));
    EXPECT_EQ(lookahead.latency(), 7);
    EXPECT_TRUE(live.getParams().type == 1 && lookahead.getParams().type == 1);
    EXPECT_EQ(CalmoraOpenCv().getParams().aOffsetLimit, ModeSettings{}.params.aOffsetLimit);
}
