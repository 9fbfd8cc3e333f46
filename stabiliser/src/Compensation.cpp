// Compensation: the output side of the frame operation.
// - Re-create the output frame when its geometry differs from the input's.
// - Offsets all exactly zero: plain copy, nothing else.
// - Build a 2x3 matrix [a b tx; c d ty] mapping source to destination:
//   a constant rotation turns the picture about the frame centre, type 2
//   turns it about the top-left corner by the filter's angle, types 0 and 1
//   leave the linear part zero (a pure shift).
// - Every raw format is shifted by the truncated translation when the
//   linear part vanishes. Otherwise "GRAY" and the packed 24-bit formats are
//   warped bilinearly; the chroma-subsampled formats are shifted all the
//   same, unless the caller asks to warp every format: then the luma plane
//   is warped by the matrix and each chroma plane by the same motion
//   expressed in its own samples (planeMatrix), interleaved planes taken
//   apart into one-channel planes first; each goes through
//   warpPlaneBilinear (cv::warpAffine's bytes, faster near a shift).
//   Uncovered pixels are left as they were (transparent border) or zeroed
//   beforehand: every byte, chroma included, as the shifts have always left
//   the border, not the neutral grey of 128.
// - Compressed formats are copied unchanged.
// - The applied translation and angle atan2(c, a) replace the offsets; a
//   shift of half the frame or more is copied unshifted, so it reports no
//   translation.
// - An optional zoom about the frame centre scales the whole matrix, so a
//   zoomed frame is warped once: the live stabiliser's zoom setting, and
//   applyCorrection(), which replays a correction computed outside the frame
//   operation (a whole-file path) through this same code. The subsampled
//   formats ignore it unless every format is warped.
// - Inputs that cannot be applied safely (non-finite numbers, malformed
//   raw frames) give a plain copy and zero offsets: nothing was applied.

#include "Compensation.h"

#include <calmora/Correction.h>
#include <calmora/ModeSettings.h>

#include "FrameShift.h"
#include "PlaneWarp.h"
#include "RowWarp.h"

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

// The formats whose chroma is shared by neighbouring pixels: shifted, not
// warped, unless the caller asks to warp every format.
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

