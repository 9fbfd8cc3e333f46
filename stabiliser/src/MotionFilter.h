#pragma once

// Turns measured frame-to-frame motion into compensation offsets.

#include "Compensation.h"
#include "Motion.h"

#include <array>
#include <cstdint>

namespace orl::calmora {

/// Smoothing coefficients of the three axes, 0..1. Exactly 0 selects the
/// adaptive coefficient of that axis (0.8 for a still history up to 0.98 for
/// strong jitter); 1 freezes the smoothed path.
struct FilterCoeffs {
    float x{0.0f};
    float y{0.0f};
    float a{0.0f};
};

/// Camera-path smoother: integrates the measured motion into a path, follows
/// the path with a first-order exponential smoother per axis and reports
/// smoothed path minus actual path. Owns its rings and paths; not thread-safe.
class MotionFilter {
  public:
    /// Number of measurements kept per axis for the adaptive coefficient.
    static constexpr int HISTORY_SIZE = 64;
    /// Magnitude of the smoothed value above which path and smoothed value
    /// are both moved back by this amount (pixels or radians).
    static constexpr double PATH_BOUND = 10000.0;

    /// Records `motion` (frame pixels, radians) and returns the offsets that
    /// move the current frame onto the smoothed path: smoothed path of the
    /// previous frame minus the path including `motion`. Allocates nothing.
    Offsets update(const Motion& motion, const FilterCoeffs& coeffs);

    /// Clears the rings, the write position, the path and the smoothed path.
    void reset();

    /// The adaptive coefficient for a ring of measurements: 0.8 plus
    /// 0.18 * min(sigma, fullScale) / fullScale, sigma being the population
    /// standard deviation of the ring. fullScale is 30 (pixels) for x and y
    /// and 0.1 (radians) for the rotation.
    static double adaptiveCoeff(const std::array<double, HISTORY_SIZE>& ring, double fullScale);

    /// Camera path, the running sum of the recorded motion (x, y, a).
    Motion path() const { return path_; }
    /// Smoothed camera path (x, y, a).
    Motion smoothed() const { return smooth_; }

  private:
    std::array<double, HISTORY_SIZE> historyX_{};
    std::array<double, HISTORY_SIZE> historyY_{};
    std::array<double, HISTORY_SIZE> historyA_{};
    uint8_t historyIndex_{0};  // common write position, 0..63
    Motion path_;
    Motion smooth_;
};

}  // namespace orl::calmora
