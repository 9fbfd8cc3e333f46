// The warp of one plane with a shift per source row.
// - The map is inverted and quantised as cv::warpAffine does (PlaneWarp.cpp
//   says how): per-column and per-row terms in 1/1024 pixel, the sum cut to
//   1/32 pixel. The row's shift, also in 1/1024 pixel, is added to the sum
//   before the cut, so a zero shift gives warpAffine's own positions.
// - The row a destination pixel reads is the whole part of its position
//   before the shift: the shifts are a few pixels and change slowly from row
//   to row, so the row after the shift would pick nearly the same one.
// - Each stripe of destination rows builds its fixed-point maps (whole
//   positions and the index of the 1/32 fractions, as warpAffine hands them
//   to cv::remap) and resamples through cv::remap at once, while the maps are
//   in cache.

#include "RowWarp.h"

#include "Stripes.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace orl::calmora {

namespace {

constexpr int AB_BITS = 10;
constexpr int AB_SCALE = 1 << AB_BITS;
constexpr int INTER_BITS = 5;
constexpr int INTER_MASK = (1 << INTER_BITS) - 1;
constexpr int HALF_STEP = AB_SCALE >> INTER_BITS >> 1;
constexpr int ROWS_PER_STRIPE = 16;

// The inverse of `m` by warpAffine's own formula, so positions round alike.
cv::Matx23d inverted(const cv::Matx23d& m) {
    double det = m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0);
    det = det != 0.0 ? 1.0 / det : 0.0;
    cv::Matx23d inv;
    inv(0, 0) = m(1, 1) * det;
    inv(0, 1) = m(0, 1) * -det;
    inv(1, 0) = m(1, 0) * -det;
    inv(1, 1) = m(0, 0) * det;
    inv(0, 2) = -inv(0, 0) * m(0, 2) - inv(0, 1) * m(1, 2);
    inv(1, 2) = -inv(1, 0) * m(0, 2) - inv(1, 1) * m(1, 2);
    return inv;
}

// The shift of frame row `y` from the band centres, pixels.
double shiftAt(const double* band, double y, int frameRows) {
    const double at = y * RowShifts::BANDS / frameRows - 0.5;  // in band centres
    if (at <= 0.0) {
        return band[0];
    }
    if (at >= RowShifts::BANDS - 1) {
        return band[RowShifts::BANDS - 1];
    }
    const int b = static_cast<int>(at);
    const double f = at - b;
    return band[b] * (1.0 - f) + band[b + 1] * f;
}

// Per stripe: its maps, reused while the size stays.
struct StripeMaps {
    cv::Mat positions;  // CV_16SC2, whole source positions
    cv::Mat fractions;  // CV_16UC1, 32 * fy + fx
};

}  // namespace

void fillRowTable(const RowShifts& shifts, int frameRows, int rows, double sx, double sy,
                  double oy, RowTable& table) {
    table.x.resize(static_cast<size_t>(std::max(rows, 0)));
    table.y.resize(table.x.size());
    for (int v = 0; v < rows; ++v) {
        const double y = sy * v + oy;
        table.x[static_cast<size_t>(v)] =
            cv::saturate_cast<int>(shiftAt(shifts.x, y, frameRows) / sx * AB_SCALE);
        table.y[static_cast<size_t>(v)] =
            cv::saturate_cast<int>(shiftAt(shifts.y, y, frameRows) / sy * AB_SCALE);
    }
}

void warpRows(const cv::Mat& src, cv::Mat& dst, const cv::Matx23d& m, const RowTable& table) {
    if (src.empty() || dst.empty() || static_cast<int>(table.x.size()) != src.rows) {
        return;
    }
    const cv::Matx23d inv = inverted(m);
    static thread_local std::vector<int> colX;
    static thread_local std::vector<int> colY;
    colX.resize(static_cast<size_t>(dst.cols));
    colY.resize(static_cast<size_t>(dst.cols));
    for (int x = 0; x < dst.cols; ++x) {
        colX[static_cast<size_t>(x)] = cv::saturate_cast<int>(inv(0, 0) * x * AB_SCALE);
        colY[static_cast<size_t>(x)] = cv::saturate_cast<int>(inv(1, 0) * x * AB_SCALE);
    }
    // the stripes run on other threads, each with thread-locals of its own
    const int* columnX = colX.data();
    const int* columnY = colY.data();
    const int stripes = std::max(1, (dst.rows + ROWS_PER_STRIPE - 1) / ROWS_PER_STRIPE);
    const int lastRow = src.rows - 1;
    forEachStripe(stripes, [&](int stripe) {
        const int begin = stripe * ROWS_PER_STRIPE;
        const int end = std::min(dst.rows, begin + ROWS_PER_STRIPE);
        static thread_local StripeMaps maps;
        maps.positions.create(end - begin, dst.cols, CV_16SC2);
        maps.fractions.create(end - begin, dst.cols, CV_16UC1);
        for (int y = begin; y < end; ++y) {
            const int x0 = cv::saturate_cast<int>((inv(0, 1) * y + inv(0, 2)) * AB_SCALE) + HALF_STEP;
            const int y0 = cv::saturate_cast<int>((inv(1, 1) * y + inv(1, 2)) * AB_SCALE) + HALF_STEP;
            short* xy = maps.positions.ptr<short>(y - begin);
            ushort* alpha = maps.fractions.ptr<ushort>(y - begin);
            for (int x = 0; x < dst.cols; ++x) {
                const int sy = y0 + columnY[x];
                const auto row = static_cast<size_t>(std::clamp(sy >> AB_BITS, 0, lastRow));
                const int qx = (x0 + columnX[x] + table.x[row]) >> (AB_BITS - INTER_BITS);
                const int qy = (sy + table.y[row]) >> (AB_BITS - INTER_BITS);
                xy[2 * x] = cv::saturate_cast<short>(qx >> INTER_BITS);
                xy[2 * x + 1] = cv::saturate_cast<short>(qy >> INTER_BITS);
                alpha[x] = static_cast<ushort>((qy & INTER_MASK) * (1 << INTER_BITS) +
                                               (qx & INTER_MASK));
            }
        }
        cv::Mat part = dst.rowRange(begin, end);
        cv::remap(src, part, maps.positions, maps.fractions, cv::INTER_LINEAR,
                  cv::BORDER_TRANSPARENT);
    });
}

}  // namespace orl::calmora
