// Stabiliser benchmarks.
// - Stages alone at 1920x1080: each frame-shift family, and compensation by
//   warp (BGR3, small angle) and by shift.
// - Reference rows in the same run: a plain cv::warpAffine of a BGR frame
//   (same interpolation and border as the output warp) and a plain frame copy.
// - The whole stabilise() per frame for types 0, 1, 2 on a pre-generated
//   moving sequence (textured scene, slow pan, jitter in position and angle),
//   with counters giving its time as a multiple of the two references.
// - Resident memory read from /proc/self/statm before and after 1000 frames.
// Nothing is asserted; the figures are for reading.

#include "AnalysedImage.h"
#include "BlockCornerDetector.h"
#include "Compensation.h"
#include "FftEstimator.h"
#include "FrameShift.h"
#include "MotionFilter.h"
#include "OpticalFlowEstimator.h"
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
#include <memory>
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

// A camera sequence: a slow pan across a larger scene with random jitter of a
// few pixels and a few milliradians per frame, played forwards then
// backwards so that cycling it never jumps.
class Sequence {
  public:
    Sequence(int width, int height, uint32_t code, int frames = 20) {
        const int margin = 64;
        const cv::Mat scene =
            calmora_test::texturedScene(width + 2 * margin, height + 2 * margin, 11);
        cv::RNG rng(42);
        for (int i = 0; i < frames; ++i) {
            const cv::Point2d topLeft(margin + 1.5 * i - 15 + rng.uniform(-4.0, 4.0),
                                      margin + 0.5 * i - 5 + rng.uniform(-3.0, 3.0));
            const double angle = rng.uniform(-0.005, 0.005);
            frames_.push_back(calmora_test::toFrame(
                calmora_test::view(scene, {width, height}, topLeft, angle), code));
        }
        for (int i = frames - 2; i > 0; --i) {
            order_.push_back(i);
        }
        std::vector<int> forward;
        for (int i = 0; i < frames; ++i) {
            forward.push_back(i);
        }
        order_.insert(order_.begin(), forward.begin(), forward.end());
    }

    const Frame& next() {
        const Frame& f = frames_[static_cast<size_t>(order_[pos_])];
        pos_ = (pos_ + 1) % order_.size();
        return f;
    }

  private:
    std::vector<Frame> frames_;
    std::vector<int> order_;
    size_t pos_{0};
};

// One sequence at a time: the 1080p BGR frames alone take about 125 MB.
Sequence& sequenceFor(int width, int height, uint32_t code) {
    static std::tuple<int, int, uint32_t> key{0, 0, 0};
    static std::unique_ptr<Sequence> seq;
    const auto wanted = std::make_tuple(width, height, code);
    if (!seq || key != wanted) {
        seq.reset();
        seq = std::make_unique<Sequence>(width, height, code);
        key = wanted;
    }
    return *seq;
}

cv::Matx23d smallRotation(double tx, double ty) {
    return {std::cos(SMALL_ANGLE_RAD), -std::sin(SMALL_ANGLE_RAD), tx,
            std::sin(SMALL_ANGLE_RAD), std::cos(SMALL_ANGLE_RAD),  ty};
}

// Mean milliseconds of `op` over at least 0.2 s and 10 calls.
template <typename Op>
double meanMs(Op op) {
    using Clock = std::chrono::steady_clock;
    op();  // warm
    int calls = 0;
    const auto start = Clock::now();
    auto now = start;
    while (calls < 10 || now - start < std::chrono::milliseconds(200)) {
        op();
        ++calls;
        now = Clock::now();
    }
    return std::chrono::duration<double, std::milli>(now - start).count() / calls;
}

struct References {
    double warpMs{0.0};
    double copyMs{0.0};
};

// The two reference times for a frame geometry, measured once per run.
References referencesFor(int width, int height, uint32_t code) {
    static std::map<std::tuple<int, int, uint32_t>, References> cache;
    const auto key = std::make_tuple(width, height, code);
    auto it = cache.find(key);
    if (it != cache.end()) {
        return it->second;
    }
    References r;
    {
        const Frame& bgr = stillFrame(width, height, fcc::BGR3);
        const cv::Mat src(height, width, CV_8UC3, bgr.data);
        cv::Mat dst(height, width, CV_8UC3, cv::Scalar::all(0));
        const cv::Mat m(smallRotation(2.5, -1.5));
        r.warpMs = meanMs([&] {
            cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
            benchmark::DoNotOptimize(dst.data);
        });
    }
    {
        const Frame& src = stillFrame(width, height, code);
        Frame dst(src.width, src.height, src.fourcc);
        r.copyMs = meanMs([&] {
            dst = src;
            benchmark::DoNotOptimize(dst.data);
        });
    }
    cache.emplace(key, r);
    return r;
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
    for (auto _ : state) {
        shift(src, dst, 7, -5);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.size);
    state.SetLabel(std::string(reinterpret_cast<const char*>(&code), 4));
}
BENCHMARK(BM_Shift)->DenseRange(0, 4)->ArgName("format")->Unit(benchmark::kMillisecond);

// Arg: type (1 shift, 2 warp with a small angle); BGR3 1920x1080.
void BM_Compensate(benchmark::State& state) {
    const Frame& src = stillFrame(FULL_W, FULL_H, fcc::BGR3);
    Frame dst;
    CalmoraParams p;
    p.type = static_cast<int>(state.range(0));
    p.transparentBorder = true;
    const Offsets start{3.4, -2.1, p.type == 2 ? SMALL_ANGLE_RAD : 0.0};
    for (auto _ : state) {
        Offsets off = start;
        orl::calmora::compensate(src, dst, off, p);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetLabel(p.type == 2 ? "BGR3 warp" : "BGR3 shift");
}
BENCHMARK(BM_Compensate)->Arg(1)->Arg(2)->ArgName("type")->Unit(benchmark::kMillisecond);

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
    for (auto _ : state) {
        dst = src;
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.size);
    state.SetLabel("BGR3 1920x1080 Frame assignment");
}
BENCHMARK(BM_ReferenceCopy)->Unit(benchmark::kMillisecond);

