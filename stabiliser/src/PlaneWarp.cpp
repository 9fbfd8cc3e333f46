// Bilinear warp of one 8-bit plane, eight pixels at a time.
// - The map is inverted, and the source positions quantised, as
//   cv::warpAffine does: per-column and per-row terms in 1/1024 pixel,
//   each rounded to the nearest, summed with half a 1/32 step and cut to
//   1/32 pixel. A pixel is its four neighbours weighted (32 - fx)(32 - fy),
//   fx (32 - fy), (32 - fx) fy and fx fy, summed and rounded half up over
//   1024: warpAffine's table of weights holds exactly these products (in
//   1/32768), so the bytes are the same.
// - Only pixels whose four neighbours are all inside the source are written:
//   warpAffine's transparent border.
// - warpAffine fetches the four neighbours of every pixel one by one. Near a
//   shift, the source columns of eight neighbouring destination pixels
//   advance by one per pixel give or take one step, and their source rows
//   differ by at most one: the neighbours then come from three contiguous
//   loads in each of up to three rows, picked per lane. A group that is not
//   like that, or touches the border, goes pixel by pixel.
// - A map further from a shift (a step per pixel off by more than 1/8 in
//   either direction: a turn beyond 7 degrees, a zoom beyond 12 per cent)
//   leaves few such groups and is left to cv::warpAffine itself, as are
//   planes too large for 16-bit lane positions.
// - Rows are spread over OpenCV's threads in stripes.

#include "PlaneWarp.h"

#include "Stripes.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace orl::calmora {

namespace {

constexpr int AB_BITS = 10;    // 1/1024 pixel: the terms of a position
constexpr int INTER_BITS = 5;  // 1/32 pixel: a quantised position
constexpr int STEP_MASK = (1 << INTER_BITS) - 1;
constexpr int STEPS = 1 << INTER_BITS;
constexpr int HALF_STEP = (1 << AB_BITS) >> INTER_BITS >> 1;
constexpr int HALF_WEIGHT = 1 << (2 * INTER_BITS - 1);
constexpr int GROUP = 8;
constexpr double NEAR_SHIFT = 1.0 / 8.0;
constexpr int MAX_SIDE = 32767;  // lane positions are 16-bit
constexpr int ROWS_PER_STRIPE = 32;
constexpr int MAX_STRIPES = 16;

// One warp: the planes, and the destination-to-source map as per-row terms
// (computed per row) and per-column terms (colX, colY), in 1/1024 pixel.
struct Plan {
    const cv::Mat* src;
    cv::Mat* dst;
    double inv[6];
    const int* colX;
    const int* colY;
};

// The inverse of `m` by warpAffine's own formula, so positions round alike.
void invert(const cv::Matx23d& m, double inv[6]) {
    double det = m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0);
    det = det != 0.0 ? 1.0 / det : 0.0;
    inv[0] = m(1, 1) * det;
    inv[1] = m(0, 1) * -det;
    inv[3] = m(1, 0) * -det;
    inv[4] = m(0, 0) * det;
    inv[2] = -inv[0] * m(0, 2) - inv[1] * m(1, 2);
    inv[5] = -inv[3] * m(0, 2) - inv[4] * m(1, 2);
}

// Destination pixel x of a row whose terms are (x0, y0), alone.
void warpPixel(const Plan& p, uchar* row, int x, int x0, int y0) {
    const int sx = (x0 + p.colX[x]) >> INTER_BITS;
    const int sy = (y0 + p.colY[x]) >> INTER_BITS;
    const int ix = sx >> INTER_BITS;
    const int iy = sy >> INTER_BITS;
    const cv::Mat& src = *p.src;
    if (static_cast<unsigned>(ix) >= static_cast<unsigned>(src.cols - 1) ||
        static_cast<unsigned>(iy) >= static_cast<unsigned>(src.rows - 1)) {
        return;
    }
    const int fx = sx & STEP_MASK;
    const int fy = sy & STEP_MASK;
    const uchar* s = src.ptr(iy) + ix;
    const int top = s[0] * (STEPS - fx) + s[1] * fx;
    const int bottom = s[src.step] * (STEPS - fx) + s[src.step + 1] * fx;
    row[x] =
        static_cast<uchar>((top * (STEPS - fy) + bottom * fy + HALF_WEIGHT) >> (2 * INTER_BITS));
}

