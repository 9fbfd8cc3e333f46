// The element calmorastab in real pipelines, against the library called
// directly on the same frames. GStreamer finds the element in the build tree
// only and keeps its registry in a folder of this test's own.
#include "Process.h"
#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/ParameterKeys.h>
#include <calmora/run/MotionMeter.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

using namespace calmora_test;
using Bytes = std::vector<uint8_t>;
using orl::calmora::ModeSettings;
using orl::calmora::ParameterKey;
using orl::calmora::StabiliserMode;
using orl::calmora::ValueKind;
namespace fcc = orl::video::fourcc;

namespace {

constexpr GstClockTime kFrameNs = GST_SECOND / 25;

struct GstSetup : ::testing::Environment {
    TempFolder registry;
    void SetUp() override {
        setenv("GST_PLUGIN_PATH", CALMORA_GST_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY", registry.file("registry.bin").c_str(), 1);
        gst_init(nullptr, nullptr);
    }
};
const auto* const kSetup = ::testing::AddGlobalTestEnvironment(new GstSetup);

// The library's packed layout: per plane, bytes per row and rows as
// fractions of the width and the height.
struct Format {
    const char* name;
    uint32_t fourcc;
    std::vector<std::pair<double, double>> planes;
};
const Format kFormats[] = {{"BGR", fcc::BGR3, {{3, 1}}},
                           {"RGB", fcc::RGB3, {{3, 1}}},
                           {"GRAY8", fcc::GRAY, {{1, 1}}},
                           {"NV12", fcc::NV12, {{1, 1}, {1, 0.5}}},
                           {"NV21", fcc::NV21, {{1, 1}, {1, 0.5}}},
                           {"I420", fcc::YU12, {{1, 1}, {0.5, 0.5}, {0.5, 0.5}}},
                           {"YV12", fcc::YV12, {{1, 1}, {0.5, 0.5}, {0.5, 0.5}}},
                           {"YUY2", fcc::YUYV, {{2, 1}}},
                           {"UYVY", fcc::UYVY, {{2, 1}}}};
void PrintTo(const Format& f, std::ostream* os) {
    *os << f.name;
}

// Copies packed planes into a mapped frame (with its strides) or back.
void copyPlanes(const Format& f, GstVideoFrame* frame, uint8_t* packed, bool intoFrame) {
    for (size_t p = 0, offset = 0; p < f.planes.size(); ++p) {
        const auto rowBytes = static_cast<size_t>(GST_VIDEO_FRAME_WIDTH(frame) * f.planes[p].first);
        const auto rows = static_cast<size_t>(GST_VIDEO_FRAME_HEIGHT(frame) * f.planes[p].second);
        auto* data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, p));
        const size_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, p);
        for (size_t r = 0; r < rows; ++r, offset += rowBytes)
            std::memcpy(intoFrame ? data + r * stride : packed + offset,
                        intoFrame ? packed + offset : data + r * stride, rowBytes);
    }
}

// Where two pictures first differ; -1 when they are the same.
long firstDifference(const Bytes& a, const orl::video::Frame& b) {
    const auto at = std::mismatch(a.begin(), a.end(), b.data, b.data + b.size).first;
    return at == a.end() && a.size() == b.size ? -1 : at - a.begin();
}

// A pipeline from gst-launch syntax, stopped and freed with the object.
struct Pipeline {
    GstElement* bin;
    explicit Pipeline(const std::string& text) : bin(gst_parse_launch(text.c_str(), nullptr)) {
        EXPECT_NE(bin, nullptr) << text;
        gst_element_set_state(bin, GST_STATE_PLAYING);
    }
    ~Pipeline() {
        gst_element_set_state(bin, GST_STATE_NULL);
        gst_object_unref(bin);
    }
    GstElement* operator[](const char* name) const {
        GstElement* element = gst_bin_get_by_name(GST_BIN(bin), name);
        gst_object_unref(element);  // the pipeline keeps it
        return element;
    }
};

struct Outputs {
    std::vector<Bytes> frames;
    std::vector<GstClockTime> pts;
};

// Takes one output from `sink`: false at the end of the stream.
bool pull(const Format& f, GstElement* sink, Outputs& out) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    if (sample == nullptr)
        return false;
    GstVideoInfo info;
    GstVideoFrame frame;
    gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
    gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ);
    out.frames.emplace_back(orl::video::Frame(info.width, info.height, f.fourcc).size);
    copyPlanes(f, &frame, out.frames.back().data(), false);
    out.pts.push_back(GST_BUFFER_PTS(frame.buffer));
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
    return true;
}

