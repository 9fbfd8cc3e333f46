// The camera path before and after, drawn as a PNG.
// - Three panels (x, y, angle) of the input and output paths measured for
//   the report, drawn with OpenCV, with axes, ticks, labels and a legend;
//   cuts as vertical lines.
// - The title names the mode, the latency, the cuts and the zoom.

#include "Plot.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace calmora_cli {

using orl::calmora::PathPoint;
using orl::calmora::run::measuredPath;
using orl::calmora::run::modeText;
using orl::calmora::run::RunOptions;
using orl::calmora::run::RunResult;
using orl::calmora::run::Summary;

namespace {

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

bool writePlot(const std::string& path, const RunResult& run, const Summary& summary,
               const RunOptions& options, int width, int height) {
    width = std::max(400, width);
    height = std::max(300, height);
    cv::Mat canvas(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    const auto before = measuredPath(run, false).points;
    const auto after = measuredPath(run, true).points;
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
