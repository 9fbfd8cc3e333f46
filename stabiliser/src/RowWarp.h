#pragma once

// The warp of one plane whose rows are shifted each on its own: the frame's
// correction and the correction within the frame of a rolling shutter, in
// one resampling.

#include <calmora/Correction.h>

#include <opencv2/core.hpp>

#include <vector>

namespace orl::calmora {

/// Per source row, the shift each row is moved back by before the warp, in
/// 1/1024 pixel of the plane.
struct RowTable {
    std::vector<int> x;
    std::vector<int> y;
};

/// Fills `table` with the shifts of `shifts` for a plane of `rows` sample
/// rows whose row v lies on row sy v + oy of a frame `frameRows` rows high,
/// in the plane's samples (the frame's shifts divided by sx and sy).
void fillRowTable(const RowShifts& shifts, int frameRows, int rows, double sx, double sy,
                  double oy, RowTable& table);

/// Moves the 8-bit image `src` (one to four channels) into `dst` (same size
/// and type, caller-owned, not overlapping) by the affine map `m` (source
/// pixel to destination pixel), each source row y first moved back by
/// table[y]: destination pixel q reads src at m^-1 q + table[row of m^-1 q].
/// Bilinear at 1/32 pixel with cv::warpAffine's quantisation, so a table of
/// zeros gives warpAffine's bytes (INTER_LINEAR, BORDER_TRANSPARENT); pixels
/// whose neighbours fall outside `src` keep their bytes. The table holds
/// src.rows entries. One pass over `dst`, in stripes over OpenCV's threads.
void warpRows(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& m, const RowTable& table);

}  // namespace orl::calmora