// Pushes `inputs` one at a time, frame `discontAt` marked DISCONT, switches
// `enable` off before frame `offAt` (once the output before it came out) and
// collects every output. `more` adds properties.
Outputs runElement(const Format& f, const std::vector<orl::video::Frame>& inputs, int latency,
                   size_t discontAt, size_t offAt, const std::string& more = "") {
    GstVideoInfo info;
    gst_video_info_set_format(&info, gst_video_format_from_string(f.name), inputs[0].width,
                              inputs[0].height);
    const Pipeline p("appsrc name=src format=time caps=video/x-raw,format=" + std::string(f.name) +
                     ",width=" + std::to_string(info.width) +
                     ",height=" + std::to_string(info.height) + " ! calmorastab name=stab" +
                     (latency > 0 ? " mode=lookahead latency=" + std::to_string(latency) : "") +
                     more + " ! appsink name=sink sync=false");
    Outputs out;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (i == offAt)
            g_object_set(p["stab"], "enable", FALSE, nullptr);
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, info.size, nullptr);
        GstVideoFrame frame;
        gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE);
        copyPlanes(f, &frame, inputs[i].data, true);
        gst_video_frame_unmap(&frame);
        GST_BUFFER_PTS(buffer) = i * kFrameNs;
        GST_BUFFER_FLAGS(buffer) = i == discontAt ? GST_BUFFER_FLAG_DISCONT : 0;
        gst_app_src_push_buffer(GST_APP_SRC(p["src"]), buffer);
        if (static_cast<int>(i) >= latency && !pull(f, p["sink"], out))
            ADD_FAILURE() << "no output after frame " << i;
    }
    gst_app_src_end_of_stream(GST_APP_SRC(p["src"]));
    while (pull(f, p["sink"], out))
        continue;
    return out;
}

class EveryFormat : public ::testing::TestWithParam<Format> {};

TEST_P(EveryFormat, MatchesTheLibraryByteForByteWithAndWithoutPaddedRows) {
    const Format& f = GetParam();
    const size_t offAt = 7, discontAt = 4;  // a discontinuity in live mode only
    // 242 pixels make GStreamer pad the rows of every format but the 4:2:2 ones
    for (const cv::Size size : {cv::Size(160, 120), cv::Size(242, 180)})
        for (const int latency : {0, 3}) {
            std::vector<orl::video::Frame> inputs, expected;
            for (const cv::Mat& bgr : shakyClip(size, 10, 6.0, 0.01).frames)
                inputs.push_back(toFrame(bgr, f.fourcc));
            // the library called directly and configured as the element
            // configures it, `enable` switched off at the same frame
            ModeSettings settings;
            settings.latencyFrames = std::max(latency, 1);
            orl::calmora::CalmoraOpenCv live;
            orl::calmora::LookaheadStabiliser lookahead(settings.latencyFrames);
            orl::video::Frame dst;
            for (size_t i = 0; i < inputs.size(); ++i) {
                settings.params.enable = i < offAt;
                if (i == discontAt)
                    live.executeCommand(orl::calmora::RESET);
                live.configure(settings);
                lookahead.configure(settings);
                if (latency == 0 ? live.stabilise(inputs[i], dst)
                                 : lookahead.stabilise(inputs[i], dst))
                    expected.push_back(dst);
            }
            while (latency > 0 && lookahead.drain(dst))
                expected.push_back(dst);

            const Outputs out =
                runElement(f, inputs, latency, latency == 0 ? discontAt : SIZE_MAX, offAt);
            const std::string what = std::string(f.name) + " " + std::to_string(size.width) +
                                     " wide, latency " + std::to_string(latency) + ", frame ";
            ASSERT_EQ(out.frames.size(), inputs.size()) << what;
            bool moved = false;
            for (size_t k = 0; k < out.frames.size(); ++k) {
                EXPECT_EQ(firstDifference(out.frames[k], expected[k]), -1) << what << k;
                EXPECT_EQ(out.pts[k], k * kFrameNs) << what << k;
                const long untouched = firstDifference(out.frames[k], inputs[k]);
                moved = moved || untouched >= 0;
                if (k + latency >= offAt) {  // written after the switch
                    EXPECT_EQ(untouched, -1) << what << k;
                }
            }
            EXPECT_TRUE(moved) << what;
        }
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CalmoraStab, CutsAndZoomAsTheLibraryHasThemByDefaultAndInFrontEndUnits) {
    std::vector<orl::video::Frame> inputs;  // two scenes
    for (const uint64_t scene : {5, 6})
        for (const cv::Mat& bgr : shakyClip({160, 120}, 8, 5.0, 0.0, scene).frames)
            inputs.push_back(toFrame(bgr, fcc::BGR3));
    for (const int latency : {0, 3}) {
        ModeSettings settings;  // cut detection on, as a new element has it
        settings.latencyFrames = std::max(latency, 1);
        settings.zoom = 1.2;  // zoom=20 on the element: per cent beyond 100
        orl::calmora::CalmoraOpenCv live;
        orl::calmora::LookaheadStabiliser lookahead;
        ASSERT_TRUE(live.configure(settings) && lookahead.configure(settings));
        std::vector<orl::video::Frame> expected;
        int found = 0;
        orl::video::Frame dst;
        for (const orl::video::Frame& in : inputs) {
            if (latency > 0 ? lookahead.stabilise(in, dst) : live.stabilise(in, dst))
                expected.push_back(dst);
            found += latency > 0 ? lookahead.lastWasCut() : live.lastWasCut();
        }
        while (latency > 0 && lookahead.drain(dst))
            expected.push_back(dst);
        EXPECT_EQ(found, 1);
        const Outputs out =
            runElement(kFormats[0], inputs, latency, SIZE_MAX, SIZE_MAX, " zoom=20");
        ASSERT_EQ(out.frames.size(), expected.size());
        for (size_t k = 0; k < out.frames.size(); ++k)
            EXPECT_EQ(firstDifference(out.frames[k], expected[k]), -1) << latency << " " << k;
    }
}

