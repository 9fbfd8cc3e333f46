// Run summary and JSON report.
// - Timing: mean and 95th percentile of the stabilise time per frame.
// - Jitter: the measured inter-frame motion of input and output is
//   integrated into a path per shot; its high-frequency part (the path
//   minus the library's local-line smoothing, sigma 5 frames) is the shake,
//   given as RMS pixels (and radians).
// - Path error: the output path against the input path smoothed the same
//   way over 15 frames, the path a camera without shake and without lag
//   would have taken.

#include <calmora/run/Report.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace orl::calmora::run {

namespace {

// Frame by frame, `path` minus `reference`.
std::vector<GlobalMotion> difference(const std::vector<PathPoint>& path,
                                     const std::vector<PathPoint>& reference) {
    std::vector<GlobalMotion> residual;
    for (size_t i = 0; i < path.size() && i < reference.size(); ++i) {
        residual.push_back(
            {path[i].x - reference[i].x, path[i].y - reference[i].y, path[i].a - reference[i].a});
    }
    return residual;
}

// The high-frequency part of each shot's path on its own.
std::vector<GlobalMotion> shake(const RunResult& run, bool output) {
    const CameraPath path = measuredPath(run, output);
    return difference(path.points, smoothPath(path, kJitterSigmaFrames));
}

nlohmann::json motionJson(const GlobalMotion& m) {
    return {{"x", m.x}, {"y", m.y}, {"angle", m.a}};
}

}  // namespace

CameraPath measuredPath(const RunResult& run, bool output) {
    CameraPath path;
    const double scale = output && run.zoom > 0.0 ? 1.0 / run.zoom : 1.0;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        const FrameResult& f = run.frames[i];
        const GlobalMotion& m = output ? f.outputMotion : f.inputMotion;
        path.add(scale * m.x, scale * m.y, m.a, i > 0 && f.cut);
    }
    return path;
}

std::string modeText(const RunOptions& options) {
    switch (options.settings.mode) {
        case StabiliserMode::LOOKAHEAD:
            return "lookahead, " + std::to_string(options.settings.latencyFrames) +
                   " frames latency";
        case StabiliserMode::OFFLINE:
            return options.settings.smoother == PathSmoother::L1
                       ? "offline (two passes, l1 path)"
                       : "offline (two passes, gaussian path)";
        case StabiliserMode::LIVE:
            break;
    }
    return "live";
}

Summary summarise(const RunResult& run) {
    Summary s;
    s.frames = static_cast<long long>(run.frames.size());
    if (run.frames.empty()) {
        return s;
    }
    std::vector<double> ms;
    for (const FrameResult& f : run.frames) {
        ms.push_back(f.stabiliseMs);
        s.meanMs += f.stabiliseMs;
        s.meanAbsOffset.x += std::fabs(f.offsetX);
        s.meanAbsOffset.y += std::fabs(f.offsetY);
        s.meanAbsOffset.a += std::fabs(f.offsetA);
        s.maxAbsOffset.x = std::max(s.maxAbsOffset.x, std::fabs(f.offsetX));
        s.maxAbsOffset.y = std::max(s.maxAbsOffset.y, std::fabs(f.offsetY));
        s.maxAbsOffset.a = std::max(s.maxAbsOffset.a, std::fabs(f.offsetA));
    }
    const double n = static_cast<double>(run.frames.size());
    s.meanMs /= n;
    s.meanAbsOffset = {s.meanAbsOffset.x / n, s.meanAbsOffset.y / n, s.meanAbsOffset.a / n};
    std::sort(ms.begin(), ms.end());
    s.p95Ms = ms[std::min(ms.size() - 1, static_cast<size_t>(std::ceil(0.95 * n)) - 1)];
    s.wholeMsPerFrame = 1000.0 * run.seconds / n;

    const auto before = shake(run, false);
    const auto after = shake(run, true);
    s.jitterBefore = rmsTranslation(before);
    s.jitterAfter = rmsTranslation(after);
    s.jitterRatio = s.jitterAfter > 0.0 ? s.jitterBefore / s.jitterAfter : 0.0;
    s.angleJitterBefore = rmsRotation(before);
    s.angleJitterAfter = rmsRotation(after);
    // each shot's paths start at 0 with whatever shake its first frame had:
    // a constant difference is no error
    const CameraPath wanted = measuredPath(run, false);
    std::vector<GlobalMotion> error =
        difference(measuredPath(run, true).points, smoothPath(wanted, kWantedSigmaFrames));
    std::vector<int> bounds = wanted.cuts;
    bounds.push_back(static_cast<int>(error.size()));
    size_t begin = 0;
    for (const int bound : bounds) {
        const auto end = static_cast<size_t>(bound);
        const double count = static_cast<double>(end - begin);
        GlobalMotion mean;
        for (size_t i = begin; i < end; ++i) {
            mean = {mean.x + error[i].x / count, mean.y + error[i].y / count, 0.0};
        }
        for (size_t i = begin; i < end; ++i) {
            error[i] = {error[i].x - mean.x, error[i].y - mean.y, 0.0};
        }
        begin = end;
    }
    s.pathError = rmsTranslation(error);
    return s;
}

std::string reportJson(const RunOptions& options, const RunResult& run, const Summary& summary) {
    const bool lookahead = options.settings.mode == StabiliserMode::LOOKAHEAD;
    nlohmann::json frames = nlohmann::json::array();
    for (size_t i = 0; i < run.frames.size(); ++i) {
        const FrameResult& f = run.frames[i];
        frames.push_back({{"frame", i},
                          {"offset", {{"x", f.offsetX}, {"y", f.offsetY}, {"angle", f.offsetA}}},
                          {"ms", f.stabiliseMs},
                          {"cut", f.cut},
                          {"inputMotion", motionJson(f.inputMotion)},
                          {"outputMotion", motionJson(f.outputMotion)}});
    }
    nlohmann::json doc = {
        {"input", options.input},
        {"output", options.output},
        {"width", run.width},
        {"height", run.height},
        {"fps", run.fps},
        {"warnings", run.warnings},
        {"mode", modeName(options.settings.mode)},
        {"latencyFrames", lookahead ? options.settings.latencyFrames : 0},
        {"cuts", run.cuts},
        {"zoom", run.zoom},
        {"rollingShutter",
         {{"readout", run.readout}, {"estimated", options.settings.rollingShutterAuto}}},
        {"summary",
         {{"frames", summary.frames},
          {"meanMs", summary.meanMs},
          {"p95Ms", summary.p95Ms},
          {"wholeRunMsPerFrame", summary.wholeMsPerFrame},
          {"meanAbsOffset", motionJson(summary.meanAbsOffset)},
          {"maxAbsOffset", motionJson(summary.maxAbsOffset)},
          {"jitter",
           {{"before", summary.jitterBefore},
            {"after", summary.jitterAfter},
            {"ratio", summary.jitterRatio},
            {"angleBefore", summary.angleJitterBefore},
            {"angleAfter", summary.angleJitterAfter},
            {"sigmaFrames", kJitterSigmaFrames}}},
          {"pathError", summary.pathError}}},
        {"frames", frames},
    };
    return doc.dump(2);
}

bool writeReport(const std::string& path, const RunOptions& options, const RunResult& run,
                 const Summary& summary) {
    std::ofstream out(path);
    out << reportJson(options, run, summary) << '\n';
    out.close();
    return static_cast<bool>(out);
}

}  // namespace orl::calmora::run
