// Run summary, JSON report and path plot.
// - Timing: mean and 95th percentile of the stabilise time per frame.
// - Jitter: the measured inter-frame motion of input and output is
//   integrated into a path per shot; its high-frequency part (the path
//   minus the library's local-line smoothing, sigma 5 frames) is the shake,
//   given as RMS pixels (and radians).
// - Path error: the output path against the input path smoothed the same
//   way over 15 frames, the path a camera without shake and without lag
//   would have taken.
// - Plot: three panels (x, y, angle) of the input and output paths, drawn
//   with OpenCV, with axes, ticks, labels and a legend.

#include "Report.h"

#include <calmora/CameraPath.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace calmora_cli {

namespace {

using orl::calmora::CameraPath;
using orl::calmora::PathPoint;

// The measured camera path of input or output, per shot (0 at each cut).
// A zoom scales every motion of the output; it is taken out, so a zoomed
// pan is the same path as the input's.
CameraPath pathOf(const RunResult& run, bool output) {
    CameraPath path;
    const double scale = output && run.zoom > 0.0 ? 1.0 / run.zoom : 1.0;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        const FrameResult& f = run.frames[i];
        const GlobalMotion& m = output ? f.outputMotion : f.inputMotion;
        path.add(scale * m.x, scale * m.y, m.a, i > 0 && f.cut);
    }
    return path;
}

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
    const CameraPath path = pathOf(run, output);
    return difference(path.points, orl::calmora::smoothPath(path, kJitterSigmaFrames));
}

nlohmann::json motionJson(const GlobalMotion& m) {
    return {{"x", m.x}, {"y", m.y}, {"angle", m.a}};
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A "nice" tick step of about range / 5.
double tickStep(double range) {
    if (!(range > 0.0)) {
        return 1.0;
    }
    const double raw = range / 5.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) {
            return m * power;
        }
    }
    return 10.0 * power;
}

void drawPanel(cv::Mat& canvas, cv::Rect area, const std::string& title, const std::string& unit,
               const std::vector<double>& before, const std::vector<double>& after,
               const std::vector<int>& cuts) {
    const cv::Scalar ink(40, 40, 40), grid(225, 225, 225);
    const cv::Scalar beforeColour(60, 60, 220), afterColour(40, 150, 40);
    const int left = area.x + 80, right = area.x + area.width - 20;
    const int top = area.y + 30, bottom = area.y + area.height - 40;

    double lo = 0.0, hi = 0.0;
    for (const auto* series : {&before, &after}) {
        for (double v : *series) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (hi - lo < 1e-9) {
        lo -= 1.0;
        hi += 1.0;
    }
    const double pad = 0.05 * (hi - lo);
    lo -= pad;
    hi += pad;
    const size_t n = std::max<size_t>(2, std::max(before.size(), after.size()));
    auto px = [&](size_t i) {
        return left +
               static_cast<int>(std::lround(static_cast<double>(i) * (right - left) / (n - 1)));
    };
    auto py = [&](double v) {
        return bottom - static_cast<int>(std::lround((v - lo) * (bottom - top) / (hi - lo)));
    };

    // grid, ticks and labels
    const double yStep = tickStep(hi - lo);
    for (double v = std::ceil(lo / yStep) * yStep; v <= hi; v += yStep) {
        cv::line(canvas, {left, py(v)}, {right, py(v)}, grid, 1);
        const int decimals = yStep < 0.01 ? 3 : yStep < 1.0 ? 2 : 0;
        cv::putText(canvas, fixed(v, decimals), {area.x + 8, py(v) + 4}, cv::FONT_HERSHEY_SIMPLEX,
                    0.4, ink, 1, cv::LINE_AA);
    }
    const double xStep = tickStep(static_cast<double>(n - 1));
    for (double i = 0; i < static_cast<double>(n); i += xStep) {
        const int x = px(static_cast<size_t>(i));
        cv::line(canvas, {x, top}, {x, bottom}, grid, 1);
        cv::putText(canvas, fixed(i, 0), {x - 10, bottom + 16}, cv::FONT_HERSHEY_SIMPLEX, 0.4, ink,
                    1, cv::LINE_AA);
    }
    for (const int cut : cuts) {
        const int x = px(static_cast<size_t>(std::max(cut, 0)));
        cv::line(canvas, {x, top}, {x, bottom}, cv::Scalar(200, 120, 40), 1, cv::LINE_AA);
    }
    cv::rectangle(canvas, {left, top}, {right, bottom}, ink, 1);
    cv::putText(canvas, title + " (" + unit + ")", {left, top - 10}, cv::FONT_HERSHEY_SIMPLEX, 0.55,
                ink, 1, cv::LINE_AA);
    cv::putText(canvas, "frame", {right - 40, bottom + 32}, cv::FONT_HERSHEY_SIMPLEX, 0.45, ink, 1,
                cv::LINE_AA);

    // the two paths
    for (const auto& [series, colour] : {std::pair{&before, beforeColour}, {&after, afterColour}}) {
        std::vector<cv::Point> points;
        for (size_t i = 0; i < series->size(); ++i) {
            points.emplace_back(px(i), py((*series)[i]));
        }
        if (points.size() > 1) {
            cv::polylines(canvas, points, false, colour, 2, cv::LINE_AA);
        }
    }
}

}  // namespace