bool isFinite(const RowShifts& shifts) {
    for (int b = 0; b < RowShifts::BANDS; ++b) {
        if (!std::isfinite(shifts.x[b]) || !std::isfinite(shifts.y[b])) {
            return false;
        }
    }
    return true;
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

// True when `m` moves the picture so far that nothing lands in `to`. The
// linear part is a rotation, so a destination pixel p reads the source near
// R^-1 (p - t), at least |t| - diagonal away from the origin. Past twice the
// diagonal nothing lands in the image and, with the transparent border,
// nothing would be written; skipping keeps huge translations away from the
// warp's fixed-point coordinates.
bool outOfReach(const cv::Mat& to, const Affine& m) {
    const double reach = 2.0 * (static_cast<double>(to.cols) + to.rows) + 4.0;
    return to.empty() || std::abs(m.tx) > reach || std::abs(m.ty) > reach;
}

// The shifts within the frame as one plane takes them: its sample row v
// lies on frame row sy v + oy, and its samples are sx by sy frame pixels.
// No shifts: the plane is warped as a whole.
struct PlaneRows {
    const RowShifts* shifts{nullptr};
    int frameRows{0};
    double sx{1.0};
    double sy{1.0};
    double oy{0.0};

    PlaneRows scaled(double scaleX, double scaleY, double offsetY) const {
        return {shifts, frameRows, sx * scaleX, sy * scaleY, oy + sy * offsetY};
    }
};

// Warps `from` into `to` by `m` with each row shifted as `rows` says.
void warpShiftedRows(const cv::Mat& from, cv::Mat& to, const Affine& m, const PlaneRows& rows) {
    static thread_local RowTable table;
    fillRowTable(*rows.shifts, rows.frameRows, from.rows, rows.sx, rows.sy, rows.oy, table);
    warpRows(from, to, cv::Matx23d(m.a, m.b, m.tx, m.c, m.d, m.ty), table);
}

// Warps `from` into `to` (same size and type) by `m`, in their own pixels.
// A plane of a chroma-subsampled format (8-bit, one channel) goes through
// the bilinear warp that gives the same bytes, faster near a shift.
void warpImage(const cv::Mat& from, cv::Mat& to, const Affine& m, const PlaneRows& rows,
               bool subsampledPlane = false) {
    if (outOfReach(to, m)) {
        return;
    }
    if (rows.shifts != nullptr) {
        warpShiftedRows(from, to, m, rows);
        return;
    }
    const cv::Matx23d matrix(m.a, m.b, m.tx, m.c, m.d, m.ty);
    if (subsampledPlane) {
        warpPlaneBilinear(from, to, matrix);
        return;
    }
    cv::warpAffine(from, to, cv::Mat(matrix), to.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT,
                   cv::Scalar::all(0));
}

// A header over `rows` x `cols` pixels of `type` from `data` on, rows `step`
// bytes apart; empty when there are none. A source is only read through it.
cv::Mat planeAt(uint8_t* data, int rows, int cols, int type, std::size_t step) {
    if (rows <= 0 || cols <= 0) {
        return cv::Mat();
    }
    return cv::Mat(rows, cols, type, data, step);
}

// The one-channel planes an interleaved warp is taken apart into: [0], [1]
// from the source, [2], [3] from the destination. Kept per thread, so a
// stream of one size allocates them once.
struct SplitPlanes {
    cv::Mat pixels[4];  // 4:2:2: luma and chroma bytes, full width
    cv::Mat chroma[4];  // U and V (or V and U)
};

SplitPlanes& splitPlanes() {
    static thread_local SplitPlanes planes;
    return planes;
}

// Warps a two-channel image as two planes. The destination is taken apart
// too, so the transparent border keeps what it held.
void warpTwoChannels(const cv::Mat& from, cv::Mat& to, const Affine& m, const PlaneRows& rows,
                     cv::Mat (&planes)[4]) {
    if (to.empty()) {
        return;
    }
    cv::split(from, &planes[0]);
    cv::split(to, &planes[2]);
    warpImage(planes[0], planes[2], m, rows, true);
    warpImage(planes[1], planes[3], m, rows, true);
    cv::merge(&planes[2], 2, to);
}

// The motion `m` of the luma plane expressed in the samples of a plane whose
// sample (u, v) sits on luma position (sx u + ox, sy v + oy): from
// p = S q + o and p' = A p + t follows q' = S^-1 A S q + S^-1 (A o + t - o).
Affine planeMatrix(const Affine& m, double sx, double sy, double ox, double oy) {
    return Affine{m.a,
                  m.b * sy / sx,
                  m.c * sx / sy,
                  m.d,
                  (m.a * ox + m.b * oy + m.tx - ox) / sx,
                  (m.c * ox + m.d * oy + m.ty - oy) / sy};
}

// Chroma siting, as the BGR-to-YUV conversion the tests build frames with
// implies: 4:2:0 takes each chroma sample from the top-left pixel of its
// 2 x 2 block (OpenCV's BGR-to-I420), so sample (u, v) sits on luma (2u, 2v);
// 4:2:2 takes the mean of its pair, so sample u sits midway between luma 2u
// and 2u + 1. At an odd width or height the last luma column or row has no
// chroma of its own, and the lone chroma byte ending each row of an odd
// width is left as the border.
Affine chroma420(const Affine& m) {
    return planeMatrix(m, 2.0, 2.0, 0.0, 0.0);
}

Affine chroma422(const Affine& m) {
    return planeMatrix(m, 2.0, 1.0, 0.5, 0.0);
}

// "NV12", "NV21": the luma plane, then H/2 rows of W bytes holding W/2
// interleaved chroma pairs.
void warpSemiPlanar420(const Frame& src, Frame& dst, const Affine& m, const PlaneRows& rows) {
    const int w = static_cast<int>(src.width);
    const int h = static_cast<int>(src.height);
    const std::size_t luma = std::size_t{src.width} * src.height;
    cv::Mat to = planeAt(dst.data, h, w, CV_8UC1, src.width);
    warpImage(planeAt(src.data, h, w, CV_8UC1, src.width), to, m, rows, true);
    cv::Mat pairs = planeAt(dst.data + luma, h / 2, w / 2, CV_8UC2, src.width);
    warpTwoChannels(planeAt(src.data + luma, h / 2, w / 2, CV_8UC2, src.width), pairs, chroma420(m),
                    rows.scaled(2.0, 2.0, 0.0), splitPlanes().chroma);
}

// "YU12", "YV12": the luma plane, then two chroma planes of H/2 rows of W/2
// bytes at the places shiftPlanar420 uses.
void warpPlanar420(const Frame& src, Frame& dst, const Affine& m, const PlaneRows& rows) {
    const int w = static_cast<int>(src.width);
    const int h = static_cast<int>(src.height);
    cv::Mat to = planeAt(dst.data, h, w, CV_8UC1, src.width);
    warpImage(planeAt(src.data, h, w, CV_8UC1, src.width), to, m, rows, true);
    const std::size_t halfW = src.width / 2;
    const std::size_t halfH = src.height / 2;
    const Affine c = chroma420(m);
    for (const std::size_t plane :
         {2 * std::size_t{src.height} * halfW, (2 * std::size_t{src.height} + halfH) * halfW}) {
        cv::Mat chroma = planeAt(dst.data + plane, h / 2, w / 2, CV_8UC1, halfW);
        warpImage(planeAt(src.data + plane, h / 2, w / 2, CV_8UC1, halfW), chroma, c,
                  rows.scaled(2.0, 2.0, 0.0), true);
    }
}

// "YUYV", "UYVY": taken apart into a luma plane and a plane of the chroma
// bytes (U, V alternating, W/2 pairs a row), warped each at its own scale
// and put back; the destination is taken apart too, for the border.
void warpPacked422(const Frame& src, Frame& dst, const Affine& m, const PlaneRows& rows) {
    const int w = static_cast<int>(src.width);
    const int h = static_cast<int>(src.height);
    const int lumaAt = src.fourcc == fcc::YUYV ? 0 : 1;  // channel of a two-byte pixel
    SplitPlanes& p = splitPlanes();
    cv::Mat to = planeAt(dst.data, h, w, CV_8UC2, 2 * std::size_t{src.width});
    cv::split(planeAt(src.data, h, w, CV_8UC2, 2 * std::size_t{src.width}), &p.pixels[0]);
    cv::split(to, &p.pixels[2]);
    warpImage(p.pixels[lumaAt], p.pixels[2 + lumaAt], m, rows, true);
    const cv::Mat& chromaFrom = p.pixels[1 - lumaAt];
    cv::Mat& chromaTo = p.pixels[3 - lumaAt];
    cv::Mat pairs = planeAt(chromaTo.data, h, w / 2, CV_8UC2, chromaTo.step);
    warpTwoChannels(planeAt(chromaFrom.data, h, w / 2, CV_8UC2, chromaFrom.step), pairs,
                    chroma422(m), rows.scaled(2.0, 1.0, 0.0), p.chroma);
    cv::merge(&p.pixels[2], 2, to);
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

// Shifts the raw frame src into dst by (sx, sy) with its format's routine.
bool shiftByFormat(const Frame& src, Frame& dst, int sx, int sy) {
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
            return shiftPacked24(src, dst, sx, sy);
        default:  // "GRAY", the only raw format left
            return shiftGray(src, dst, sx, sy);
    }
}

// Warps the raw frame src into dst by `m`, each plane at its own scale.
void warpByFormat(const Frame& src, Frame& dst, const Affine& m, const PlaneRows& rows) {
    const int w = static_cast<int>(src.width);
    const int h = static_cast<int>(src.height);
    switch (src.fourcc) {
        case fcc::NV12:
        case fcc::NV21:
            warpSemiPlanar420(src, dst, m, rows);
            break;
        case fcc::YU12:
        case fcc::YV12:
            warpPlanar420(src, dst, m, rows);
            break;
        case fcc::YUYV:
        case fcc::UYVY:
            warpPacked422(src, dst, m, rows);
            break;
        case fcc::RGB3:
        case fcc::BGR3:
        case fcc::YUV3: {
            cv::Mat to = planeAt(dst.data, h, w, CV_8UC3, 3 * std::size_t{src.width});
            warpImage(planeAt(src.data, h, w, CV_8UC3, 3 * std::size_t{src.width}), to, m, rows);
            break;
        }
        default: {  // "GRAY"
            cv::Mat to = planeAt(dst.data, h, w, CV_8UC1, src.width);
            warpImage(planeAt(src.data, h, w, CV_8UC1, src.width), to, m, rows);
            break;
        }
    }
}

// Moves the raw frame src into dst by `m`, whose translation truncated is
// (sx, sy): shifted while the linear part vanishes and no row is shifted,
// and always for the chroma-subsampled formats unless `warpEveryFormat`;
// warped otherwise. `shifted` tells which of the two it was. False when the
// shift routine refused the frame.
bool moveByMatrix(const Frame& src, Frame& dst, const Affine& m, int sx, int sy,
                  bool warpEveryFormat, const PlaneRows& rows, bool& shifted) {
    const bool linearVanishes = std::abs(m.a) < LINEAR_LIMIT && std::abs(m.b) < LINEAR_LIMIT &&
                                std::abs(m.c) < LINEAR_LIMIT && std::abs(m.d) < LINEAR_LIMIT;
    shifted = (linearVanishes && rows.shifts == nullptr) ||
              (isSubsampled(src.fourcc) && !warpEveryFormat);
    if (shifted) {
        return shiftByFormat(src, dst, sx, sy);
    }
    warpByFormat(src, dst, m, rows);
    return true;
}

}  // namespace

