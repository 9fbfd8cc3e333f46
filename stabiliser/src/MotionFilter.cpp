// Motion smoothing filter.
//
// - Each measurement goes into a 64-value ring per axis (zeros after a reset
//   count as measurements).
// - The coefficient of an axis is its parameter, or, when that is exactly 0,
//   0.8 + 0.18 * min(sigma, full scale) / full scale from the ring's standard
//   deviation: the stronger the recent shake, the heavier the smoothing.
// - path += motion; offset = smoothed(previous) - path;
//   smoothed = (1 - c) * path + c * smoothed.
// - When the smoothed value passes +-10000, path and smoothed value move back
//   together, so the offsets never jump.

#include "MotionFilter.h"

#include <algorithm>
#include <cmath>

namespace orl::calmora {

namespace {

constexpr double LOW_COEFF = 0.8;
constexpr double HIGH_COEFF = 0.98;
constexpr double SHIFT_FULL_SCALE = 30.0;  // pixels of standard deviation
constexpr double ANGLE_FULL_SCALE = 0.1;   // radians of standard deviation
constexpr double INV_HISTORY = 0.015625;   // 1 / 64

double coefficientFor(float parameter, const std::array<double, MotionFilter::HISTORY_SIZE>& ring,
                      double fullScale) {
    if (parameter != 0.0f) {
        return static_cast<double>(parameter);
    }
    return MotionFilter::adaptiveCoeff(ring, fullScale);
}

// One axis: path, offset, smoothed value, bound.
double step(double motion, double coeff, double& path, double& smooth) {
    path += motion;
    const double offset = smooth - path;
    smooth = (1.0 - coeff) * path + coeff * smooth;
    if (std::fabs(smooth) > MotionFilter::PATH_BOUND) {
        const double back = smooth < 0.0 ? MotionFilter::PATH_BOUND : -MotionFilter::PATH_BOUND;
        smooth += back;
        path += back;
    }
    return offset;
}

}  // namespace

double MotionFilter::adaptiveCoeff(const std::array<double, HISTORY_SIZE>& ring, double fullScale) {
    double sum = 0.0;
    for (double v : ring) {
        sum += v;
    }
    const double mean = sum * INV_HISTORY;
    double squares = 0.0;
    for (double v : ring) {
        squares += (v - mean) * (v - mean);
    }
    const double sigma = std::sqrt(squares * INV_HISTORY);
    // (HIGH - LOW) is multiplied before the division, as the tuning was done.
    return (std::min(fullScale, std::max(0.0, sigma)) - 0.0) * (HIGH_COEFF - LOW_COEFF) /
               fullScale +
           LOW_COEFF;
}

Offsets MotionFilter::update(const Motion& motion, const FilterCoeffs& coeffs) {
    // record
    historyX_[historyIndex_] = motion.x;
    historyY_[historyIndex_] = motion.y;
    historyA_[historyIndex_] = motion.a;
    historyIndex_ = static_cast<uint8_t>((historyIndex_ + 1) % HISTORY_SIZE);

    // coefficients
    const double cx = coefficientFor(coeffs.x, historyX_, SHIFT_FULL_SCALE);
    const double cy = coefficientFor(coeffs.y, historyY_, SHIFT_FULL_SCALE);
    const double ca = coefficientFor(coeffs.a, historyA_, ANGLE_FULL_SCALE);

    // update and bound
    Offsets offsets;
    offsets.x = step(motion.x, cx, path_.x, smooth_.x);
    offsets.y = step(motion.y, cy, path_.y, smooth_.y);
    offsets.a = step(motion.a, ca, path_.a, smooth_.a);
    return offsets;
}

void MotionFilter::reset() {
    historyX_.fill(0.0);
    historyY_.fill(0.0);
    historyA_.fill(0.0);
    historyIndex_ = 0;
    path_ = Motion{};
    smooth_ = Motion{};
}

}  // namespace orl::calmora
