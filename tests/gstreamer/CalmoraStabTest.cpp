// The element calmorastab in real pipelines, against the library called
// directly on the same frames. GStreamer finds the element in the build tree
// only and keeps its registry in a folder of this test's own.
#include "MotionMeter.h"
#include "Process.h"
#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CutDetector.h>
#include <calmora/LookaheadStabiliser.h>

#include <algorithm>
#include <sstream>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

using namespace calmora_test;
using Bytes = std::vector<uint8_t>;
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
    const Pipeline p(
        "appsrc name=src format=time caps=video/x-raw,format=" + std::string(f.name) +
        ",width=" + std::to_string(info.width) + ",height=" + std::to_string(info.height) +
        " ! calmorastab name=stab latency=" + std::to_string(std::max(latency, 1)) +
        (latency > 0 ? " mode=lookahead" : "") + more + " ! appsink name=sink sync=false");
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
            // the library called directly, `enable` switched off at the same frame
            orl::calmora::CalmoraOpenCv live;
            orl::calmora::LookaheadStabiliser lookahead(std::max(latency, 1));
            orl::calmora::CalmoraParams params = live.getParams();
            orl::video::Frame dst;
            for (size_t i = 0; i < inputs.size(); ++i) {
                params.enable = i < offAt;
                if (i == discontAt)
                    live.executeCommand(orl::calmora::RESET);
                live.init(params);
                lookahead.init(params);
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

TEST(CalmoraStab, DetectCutsStartsAfreshWhereTheLibraryFindsTheCut) {
    std::vector<orl::video::Frame> inputs;  // two scenes
    for (const uint64_t scene : {5, 6})
        for (const cv::Mat& bgr : shakyClip({160, 120}, 8, 5.0, 0.0, scene).frames)
            inputs.push_back(toFrame(bgr, fcc::BGR3));
    for (const int latency : {0, 3}) {
        orl::calmora::CalmoraOpenCv live;
        orl::calmora::CutDetector cuts;
        orl::calmora::LookaheadStabiliser lookahead(std::max(latency, 1));
        lookahead.setCutDetection(true);
        std::vector<orl::video::Frame> expected;
        int found = 0;
        orl::video::Frame dst;
        for (const orl::video::Frame& in : inputs) {
            if (latency > 0) {
                if (lookahead.stabilise(in, dst))
                    expected.push_back(dst);
                found += lookahead.lastWasCut();
                continue;
            }
            live.stabilise(in, dst);
            if (cuts.isCut(in, live.lastMeasurement())) {
                ++found;
                live.executeCommand(orl::calmora::RESET);
                live.stabilise(in, dst);
            }
            expected.push_back(dst);
        }
        while (latency > 0 && lookahead.drain(dst))
            expected.push_back(dst);
        EXPECT_EQ(found, 1);
        const Outputs out =
            runElement(kFormats[0], inputs, latency, SIZE_MAX, SIZE_MAX, " detect-cuts=true");
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

void countWarnings(GstDebugCategory* category, GstDebugLevel level, const gchar*, const gchar*,
                   gint, GObject*, GstDebugMessage*, gpointer count) {
    *static_cast<int*>(count) +=
        level == GST_LEVEL_WARNING && std::string(category->name) == "calmorastab";
}

TEST(CalmoraStab, RefusedValuesKeepTheOldOneAndWarn) {
    // in order on one element: property, value set, value read back, refused
    const std::tuple<const char*, const char*, const char*, bool> table[] = {
        {"scale-factor", "8", "8", false},
        {"scale-factor", "9", "8", true},
        {"x-offset-limit", "1025", "150", true},
        {"x-filter-coeff", "0.25", "0.25", false},
        {"x-filter-coeff", "1.5", "0.25", true},
        {"a-offset-limit", "89", "89", false},
        {"type", "3", "2", true},
        {"const-x-offset", "-12", "-12", false},
        {"fps", "25", "25", false},
        {"fps", "1e39", "25", true}};
    GstElement* stab = gst_element_factory_make("calmorastab", nullptr);
    ASSERT_NE(stab, nullptr);
    int warnings = 0;
    gst_debug_set_threshold_for_name("calmorastab", GST_LEVEL_WARNING);
    gst_debug_add_log_function(countWarnings, &warnings, nullptr);
    for (const auto& [name, value, expected, refused] : table) {
        const int before = warnings;
        gst_util_set_object_arg(G_OBJECT(stab), name, value);
        GValue read = G_VALUE_INIT;
        g_object_get_property(G_OBJECT(stab), name, &read);
        gchar* text = gst_value_serialize(&read);
        EXPECT_STREQ(text, expected) << name << "=" << value;
        EXPECT_EQ(warnings - before, refused ? 1 : 0) << name << "=" << value;
        g_free(text);
        g_value_unset(&read);
    }
    gst_debug_remove_log_function_by_data(&warnings);
    gst_object_unref(stab);
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
        calmora_cli::MotionMeter meter(160);
        std::vector<calmora_cli::GlobalMotion> motion;
        for (cv::Mat bgr; capture.read(bgr);)
            motion.push_back(meter.measure(bgr));
        frames = motion.size();
        return calmora_cli::rmsTranslation(motion);
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