bool compensate(const Frame& src, Frame& dst, Offsets& offsets, const CalmoraParams& snapshot,
                double zoom, bool warpEveryFormat, const RowShifts* rowShifts) {
    const bool raw = isRawFormat(src.fourcc);
    fitOutput(src, dst, raw);
    const RowShifts* shifts = rowShifts != nullptr && rowShifts->any() ? rowShifts : nullptr;

    // pass-through (a NaN is not zero)
    if (offsets.x == 0.0 && offsets.y == 0.0 && offsets.a == 0.0 && zoom == 1.0 &&
        shifts == nullptr) {
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

    // matrix; a shifted chroma-subsampled format cannot zoom, and the
    // translation of a zoom about the centre is not a shift of the picture
    Affine m = buildMatrix(src.width, src.height, offsets, snapshot);
    if (zoom != 1.0 && (warpEveryFormat || !isSubsampled(src.fourcc))) {
        m = zoomed(m, src.width, src.height, zoom);
    }
    if (shifts != nullptr && m.a == 0.0 && m.b == 0.0 && m.c == 0.0 && m.d == 0.0) {
        m.a = m.d = 1.0;  // a shift-only matrix: the rows warp about the identity
    }
    if (!isFinite(m) || (shifts != nullptr && !isFinite(*shifts))) {
        return copyUnapplied(src, dst, offsets);
    }

    // border: every byte zero, chroma included, as the shifts have always
    // left it (not the neutral 128 of a grey picture)
    if (!snapshot.transparentBorder) {
        std::memset(dst.data, 0, dst.size);
    }

    // shift or warp
    const int sx = truncatedShift(m.tx);
    const int sy = truncatedShift(m.ty);
    bool shifted = true;
    const PlaneRows rows{shifts, static_cast<int>(src.height)};
    if (!moveByMatrix(src, dst, m, sx, sy, warpEveryFormat, rows, shifted)) {
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

std::string refusedReadout(const ModeSettings& settings, uint32_t fourcc) {
    if (!settings.rollingShutterAuto && !(settings.rollingShutter > 0.0)) {
        return "";
    }
    const char code[5] = {static_cast<char>(fourcc & 0xff), static_cast<char>(fourcc >> 8 & 0xff),
                          static_cast<char>(fourcc >> 16 & 0xff), static_cast<char>(fourcc >> 24),
                          '\0'};
    const std::string name = std::string("\"") + code + "\"";
    if (!isRawFormat(fourcc)) {
        return "rolling-shutter: frames of " + name + " cannot be warped row by row";
    }
    if (isSubsampled(fourcc) && !settings.refinements) {
        return "rolling-shutter: " + name + " is warped row by row only with the refinements on";
    }
    return "";
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
