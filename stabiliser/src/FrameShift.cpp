// Whole-pixel frame shifts.
// - One primitive, shiftPlane, moves a plane of rows by a byte offset and a
//   row offset with one block copy per row; every family is a few calls to it.
// - The applied shift is computed first: the 4:2:2 formats make dx even, the
//   semi-planar 4:2:0 formats make dx and dy even (odd values move one step
//   away from zero), so pixel pairs and chroma rows stay whole.
// - A shift of half the frame or more is not applied; the destination then
//   becomes a full copy of the source.
// - Planar 4:2:0 chroma moves by half the luma shift, truncated toward zero.
// - Bytes that no copy reaches keep their value, so the caller decides what
//   the uncovered border shows.
// - Shifts are handled in 64 bits, so any int (INT_MIN included) is safe.

#include "FrameShift.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>

namespace orl::calmora {

namespace {

using video::Frame;
namespace fcc = video::fourcc;

// |v| as an unsigned value, defined for every v.
template <typename T>
std::size_t magnitude(T v) {
    return v < 0 ? std::size_t{0} - static_cast<std::size_t>(v) : static_cast<std::size_t>(v);
}

// An odd value moves one step away from zero: 3 -> 4, -3 -> -4, -1 -> -2.
int64_t makeEven(int64_t v) {
    if (v % 2 == 0) {
        return v;
    }
    return v > 0 ? v + 1 : v - 1;
}

// True when [a, a + n) and [b, b + n) share a byte.
bool overlaps(const uint8_t* a, const uint8_t* b, std::size_t n) {
    const std::less<const uint8_t*> before;
    return before(a, b + n) && before(b, a + n);
}

// Both frames hold a whole picture of one of `formats` with the same
// geometry in separate buffers; `capacity` receives the byte count.
bool framesFit(const Frame& src, const Frame& dst, std::initializer_list<uint32_t> formats,
               std::size_t& capacity) {
    if (std::find(formats.begin(), formats.end(), src.fourcc) == formats.end()) {
        return false;
    }
    if (src.data == nullptr || dst.data == nullptr || src.width == 0 || src.height == 0) {
        return false;
    }
    if (dst.width != src.width || dst.height != src.height || dst.fourcc != src.fourcc) {
        return false;
    }
    uint32_t bytes = 0;
    if (!video::frameCapacity(src.width, src.height, src.fourcc, bytes)) {
        return false;
    }
    if (src.size < bytes || dst.size < bytes || overlaps(src.data, dst.data, bytes)) {
        return false;
    }
    capacity = bytes;
    return true;
}

// A shift of half the frame or more is not applied at all.
bool beyondHalfFrame(const Frame& f, int64_t dx, int64_t dy) {
    return magnitude(dx) >= f.width / 2 || magnitude(dy) >= f.height / 2;
}

// The luma (or only) plane of W x H pixels of `bytesPerPixel` bytes.
void shiftLuma(const Frame& src, Frame& dst, int64_t dx, int64_t dy, std::size_t bytesPerPixel) {
    const std::size_t rowBytes = std::size_t{src.width} * bytesPerPixel;
    shiftPlane(src.data, dst.data, rowBytes, src.height,
               static_cast<std::ptrdiff_t>(dx) * static_cast<std::ptrdiff_t>(bytesPerPixel),
               static_cast<std::ptrdiff_t>(dy));
}

// Shared body of the formats whose picture is one plane of packed pixels.
bool shiftPacked(const Frame& src, Frame& dst, int64_t dx, int64_t dy, std::size_t bytesPerPixel,
                 std::initializer_list<uint32_t> formats) {
    std::size_t capacity = 0;
    if (!framesFit(src, dst, formats, capacity)) {
        return false;
    }
    if (beyondHalfFrame(src, dx, dy)) {
        dst = src;
        return true;
    }
    shiftLuma(src, dst, dx, dy, bytesPerPixel);
    return true;
}

}  // namespace

void shiftPlane(const uint8_t* src, uint8_t* dst, std::size_t rowBytes, std::size_t rows,
                std::ptrdiff_t dxBytes, std::ptrdiff_t dy, std::size_t spanBytes) {
    const std::size_t ax = magnitude(dxBytes);
    const std::size_t ay = magnitude(dy);
    if (src == nullptr || dst == nullptr || ax > rowBytes || ay > rows) {
        return;
    }
    const std::size_t span = std::min(spanBytes, rowBytes - ax);
    if (span == 0) {
        return;
    }
    const std::size_t srcCol = dxBytes < 0 ? ax : 0;
    const std::size_t dstCol = dxBytes > 0 ? ax : 0;
    const uint8_t* from = src + (dy < 0 ? ay : 0) * rowBytes + srcCol;
    uint8_t* to = dst + (dy > 0 ? ay : 0) * rowBytes + dstCol;
    for (std::size_t row = 0; row < rows - ay; ++row) {
        std::memcpy(to, from, span);
        from += rowBytes;
        to += rowBytes;
    }
}

bool shiftGray(const Frame& src, Frame& dst, int dx, int dy) {
    return shiftPacked(src, dst, dx, dy, 1, {fcc::GRAY});
}

bool shiftPacked24(const Frame& src, Frame& dst, int dx, int dy) {
    return shiftPacked(src, dst, dx, dy, 3, {fcc::RGB3, fcc::BGR3, fcc::YUV3});
}

bool shiftPacked422(const Frame& src, Frame& dst, int dx, int dy) {
    // Y0 U Y1 V: a whole pair is 4 bytes, so the pixel shift must be even.
    return shiftPacked(src, dst, makeEven(dx), dy, 2, {fcc::YUYV, fcc::UYVY});
}

bool shiftSemiPlanar420(const Frame& src, Frame& dst, int dx, int dy) {
    std::size_t capacity = 0;
    if (!framesFit(src, dst, {fcc::NV12, fcc::NV21}, capacity)) {
        return false;
    }
    // applied shift: even both ways, so an interleaved U,V pair and a chroma
    // row each cover exactly 2 x 2 luma pixels
    const int64_t ex = makeEven(dx);
    const int64_t ey = makeEven(dy);
    if (beyondHalfFrame(src, ex, ey)) {
        dst = src;
        return true;
    }
    shiftLuma(src, dst, ex, ey, 1);

    // chroma: H/2 rows of W bytes, moved by ex bytes and ey/2 rows
    const std::size_t lumaBytes = std::size_t{src.width} * src.height;
    shiftPlane(src.data + lumaBytes, dst.data + lumaBytes, src.width, src.height / 2,
               static_cast<std::ptrdiff_t>(ex), static_cast<std::ptrdiff_t>(ey / 2));
    return true;
}

bool shiftPlanar420(const Frame& src, Frame& dst, int dx, int dy) {
    std::size_t capacity = 0;
    if (!framesFit(src, dst, {fcc::YU12, fcc::YV12}, capacity)) {
        return false;
    }
    if (beyondHalfFrame(src, dx, dy)) {
        dst = src;
        return true;
    }
    shiftLuma(src, dst, dx, dy, 1);

    // chroma: two planes of H/2 rows of W/2 bytes. The plane starts are
    // counted in chroma rows of W/2 bytes (2*H of them before the first
    // plane), which for an odd width places them slightly before W*H; both
    // planes still end inside the W*(H + H/2) buffer.
    const std::size_t halfW = src.width / 2;
    const std::size_t halfH = src.height / 2;
    const std::size_t firstPlane = 2 * std::size_t{src.height} * halfW;
    const std::size_t secondPlane = (2 * std::size_t{src.height} + halfH) * halfW;
    const std::ptrdiff_t cx = dx / 2;  // truncated toward zero
    const std::ptrdiff_t cy = dy / 2;
    // |dx| < W/2 here, so the span is positive and |cx| + span <= W/2
    const std::size_t span = (src.width - magnitude(dx)) / 2;
    for (std::size_t plane : {firstPlane, secondPlane}) {
        if (plane + halfW * halfH > capacity) {
            continue;  // cannot happen for a buffer of the format's capacity
        }
        shiftPlane(src.data + plane, dst.data + plane, halfW, halfH, cx, cy, span);
    }
    return true;
}

}  // namespace orl::calmora
