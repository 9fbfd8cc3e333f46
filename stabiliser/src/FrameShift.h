#pragma once

// Whole-pixel shifts of a frame, one routine per family of pixel formats.
// Stateless free functions working on the frames' byte buffers; no OpenCV.

#include <calmora/Frame.h>

#include <cstddef>
#include <cstdint>

namespace orl::calmora {

/// Copies the part of a plane that stays inside it when the plane is moved
/// `dxBytes` bytes to the right and `dy` rows down (negative values move left
/// and up). The plane has `rows` rows of `rowBytes` bytes, tightly packed, in
/// both `src` and `dst` (caller-owned, not overlapping). Each copied row is
/// `spanBytes` long, capped at rowBytes - |dxBytes|; it is read from column
/// max(0, -dxBytes) and written at column max(0, dxBytes). One block copy per
/// row; destination bytes outside the copied rows and columns are untouched.
/// Nothing is copied when |dxBytes| > rowBytes or |dy| > rows.
void shiftPlane(const uint8_t* src, uint8_t* dst, std::size_t rowBytes, std::size_t rows,
                std::ptrdiff_t dxBytes, std::ptrdiff_t dy, std::size_t spanBytes = SIZE_MAX);

/// Moves a "GRAY" picture by (dx, dy) pixels, positive right and down.
/// `dst` must have src's width, height and format and a buffer of the full
/// capacity; uncovered bytes of `dst` keep their value. A shift of half the
/// width or height or more is not applied: `dst` becomes a full copy of `src`
/// (frame assignment, counters included). Returns false, touching nothing,
/// when the frames do not fit that contract (format, geometry, null buffer,
/// `size` below the capacity). Any int shift is accepted.
bool shiftGray(const video::Frame& src, video::Frame& dst, int dx, int dy);

/// As shiftGray for the packed 24-bit formats "RGB3", "BGR3", "YUV3"
/// (3 bytes per pixel, whole pixels moved).
bool shiftPacked24(const video::Frame& src, video::Frame& dst, int dx, int dy);

/// As shiftGray for the packed 4:2:2 formats "YUYV", "UYVY". The horizontal
/// shift is made even first (an odd value moves one step away from zero,
/// 3 -> 4, -1 -> -2) so pixel pairs stay whole; the half-frame test applies
/// to the even value.
bool shiftPacked422(const video::Frame& src, video::Frame& dst, int dx, int dy);

/// As shiftGray for the semi-planar 4:2:0 formats "NV12", "NV21". Both shifts
/// are made even as in shiftPacked422; the interleaved chroma plane (H/2 rows
/// of W bytes at byte W*H) moves by the even dx in bytes and half the even dy
/// in rows.
bool shiftSemiPlanar420(const video::Frame& src, video::Frame& dst, int dx, int dy);

/// As shiftGray for the planar 4:2:0 formats "YU12", "YV12". The luma moves
/// by (dx, dy); the two chroma planes (H/2 rows of W/2 bytes each, at bytes
/// 2*H*(W/2) and (2*H + H/2)*(W/2)) move by (dx/2, dy/2) truncated toward
/// zero, copying (W - |dx|)/2 bytes per chroma row.
bool shiftPlanar420(const video::Frame& src, video::Frame& dst, int dx, int dy);

}  // namespace orl::calmora