TEST(CalmoraStab, LiveSourceInLookaheadAddsHeldFramesToLatencyAndDrainsAtEos) {
    const int latency = 5, count = 12;
    const Pipeline p("videotestsrc name=src is-live=true num-buffers=" + std::to_string(count) +
                     " ! video/x-raw,format=I420,width=160,height=120,framerate=25/1 ! calmorastab "
                     "name=stab mode=lookahead post-messages=true latency=" +
                     std::to_string(latency) + " ! appsink name=sink sync=false");
    Outputs out;
    while (pull(kFormats[5], p["sink"], out))
        continue;
    EXPECT_EQ(out.frames.size(), static_cast<size_t>(count));
    // the latency the element reports on top of the source's
    const auto minLatency = [&](const char* name) {
        GstQuery* query = gst_query_new_latency();
        GstClockTime min = 0;
        EXPECT_TRUE(gst_element_query(p[name], query)) << name;
        gst_query_parse_latency(query, nullptr, &min, nullptr);
        gst_query_unref(query);
        return min;
    };
    EXPECT_EQ(minLatency("stab") - minLatency("src"), latency * kFrameNs);
    // one message per frame with the timestamp of the buffer it went with
    std::vector<GstClockTime> stamps;
    GstBus* bus = gst_element_get_bus(p.bin);
    while (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
        const GstStructure* s = gst_message_get_structure(message);
        if (gst_structure_has_name(s, "calmorastab") && gst_structure_has_field(s, "angle"))
            stamps.push_back(g_value_get_uint64(gst_structure_get_value(s, "timestamp")));
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    EXPECT_EQ(stamps, out.pts);
}

// Warnings logged: by GObject refusing a value outside a property's range,
// and by the element refusing one its stabiliser cannot hold.
struct Warnings {
    int gobject{0}, element{0};
};

void countElementWarnings(GstDebugCategory* category, GstDebugLevel level, const gchar*,
                          const gchar*, gint, GObject*, GstDebugMessage*, gpointer to) {
    static_cast<Warnings*>(to)->element +=
        level == GST_LEVEL_WARNING && std::string(category->name) == "calmorastab";
}

void countGObjectWarnings(const gchar*, GLogLevelFlags, const gchar*, gpointer to) {
    ++static_cast<Warnings*>(to)->gobject;
}

// A property as a number: bools 1 or 0, enums their value.
double get(GstElement* element, const char* name) {
    GValue v = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(element), name, &v);
    const double n = G_VALUE_HOLDS_BOOLEAN(&v) ? g_value_get_boolean(&v)
                     : G_VALUE_HOLDS_ENUM(&v)  ? g_value_get_enum(&v)
                     : G_VALUE_HOLDS_INT(&v)   ? g_value_get_int(&v)
                                               : g_value_get_double(&v);
    g_value_unset(&v);
    return n;
}

