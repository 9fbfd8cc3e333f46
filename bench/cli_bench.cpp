// The whole command-line run (decode, stabilise, encode, measure) against
// stabilise alone, on one 1920x1080 sample clip made once per run.

#include "Pipeline.h"
#include "SampleClip.h"

#include <calmora/CalmoraOpenCv.h>

#include <benchmark/benchmark.h>
#include <opencv2/videoio.hpp>

#include <unistd.h>
#include <filesystem>

namespace fs = std::filesystem;
using namespace calmora_cli;

namespace {

constexpr int kFrames = 90;

// The clip's folder, removed when the program ends.
struct ClipFolder {
    fs::path path = fs::temp_directory_path() / ("calmora_cli_bench_" + std::to_string(getpid()));
    ~ClipFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

const fs::path& clip() {
    static ClipFolder folder;
    static const fs::path path = [] {
        const fs::path dir = folder.path;
        fs::create_directories(dir);
        SampleSettings clipSettings;
        clipSettings.width = 1920;
        clipSettings.height = 1080;
        clipSettings.frames = kFrames;
        clipSettings.panPixels = 200;
        clipSettings.shakePixels = 12;
        writeSampleClip((dir / "hd.avi").string(), sampleScene(cv::Mat(), clipSettings),
                        clipSettings);
        return dir / "hd.avi";
    }();
    return path;
}

// range(0): type; range(1): the mode (0 live, 1 lookahead, 2 offline).
void WholeRun(benchmark::State& state) {
    RunOptions options;
    options.input = clip().string();
    options.output = (clip().parent_path() / "out.avi").string();
    options.mode = static_cast<Mode>(state.range(1));
    std::atomic<bool> stop{false};
    long long frames = 0;
    for (auto _ : state) {
        orl::calmora::CalmoraOpenCv stabiliser;
        stabiliser.setParam(orl::calmora::TYPE, static_cast<float>(state.range(0)));
        const RunResult run = runStabilisation(stabiliser, options, stop, nullptr);
        frames += static_cast<long long>(run.frames.size());
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void StabiliseAlone(benchmark::State& state) {
    // decode once, then time stabilise over the same frames
    std::vector<orl::video::Frame> frames;
    cv::VideoCapture capture(clip().string());
    cv::Mat image;
    while (capture.read(image)) {
        frames.emplace_back(image.cols, image.rows, orl::video::fourcc::BGR3,
                            static_cast<uint32_t>(image.total() * image.elemSize()), image.data);
    }
    orl::calmora::CalmoraOpenCv stabiliser;
    stabiliser.setParam(orl::calmora::TYPE, static_cast<float>(state.range(0)));
    orl::video::Frame out;
    size_t i = 0;
    for (auto _ : state) {
        stabiliser.stabilise(frames[i++ % frames.size()], out);
        benchmark::DoNotOptimize(out.data);
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(WholeRun)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Args({2, 2})
    ->ArgNames({"type", "mode"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK(StabiliseAlone)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
