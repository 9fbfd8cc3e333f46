// Offline stabilisation of a whole clip.
// - Pass one measures the camera path with the stabiliser's own estimators:
//   its filter coefficients at 1 freeze the smoothed path, so the published
//   offsets are minus the path. Frames go in as grey pictures, which the
//   estimators see exactly as the colour ones and which are cheaper to move.
// - The path of each shot is smoothed with a centred Gaussian, so a pan is
//   followed without lag; the correction is smoothed minus measured.
// - The automatic zoom is the smallest scale about the centre under which
//   the four output corners of every frame read from inside the source;
//   since the source is convex and the map affine, the corners suffice.

#include "TwoPass.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace calmora_cli {

using orl::calmora::Correction;

std::vector<GlobalMotion> smoothPath(const CameraPath& path, double sigmaFrames) {
    std::vector<GlobalMotion> smoothed;
    smoothed.reserve(path.points.size());
    size_t begin = 0;
    std::vector<int> bounds = path.cuts;
    bounds.push_back(static_cast<int>(path.points.size()));
    for (const int bound : bounds) {
        const size_t end = std::min(path.points.size(), static_cast<size_t>(std::max(bound, 0)));
        if (end <= begin) {
            continue;
        }
        const std::vector<GlobalMotion> shot(path.points.begin() + static_cast<long>(begin),
                                             path.points.begin() + static_cast<long>(end));
        for (const GlobalMotion& m : gaussianSmooth(shot, sigmaFrames)) {
            smoothed.push_back(m);
        }
        begin = end;
    }
    return smoothed;
}

std::vector<Correction> pathCorrections(const CameraPath& path,
                                        const std::vector<GlobalMotion>& smoothed) {
    std::vector<Correction> corrections;
    corrections.reserve(path.points.size());
    for (size_t i = 0; i < path.points.size() && i < smoothed.size(); ++i) {
        corrections.push_back({smoothed[i].x - path.points[i].x, smoothed[i].y - path.points[i].y,
                               smoothed[i].a - path.points[i].a, 1.0});
    }
    return corrections;
}

bool coversFrame(const Correction& c, double zoom, int width, int height) {
    if (c.x == 0.0 && c.y == 0.0 && c.a == 0.0 && zoom == 1.0) {
        return true;  // a plain copy
    }
    // The output pixel o reads the source at p = R(-a) (c0 + (o - c0) / zoom - t),
    // c0 being the centre in whole pixels as the compensation takes it.
    const double cx = width / 2, cy = height / 2;
    const double cosA = std::cos(c.a), sinA = std::sin(c.a);
    // The warp works in 1/32 pixel steps: keep the corners a step inside,
    // or a rounded corner reads outside and stays uncovered.
    constexpr double kMargin = 1.0 / 16.0;
    const double lo = kMargin, hiX = width - 1.0 - kMargin, hiY = height - 1.0 - kMargin;
    for (const double ox : {0.0, width - 1.0}) {
        for (const double oy : {0.0, height - 1.0}) {
            const double qx = cx + (ox - cx) / zoom - c.x;
            const double qy = cy + (oy - cy) / zoom - c.y;
            const double px = cosA * qx + sinA * qy;
            const double py = -sinA * qx + cosA * qy;
            if (!(px >= lo && px <= hiX && py >= lo && py <= hiY)) {
                return false;
            }
        }
    }
    return true;
}

double autoZoom(const std::vector<Correction>& corrections, int width, int height, double maxZoom) {
    double zoom = 1.0;
    for (const Correction& c : corrections) {
        if (coversFrame(c, zoom, width, height)) {
            continue;
        }
        if (!coversFrame(c, maxZoom, width, height)) {
            return maxZoom;
        }
        double lo = zoom, hi = maxZoom;  // lo fails, hi covers
        for (int i = 0; i < 40; ++i) {
            const double mid = 0.5 * (lo + hi);
            (coversFrame(c, mid, width, height) ? hi : lo) = mid;
        }
        zoom = hi;
    }
    return zoom;
}

PathRecorder::PathRecorder(orl::calmora::Calmora& stabiliser) : stabiliser_(stabiliser) {
    stabiliser_.setParam(orl::calmora::X_FILTER_COEFF, 1.0f);
    stabiliser_.setParam(orl::calmora::Y_FILTER_COEFF, 1.0f);
    stabiliser_.setParam(orl::calmora::A_FILTER_COEFF, 1.0f);
    stabiliser_.executeCommand(orl::calmora::RESET);
}

void PathRecorder::add(const cv::Mat& bgr, bool cut) {
    const int index = static_cast<int>(path_.points.size());
    if (cut && index > 0) {
        stabiliser_.executeCommand(orl::calmora::RESET);
        path_.cuts.push_back(index);
    }
    cv::cvtColor(bgr, grey_, cv::COLOR_BGR2GRAY);
    orl::video::Frame view;  // a header over the grey picture, not owning it
    view.width = static_cast<uint32_t>(grey_.cols);
    view.height = static_cast<uint32_t>(grey_.rows);
    view.fourcc = orl::video::fourcc::GRAY;
    view.size = static_cast<uint32_t>(grey_.total());
    view.data = grey_.data;
    stabiliser_.stabilise(view, scratch_);
    view.data = nullptr;
    float x = 0.0f, y = 0.0f, a = 0.0f;
    stabiliser_.getOffsets(x, y, a);
    path_.points.push_back(
        {-static_cast<double>(x), -static_cast<double>(y), -static_cast<double>(a)});
}

}  // namespace calmora_cli