void set(GstElement* element, GParamSpec* pspec, double n) {
    GValue v = G_VALUE_INIT;
    g_value_init(&v, pspec->value_type);
    if (G_VALUE_HOLDS_BOOLEAN(&v))
        g_value_set_boolean(&v, n != 0.0);
    else if (G_VALUE_HOLDS_ENUM(&v))
        g_value_set_enum(&v, static_cast<gint>(n));
    else if (G_VALUE_HOLDS_INT(&v))
        g_value_set_int(&v, static_cast<gint>(n));
    else
        g_value_set_double(&v, n);
    g_object_set_property(G_OBJECT(element), pspec->name, &v);
    g_value_unset(&v);
}

// Minimum, maximum and default of a GParamSpec as numbers.
std::array<double, 3> rangeOf(GParamSpec* pspec) {
    if (G_IS_PARAM_SPEC_INT(pspec)) {
        const auto* i = G_PARAM_SPEC_INT(pspec);
        return {double(i->minimum), double(i->maximum), double(i->default_value)};
    }
    if (G_IS_PARAM_SPEC_DOUBLE(pspec)) {
        const auto* d = G_PARAM_SPEC_DOUBLE(pspec);
        return {d->minimum, d->maximum, d->default_value};
    }
    if (G_IS_PARAM_SPEC_ENUM(pspec)) {
        const auto* e = G_PARAM_SPEC_ENUM(pspec);
        return {double(e->enum_class->minimum), double(e->enum_class->maximum),
                double(e->default_value)};
    }
    return {0, 1, double(G_PARAM_SPEC_BOOLEAN(pspec)->default_value)};
}

TEST(CalmoraStab, EveryStreamingSettingOfTheTableIsAPropertyWithItsRangeAndDefault) {
    GstElement* stab = gst_element_factory_make("calmorastab", nullptr);
    ASSERT_NE(stab, nullptr);
    Warnings warnings;
    gst_debug_set_threshold_for_name("calmorastab", GST_LEVEL_WARNING);
    gst_debug_add_log_function(countElementWarnings, &warnings, nullptr);
    const guint handler =
        g_log_set_handler("GLib-GObject", G_LOG_LEVEL_WARNING, countGObjectWarnings, &warnings);
    const auto front = [](const ParameterKey& key, double bound) {
        return std::isinf(bound) ? (key.kind == ValueKind::INT ? (bound < 0 ? G_MININT : G_MAXINT)
                                                               : (bound < 0 ? -1 : 1) * G_MAXDOUBLE)
                                 : toFrontEnd(key, bound);
    };
    for (const ParameterKey& key : orl::calmora::parameterKeys()) {
        GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(stab), key.option);
        const bool streamed =
            key.usedBy(StabiliserMode::LIVE) || key.usedBy(StabiliserMode::LOOKAHEAD);
        ASSERT_EQ(pspec != nullptr, streamed) << key.option;
        if (!streamed)
            continue;
        // a choice is an enum of the names; offline is no mode of a stream
        const size_t offered = key.id == orl::calmora::SETTING_MODE ? 2 : key.choices.size();
        if (key.kind == ValueKind::CHOICE) {
            ASSERT_TRUE(G_IS_PARAM_SPEC_ENUM(pspec)) << key.option;
            const GEnumClass* e = G_PARAM_SPEC_ENUM(pspec)->enum_class;
            ASSERT_EQ(e->n_values, offered) << key.option;
            for (guint i = 0; i < e->n_values; ++i)
                EXPECT_STREQ(e->values[i].value_nick, key.choices[i].name) << key.option;
        }
        const bool choice = key.kind == ValueKind::CHOICE;
        const double lo = choice ? 0 : front(key, key.minimum);
        const double hi = choice ? double(offered - 1) : front(key, key.maximum);
        const double initial = orl::calmora::defaultNumber(key, orl::calmora::Units::FRONT_END);
        EXPECT_EQ(rangeOf(pspec), (std::array<double, 3>{lo, hi, initial})) << key.option;
        EXPECT_EQ(get(stab, key.option), initial) << key.option;
        // each finite bound is taken; beyond it GObject refuses a whole
        // number and a clear excess. A double a hair beyond may pass its
        // tolerance (GLib 2.74 compares as float): then the element refuses
        // it, as it refuses +-G_MAXDOUBLE for a float field
        for (const double bound : {lo, hi}) {
            const double table = bound == lo ? key.minimum : key.maximum;
            const bool held = std::isfinite(table) || key.kind != ValueKind::FLOAT;
            const double before = get(stab, key.option);
            Warnings counted = warnings;
            set(stab, pspec, bound);
            EXPECT_EQ(get(stab, key.option), held ? bound : before) << key.option << "=" << bound;
            EXPECT_EQ(warnings.element - counted.element, held ? 0 : 1) << key.option;
            if (!std::isfinite(table) || key.kind == ValueKind::BOOL)
                continue;
            const double step = (bound == lo ? -1 : 1) * std::max(1.0, std::fabs(bound));
            const bool whole = key.kind == ValueKind::INT || choice;
            for (const double excess : whole ? std::vector{1.0} : std::vector{1e-8, 1e-3}) {
                counted = warnings;
                set(stab, pspec, bound + step * excess);
                EXPECT_EQ(get(stab, key.option), bound) << key.option << " beyond " << bound;
                const int gobject = warnings.gobject - counted.gobject;
                EXPECT_EQ(gobject + warnings.element - counted.element, 1) << key.option;
                EXPECT_TRUE(gobject == 1 || excess == 1e-8) << key.option;
            }
        }
    }
    g_log_remove_handler("GLib-GObject", handler);
    gst_debug_remove_log_function_by_data(&warnings);
    gst_object_unref(stab);
}

