// Compensation: the output side of the frame operation.
// - Re-create the output frame when its geometry differs from the input's.
// - Offsets all exactly zero: plain copy, nothing else.
// - Build a 2x3 matrix [a b tx; c d ty] mapping source to destination:
//   a constant rotation turns the picture about the frame centre, type 2
//   turns it about the top-left corner by the filter's angle, types 0 and 1
//   leave the linear part zero (a pure shift).
// - Chroma-subsampled formats are only ever shifted by the truncated
//   translation; "GRAY" and the packed 24-bit formats are shifted when the
//   linear part vanishes and warped bilinearly otherwise, with uncovered
//   pixels left as they were (transparent border) or zeroed beforehand.
// - Compressed formats are copied unchanged.
// - The applied translation and angle atan2(c, a) replace the offsets; a
//   shift of half the frame or more is copied unshifted, so it reports no
//   translation.
// - An optional zoom about the frame centre scales the whole matrix, so a
//   zoomed frame is warped once: the live stabiliser's zoom setting, and
//   applyCorrection(), which replays a correction computed outside the frame
//   operation (a whole-file path) through this same code. The formats that
//   are only shifted ignore it.
// - Inputs that cannot be applied safely (non-finite numbers, malformed
//   raw frames) give a plain copy and zero offsets: nothing was applied.

#include "Compensation.h"

#include <calmora/Correction.h>

#include "FrameShift.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orl::calmora {

