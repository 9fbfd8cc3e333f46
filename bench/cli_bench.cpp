// The whole file run of the command line (decode, stabilise, encode,
// measure) against stabilise alone, on one 1920x1080 shaky clip made once
// per run.

#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/run/FileRun.h>

#include <benchmark/benchmark.h>
#include <opencv2/videoio.hpp>

#include <unistd.h>
#include <filesystem>

namespace fs = std::filesystem;
using namespace orl::calmora;
using namespace orl::calmora::run;

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

// A camera panning 200 pixels across a drawn scene while a hand shakes it
// by up to 12 pixels and 0.01 radians; drawn frame by frame, as 90 HD
// frames at once would take half a gigabyte.
const fs::path& clip() {
    static ClipFolder folder;
    static const fs::path path = [] {
        fs::create_directories(folder.path);
        const fs::path file = folder.path / "hd.avi";
        const cv::Size size(1920, 1080);
        const cv::Mat scene = calmora_test::texturedScene(size.width + 240, size.height + 40);
        cv::VideoWriter writer(file.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0,
                               size);
        cv::RNG rng(2026);
        for (int k = 0; k < kFrames; ++k) {
            const cv::Point2d topLeft(20.0 + 200.0 * k / kFrames + rng.uniform(-12.0, 12.0),
                                      20.0 + rng.uniform(-12.0, 12.0));
            writer.write(calmora_test::view(scene, size, topLeft, rng.uniform(-0.01, 0.01)));
        }
        return file;
    }();
    return path;
}

// range(0): type; range(1): the mode (0 live, 1 lookahead, 2 offline).
void WholeRun(benchmark::State& state) {
    RunOptions options;
    options.input = clip().string();
    options.output = (clip().parent_path() / "out.avi").string();
    options.settings.mode = static_cast<StabiliserMode>(state.range(1));
    options.settings.params.type = static_cast<int>(state.range(0));
    std::atomic<bool> stop{false};
    long long frames = 0;
    for (auto _ : state) {
        const RunResult run = runFile(options, stop, nullptr);
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
    CalmoraOpenCv stabiliser;
    stabiliser.setParam(TYPE, static_cast<float>(state.range(0)));
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
