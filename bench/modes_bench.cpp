// The three stabilisation modes per frame, on the same moving sequence.
// - Live: CalmoraOpenCv::stabilise.
// - Lookahead (N = 15): LookaheadStabiliser::stabilise once full, each call
//   measuring one frame and writing the one of N calls ago.
// - Offline: OfflineStabiliser::add over a whole clip, plan, then apply for
//   every frame; the time of all three divided by the frames.
// - Sizes 1920x1080 and 1280x720, "BGR3", type 2, scaleFactor 1. Counters
//   give each mode's wall-clock time and its process CPU time (every thread,
//   OpenCV's workers included; steadier on a busy machine) per frame, and
//   both as multiples of the live mode's in the same run.
// - Lookahead from a settings record with and without a rolling shutter's
//   readout (0.85), at 1080p: what the correction within the frame costs.
// - Resident memory of the lookahead mode: before it fills, once full, and
//   after 300 more frames; the N frame copies account for the step.
// Nothing is asserted; the figures are for reading.

#include "Sequences.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

namespace {

using orl::calmora::CalmoraOpenCv;
using orl::calmora::CalmoraParams;
using orl::calmora::LookaheadStabiliser;
using orl::calmora::OfflineStabiliser;
using orl::video::Frame;
using Clock = std::chrono::steady_clock;

constexpr int LATENCY = 15;
constexpr int CLIP_FRAMES = 60;

// The 16:9 "BGR3" sequence of a height.
calmora_bench::Sequence& sequenceFor(int height) {
    return calmora_bench::sequenceFor(height * 16 / 9, height, orl::video::fourcc::BGR3);
}

CalmoraParams liveParams() {
    CalmoraParams p = CalmoraOpenCv().getParams();
    p.type = 2;
    return p;
}

// CPU time of the whole process, milliseconds.
double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

// Time spent, wall clock and process CPU, milliseconds.
struct Spent {
    double wallMs{0.0};
    double cpuMs{0.0};
};

// Around one timed step.
class Timer {
  public:
    explicit Timer(Spent& spent) : spent_(spent), wall_(Clock::now()), cpu_(processCpuMs()) {}
    ~Timer() {
        spent_.wallMs += std::chrono::duration<double, std::milli>(Clock::now() - wall_).count();
        spent_.cpuMs += processCpuMs() - cpu_;
    }

