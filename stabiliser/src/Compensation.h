#pragma once

// The last step of the frame operation: applies the compensation offsets to
// the output frame by pass-through, whole-pixel shift or affine warp.

#include <calmora/Calmora.h>
#include <calmora/Correction.h>

namespace orl::calmora {

/// Compensation offsets: x and y in frame pixels (positive right and down),
/// a in radians.
struct Offsets {
    double x{0.0};
    double y{0.0};
    double a{0.0};
};

/// Writes dst from src by pass-through, integer shift or affine warp; re-creates dst with src's
/// geometry when it differs; replaces `offsets` with what was applied. Reads transparentBorder,
/// constXOffset, constYOffset, constAOffset and type from `snapshot`.
///
/// - All three offsets exactly 0: dst becomes a full copy of src, offsets stay 0.
/// - Otherwise the matrix is built from the offsets and the constant offsets.
///   Every raw format is shifted by the translation truncated toward zero
///   while the linear part vanishes (type 0/1 without a constant rotation or
///   zoom). Otherwise "GRAY" and the packed 24-bit formats are warped
///   bilinearly; the chroma-subsampled formats are still shifted, ignoring
///   rotation and zoom, unless `warpEveryFormat`: then their luma plane is
///   warped by the matrix and each chroma plane by the same motion at its own
///   scale (4:2:0 planes and NV12/NV21's interleaved pairs at half size each
///   way, 4:2:2 pairs at half width), in this call. Offsets become
///   (tx, ty, atan2(c, a)) of the matrix used. A shift of half the frame or
///   more is not applied (dst becomes a full copy of src), so its x and y
///   become 0.
/// - Uncovered pixels keep dst's previous bytes with transparentBorder and
///   are zero bytes otherwise, chroma included.
/// - Compressed and unknown formats are copied unchanged, offsets kept.
/// - A non-finite matrix (NaN or infinite offset or constant rotation) is
///   never applied: dst becomes a full copy of src and offsets become 0.
/// - A raw frame that cannot be moved safely (no buffer, `size` below the
///   format's capacity, too large for an image header) is copied the same way
///   with offsets 0.
/// - `zoom` other than 1 scales the moved picture about the frame centre
///   (integer halves), which always warps; the chroma-subsampled formats
///   ignore it unless `warpEveryFormat`. A zoom that is not finite and
///   positive is never applied.
/// `src` and `dst` must be different frames. Allocates only when dst is
/// re-created, and for the 4:2:2 warp the first time a thread meets a size
/// (its planes taken apart); OpenCV may use scratch memory inside the warp.
/// - `rowShifts` with some band shifted (a rolling shutter's correction
///   within the frame) moves each row back by its shift in the same warp,
///   every plane at its own scale; the frame is then warped even when the
///   matrix is a shift. The chroma-subsampled formats take it only with
///   `warpEveryFormat` (otherwise they are shifted as a whole). Null or all
///   zero: exactly the output without it. A shift that is not finite is
///   never applied (a plain copy, offsets 0).
/// Returns false when the offsets could not be applied (dst is then a
/// plain copy).
bool compensate(const video::Frame& src, video::Frame& dst, Offsets& offsets,
                const CalmoraParams& snapshot, double zoom = 1.0, bool warpEveryFormat = false,
                const RowShifts* rowShifts = nullptr);

/// The motion compensate() gives a frame of `width` x `height` before any
/// zoom: the translation and the angle (about the top-left corner) of its
/// matrix, the constant offsets of `snapshot` included. Types 0 and 1
/// without a constant rotation give the translation alone, untruncated.
Offsets matrixMotion(uint32_t width, uint32_t height, const Offsets& offsets,
                     const CalmoraParams& snapshot);

}  // namespace orl::calmora
