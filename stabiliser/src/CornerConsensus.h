#pragma once

// What the tracked corners of a pair agree on about the camera, beyond the
// dominant motion a RANSAC fit follows.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace orl::calmora {

/// Judges the camera's motion from tracked corner pairs and their RANSAC
/// similarity, so that objects moving before a still camera, or a part of
/// the picture turning on its own, are not taken for the camera. Owns its
/// scratch lists, reused every frame; not thread-safe.
class CornerConsensus {
  public:
    /// Fewest pairs a hypothesis needs behind it: the still one, a refit.
    static constexpr size_t MIN_SUPPORT = 8;
    /// Distance within which a pair counts as explained by a hypothesis:
    /// three times the tracker's scatter about the fit, MIN_TOLERANCE ..
    /// MAX_TOLERANCE analysed pixels.
    static constexpr double MIN_TOLERANCE = 0.3;
    static constexpr double MAX_TOLERANCE = 1.0;

    /// The camera's motion, previous to current positions in analysed
    /// pixels, from the pairs (`previous[i]`, `current[i]`) of an image of
    /// `image` and `ransac`, the RANSAC similarity of their dominant motion
    /// (M = [s cos a, -s sin a, tx; s sin a, s cos a, ty]):
    /// - the identity when the frame held still: the pairs that did not move
    ///   (within the tolerance, at most 0.5) outweigh the fit's pairs that
    ///   did, by number times extent, and no similarity explains them
    ///   significantly better than no motion does; their own similarity when
    ///   one does;
    /// - otherwise the similarity refitted by least squares to the pairs
    ///   `ransac` explains within the tolerance (`ransac` itself when they
    ///   are too few).
    /// Its rotation stays only with `withRotation` and when its pairs explain
    /// the frame (at least half of all pairs, spread over at least 0.8 of
    /// the extent, RMS distance from the centroid, of pairs spread evenly
    /// over the image), shrunk by its variance (a^3 / (a^2 + 16 var a));
    /// what is taken out is taken out about its pairs' centroid, so the
    /// shift there stays. Fewer than MIN_SUPPORT pairs, or lists of
    /// different lengths, give `ransac` as it is.
    cv::Matx23d cameraFit(const std::vector<cv::Point2f>& previous,
                          const std::vector<cv::Point2f>& current, const cv::Matx23d& ransac,
                          cv::Size image, bool withRotation);

    /// Whether the last cameraFit() found the frame still.
    bool still() const { return still_; }

  private:
    /// Three times the scatter (per coordinate, from the median distance) of
    /// the pairs `m` explains within `within`, MIN_TOLERANCE .. MAX_TOLERANCE.
    double toleranceOf(const cv::Matx23d& m, const std::vector<cv::Point2f>& previous,
                       const std::vector<cv::Point2f>& current, double within);
    /// `ransac` refitted REFITS times to the pairs it explains within the
    /// tolerance, the tolerance following their scatter; marks those pairs
    /// in fitted_ and leaves the last tolerance in `tolerance`.
    cv::Matx23d refit(const std::vector<cv::Point2f>& previous,
                      const std::vector<cv::Point2f>& current, const cv::Matx23d& ransac,
                      double& tolerance);
    /// True when the unmoved pairs outweigh the fit's moved ones: then `m`
    /// is the identity (still() true) or their own similarity, and fitted_
    /// marks them. False, changing nothing, otherwise.
    bool stillOrSlow(const std::vector<cv::Point2f>& previous,
                     const std::vector<cv::Point2f>& current, double tolerance, cv::Matx23d& m);
    /// The angle of `m` kept (radians): 0 unless the pairs in fitted_
    /// explain the frame, shrunk by its variance.
    double keptAngle(const std::vector<cv::Point2f>& previous,
                     const std::vector<cv::Point2f>& current, const cv::Matx23d& m,
                     cv::Size image) const;

    std::vector<double> scratch_;   // distances, for medians
    std::vector<uint8_t> fitted_;   // per pair: explained by the camera's fit
    std::vector<uint8_t> unmoved_;  // per pair: within the tolerance of no motion
    std::vector<uint8_t> moved_;    // per pair: fitted, not unmoved
    bool still_{false};
};

}  // namespace orl::calmora