// ---- whole frame operation ----------------------------------------------

CalmoraParams paramsFor(CalmoraOpenCv& stab, int type, int scaleFactor) {
    CalmoraParams p = stab.getParams();
    p.type = type;
    p.scaleFactor = scaleFactor;
    return p;
}

// Args: type, frame height (720 or 1080, 16:9), scaleFactor, NV12 (0/1).
void BM_Stabilise(benchmark::State& state) {
    const int type = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int width = height * 16 / 9;
    const int scaleFactor = static_cast<int>(state.range(2));
    const uint32_t code = state.range(3) != 0 ? fcc::NV12 : fcc::BGR3;

    const References ref = referencesFor(width, height, code);
    Sequence& seq = sequenceFor(width, height, code);
    CalmoraOpenCv stab;
    stab.init(paramsFor(stab, type, scaleFactor));
    Frame dst;
    for (int i = 0; i < 5; ++i) {  // first frames allocate the buffers
        stab.stabilise(seq.next(), dst);
    }

    using Clock = std::chrono::steady_clock;
    double totalMs = 0.0;
    for (auto _ : state) {
        const Frame& src = seq.next();
        const auto t0 = Clock::now();
        stab.stabilise(src, dst);
        totalMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        benchmark::DoNotOptimize(dst.data);
    }
    const double perFrameMs = totalMs / static_cast<double>(state.iterations());
    state.counters["fps"] = perFrameMs > 0.0 ? 1000.0 / perFrameMs : 0.0;  // wall clock
    state.counters["x_warpAffine"] = perFrameMs / ref.warpMs;
    state.counters["x_copy"] = perFrameMs / ref.copyMs;
    state.counters["ref_warp_ms"] = ref.warpMs;
    state.counters["ref_copy_ms"] = ref.copyMs;
    char label[64];
    std::snprintf(label, sizeof(label), "%s %dx%d", code == fcc::NV12 ? "NV12" : "BGR3", width,
                  height);
    state.SetLabel(label);
}
BENCHMARK(BM_Stabilise)
    ->ArgNames({"type", "h", "scale", "nv12"})
    ->ArgsProduct({{0, 1, 2}, {720}, {1, 2}, {0}})
    ->ArgsProduct({{0, 1, 2}, {1080}, {1, 2}, {0}})
    ->Args({2, 1080, 1, 1})
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

// --- each stage alone, 1920x1080 "BGR3", two frames of the moving sequence

// An analysed image holding the pair of two consecutive sequence frames.
struct PreparedPair {
    orl::calmora::AnalysedImage image;
    PreparedPair(int type, int scaleFactor) {
        Sequence& seq = sequenceFor(FULL_W, FULL_H, fcc::BGR3);
        const Frame& a = seq.next();
        const Frame& b = seq.next();
        image.adopt(orl::calmora::AnalysedImage::geometryFor(a.width, a.height, scaleFactor, type));
        image.convert(a);
        image.convert(b);
    }
};

void BM_StagePrepare(benchmark::State& state) {
    const int type = static_cast<int>(state.range(0));
    const int scale = static_cast<int>(state.range(1));
    Sequence& seq = sequenceFor(FULL_W, FULL_H, fcc::BGR3);
    orl::calmora::AnalysedImage image;
    image.adopt(orl::calmora::AnalysedImage::geometryFor(FULL_W, FULL_H, scale, type));
    for (auto _ : state) {
        image.convert(seq.next());
    }
}
BENCHMARK(BM_StagePrepare)
    ->Args({0, 1})
    ->Args({2, 1})
    ->Args({2, 2})
    ->ArgNames({"type", "scale"})
    ->Unit(benchmark::kMillisecond);

void BM_StageFft(benchmark::State& state) {
    PreparedPair prepared(0, 1);
    orl::calmora::FftEstimator fft;
    fft.create(prepared.image.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(fft.estimate(prepared.image.pair(), orl::calmora::MotionLimits{}));
    }
}
BENCHMARK(BM_StageFft)->Unit(benchmark::kMillisecond);

void BM_StageCorners(benchmark::State& state) {
    PreparedPair prepared(2, static_cast<int>(state.range(0)));
    orl::calmora::BlockCornerDetector detector;
    detector.resize(prepared.image.size().width, prepared.image.size().height);
    std::vector<cv::Point2f> points;
    for (auto _ : state) {
        detector.detect(prepared.image.pair().previous, points);
    }
    state.counters["points"] = static_cast<double>(points.size());
}
BENCHMARK(BM_StageCorners)->Arg(1)->Arg(2)->ArgName("scale")->Unit(benchmark::kMillisecond);

void BM_StageOpticalFlow(benchmark::State& state) {
    PreparedPair prepared(2, static_cast<int>(state.range(0)));
    orl::calmora::OpticalFlowEstimator flow;
    flow.create(prepared.image.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            flow.estimate(prepared.image.pair(), orl::calmora::MotionLimits{}, true));
    }
}
BENCHMARK(BM_StageOpticalFlow)->Arg(1)->Arg(2)->ArgName("scale")->Unit(benchmark::kMillisecond);

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
