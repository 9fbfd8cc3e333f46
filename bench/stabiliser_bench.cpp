// Stabiliser benchmarks.
// - Every timed row also times, interleaved with its own work in the same
//   loop, one plain cv::warpAffine of a "BGR3" frame of the same size (same
//   interpolation and border as the output warp, a small angle): the floor
//   of any frame that is rotated. Its counter x_warp is the row's time over
//   that warp's, so a busy machine slows both alike; warp_ms is the warp.
// - Stages alone at 1920x1080: each frame-shift family, compensation by warp
//   (BGR3, small angle) and by shift, the warp of each chroma-subsampled
//   format (type 2, small angle, every format warped), the analysed image,
//   the corners, the optical flow and the Fourier estimate (each on the next
//   frame of the sequence, as in a stream, the preparation not timed).
// - Reference rows: the plain warp and a plain frame copy.
// - The whole stabilise() per frame for types 0, 1, 2 on the moving sequence
//   (Sequences.h), BGR3 and NV12; type 2 at 1920x1080 also with the
//   refinements, which warp NV12 instead of shifting it.
// - Resident memory read from /proc/self/statm before and after 1000 frames.
// Nothing is asserted; the figures are for reading.

#include "AnalysedImage.h"
#include "BlockCornerDetector.h"
#include "Compensation.h"
#include "FftEstimator.h"
#include "FrameShift.h"
#include "MotionFilter.h"
#include "OpticalFlowEstimator.h"
#include "Sequences.h"
#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/Frame.h>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using orl::calmora::CalmoraOpenCv;
using orl::calmora::CalmoraParams;
using orl::calmora::Offsets;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

constexpr int FULL_W = 1920;
constexpr int FULL_H = 1080;
constexpr double SMALL_ANGLE_RAD = 0.01;

// One still textured frame of the given geometry, kept for all stage rows.
const Frame& stillFrame(int width, int height, uint32_t code) {
    static std::map<std::tuple<int, int, uint32_t>, Frame> cache;
    auto key = std::make_tuple(width, height, code);
    auto it = cache.find(key);
    if (it == cache.end()) {
        it = cache
                 .emplace(key, calmora_test::toFrame(calmora_test::texturedScene(width, height, 5),
                                                     code))
                 .first;
    }
    return it->second;
}

using calmora_bench::Sequence;
using calmora_bench::sequenceFor;

cv::Matx23d smallRotation(double tx, double ty) {
    return {std::cos(SMALL_ANGLE_RAD), -std::sin(SMALL_ANGLE_RAD), tx,
            std::sin(SMALL_ANGLE_RAD), std::cos(SMALL_ANGLE_RAD),  ty};
}

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The reference warp of a "BGR3" frame of one size, run once per iteration
// of a row next to the row's own work, and the row's counters from both.
class WarpReference {
  public:
    WarpReference(int width, int height)
        : src_(height, width, CV_8UC3, stillFrame(width, height, fcc::BGR3).data),
          dst_(height, width, CV_8UC3, cv::Scalar::all(0)),
          matrix_(smallRotation(2.5, -1.5)) {}