// The eight destination pixels from x on, as warpPixel would write them;
// false, writing nothing, when they are not near a shift or not all inside.
bool warpGroup(const Plan& p, uchar* row, int x, int x0, int y0) {
    using namespace cv;
    // the first and last lane bound the others: positions are monotonic
    const int colFirst = (x0 + p.colX[x]) >> (2 * INTER_BITS);
    const int colLast = ((x0 + p.colX[x + GROUP - 1]) >> (2 * INTER_BITS)) - (GROUP - 1);
    const int rowFirst = (y0 + p.colY[x]) >> (2 * INTER_BITS);
    const int rowLast = (y0 + p.colY[x + GROUP - 1]) >> (2 * INTER_BITS);
    const int col = std::min(colFirst, colLast);  // lane k reads from col + k on
    const int colSpread = std::max(colFirst, colLast) - col;
    const int top = std::min(rowFirst, rowLast);
    const int rowSpread = std::max(rowFirst, rowLast) - top;
    const int w = p.src->cols;
    // every load inside its row, which keeps every lane's neighbours inside
    if (colSpread > 1 || rowSpread > 1 || col < 0 || col + GROUP + colSpread >= w || top < 0 ||
        top + rowSpread >= p.src->rows - 1) {
        return false;
    }

    // per lane: fraction and which of the loads (0 or 1 step on)
    const v_int32x4 mask = v_setall_s32(STEP_MASK);
    const v_int32x4 sx0 = (v_load(p.colX + x) + v_setall_s32(x0)) >> INTER_BITS;
    const v_int32x4 sx1 = (v_load(p.colX + x + 4) + v_setall_s32(x0)) >> INTER_BITS;
    const v_int32x4 sy0 = (v_load(p.colY + x) + v_setall_s32(y0)) >> INTER_BITS;
    const v_int32x4 sy1 = (v_load(p.colY + x + 4) + v_setall_s32(y0)) >> INTER_BITS;
    const v_int16x8 fx = v_pack(sx0 & mask, sx1 & mask);
    const v_int16x8 fy = v_pack(sy0 & mask, sy1 & mask);
    const v_int16x8 lane(0, 1, 2, 3, 4, 5, 6, 7);
    const v_int16x8 one = v_setall_s16(1);
    const v_int16x8 right = (v_pack(sx0 >> INTER_BITS, sx1 >> INTER_BITS) - lane -
                             v_setall_s16(static_cast<short>(col))) == one;
    const v_int16x8 down = (v_pack(sy0 >> INTER_BITS, sy1 >> INTER_BITS) -
                            v_setall_s16(static_cast<short>(top))) == one;

    // left and right neighbours in each row read
    v_int16x8 left[3];
    v_int16x8 next[3];
    const uchar* s = p.src->ptr(top) + col;
    for (int r = 0; r < 2 + rowSpread; ++r, s += p.src->step) {
        const v_int16x8 a = v_reinterpret_as_s16(v_load_expand(s));
        const v_int16x8 b = v_reinterpret_as_s16(v_load_expand(s + 1));
        left[r] = colSpread != 0 ? v_select(right, b, a) : a;
        next[r] =
            colSpread != 0 ? v_select(right, v_reinterpret_as_s16(v_load_expand(s + 2)), b) : b;
    }
    const v_int16x8 p00 = rowSpread != 0 ? v_select(down, left[1], left[0]) : left[0];
    const v_int16x8 p01 = rowSpread != 0 ? v_select(down, next[1], next[0]) : next[0];
    const v_int16x8 p10 = rowSpread != 0 ? v_select(down, left[2], left[1]) : left[1];
    const v_int16x8 p11 = rowSpread != 0 ? v_select(down, next[2], next[1]) : next[1];

    // mix: across in 16 bits (at most 255 * 32), then down in 32 bits
    const v_int16x8 upper = (p00 << INTER_BITS) + v_mul_wrap(p01 - p00, fx);
    const v_int16x8 lower = (p10 << INTER_BITS) + v_mul_wrap(p11 - p10, fx);
    v_int16x8 rows0, rows1, weights0, weights1;
    v_zip(upper, lower, rows0, rows1);
    v_zip(v_setall_s16(STEPS) - fy, fy, weights0, weights1);
    const v_int32x4 half = v_setall_s32(HALF_WEIGHT);
    const v_int32x4 out0 = (v_dotprod(rows0, weights0) + half) >> (2 * INTER_BITS);
    const v_int32x4 out1 = (v_dotprod(rows1, weights1) + half) >> (2 * INTER_BITS);
    v_pack_u_store(row + x, v_pack(out0, out1));
    return true;
}

void warpRows(const Plan& p, int rowBegin, int rowEnd) {
    const int cols = p.dst->cols;
    for (int y = rowBegin; y < rowEnd; ++y) {
        const int x0 =
            cv::saturate_cast<int>((p.inv[1] * y + p.inv[2]) * (1 << AB_BITS)) + HALF_STEP;
        const int y0 =
            cv::saturate_cast<int>((p.inv[4] * y + p.inv[5]) * (1 << AB_BITS)) + HALF_STEP;
        uchar* row = p.dst->ptr(y);
        int x = 0;
        for (; x + GROUP <= cols; x += GROUP) {
            if (!warpGroup(p, row, x, x0, y0)) {
                for (int k = x; k < x + GROUP; ++k) {
                    warpPixel(p, row, k, x0, y0);
                }
            }
        }
        for (; x < cols; ++x) {
            warpPixel(p, row, x, x0, y0);
        }
    }
}

}  // namespace

void warpPlaneBilinear(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& m) {
    Plan p{&src, &dst, {}, nullptr, nullptr};
    invert(m, p.inv);
    if (std::abs(p.inv[0] - 1.0) > NEAR_SHIFT || std::abs(p.inv[3]) > NEAR_SHIFT ||
        src.cols > MAX_SIDE || src.rows > MAX_SIDE) {
        cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
        return;
    }

    // per-column terms, as warpAffine rounds them
    static thread_local std::vector<int> colX;
    static thread_local std::vector<int> colY;
    colX.resize(static_cast<std::size_t>(dst.cols));
    colY.resize(static_cast<std::size_t>(dst.cols));
    for (int x = 0; x < dst.cols; ++x) {
        colX[static_cast<std::size_t>(x)] = cv::saturate_cast<int>(p.inv[0] * x * (1 << AB_BITS));
        colY[static_cast<std::size_t>(x)] = cv::saturate_cast<int>(p.inv[3] * x * (1 << AB_BITS));
    }
    p.colX = colX.data();
    p.colY = colY.data();

    // rows in stripes
    const int stripes = std::clamp(dst.rows / ROWS_PER_STRIPE, 1, MAX_STRIPES);
    forEachStripe(stripes, [&](int stripe) {
        warpRows(p, dst.rows * stripe / stripes, dst.rows * (stripe + 1) / stripes);
    });
}

}  // namespace orl::calmora