std::string modeText(const RunOptions& options) {
    switch (options.mode) {
        case Mode::LOOKAHEAD:
            return "lookahead, " + std::to_string(options.latencyFrames) + " frames latency";
        case Mode::OFFLINE:
            return "offline (two passes)";
        case Mode::LIVE:
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
    const CameraPath wanted = pathOf(run, false);
    std::vector<GlobalMotion> error =
        difference(pathOf(run, true).points, orl::calmora::smoothPath(wanted, kWantedSigmaFrames));
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
        {"mode", modeName(options.mode)},
        {"latencyFrames", options.mode == Mode::LOOKAHEAD ? options.latencyFrames : 0},
        {"cuts", run.cuts},
        {"zoom", run.zoom},
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

bool writePlot(const std::string& path, const RunResult& run, const Summary& summary,
               const RunOptions& options, int width, int height) {
    width = std::max(400, width);
    height = std::max(300, height);
    cv::Mat canvas(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    const auto before = pathOf(run, false).points;
    const auto after = pathOf(run, true).points;
    auto component = [](const std::vector<PathPoint>& path, int which) {
        std::vector<double> values;
        for (const PathPoint& m : path) {
            values.push_back(which == 0 ? m.x : which == 1 ? m.y : m.a);
        }
        return values;
    };

    const int header = 50;
    const int panel = (height - header) / 3;
    const char* titles[] = {"horizontal path", "vertical path", "rotation path"};
    const char* units[] = {"pixels", "pixels", "radians"};
    for (int i = 0; i < 3; ++i) {
        drawPanel(canvas, cv::Rect(0, header + i * panel, width, panel), titles[i], units[i],
                  component(before, i), component(after, i), run.cuts);
    }

    // title and legend
    std::string title = "Camera path, " + std::to_string(summary.frames) + " frames, " +
                        modeText(options) + ", jitter " + fixed(summary.jitterBefore, 2) + " -> " +
                        fixed(summary.jitterAfter, 2) + " px";
    if (!run.cuts.empty()) {
        title += ", " + std::to_string(run.cuts.size()) + " cut(s)";
    }
    if (run.zoom != 1.0) {
        title += ", zoom " + fixed(100.0 * run.zoom, 1) + "%";
    }
    cv::putText(canvas, title, {20, 30}, cv::FONT_HERSHEY_SIMPLEX, 0.65, cv::Scalar(20, 20, 20), 1,
                cv::LINE_AA);
    const int lx = width - 260;
    cv::line(canvas, {lx, 18}, {lx + 30, 18}, cv::Scalar(60, 60, 220), 2, cv::LINE_AA);
    cv::putText(canvas, "input (before)", {lx + 38, 23}, cv::FONT_HERSHEY_SIMPLEX, 0.45,
                cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    cv::line(canvas, {lx, 38}, {lx + 30, 38}, cv::Scalar(40, 150, 40), 2, cv::LINE_AA);
    cv::putText(canvas, "stabilised (after)", {lx + 38, 43}, cv::FONT_HERSHEY_SIMPLEX, 0.45,
                cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
    try {
        return cv::imwrite(path, canvas);
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace calmora_cli
