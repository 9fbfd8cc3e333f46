// The GStreamer element against the library call on the same frames.
// - 1920x1080 BGR frames of a shaky camera (generated once), in live and in
//   lookahead mode (15 frames).
// - Library rows: CalmoraOpenCv::stabilise and LookaheadStabiliser::stabilise
//   called directly, one frame per iteration.
// - Element rows: appsrc ! calmorastab ! appsink, one buffer pushed and one
//   pulled per iteration (the lookahead is filled before timing starts), so
//   the figure holds the element's copies and the hand-over between threads.
// The element is taken from the build tree; the registry goes to a
// temporary file. Nothing is asserted; the figures are for reading.

#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>

#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kLatency = 15;
constexpr int kFrames = 30;

const std::vector<orl::video::Frame>& frames() {
    static const std::vector<orl::video::Frame> all = [] {
        std::vector<orl::video::Frame> out;
        for (const cv::Mat& bgr : calmora_test::shakyClip({1920, 1080}, kFrames, 8.0, 0.005).frames)
            out.push_back(calmora_test::toFrame(bgr, orl::video::fourcc::BGR3));
        return out;
    }();
    return all;
}

void libraryLive(benchmark::State& state) {
    orl::calmora::CalmoraOpenCv stabiliser;
    orl::video::Frame dst;
    size_t i = 0;
    for (auto _ : state) {
        stabiliser.stabilise(frames()[i++ % kFrames], dst);
    }
    state.SetItemsProcessed(state.iterations());
}

void libraryLookahead(benchmark::State& state) {
    orl::calmora::LookaheadStabiliser stabiliser(kLatency);
    orl::video::Frame dst;
    size_t i = 0;
    while (i < kLatency) {
        stabiliser.stabilise(frames()[i++ % kFrames], dst);
    }
    for (auto _ : state) {
        stabiliser.stabilise(frames()[i++ % kFrames], dst);
    }
    state.SetItemsProcessed(state.iterations());
}

// Wraps a frame's bytes without copying; the frames live to the end.
GstBuffer* bufferOf(size_t i) {
    const orl::video::Frame& f = frames()[i % kFrames];
    GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, f.data, f.size, 0,
                                                    f.size, nullptr, nullptr);
    GST_BUFFER_PTS(buffer) = i * GST_SECOND / 30;
    return buffer;
}

void element(benchmark::State& state, const char* mode) {
    GstElement* pipeline = gst_parse_launch(
        (std::string("appsrc name=src format=time caps=video/x-raw,format=BGR,width=1920,"
                     "height=1080,framerate=30/1 ! calmorastab mode=") +
         mode + " latency=" + std::to_string(kLatency) + " ! appsink name=sink sync=false")
            .c_str(),
        nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    size_t i = 0;
    while (std::string(mode) == "lookahead" && i < kLatency) {
        gst_app_src_push_buffer(GST_APP_SRC(src), bufferOf(i++));
    }
    for (auto _ : state) {
        gst_app_src_push_buffer(GST_APP_SRC(src), bufferOf(i++));
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
        if (sample == nullptr) {
            state.SkipWithError("no output from the element");
            break;
        }
        gst_sample_unref(sample);
    }
    state.SetItemsProcessed(state.iterations());
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
}

BENCHMARK(libraryLive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(libraryLookahead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(element, live, "live")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(element, lookahead, "lookahead")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    const std::string registry =
        (std::filesystem::temp_directory_path() / "calmora-bench-gst-registry.bin").string();
    setenv("GST_PLUGIN_PATH", CALMORA_GST_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY", registry.c_str(), 1);
    gst_init(&argc, &argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(registry);
    return 0;
}
