#pragma once

// Translation and rotation between two analysed images from tracked corners.

#include "BlockCornerDetector.h"
#include "CornerConsensus.h"
#include "Motion.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <utility>
#include <vector>

namespace orl::calmora {

/// Optical-flow estimator: block corners of the previous image, pyramidal
/// Lucas-Kanade tracking into the current image, a RANSAC similarity fit.
/// The point lists are members, reused every frame. Not thread-safe.
class OpticalFlowEstimator {
  public:
    /// Fewest detected points, and fewest tracked pairs, that are fitted.
    static constexpr size_t MIN_POINTS = 16;

    /// Sizes the detector's grids for analysed images of `size`.
    void create(cv::Size size);

    /// Motion of `pair.current` against `pair.previous`: the fitted
    /// translation, less the share of a scale change about the image centre,
    /// times pair.scaleX / pair.scaleY (frame pixels), and the fitted angle
    /// (radians) when `withRotation`, else 0; each limited by `limits`.
    /// Zero motion when fewer than 16 points are detected or tracked, when no
    /// model is found and when the fit is degenerate (cos a = 0, not finite).
    Motion estimate(const AnalysedPair& pair, const MotionLimits& limits, bool withRotation);

    /// The camera's motion behind the last estimate (CornerConsensus on its
    /// kept pairs and fit): zero when the frame held still, the rotation only
    /// where the pairs carrying it explain the frame (always 0 without
    /// `withRotation`), in the units and limits of estimate(). Replaces
    /// fit() with the similarity it stands for. Zero motion, fit() the
    /// identity, when the last estimate fitted nothing. Call it right after
    /// estimate() with the same pair.
    Motion cameraMotion(const AnalysedPair& pair, const MotionLimits& limits, bool withRotation);

    /// Share of the detected points of the last estimate that were tracked
    /// and lie within 3 analysed pixels of the fitted motion, 0..1; 0 when
    /// nothing was fitted.
    double confidence() const { return confidence_; }
    /// The similarity fitted by the last estimate, previous to current
    /// positions in analysed pixels, before any limit; the identity when
    /// nothing was fitted.
    const cv::Matx23d& fit() const { return fit_; }

    /// Previous positions of the pairs kept by the last estimate (tracked
    /// with status 1), analysed pixels.
    const std::vector<cv::Point2f>& keptPrevious() const { return keptPrevious_; }
    /// Current positions of the same pairs, analysed pixels.
    const std::vector<cv::Point2f>& keptCurrent() const { return keptCurrent_; }

  private:
    /// The tracking pyramid of `image` held for `slot` (0 or 1), built
    /// again unless it already holds that picture.
    const std::vector<cv::Mat>& pyramidOf(const cv::Mat& image, int slot);

    /// `pyramid` interleaved with its derivatives, as the tracker takes its
    /// first image; the derivatives are valid only in the tracking windows
    /// of `points` (and zero beyond the picture).
    const std::vector<cv::Mat>& withDerivatives(const std::vector<cv::Mat>& pyramid,
                                                const std::vector<cv::Point2f>& points);

    BlockCornerDetector detector_;
    std::vector<cv::Mat> pyramids_[2];        // image levels, one pyramid per slot
    std::vector<cv::Mat> derivatives_;        // per level, padded
    std::vector<cv::Mat> tracking_;           // levels and derivatives interleaved
    std::vector<cv::Rect> boxes_;             // tracking windows on one level
    std::vector<std::pair<int, int>> spans_;  // their columns on one row, first and end
    std::vector<int> smooth_;                 // one row's vertical smoothing
    std::vector<int> difference_;             // one row's vertical difference
    std::vector<cv::Point2f> detected_;
    std::vector<cv::Point2f> tracked_;
    std::vector<uint8_t> status_;
    std::vector<float> error_;
    std::vector<cv::Point2f> keptPrevious_;
    std::vector<cv::Point2f> keptCurrent_;
    CornerConsensus consensus_;
    double confidence_{0.0};
    cv::Matx23d fit_{1, 0, 0, 0, 1, 0};
};

}  // namespace orl::calmora