TEST(CalmoraStab, NamesEachGivenSettingItsModeDoesNotReadInOneWarningAtStart) {
    // properties given, the setting the warning names ("" for none)
    const std::pair<const char*, const char*> table[] = {
        {"mode=lookahead latency=4 x-filter-coeff=0.5", "x-filter-coeff"},
        {"latency=4 fps=25", "latency"},
        {"mode=lookahead latency=4 detect-cuts=false zoom=10 type=fft", ""}};
    for (const auto& [properties, named] : table) {
        const Pipeline p(
            "videotestsrc num-buffers=3 ! video/x-raw,format=GRAY8,width=64,height=48 "
            "! calmorastab " +
            std::string(properties) + " ! fakesink");
        std::vector<std::string> texts;
        GstBus* bus = gst_element_get_bus(p.bin);
        const auto types =
            static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_WARNING);
        while (GstMessage* m = gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND, types)) {
            const bool warning = GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING;
            if (warning) {
                GError* error = nullptr;
                gst_message_parse_warning(m, &error, nullptr);
                texts.emplace_back(error->message);
                g_error_free(error);
            }
            gst_message_unref(m);
            if (!warning)
                break;
        }
        gst_object_unref(bus);
        ASSERT_EQ(texts.size(), *named ? 1u : 0u) << properties;
        if (*named) {
            EXPECT_EQ(texts[0].rfind(std::string(named) + " is not used in", 0), 0u) << texts[0];
        }
    }
}

TEST(CalmoraStab, ShakyClipThroughDecodebinComesOutSteadierInBothModes) {
    TempFolder folder;
    const std::string shaky = folder.file("shaky.avi");
    cv::VideoWriter writer(shaky, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, {160, 120});
    for (const cv::Mat& bgr : shakyClip({160, 120}, 40, 4.0).frames)
        writer.write(bgr);
    writer.release();
    // the frames read back, and their shake
    const auto shake = [](const std::string& path, size_t& frames) {
        cv::VideoCapture capture(path);
        orl::calmora::run::MotionMeter meter(160);
        std::vector<orl::calmora::run::GlobalMotion> motion;
        for (cv::Mat bgr; capture.read(bgr);)
            motion.push_back(meter.measure(bgr));
        frames = motion.size();
        return orl::calmora::run::rmsTranslation(motion);
    };
    size_t frames = 0;
    const double before = shake(shaky, frames);
    ASSERT_EQ(frames, 40u);
    for (const std::string mode : {"live", "lookahead"}) {
        std::vector<std::string> argv{"gst-launch-1.0", "-q"};
        std::istringstream words(
            "filesrc location=" + shaky +
            " ! decodebin ! videoconvert ! calmorastab latency=8 mode=" + mode +
            " ! videoconvert ! jpegenc ! avimux ! filesink location=" + folder.file(mode + ".avi"));
        for (std::string word; words >> word;)
            argv.push_back(word);
        const ChildResult run = runChild({argv, "", {}, {}}, Ms(60000));
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const double after = shake(folder.file(mode + ".avi"), frames);
        EXPECT_EQ(frames, 40u) << mode;
        EXPECT_LT(after, 0.7 * before) << mode << ": shake " << before << " px became " << after;
    }
}

}  // namespace