namespace {

using video::Frame;
namespace fcc = video::fourcc;

// Source (x, y) goes to (a*x + b*y + tx, c*x + d*y + ty), pixels.
struct Affine {
    double a{0.0};
    double b{0.0};
    double c{0.0};
    double d{0.0};
    double tx{0.0};
    double ty{0.0};
};

// The single-precision 0.0001 below which the linear part counts as absent.
constexpr double LINEAR_LIMIT = static_cast<double>(0.0001f);

// The constant rotation converts radians to degrees with 3.14159, not full
// precision pi; warped pixels and the published angle depend on it.
constexpr double PI_APPROX = 3.14159;

// Any shift at least this large falls back to a copy inside the shift
// routines; clamping to it keeps the truncation to int defined.
constexpr double MAX_SHIFT = static_cast<double>(1 << 30);

// The formats whose chroma is shared by neighbouring pixels: only ever
// shifted, never warped.
bool isSubsampled(uint32_t code) {
    switch (code) {
        case fcc::YUYV:
        case fcc::UYVY:
        case fcc::NV12:
        case fcc::NV21:
        case fcc::YU12:
        case fcc::YV12:
            return true;
        default:
            return false;
    }
}

bool isRawFormat(uint32_t code) {
    return isSubsampled(code) || code == fcc::GRAY || code == fcc::RGB3 || code == fcc::BGR3 ||
           code == fcc::YUV3;
}

// A raw frame whose buffer holds the whole picture and whose size fits an
// image header.
bool isMovable(const Frame& f) {
    uint32_t capacity = 0;
    return f.data != nullptr && f.width > 0 && f.height > 0 && f.width <= INT_MAX / 4 &&
           f.height <= INT_MAX / 4 && video::frameCapacity(f.width, f.height, f.fourcc, capacity) &&
           f.size >= capacity;
}

bool isFinite(const Affine& m) {
    return std::isfinite(m.a) && std::isfinite(m.b) && std::isfinite(m.c) && std::isfinite(m.d) &&
           std::isfinite(m.tx) && std::isfinite(m.ty);
}

// The same picture scaled by `zoom` about the frame centre. A shift-only
// matrix (types 0 and 1) carries no linear part: it scales the identity.
Affine zoomed(const Affine& m, uint32_t width, uint32_t height, double zoom) {
    const bool shiftOnly = m.a == 0.0 && m.b == 0.0 && m.c == 0.0 && m.d == 0.0;
    const double cx = static_cast<double>(width / 2);
    const double cy = static_cast<double>(height / 2);
    return Affine{zoom * (shiftOnly ? 1.0 : m.a),
                  zoom * m.b,
                  zoom * m.c,
                  zoom * (shiftOnly ? 1.0 : m.d),
                  zoom * m.tx + (1.0 - zoom) * cx,
                  zoom * m.ty + (1.0 - zoom) * cy};
}

Affine buildMatrix(uint32_t width, uint32_t height, const Offsets& offsets,
                   const CalmoraParams& snapshot) {
    const double constX = snapshot.constXOffset;
    const double constY = snapshot.constYOffset;
    Affine m;
    if (snapshot.constAOffset != 0.0f) {
        // rotation about the centre, in integer halves of the frame
        const double thetaDeg =
            (static_cast<double>(snapshot.constAOffset) - offsets.a) * 180.0 / PI_APPROX;
        if (!std::isfinite(thetaDeg)) {
            m.tx = NAN;
            return m;
        }
        const cv::Point2f centre(static_cast<float>(width / 2), static_cast<float>(height / 2));
        const cv::Matx23d r = cv::getRotationMatrix2D_(centre, thetaDeg, 1.0);
        m.a = r(0, 0);
        m.b = r(0, 1);
        m.c = r(1, 0);
        m.d = r(1, 1);
        m.tx = constX + r(0, 2) + offsets.x;
        m.ty = constY + r(1, 2) + offsets.y;
    } else if (snapshot.type > 1) {
        // rotation about the top-left corner
        const double cosA = std::cos(offsets.a);
        const double sinA = std::sin(offsets.a);
        m.a = cosA;
        m.b = -sinA;
        m.c = sinA;
        m.d = cosA;
        m.tx = constX + offsets.x;
        m.ty = constY + offsets.y;
    } else {
        m.tx = constX + offsets.x;
        m.ty = constY + offsets.y;
    }
    return m;
}

int truncatedShift(double v) {
    return static_cast<int>(std::clamp(v, -MAX_SHIFT, MAX_SHIFT));
}

// An odd value moves one step away from zero: 3 -> 4, -3 -> -4.
int64_t evenAwayFromZero(int64_t v) {
    return v % 2 == 0 ? v : (v > 0 ? v + 1 : v - 1);
}

// True when the shift routine of `code` copies the picture unshifted instead
// of moving it by (sx, sy): its applied shift (made even where the format
// steps two pixels) reaches half the frame.
bool shiftFallsBack(uint32_t code, uint32_t width, uint32_t height, int sx, int sy) {
    const bool pairs = code == fcc::YUYV || code == fcc::UYVY;
    const bool semiPlanar = code == fcc::NV12 || code == fcc::NV21;
    const int64_t ex = pairs || semiPlanar ? evenAwayFromZero(sx) : sx;
    const int64_t ey = semiPlanar ? evenAwayFromZero(sy) : sy;
    return std::llabs(ex) >= width / 2 || std::llabs(ey) >= height / 2;
}

void warp(const Frame& src, Frame& dst, const Affine& m, int channels) {
    // The linear part is a rotation, so a destination pixel p reads the
    // source near R^-1 (p - t), at least |t| - diagonal away from the origin.
    // Past twice the diagonal nothing lands in the frame and, with the
    // transparent border, nothing would be written; skipping keeps huge
    // translations away from the warp's fixed-point coordinates.
    const double reach = 2.0 * (static_cast<double>(src.width) + src.height) + 4.0;
    if (std::abs(m.tx) > reach || std::abs(m.ty) > reach) {
        return;
    }
    const int rows = static_cast<int>(src.height);
    const int cols = static_cast<int>(src.width);
    const int type = channels == 3 ? CV_8UC3 : CV_8UC1;
    // headers over the frames' buffers; the source is only read
    const cv::Mat from(rows, cols, type, const_cast<uint8_t*>(src.data));
    cv::Mat to(rows, cols, type, dst.data);
    double coeffs[6] = {m.a, m.b, m.tx, m.c, m.d, m.ty};
    const cv::Mat matrix(2, 3, CV_64F, coeffs);
    cv::warpAffine(from, to, matrix, to.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT,
                   cv::Scalar::all(0));
}

// dst as a full copy of src, with nothing applied.
bool copyUnapplied(const Frame& src, Frame& dst, Offsets& offsets) {
    dst = src;
    offsets = Offsets{};
    return false;
}

// Re-creates dst with src's geometry when it differs. A compressed picture's
// valid length changes from frame to frame, and its copy reuses the buffer,
// so only raw formats (`raw`) compare the byte count.
void fitOutput(const Frame& src, Frame& dst, bool raw) {
    if (dst.width != src.width || dst.height != src.height || dst.fourcc != src.fourcc ||
        (raw && dst.size != src.size)) {
        dst.release();
        dst = Frame(src.width, src.height, src.fourcc);
    }
}

// Moves the raw frame src into dst by `m`, whose translation truncated is
// (sx, sy): the chroma-subsampled formats are only ever shifted, "GRAY" and
// the packed 24-bit formats are shifted while the linear part vanishes and
// warped otherwise. `shifted` tells which of the two it was. False when the
// shift routine refused the frame.
bool moveByMatrix(const Frame& src, Frame& dst, const Affine& m, int sx, int sy, bool& shifted) {
    const bool linearVanishes = std::abs(m.a) < LINEAR_LIMIT && std::abs(m.b) < LINEAR_LIMIT &&
                                std::abs(m.c) < LINEAR_LIMIT && std::abs(m.d) < LINEAR_LIMIT;
    shifted = true;
    switch (src.fourcc) {
        case fcc::NV12:
        case fcc::NV21:
            return shiftSemiPlanar420(src, dst, sx, sy);
        case fcc::YU12:
        case fcc::YV12:
            return shiftPlanar420(src, dst, sx, sy);
        case fcc::YUYV:
        case fcc::UYVY:
            return shiftPacked422(src, dst, sx, sy);
        case fcc::RGB3:
        case fcc::BGR3:
        case fcc::YUV3:
            if (linearVanishes) {
                return shiftPacked24(src, dst, sx, sy);
            }
            warp(src, dst, m, 3);
            shifted = false;
            return true;
        default:  // "GRAY", the only raw format left
            if (linearVanishes) {
                return shiftGray(src, dst, sx, sy);
            }
            warp(src, dst, m, 1);
            shifted = false;
            return true;
    }
}

}  // namespace

