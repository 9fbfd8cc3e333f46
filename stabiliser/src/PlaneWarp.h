#pragma once

// The bilinear warp of one 8-bit plane, for the planes of the
// chroma-subsampled formats.

#include <opencv2/core.hpp>

namespace orl::calmora {

/// Moves the 8-bit one-channel image `src` into `dst` (same size and type,
/// caller-owned, not overlapping) by the affine map `m`: source pixel (x, y)
/// goes to (m(0,0) x + m(0,1) y + m(0,2), m(1,0) x + m(1,1) y + m(1,2)), in
/// pixels. Each destination pixel is the bilinear mix, at 1/32 pixel, of its
/// four source neighbours; a pixel whose four neighbours are not all inside
/// `src` keeps its byte. The bytes are those of cv::warpAffine with
/// INTER_LINEAR and BORDER_TRANSPARENT (its quantisation and rounding are
/// followed), only faster for a map near a shift. No allocation once a
/// thread has met the width.
void warpPlaneBilinear(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& m);

}  // namespace orl::calmora
