#pragma once

// Whole-pixel translation between two analysed images by circular
// cross-correlation computed through the discrete Fourier transform.

#include "Motion.h"

#include <opencv2/core.hpp>

namespace orl::calmora {

/// Cross-correlation estimator. Keeps the spectrum of each analysed image in
/// the slot of that image, so every frame costs one forward transform: the
/// current image's spectrum is reused as the previous spectrum one frame
/// later. Owns its window, spectra and scratch images; not thread-safe (it
/// splits its own work over OpenCV's threads, with the same result for any
/// number of them).
class FftEstimator {
  public:
    /// Smallest correlation value accepted as a peak; below it the result is
    /// zero motion (for example right after a reset, when the previous
    /// spectrum is zero).
    static constexpr float PEAK_THRESHOLD = 0.001f;

    /// Re-creates every buffer for analysed images of `size` (zero-filled)
    /// and computes the Hann window. Width and height must be >= 2.
    void create(cv::Size size);

    /// Zeroes both spectra and the windowed image; window and scratch stay.
    void reset();

    /// Motion of `pair.current` against the image whose spectrum is in slot
    /// 1 - pair.currentSlot. Stores the current spectrum in slot
    /// pair.currentSlot. x and y are whole analysed pixels times the pair's
    /// scales, in -size/2 .. size/2 - 1 before the scales, then limited by
    /// `limits`; a is always 0. Returns zero motion when the images are not of
    /// the created size. Allocates nothing.
    Motion estimate(const AnalysedPair& pair, const MotionLimits& limits);

    /// Half the width of the square about the peak that the next best peak
    /// must lie outside of, analysed pixels (circularly).
    static constexpr int PEAK_NEIGHBOURHOOD = 8;

    /// Trust in the last estimate, 0..1: 1 - second / peak, with `second`
    /// the highest surface value outside the peak's neighbourhood (taken as
    /// 0 when negative); 0 when no peak reached the threshold.
    double confidence() const { return confidence_; }
    /// Shift of the last estimate, whole analysed pixels before the scales
    /// and limits; (0, 0) when no peak reached the threshold.
    cv::Point shift() const { return shift_; }

    /// The Hann window, float, of the created size.
    const cv::Mat& window() const { return hannWindow_; }
    /// Spectrum of slot 0 or 1 (complex float, 2 channels), transposed and
    /// halved: row j holds column j of the spectrum, for j = 0 .. width / 2
    /// (the other columns are their conjugates).
    const cv::Mat& spectrum(int slot) const { return spectra_[slot & 1]; }
    /// Correlation surface of the last estimate (float).
    const cv::Mat& surface() const { return correlationSurface_; }

  private:
    /// Normalises and windows the rows r0 .. r1 - 1 of `current` and
    /// transforms them (real, packed) into the same rows of rowSpectra_.
    void transformRows(const cv::Mat& current, int r0, int r1);
    /// For the spectrum columns j0 .. j1 - 1: transforms them into
    /// spectra_[slot], multiplies by the conjugate of spectra_[1 - slot]
    /// into crossSpectrum_ and transforms that back into columns_.
    void correlateColumns(int slot, int j0, int j1);
    /// Inverse row transforms of the rows r0 .. r1 - 1 of columns_ (repacked
    /// into rowSpectra_) into the correlation surface. `stripeBest` and
    /// `stripeAt` get the first highest value above 0 of those rows and its
    /// index row * width + column; both are left alone for no rows, and are
    /// 0 and -1 when no value is above 0.
    void invertRows(int r0, int r1, float& stripeBest, int& stripeAt);
    /// Fills the correlation surface from columns_ and returns its highest
    /// value, the first in row order, with its (column, row) in `peak`; 0
    /// with `peak` at the centre when no value is above 0.
    float surfacePeak(cv::Point& peak);
    /// Highest local maximum of the whole surface outside the neighbourhood
    /// of `peak` (column, row); 0 when none is positive.
    float nextPeak(cv::Point peak) const;
    /// Highest local maximum of the surface rows r0 .. r1 - 1 that lies
    /// outside the neighbourhood of the peak (bestRow, bestCol); 0 when none
    /// is positive.
    float secondPeak(int r0, int r1, int bestRow, int bestCol) const;

    cv::Mat hannWindow_;
    cv::Mat windowedImage_;
    cv::Mat rowSpectra_;  // rows transformed (packed), and again before the inverse rows
    cv::Mat columns_;     // columns 0 .. W/2 as rows, before and after their transforms
    cv::Mat spectra_[2];
    cv::Mat crossSpectrum_;
    cv::Mat correlationSurface_;
    double confidence_{0.0};
    cv::Point shift_;
};

}  // namespace orl::calmora
