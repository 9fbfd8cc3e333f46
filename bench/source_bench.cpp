// Video-source overhead: NexfeedOpenCv::getFrame against a plain
// cv::VideoCapture::read of the same 1280x720 MJPG file in the same run.
// - The clip is written at 1000 fps, so the source's pacing interval is
//   1000 us and pacing never sleeps (waits of 1 ms or less are skipped).
// - One iteration reads the whole clip from a freshly opened capture; the
//   opening is excluded from the timing.
// - At the end the ratio of the two mean times per iteration is printed:
//   it is the cost of the source on top of decoding (timing, the copy into
//   the caller's frame, the locks).

#include <calmora/NexfeedOpenCv.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace {

constexpr int kFrames = 60;
const cv::Size kSize(1280, 720);

// A textured clip in a fresh temporary folder, removed at exit.
struct Clip {
    Clip() {
        char pattern[] = "/tmp/calmora-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        folder = pattern;
        path = folder + "/clip_1000fps.avi";
        cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 1000.0, kSize);
        cv::RNG rng(7);
        cv::Mat noise(kSize, CV_8UC3);
        for (int i = 0; i < kFrames && writer.isOpened(); ++i) {
            rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
            cv::GaussianBlur(noise, noise, cv::Size(5, 5), 1.5);
            cv::putText(noise, std::to_string(i), {600, 360}, cv::FONT_HERSHEY_SIMPLEX, 4.0,
                        cv::Scalar(255, 255, 255), 6);
            writer.write(noise);
        }
    }
    ~Clip() {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::string path;
};

const Clip& clip() {
    static Clip c;
    return c;
}

void BM_PlainRead(benchmark::State& state) {
    cv::Mat image;
    int64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        cv::VideoCapture capture(clip().path, cv::CAP_ANY);
        state.ResumeTiming();
        while (capture.read(image)) {
            ++frames;
        }
        benchmark::DoNotOptimize(image.data);
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_NexfeedGetFrame(benchmark::State& state) {
    orl::video::Frame frame;
    int64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        orl::video::NexfeedOpenCv source;
        if (!source.open(clip().path)) {
            state.SkipWithError("cannot open the clip");
            break;
        }
        state.ResumeTiming();
        // a file has exactly kFrames frames; the call after the last fails
        while (source.getFrame(frame, 1000)) {
            ++frames;
        }
        benchmark::DoNotOptimize(frame.data);
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_NexfeedGetFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Console output as usual, plus the time per iteration of each benchmark:
// the mean over repetitions when there are any, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double realMs{0.0};
        double cpuMs{0.0};
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if (mean || (run.run_type == Run::RT_Iteration && run.repetitions <= 1)) {
                times[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                     run.GetAdjustedCPUTime()};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Times> times;
};

}  // namespace

int main(int argc, char** argv) {
    if (clip().path.empty() || !std::filesystem::exists(clip().path)) {
        std::fprintf(stderr, "could not write the benchmark clip\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto plain = reporter.times.find("BM_PlainRead");
    const auto source = reporter.times.find("BM_NexfeedGetFrame");
    if (plain != reporter.times.end() && source != reporter.times.end() &&
        plain->second.realMs > 0.0 && plain->second.cpuMs > 0.0) {
        // CPU time is the steadier measure on a shared machine
        const double real = source->second.realMs / plain->second.realMs;
        const double cpu = source->second.cpuMs / plain->second.cpuMs;
        std::printf(
            "getFrame / plain read: real time ratio %.3f (%+.1f %%), CPU time ratio %.3f (%+.1f "
            "%%)\n",
            real, (real - 1.0) * 100.0, cpu, (cpu - 1.0) * 100.0);
    }
    benchmark::Shutdown();
    return 0;
}
