#pragma once

// The small grey image that motion is measured on, for the current and the
// previous frame.

#include "Motion.h"

#include <calmora/Frame.h>

#include <opencv2/core.hpp>

#include <cstdint>

namespace orl::calmora {

/// Size of the analysed image for one frame and its scale to frame pixels.
struct AnalysisGeometry {
    cv::Size size;       ///< analysed pixels; may be 0 in either direction
    double scaleX{1.0};  ///< frame pixels per analysed pixel, horizontally
    double scaleY{1.0};  ///< frame pixels per analysed pixel, vertically
};

/// The analysed grey image pair: two 8-bit images used alternately, the
/// scratch image for down-scaled colour frames, and the write index.
/// Owns all its buffers; not thread-safe.
class AnalysedImage {
  public:
    /// Smallest analysis width and height the estimators can measure on
    /// (one 21 x 21 tracking window, seven detector regions).
    static constexpr int MIN_SIZE = 21;

    /// Analysis geometry of a `width` x `height` frame. `type` 0 gives the
    /// square N x N, N = 512 when height / scaleFactor >= 512, else 256, and
    /// scales width / N, height / N. Any other type gives
    /// (width / scaleFactor) x (height / scaleFactor), truncated, and both
    /// scales scaleFactor. `scaleFactor` must be >= 1.
    static AnalysisGeometry geometryFor(uint32_t width, uint32_t height, int scaleFactor, int type);

    /// True when `geometry` is large enough to measure motion on
    /// (at least MIN_SIZE x MIN_SIZE).
    static bool measurable(const AnalysisGeometry& geometry);

    /// Takes `geometry` for the frame about to be converted. When its size
    /// differs from the current analysis size, re-creates both grey images
    /// (zero-filled) and the scratch image, sets the write index to 0 and
    /// returns true; the caller then re-creates its other buffers and resets.
    /// Otherwise only the scales are updated and the result is false.
    bool adopt(const AnalysisGeometry& geometry);

    /// Writes the grey analysed image of `frame` into the current write slot
    /// and toggles the write index. Frames of the analysis size are
    /// converted directly, others are first down-scaled with nearest
    /// neighbours. Returns false, writing nothing and keeping the index, for
    /// a format without luma (compressed, unknown), for a frame whose `size`
    /// is below its format's capacity, and before the first adopt().
    bool convert(const video::Frame& frame);

    /// Fills both grey images with 128 (when they exist) and sets the write
    /// index to 0. Size, scales and the scratch image stay.
    void reset();

    /// The pair for the estimators: previous = slot writeIndex(),
    /// current = slot 1 - writeIndex(). Valid until the next adopt().
    AnalysedPair pair() const;

    /// Analysis size in pixels; 0 x 0 before the first adopt().
    cv::Size size() const { return size_; }
    /// Frame pixels per analysed pixel, horizontally.
    double scaleX() const { return scaleX_; }
    /// Frame pixels per analysed pixel, vertically.
    double scaleY() const { return scaleY_; }
    /// Slot (0 or 1) that the next converted frame is written to.
    int writeIndex() const { return writeIndex_; }
    /// Grey image of slot 0 or 1 (8-bit, size()).
    const cv::Mat& grey(int slot) const { return grey_[slot & 1]; }

  private:
    cv::Size size_{0, 0};
    double scaleX_{1.0};
    double scaleY_{1.0};
    cv::Mat grey_[2];
    int writeIndex_{0};
    cv::Mat scaledFrame_;  // down-scaled colour frame before grey conversion
};

/// Pixels between the samples of residualAfter(), in both directions.
constexpr int RESIDUAL_STEP = 4;

/// How badly `previousToCurrent` (analysed pixels, previous to current
/// positions) explains the pair: the mean absolute grey difference between
/// every RESIDUAL_STEP-th pixel of every RESIDUAL_STEP-th row of
/// `pair.previous` and the nearest pixel of `pair.current` it maps to, less
/// the mean difference (a change of brightness is not a mismatch). Grey
/// levels; 0 when no sample maps inside the current image. Allocates nothing.
double residualAfter(const AnalysedPair& pair, const cv::Matx23d& previousToCurrent);

}  // namespace orl::calmora
