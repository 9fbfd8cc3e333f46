// Camera path maths shared by the lookahead and offline modes.
// - The smoother fits a line with Gaussian weights around each frame and
//   takes it at that frame: inside a shot this is the plain Gaussian
//   average; near a shot's ends, where the window is one-sided, the line
//   keeps a pan without lag and still averages the shake.
// - A correction is smoothed minus measured, held within the offset limits,
//   and written out through the live stabiliser's own compensation.
// - The automatic zoom is the smallest scale about the centre under which
//   the four output corners of every frame read from inside the source;
//   since the source is convex and the map affine, the corners suffice.

#include <calmora/CameraPath.h>

#include "Compensation.h"
#include "RunParams.h"

#include <algorithm>
#include <cmath>

namespace orl::calmora {

void CameraPath::add(double x, double y, double a, bool cut) {
    if (cut && !points.empty())
        cuts.push_back(static_cast<int>(points.size()));
    if (cut || points.empty()) {
        points.push_back({});
        return;
    }
    const PathPoint& last = points.back();
    points.push_back({last.x + x, last.y + y, last.a + a});
}

PathPoint localLineAt(const PathPoint* path, int count, int index, double sigmaFrames) {
    const double sigma = std::max(sigmaFrames, 1e-3);
    const int radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
    double s0 = 0.0, s1 = 0.0, s2 = 0.0;
    PathPoint t0, t1;
    for (int k = std::max(-radius, -index); k <= std::min(radius, count - 1 - index); ++k) {
        const double w = std::exp(-0.5 * k * k / (sigma * sigma));
        const PathPoint& v = path[index + k];
        s0 += w;
        s1 += w * k;
        s2 += w * k * k;
        t0 = {t0.x + w * v.x, t0.y + w * v.y, t0.a + w * v.a};
        t1 = {t1.x + w * k * v.x, t1.y + w * k * v.y, t1.a + w * k * v.a};
    }
    // the line's value at k = 0; a single point has no slope
    const double det = s0 * s2 - s1 * s1;
    if (det > 1e-12 * s0 * s0)
        return {(s2 * t0.x - s1 * t1.x) / det, (s2 * t0.y - s1 * t1.y) / det,
                (s2 * t0.a - s1 * t1.a) / det};
    return {t0.x / s0, t0.y / s0, t0.a / s0};
}

std::vector<PathPoint> localLineSmooth(const std::vector<PathPoint>& path, double sigmaFrames) {
    const int n = static_cast<int>(path.size());
    std::vector<PathPoint> smooth(path.size());
    for (int i = 0; i < n; ++i)
        smooth[static_cast<size_t>(i)] = localLineAt(path.data(), n, i, sigmaFrames);
    return smooth;
}

std::vector<PathPoint> smoothPath(const CameraPath& path, double sigmaFrames) {
    std::vector<PathPoint> smoothed;
    smoothed.reserve(path.points.size());
    std::vector<int> bounds = path.cuts;
    bounds.push_back(static_cast<int>(path.points.size()));
    size_t begin = 0;
    for (const int bound : bounds) {
        const size_t end = std::min(path.points.size(), static_cast<size_t>(std::max(bound, 0)));
        if (end <= begin)
            continue;
        const std::vector<PathPoint> shot(path.points.begin() + static_cast<long>(begin),
                                          path.points.begin() + static_cast<long>(end));
        for (const PathPoint& p : localLineSmooth(shot, sigmaFrames))
            smoothed.push_back(p);
        begin = end;
    }
    return smoothed;
}

std::vector<Correction> pathCorrections(const std::vector<PathPoint>& measured,
                                        const std::vector<PathPoint>& smoothed) {
    std::vector<Correction> corrections;
    corrections.reserve(measured.size());
    for (size_t i = 0; i < measured.size() && i < smoothed.size(); ++i)
        corrections.push_back({smoothed[i].x - measured[i].x, smoothed[i].y - measured[i].y,
                               smoothed[i].a - measured[i].a, 1.0});
    return corrections;
}

bool coversFrame(const Correction& c, double zoom, int width, int height) {
    if (c.x == 0.0 && c.y == 0.0 && c.a == 0.0 && zoom == 1.0)
        return true;  // a plain copy
    // The output pixel o reads the source at p = R(-a) (c0 + (o - c0) / zoom - t),
    // c0 being the centre in whole pixels as the compensation takes it.
    const double cx = width / 2, cy = height / 2;
    const double cosA = std::cos(c.a), sinA = std::sin(c.a);
    // The warp works in 1/32 pixel steps: keep the corners a step inside,
    // or a rounded corner reads outside and stays uncovered.
    constexpr double kMargin = 1.0 / 16.0;
    const double hiX = width - 1.0 - kMargin, hiY = height - 1.0 - kMargin;
    for (const double ox : {0.0, width - 1.0})
        for (const double oy : {0.0, height - 1.0}) {
            const double qx = cx + (ox - cx) / zoom - c.x;
            const double qy = cy + (oy - cy) / zoom - c.y;
            const double px = cosA * qx + sinA * qy;
            const double py = -sinA * qx + cosA * qy;
            if (!(px >= kMargin && px <= hiX && py >= kMargin && py <= hiY))
                return false;
        }
    return true;
}

Correction limitedCorrection(const Correction& c, const CalmoraParams& params) {
    const auto limit = [](double v, double lim) {
        return lim >= 0.0 ? std::clamp(v, -lim, lim) : 0.0;  // NaN limits give 0
    };
    return {limit(c.x, params.xOffsetLimit), limit(c.y, params.yOffsetLimit),
            limit(c.a, params.aOffsetLimit), c.zoom};
}

bool writeCorrected(const video::Frame& src, video::Frame& dst, const Correction& correction,
                    const CalmoraParams& params, bool refinements, const RowShifts* rows) {
    CalmoraParams run = sanitised(params);
    // A whole-pixel shift cannot scale: a zoom always warps, and the types
    // without rotation bring no angle to it.
    if (correction.zoom != 1.0)
        run.type = 2;
    Offsets offsets{correction.x, correction.y, correction.a};
    return compensate(src, dst, offsets, run, correction.zoom, refinements, rows);
}

double autoZoom(const std::vector<Correction>& corrections, int width, int height, double maxZoom) {
    double zoom = 1.0;
    for (const Correction& c : corrections) {
        if (coversFrame(c, zoom, width, height))
            continue;
        if (!coversFrame(c, maxZoom, width, height))
            return maxZoom;
        double lo = zoom, hi = maxZoom;  // lo leaves pixels uncovered, hi covers
        for (int i = 0; i < 40; ++i) {
            const double mid = 0.5 * (lo + hi);
            (coversFrame(c, mid, width, height) ? hi : lo) = mid;
        }
        zoom = hi;
    }
    return zoom;
}

}  // namespace orl::calmora