  private:
    Spent& spent_;
    Clock::time_point wall_;
    double cpu_;
};

// The live mode's time per frame by height, for the ratio counters.
std::map<int, Spent>& livePerFrame() {
    static std::map<int, Spent> spent;
    return spent;
}

void report(benchmark::State& state, const Spent& spent, double frames, int height,
            const char* mode) {
    const Spent perFrame{spent.wallMs / frames, spent.cpuMs / frames};
    state.counters["ms_per_frame"] = perFrame.wallMs;
    state.counters["cpu_ms_per_frame"] = perFrame.cpuMs;
    const auto live = livePerFrame().find(height);
    if (live != livePerFrame().end() && live->second.wallMs > 0.0 && live->second.cpuMs > 0.0) {
        state.counters["x_live"] = perFrame.wallMs / live->second.wallMs;
        state.counters["x_live_cpu"] = perFrame.cpuMs / live->second.cpuMs;
    }
    char label[64];
    std::snprintf(label, sizeof(label), "%s BGR3 %dx%d", mode, height * 16 / 9, height);
    state.SetLabel(label);
}

// Arg: frame height (720 or 1080, 16:9).
void BM_Live(benchmark::State& state) {
    const int height = static_cast<int>(state.range(0));
    calmora_bench::Sequence& seq = sequenceFor(height);
    CalmoraOpenCv stab;
    stab.init(liveParams());
    Frame dst;
    for (int i = 0; i < 5; ++i)  // the first frames allocate the buffers
        stab.stabilise(seq.next(), dst);
    Spent spent;
    for (auto _ : state) {
        const Frame& src = seq.next();
        const Timer timer(spent);
        stab.stabilise(src, dst);
        benchmark::DoNotOptimize(dst.data);
    }
    const double frames = static_cast<double>(state.iterations());
    livePerFrame()[height] = {spent.wallMs / frames, spent.cpuMs / frames};
    report(state, spent, frames, height, "live");
}
BENCHMARK(BM_Live)->ArgName("h")->Arg(1080)->Arg(720)->Unit(benchmark::kMillisecond);

// Frames of `height` through a configured lookahead stabiliser, its ring
// filled first, reported as `mode`.
void runLookahead(benchmark::State& state, LookaheadStabiliser& stab, int height,
                  const std::string& mode) {
    calmora_bench::Sequence& seq = sequenceFor(height);
    Frame dst;
    for (int i = 0; i < LATENCY + 5; ++i)  // fill the ring
        stab.stabilise(seq.next(), dst);
    Spent spent;
    for (auto _ : state) {
        const Frame& src = seq.next();
        const Timer timer(spent);
        stab.stabilise(src, dst);
        benchmark::DoNotOptimize(dst.data);
    }
    report(state, spent, static_cast<double>(state.iterations()), height, mode.c_str());
}

void BM_Lookahead(benchmark::State& state) {
    LookaheadStabiliser stab(LATENCY);
    stab.init(liveParams());
    runLookahead(state, stab, static_cast<int>(state.range(0)), "lookahead N=15");
}
BENCHMARK(BM_Lookahead)->ArgName("h")->Arg(1080)->Arg(720)->Unit(benchmark::kMillisecond);

// Lookahead from the settings record, with and without a rolling shutter's
// readout: the bands measured, the path in time rebuilt and every row
// shifted in the one warp. Args: frame height, readout in hundredths.
void BM_LookaheadReadout(benchmark::State& state) {
    orl::calmora::ModeSettings settings;
    settings.mode = orl::calmora::StabiliserMode::LOOKAHEAD;
    settings.latencyFrames = LATENCY;
    settings.params = liveParams();
    settings.rollingShutter = static_cast<double>(state.range(1)) / 100.0;
    LookaheadStabiliser stab(LATENCY);
    stab.configure(settings);
    runLookahead(state, stab, static_cast<int>(state.range(0)),
                 "lookahead readout " + std::to_string(state.range(1)) + "%");
}
BENCHMARK(BM_LookaheadReadout)
    ->ArgNames({"h", "readout"})
    ->Args({1080, 0})
    ->Args({1080, 85})
    ->Unit(benchmark::kMillisecond);

// One iteration is a whole clip: pass one, plan, pass two.
void BM_Offline(benchmark::State& state) {
    const int height = static_cast<int>(state.range(0));
    calmora_bench::Sequence& seq = sequenceFor(height);
    std::vector<const Frame*> clip;
    for (int i = 0; i < CLIP_FRAMES; ++i)
        clip.push_back(&seq.next());
    Frame dst;
    Spent spent;
    for (auto _ : state) {
        const Timer timer(spent);
        orl::calmora::ModeSettings settings;
        settings.params = liveParams();
        settings.detectCuts = false;
        settings.zoomAuto = true;
        OfflineStabiliser stab;
        stab.configure(settings);
        for (const Frame* f : clip)
            stab.add(*f);
        stab.plan();
        for (size_t i = 0; i < clip.size(); ++i)
            stab.apply(static_cast<int>(i), *clip[i], dst);
        benchmark::DoNotOptimize(dst.data);
    }
    report(state, spent, static_cast<double>(state.iterations()) * CLIP_FRAMES, height,
           "offline, cut detection off");
}
BENCHMARK(BM_Offline)->ArgName("h")->Arg(1080)->Arg(720)->Unit(benchmark::kMillisecond);

// Resident set size in bytes.
double residentBytes() {
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void BM_LookaheadResidentMemory(benchmark::State& state) {
    const int height = static_cast<int>(state.range(0));
    calmora_bench::Sequence& seq = sequenceFor(height);
    double empty = 0.0, full = 0.0, after = 0.0;
    for (auto _ : state) {
        LookaheadStabiliser stab(LATENCY);
        stab.init(liveParams());
        Frame dst;
        stab.stabilise(seq.next(), dst);  // the measurer's buffers
        empty = residentBytes();
        for (int i = 1; i < LATENCY + 5; ++i)
            stab.stabilise(seq.next(), dst);
        full = residentBytes();
        for (int i = 0; i < 300; ++i)
            stab.stabilise(seq.next(), dst);
        after = residentBytes();
    }
    const double frameBytes = 3.0 * (height * 16 / 9) * height;
    state.counters["filled_MiB"] = (full - empty) / (1024.0 * 1024.0);
    state.counters["frame_copies_MiB"] = LATENCY * frameBytes / (1024.0 * 1024.0);
    state.counters["growth_300_frames_KiB"] = (after - full) / 1024.0;
    state.SetLabel("lookahead N=15, BGR3");
}
BENCHMARK(BM_LookaheadResidentMemory)
    ->ArgName("h")
    ->Arg(1080)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
