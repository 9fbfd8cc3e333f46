// The path planner on long shots: an 18,000-frame shot (ten minutes at 30
// frames per second) of slow eased moves and a bob under a hand's shake, in
// x, y and angle, planned whole (in its overlapping windows).
// - Zoom 1: the offset limits alone, the plan every automatic zoom starts
//   from; zoom 1%: the crop binds on many frames (the axes planned together
//   under it, up to five times as the corner margins widen); zoom 5%: the
//   crop leaves room everywhere (the three axes' plans are checked on it).
// - Counters: the wall-clock seconds of one plan and the process CPU
//   seconds (every thread: the three axes plan on three).
// Nothing is asserted; the figures are for reading.

#include <calmora/PathPlanner.h>

#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cmath>

namespace {

using orl::calmora::PathPoint;

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Eased moves of 80 pixels every 300 frames, a bob, and a shake of waves
// between 1 and 7 Hz.
std::vector<PathPoint> longShot(int frames) {
    std::vector<PathPoint> path;
    for (int t = 0; t < frames; ++t) {
        const double phase = std::fmod(t, 300.0) / 300.0, move = std::floor(t / 300.0);
        const double shake =
            3 * std::sin(0.31 * t) + 2 * std::sin(0.83 * t + 1) + std::sin(1.37 * t + 2);
        path.push_back({80 * move + 40 * (1 - std::cos(3.141592653589793 * phase)) + shake,
                        10 * std::sin(t / 30.0) + 0.8 * shake,
                        0.002 * std::sin(t / 50.0) + 0.001 * std::sin(0.9 * t)});
    }
    return path;
}

void planLongShot(benchmark::State& state) {
    const std::vector<PathPoint> shot = longShot(static_cast<int>(state.range(0)));
    orl::calmora::PlannerSettings settings;
    settings.width = 1920;
    settings.height = 1080;
    settings.zoom = 1.0 + state.range(1) / 1000.0;
    double wall = 0.0, cpu = 0.0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = processCpuSeconds();
        orl::calmora::PlannedPath planned;
        benchmark::DoNotOptimize(orl::calmora::planPath(shot, settings, planned));
        cpu += processCpuSeconds() - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["wall_s"] = wall / static_cast<double>(state.iterations());
    state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(planLongShot)
    ->Args({18000, 0})
    ->Args({18000, 10})
    ->Args({18000, 50})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_MAIN();