    // Times one warp (outside the row's own time).
    void run() {
        const auto start = Clock::now();
        cv::warpAffine(src_, dst_, matrix_, dst_.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        benchmark::DoNotOptimize(dst_.data);
        warpMs_ += msSince(start);
    }

    // Adds the row's own time of one iteration.
    void add(benchmark::State& state, double ms) {
        ownMs_ += ms;
        state.SetIterationTime(ms / 1000.0);
    }

    void report(benchmark::State& state) const {
        const double n = static_cast<double>(state.iterations());
        if (n > 0.0 && warpMs_ > 0.0) {
            state.counters["x_warp"] = ownMs_ / warpMs_;
            state.counters["warp_ms"] = warpMs_ / n;
        }
    }

  private:
    cv::Mat src_;
    cv::Mat dst_;
    cv::Mat matrix_;
    double warpMs_{0.0};
    double ownMs_{0.0};
};

// Runs `op` once per iteration, timed on its own, with the reference warp.
template <typename Op>
void timedRows(benchmark::State& state, int width, int height, Op op) {
    WarpReference reference(width, height);
    for (auto _ : state) {
        reference.run();
        const auto start = Clock::now();
        op();
        reference.add(state, msSince(start));
    }
    reference.report(state);
}

uint32_t codeOf(int64_t index) {
    static const uint32_t codes[] = {fcc::GRAY, fcc::BGR3, fcc::YUYV, fcc::NV12, fcc::YU12};
    return codes[index];
}

// ---- stages -------------------------------------------------------------

// Arg: index into GRAY, BGR3, YUYV, NV12, YU12 (one routine family each).
void BM_Shift(benchmark::State& state) {
    const uint32_t code = codeOf(state.range(0));
    const Frame& src = stillFrame(FULL_W, FULL_H, code);
    Frame dst(src.width, src.height, src.fourcc);
    bool (*shift)(const Frame&, Frame&, int, int) = nullptr;
    switch (code) {
        case fcc::GRAY:
            shift = orl::calmora::shiftGray;
            break;
        case fcc::BGR3:
            shift = orl::calmora::shiftPacked24;
            break;
        case fcc::YUYV:
            shift = orl::calmora::shiftPacked422;
            break;
        case fcc::NV12:
            shift = orl::calmora::shiftSemiPlanar420;
            break;
        default:
            shift = orl::calmora::shiftPlanar420;
            break;
    }
    timedRows(state, FULL_W, FULL_H, [&] {
        shift(src, dst, 7, -5);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.size);
    state.SetLabel(std::string(reinterpret_cast<const char*>(&code), 4));
}
BENCHMARK(BM_Shift)->DenseRange(0, 4)->ArgName("format")->UseManualTime()->Unit(
    benchmark::kMillisecond);

// Arg: type (1 shift, 2 warp with a small angle); BGR3 1920x1080.
void BM_Compensate(benchmark::State& state) {
    const Frame& src = stillFrame(FULL_W, FULL_H, fcc::BGR3);
    Frame dst;
    CalmoraParams p;
    p.type = static_cast<int>(state.range(0));
    p.transparentBorder = true;
    const Offsets start{3.4, -2.1, p.type == 2 ? SMALL_ANGLE_RAD : 0.0};
    timedRows(state, FULL_W, FULL_H, [&] {
        Offsets off = start;
        orl::calmora::compensate(src, dst, off, p);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    });
    state.SetLabel(p.type == 2 ? "BGR3 warp" : "BGR3 shift");
}
BENCHMARK(BM_Compensate)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("type")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg: index into YUYV, UYVY, NV12, NV21, YU12, YV12; type 2 with a small
// angle and every format warped, 1920x1080.
void BM_CompensateSubsampled(benchmark::State& state) {
    static const uint32_t codes[] = {fcc::YUYV, fcc::UYVY, fcc::NV12,
                                     fcc::NV21, fcc::YU12, fcc::YV12};
    const uint32_t code = codes[state.range(0)];
    const Frame& src = stillFrame(FULL_W, FULL_H, code);
    Frame dst;
    CalmoraParams p;
    p.type = 2;
    p.transparentBorder = true;
    timedRows(state, FULL_W, FULL_H, [&] {
        Offsets off{3.4, -2.1, SMALL_ANGLE_RAD};
        orl::calmora::compensate(src, dst, off, p, 1.0, true);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    });
    state.SetLabel(std::string(reinterpret_cast<const char*>(&code), 4) + " warp");
}
BENCHMARK(BM_CompensateSubsampled)
    ->DenseRange(0, 5)
    ->ArgName("format")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- references ---------------------------------------------------------

void BM_ReferenceWarpAffine(benchmark::State& state) {
    const Frame& bgr = stillFrame(FULL_W, FULL_H, fcc::BGR3);
    const cv::Mat src(FULL_H, FULL_W, CV_8UC3, bgr.data);
    cv::Mat dst(FULL_H, FULL_W, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat m(smallRotation(2.5, -1.5));
    for (auto _ : state) {
        cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetLabel("BGR3 1920x1080");
}
BENCHMARK(BM_ReferenceWarpAffine)->Unit(benchmark::kMillisecond);

void BM_ReferenceCopy(benchmark::State& state) {
    const Frame& src = stillFrame(FULL_W, FULL_H, fcc::BGR3);
    Frame dst(src.width, src.height, src.fourcc);
    timedRows(state, FULL_W, FULL_H, [&] {
        dst = src;
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.size);
    state.SetLabel("BGR3 1920x1080 Frame assignment");
}
BENCHMARK(BM_ReferenceCopy)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- whole frame operation ----------------------------------------------

CalmoraParams paramsFor(CalmoraOpenCv& stab, int type, int scaleFactor) {
    CalmoraParams p = stab.getParams();
    p.type = type;
    p.scaleFactor = scaleFactor;
    return p;
}

// Stabilises frames of the moving sequence, one per iteration, after five
// untimed ones. The reference is the warp of a BGR3 frame of the same size,
// also for NV12.
void stabiliseRows(benchmark::State& state, int type, int height, int scaleFactor, uint32_t code,
                   bool refinements) {
    const int width = height * 16 / 9;
    Sequence& seq = sequenceFor(width, height, code);
    CalmoraOpenCv stab;
    stab.init(paramsFor(stab, type, scaleFactor));
    stab.setRefinements(refinements);
    Frame dst;
    for (int i = 0; i < 5; ++i) {  // first frames allocate the buffers
        stab.stabilise(seq.next(), dst);
    }
    timedRows(state, width, height, [&] {
        stab.stabilise(seq.next(), dst);
        benchmark::DoNotOptimize(dst.data);
    });
    char label[64];
    std::snprintf(label, sizeof(label), "%s %dx%d%s", code == fcc::NV12 ? "NV12" : "BGR3", width,
                  height, refinements ? " with refinements" : "");
    state.SetLabel(label);
}

// Args: type, frame height (720 or 1080, 16:9), scaleFactor, NV12 (0/1).
void BM_Stabilise(benchmark::State& state) {
    stabiliseRows(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                  static_cast<int>(state.range(2)), state.range(3) != 0 ? fcc::NV12 : fcc::BGR3,
                  false);
}
BENCHMARK(BM_Stabilise)
    ->ArgNames({"type", "h", "scale", "nv12"})
    ->ArgsProduct({{0, 1, 2}, {720}, {1, 2}, {0}})
    ->ArgsProduct({{0, 1, 2}, {1080}, {1, 2}, {0}})
    ->Args({2, 1080, 1, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg: NV12 (0/1). Type 2, 1920x1080, scale factor 1, with the refinements:
// NV12 is warped whole, as BGR3 is.
void BM_StabiliseRefinements(benchmark::State& state) {
    stabiliseRows(state, 2, FULL_H, 1, state.range(0) != 0 ? fcc::NV12 : fcc::BGR3, true);
}
BENCHMARK(BM_StabiliseRefinements)
    ->DenseRange(0, 1)
    ->ArgName("nv12")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Resident set size in bytes.
double residentBytes() {
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Resident memory around 1000 frames of type 2, BGR3 1280x720 (after 10
// warm-up frames); a flat line means nothing grows per frame.
void BM_StabiliseResidentMemory(benchmark::State& state) {
    Sequence& seq = sequenceFor(1280, 720, fcc::BGR3);
    CalmoraOpenCv stab;
    stab.init(paramsFor(stab, 2, 1));
    Frame dst;
    double before = 0.0;
    double after = 0.0;
    for (auto _ : state) {
        for (int i = 0; i < 10; ++i) {
            stab.stabilise(seq.next(), dst);
        }
        before = residentBytes();
        for (int i = 0; i < 1000; ++i) {
            stab.stabilise(seq.next(), dst);
        }
        after = residentBytes();
    }
    state.counters["rss_before_MiB"] = before / (1024.0 * 1024.0);
    state.counters["rss_after_MiB"] = after / (1024.0 * 1024.0);
    state.counters["growth_KiB"] = (after - before) / 1024.0;
    state.SetLabel("type 2 BGR3 1280x720, 1000 frames");
}
BENCHMARK(BM_StabiliseResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- each stage alone, 1920x1080 "BGR3", frames of the moving sequence

orl::calmora::AnalysedImage analysedFor(int type, int scaleFactor) {
    orl::calmora::AnalysedImage image;
    image.adopt(orl::calmora::AnalysedImage::geometryFor(FULL_W, FULL_H, scaleFactor, type));
    return image;
}

// Args: type, scaleFactor.
void BM_StagePrepare(benchmark::State& state) {
    Sequence& seq = sequenceFor(FULL_W, FULL_H, fcc::BGR3);
    orl::calmora::AnalysedImage image =
        analysedFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    timedRows(state, FULL_W, FULL_H, [&] { image.convert(seq.next()); });
}
BENCHMARK(BM_StagePrepare)
    ->Args({0, 1})
    ->Args({2, 1})
    ->Args({2, 2})
    ->ArgNames({"type", "scale"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Runs `estimate` on the analysed pair once per iteration, after converting
// the next frame of the sequence into the image (not timed).
template <typename Estimate>
void estimateOnSequence(benchmark::State& state, int type, int scaleFactor, Estimate estimate) {
    Sequence& seq = sequenceFor(FULL_W, FULL_H, fcc::BGR3);
    orl::calmora::AnalysedImage image = analysedFor(type, scaleFactor);
    image.convert(seq.next());
    WarpReference reference(FULL_W, FULL_H);
    for (auto _ : state) {
        image.convert(seq.next());
        reference.run();
        const auto start = Clock::now();
        estimate(image.pair());
        reference.add(state, msSince(start));
    }
    reference.report(state);
}

void BM_StageFft(benchmark::State& state) {
    orl::calmora::FftEstimator fft;
    fft.create(orl::calmora::AnalysedImage::geometryFor(FULL_W, FULL_H, 1, 0).size);
    estimateOnSequence(state, 0, 1, [&](const orl::calmora::AnalysedPair& pair) {
        benchmark::DoNotOptimize(fft.estimate(pair, orl::calmora::MotionLimits{}));
    });
}
BENCHMARK(BM_StageFft)->UseManualTime()->Unit(benchmark::kMillisecond);

// Arg: scaleFactor.
void BM_StageCorners(benchmark::State& state) {
    orl::calmora::BlockCornerDetector detector;
    std::vector<cv::Point2f> points;
    estimateOnSequence(
        state, 2, static_cast<int>(state.range(0)),
        [&](const orl::calmora::AnalysedPair& pair) { detector.detect(pair.previous, points); });
    state.counters["points"] = static_cast<double>(points.size());
}
BENCHMARK(BM_StageCorners)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("scale")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Arg: scaleFactor. Corners, tracking and the fit, as per frame in a stream.
void BM_StageOpticalFlow(benchmark::State& state) {
    const int scaleFactor = static_cast<int>(state.range(0));
    orl::calmora::OpticalFlowEstimator flow;
    flow.create(orl::calmora::AnalysedImage::geometryFor(FULL_W, FULL_H, scaleFactor, 2).size);
    estimateOnSequence(state, 2, scaleFactor, [&](const orl::calmora::AnalysedPair& pair) {
        benchmark::DoNotOptimize(flow.estimate(pair, orl::calmora::MotionLimits{}, true));
    });
}
BENCHMARK(BM_StageOpticalFlow)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("scale")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_StageFilter(benchmark::State& state) {
    orl::calmora::MotionFilter filter;
    orl::calmora::Motion motion{1.5, -0.5, 0.001};
    for (auto _ : state) {
        motion.x = -motion.x;
        benchmark::DoNotOptimize(
            filter.update(motion, orl::calmora::FilterCoeffs{0.0f, 0.0f, 0.0f}));
    }
}
BENCHMARK(BM_StageFilter)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
