// A rolling shutter's motion within the frame.
// - Bands: each tracked corner pair, less what the frame's motion (shift
//   and rotation) explains, leaves a residual displacement; a curve over
//   the row (linear between the band centres, its bend and size held back
//   a little so that a band with few corners follows its neighbours) is
//   fitted to the residuals by least squares, twice: the pairs far from
//   the first fit (three times the median distance, at least half a pixel)
//   are left out of the second. A band's motion is the frame's motion at its
//   centre plus the curve there.
// - Path in time: band b of frame j is exposed at j + tau_b; its running
//   sum of motions is the camera's position at those times up to a constant
//   of the band. A cubic B-spline in time, knots a quarter frame apart, and
//   the constants are fitted together by least squares with a penalty on
//   the spline's bend (its second difference), one normal system for both
//   axes. The shifts of a frame are the spline at its bands' times less
//   their mean: the frame as a whole stays where its measured motion puts
//   it.
// - Readout: at the wrong readout the band positions do not lie on a smooth
//   curve in time (a global shutter's equal bands spread over time become
//   steps), so the penalised misfit grows; its least over a grid of
//   readouts, refined by a parabola, is the estimate.

#include "RollingShutter.h"

#include <algorithm>
#include <cmath>

namespace orl::calmora {

namespace {

constexpr int BANDS = RowShifts::BANDS;
constexpr size_t MIN_PAIRS = 16;
constexpr double BAND_BEND = 0.5;   // penalty on the band curve's second difference
constexpr double BAND_SIZE = 0.05;  // penalty on the band curve's size, per band
constexpr double MIN_OUTLIER = 0.5;  // analysed pixels
constexpr double KNOT_FRAMES = 0.25;
constexpr double PATH_BEND = 0.01;  // pixels squared * frames cubed
constexpr int WINDOW_FRAMES = 30;
constexpr int READOUT_STEPS = 20;

// Hat weights of the band centres at row fraction `u` (0 top, 1 bottom).
void hat(double u, int& band, double& weight) {
    const double at = std::clamp(u * BANDS - 0.5, 0.0, BANDS - 1.0);
    band = std::min(static_cast<int>(at), BANDS - 2);
    weight = at - band;  // of band + 1
}

// Least-squares band curve of the residuals `ex`, `ey` at row fractions `u`
// for the pairs with `use`.
void fitCurve(const std::vector<double>& u, const std::vector<cv::Point2d>& e,
              const std::vector<uint8_t>& use, double* cx, double* cy) {
    cv::Matx<double, BANDS, BANDS> a = cv::Matx<double, BANDS, BANDS>::eye() * BAND_SIZE;
    for (int b = 1; b + 1 < BANDS; ++b) {
        const int idx[3] = {b - 1, b, b + 1};
        const double coef[3] = {1.0, -2.0, 1.0};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                a(idx[i], idx[j]) += BAND_BEND * coef[i] * coef[j];
    }
    cv::Matx<double, BANDS, 2> rhs = cv::Matx<double, BANDS, 2>::zeros();
    for (size_t i = 0; i < u.size(); ++i) {
        if (!use[i])
            continue;
        int b = 0;
        double w = 0.0;
        hat(u[i], b, w);
        const double phi[2] = {1.0 - w, w};
        for (int r = 0; r < 2; ++r) {
            for (int c = 0; c < 2; ++c)
                a(b + r, b + c) += phi[r] * phi[c];
            rhs(b + r, 0) += phi[r] * e[i].x;
            rhs(b + r, 1) += phi[r] * e[i].y;
        }
    }
    cv::Matx<double, BANDS, 2> sol;
    cv::solve(a, rhs, sol, cv::DECOMP_CHOLESKY);
    for (int b = 0; b < BANDS; ++b) {
        cx[b] = sol(b, 0);
        cy[b] = sol(b, 1);
    }
}

// Marks the pairs within three median distances (at least MIN_OUTLIER) of
// the curve (cx, cy), or of no residual when the curve is null.
void keepNear(const std::vector<double>& u, const std::vector<cv::Point2d>& e, const double* cx,
              const double* cy, std::vector<uint8_t>& use) {
    std::vector<double> distance(u.size());
    for (size_t i = 0; i < u.size(); ++i) {
        cv::Point2d fitted;
        if (cx != nullptr) {
            int b = 0;
            double w = 0.0;
            hat(u[i], b, w);
            fitted = {cx[b] * (1 - w) + cx[b + 1] * w, cy[b] * (1 - w) + cy[b + 1] * w};
        }
        distance[i] = cv::norm(e[i] - fitted);
    }
    std::vector<double> sorted = distance;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = std::max(MIN_OUTLIER, 3.0 * sorted[sorted.size() / 2]);
    for (size_t i = 0; i < u.size(); ++i)
        use[i] = distance[i] <= limit;
}

// Uniform cubic B-spline weights at fraction f of a knot span.
void splineWeights(double f, double* w) {
    const double g = 1.0 - f;
    w[0] = g * g * g / 6.0;
    w[1] = (3.0 * f * f * f - 6.0 * f * f + 4.0) / 6.0;
    w[2] = (-3.0 * f * f * f + 3.0 * f * f + 3.0 * f + 1.0) / 6.0;
    w[3] = f * f * f / 6.0;
}

// The span and weights of time t on knots from `start` on.
int splineAt(double t, double start, double* w) {
    const double u = (t - start) / KNOT_FRAMES;
    const int span = static_cast<int>(std::floor(u));
    splineWeights(u - span, w);
    return span;
}

double bandTime(int b, double readout) {
    return readout * ((b + 0.5) / BANDS - 0.5);
}

}  // namespace

BandMotion bandMotionOf(const Measurement& m) {
    BandMotion out;
    for (int b = 0; b < BANDS; ++b) {
        out.x[b] = m.banded ? m.bandX[b] : m.x;
        out.y[b] = m.banded ? m.bandY[b] : m.y;
    }
    return out;
}

bool measureBands(const std::vector<cv::Point2f>& previous, const std::vector<cv::Point2f>& current,
                  const Motion& motion, cv::Size size, double scaleX, double scaleY,
                  Measurement& m) {
    if (previous.size() < MIN_PAIRS || previous.size() != current.size() || size.height <= 0)
        return false;
    // residuals after the frame's motion, analysed pixels
    const double c = std::cos(motion.a), s = std::sin(motion.a);
    const cv::Point2d t(motion.x / scaleX, motion.y / scaleY);
    const auto rigid = [&](cv::Point2d p) { return cv::Point2d(c * p.x - s * p.y, s * p.x + c * p.y) + t; };
    std::vector<double> u(previous.size());
    std::vector<cv::Point2d> e(previous.size());
    for (size_t i = 0; i < previous.size(); ++i) {
        u[i] = previous[i].y / size.height;
        e[i] = cv::Point2d(current[i]) - rigid(previous[i]);
    }
    // fit, leave out the far pairs, fit again
    std::vector<uint8_t> use(u.size(), 1);
    double cx[BANDS], cy[BANDS];
    keepNear(u, e, nullptr, nullptr, use);
    fitCurve(u, e, use, cx, cy);
    keepNear(u, e, cx, cy, use);
    fitCurve(u, e, use, cx, cy);
    for (int b = 0; b < BANDS; ++b) {
        const cv::Point2d centre(size.width / 2.0, (b + 0.5) * size.height / BANDS);
        const cv::Point2d d = rigid(centre) - centre + cv::Point2d(cx[b], cy[b]);
        m.bandX[b] = d.x * scaleX;
        m.bandY[b] = d.y * scaleY;
    }
    m.banded = true;
    return true;
}

double fitBandPath(const BandMotion* motions, int count, double readout, int index,
                   RowShifts* shifts) {
    if (count < 2)
        return 0.0;
    // knots cover every band time with a span to spare
    const double start = bandTime(0, readout) - 2.0 * KNOT_FRAMES;
    const double end = count - 1 + bandTime(BANDS - 1, readout) + 2.0 * KNOT_FRAMES;
    const int knots = static_cast<int>(std::ceil((end - start) / KNOT_FRAMES)) + 4;
    const int n = knots + BANDS - 1;  // spline weights, then constants of bands 1..
    cv::Mat a = cv::Mat::zeros(n, n, CV_64F), rhs = cv::Mat::zeros(n, 2, CV_64F);
    // bend penalty, per unit of time
    const double bend = PATH_BEND / (KNOT_FRAMES * KNOT_FRAMES * KNOT_FRAMES);
    for (int k = 1; k + 1 < knots; ++k) {
        const int idx[3] = {k - 1, k, k + 1};
        const double coef[3] = {1.0, -2.0, 1.0};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                a.at<double>(idx[i], idx[j]) += bend * coef[i] * coef[j];
    }
    // samples: the spline at the band's time less its constant is the running sum
    double sum[BANDS][2] = {};
    double rss = 0.0;  // the samples' own squares, for the misfit
    for (int j = 0; j < count; ++j) {
        for (int b = 0; b < BANDS; ++b) {
            if (j > 0) {
                sum[b][0] += motions[j].x[b];
                sum[b][1] += motions[j].y[b];
            }
            double w[4];
            const int span = splineAt(j + bandTime(b, readout), start, w);
            int idx[5];
            double phi[5];
            for (int k = 0; k < 4; ++k) {
                idx[k] = span + k;
                phi[k] = w[k];
            }
            const int terms = b > 0 ? 5 : 4;
            idx[4] = knots + b - 1;
            phi[4] = -1.0;
            for (int r = 0; r < terms; ++r) {
                for (int q = 0; q < terms; ++q)
                    a.at<double>(idx[r], idx[q]) += phi[r] * phi[q];
                rhs.at<double>(idx[r], 0) += phi[r] * sum[b][0];
                rhs.at<double>(idx[r], 1) += phi[r] * sum[b][1];
            }
            rss += sum[b][0] * sum[b][0] + sum[b][1] * sum[b][1];
        }
    }
    // a constant moved between the spline and the band constants changes
    // nothing: a hair of size on the weights fixes it
    a += cv::Mat::eye(n, n, CV_64F) * 1e-9;
    cv::Mat sol;
    if (!cv::solve(a, rhs, sol, cv::DECOMP_CHOLESKY))
        return 0.0;
    // misfit at the least: |Ax - y|^2 + penalty = y'y - x' A'y
    const double misfit = rss - sol.col(0).dot(rhs.col(0)) - sol.col(1).dot(rhs.col(1));
    if (shifts != nullptr) {
        double mean[2] = {};
        for (int b = 0; b < BANDS; ++b) {
            double w[4];
            const int span = splineAt(index + bandTime(b, readout), start, w);
            double v[2] = {};
            for (int k = 0; k < 4; ++k)
                for (int axis = 0; axis < 2; ++axis)
                    v[axis] += w[k] * sol.at<double>(span + k, axis);
            shifts->x[b] = v[0];
            shifts->y[b] = v[1];
            mean[0] += v[0] / BANDS;
            mean[1] += v[1] / BANDS;
        }
        for (int b = 0; b < BANDS; ++b) {
            shifts->x[b] -= mean[0];
            shifts->y[b] -= mean[1];
        }
    }
    return std::max(misfit, 0.0);
}

double estimateReadout(const std::vector<BandMotion>& motions, const std::vector<int>& starts) {
    // windows within shots
    std::vector<std::pair<int, int>> windows;
    std::vector<int> bounds = starts;
    bounds.push_back(static_cast<int>(motions.size()));
    int begin = 0;
    for (const int bound : bounds) {
        for (int w = begin; w + 3 <= bound; w += WINDOW_FRAMES)
            windows.emplace_back(w, std::min(WINDOW_FRAMES, bound - w));
        begin = std::max(begin, bound);
    }
    std::vector<double> misfit(READOUT_STEPS + 1, 0.0);
    for (int step = 0; step <= READOUT_STEPS; ++step)
        for (const auto& [first, count] : windows)
            misfit[static_cast<size_t>(step)] +=
                fitBandPath(motions.data() + first, count, double(step) / READOUT_STEPS, 0, nullptr);
    const int best =
        static_cast<int>(std::min_element(misfit.begin(), misfit.end()) - misfit.begin());
    double at = best;
    if (best > 0 && best < READOUT_STEPS) {
        const double l = misfit[best - 1], c = misfit[best], r = misfit[best + 1];
        const double curve = l - 2.0 * c + r;
        if (curve > 0.0)
            at += std::clamp(0.5 * (l - r) / curve, -0.5, 0.5);
    }
    return at / READOUT_STEPS;
}

}  // namespace orl::calmora