bool compensate(const Frame& src, Frame& dst, Offsets& offsets, const CalmoraParams& snapshot,
                double zoom, bool warpEveryFormat) {
    (void)warpEveryFormat;  // the subsampled warp is not in yet
    const bool raw = isRawFormat(src.fourcc);
    fitOutput(src, dst, raw);

    // pass-through (a NaN is not zero)
    if (offsets.x == 0.0 && offsets.y == 0.0 && offsets.a == 0.0 && zoom == 1.0) {
        dst = src;
        return true;
    }
    if (!std::isfinite(offsets.x) || !std::isfinite(offsets.y) || !std::isfinite(offsets.a) ||
        !(zoom > 0.0 && std::isfinite(zoom))) {
        return copyUnapplied(src, dst, offsets);
    }

    // formats without a routine keep the filter's offsets
    if (!raw) {
        dst = src;
        return false;
    }
    if (!isMovable(src) || &src == &dst) {
        return copyUnapplied(src, dst, offsets);
    }

    // matrix; the chroma-subsampled formats are only ever shifted, and the
    // translation of a zoom about the centre is not a shift of the picture
    Affine m = buildMatrix(src.width, src.height, offsets, snapshot);
    if (zoom != 1.0 && !isSubsampled(src.fourcc)) {
        m = zoomed(m, src.width, src.height, zoom);
    }
    if (!isFinite(m)) {
        return copyUnapplied(src, dst, offsets);
    }

    // border
    if (!snapshot.transparentBorder) {
        std::memset(dst.data, 0, dst.size);
    }

    // shift or warp
    const int sx = truncatedShift(m.tx);
    const int sy = truncatedShift(m.ty);
    bool shifted = true;
    if (!moveByMatrix(src, dst, m, sx, sy, shifted)) {
        return copyUnapplied(src, dst, offsets);
    }
    offsets = Offsets{m.tx, m.ty, std::atan2(m.c, m.a)};
    if (shifted && shiftFallsBack(src.fourcc, src.width, src.height, sx, sy)) {
        // the routine copied the picture as it was: no translation applied
        offsets.x = 0.0;
        offsets.y = 0.0;
    }
    return true;
}

Offsets matrixMotion(uint32_t width, uint32_t height, const Offsets& offsets,
                     const CalmoraParams& snapshot) {
    const Affine m = buildMatrix(width, height, offsets, snapshot);
    return {m.tx, m.ty, std::atan2(m.c, m.a)};
}

bool applyCorrection(const Frame& src, Frame& dst, const Correction& correction,
                     bool transparentBorder) {
    CalmoraParams snapshot;
    snapshot.type = 2;
    snapshot.transparentBorder = transparentBorder;
    snapshot.constXOffset = 0;
    snapshot.constYOffset = 0;
    snapshot.constAOffset = 0.0f;
    Offsets offsets{correction.x, correction.y, correction.a};
    return compensate(src, dst, offsets, snapshot, correction.zoom);
}

}  // namespace orl::calmora
