// Whole-pixel shifts: byte-exact comparison with a slow per-pixel model of
// every format family, the documented examples as known answers, and the
// inputs the routines must refuse.

#include "FrameShift.h"

#include <calmora/Frame.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

using orl::calmora::shiftGray;
using orl::calmora::shiftPacked24;
using orl::calmora::shiftPacked422;
using orl::calmora::shiftPlanar420;
using orl::calmora::shiftPlane;
using orl::calmora::shiftSemiPlanar420;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

// Never produced by patterned(), so an untouched byte is recognisable.
constexpr uint8_t MARKER = 0xFF;

using ShiftFn = bool (*)(const Frame&, Frame&, int, int);

ShiftFn routineFor(uint32_t code) {
    switch (code) {
        case fcc::GRAY:
            return shiftGray;
        case fcc::RGB3:
        case fcc::BGR3:
        case fcc::YUV3:
            return shiftPacked24;
        case fcc::YUYV:
        case fcc::UYVY:
            return shiftPacked422;
        case fcc::NV12:
        case fcc::NV21:
            return shiftSemiPlanar420;
        default:
            return shiftPlanar420;
    }
}

std::string name(uint32_t code) {
    return std::string(reinterpret_cast<const char*>(&code), 4);
}

// A frame of pseudo-random bytes in 0..250, distinct ids.
Frame patterned(uint32_t w, uint32_t h, uint32_t code, uint32_t seed = 7) {
    Frame f(w, h, code);
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < f.size; ++i) {
        state = state * 1664525u + 1013904223u;
        f.data[i] = static_cast<uint8_t>((state >> 24) % 251);
    }
    f.frameId = 11;
    f.sourceId = 22;
    return f;
}

// A destination of src's geometry filled with MARKER, with its own ids.
Frame marked(const Frame& src) {
    Frame f(src.width, src.height, src.fourcc);
    std::memset(f.data, MARKER, f.size);
    f.frameId = 33;
    f.sourceId = 44;
    return f;
}

std::vector<uint8_t> bytesOf(const Frame& f) {
    return std::vector<uint8_t>(f.data, f.data + f.size);
}

long long awayFromZeroEven(long long v) {
    return v % 2 == 0 ? v : v + (v > 0 ? 1 : -1);
}

struct Expected {
    std::vector<uint8_t> bytes;
    bool fullCopy{false};
};

// Slow model of the picture after a shift: in every plane, pixel (x, y) of
// the result is pixel (x - mx, y - my) of the source when that lies inside
// the plane, else the marker. Planar chroma rows carry only (W - |dx|)/2
// bytes, starting where the moved row starts.
Expected expectedShift(const Frame& src, int dx, int dy) {
    const long long w = src.width;
    const long long h = src.height;
    long long ex = dx;
    long long ey = dy;
    const uint32_t code = src.fourcc;
    if (code == fcc::YUYV || code == fcc::UYVY || code == fcc::NV12 || code == fcc::NV21) {
        ex = awayFromZeroEven(ex);
    }
    if (code == fcc::NV12 || code == fcc::NV21) {
        ey = awayFromZeroEven(ey);
    }
    Expected out;
    if (std::llabs(ex) >= w / 2 || std::llabs(ey) >= h / 2) {
        out.bytes = bytesOf(src);
        out.fullCopy = true;
        return out;
    }
    out.bytes.assign(src.size, MARKER);
    auto move = [&](long long offset, long long cols, long long rows, long long bpp, long long mx,
                    long long my, long long firstCol, long long endCol) {
        for (long long y = 0; y < rows; ++y) {
            for (long long x = 0; x < cols; ++x) {
                const long long sx = x - mx;
                const long long sy = y - my;
                if (sx < 0 || sx >= cols || sy < 0 || sy >= rows || x < firstCol || x >= endCol) {
                    continue;
                }
                for (long long k = 0; k < bpp; ++k) {
                    out.bytes[offset + (y * cols + x) * bpp + k] =
                        src.data[offset + (sy * cols + sx) * bpp + k];
                }
            }
        }
    };
    const long long all = LLONG_MAX;
    switch (code) {
        case fcc::GRAY:
            move(0, w, h, 1, ex, ey, 0, all);
            break;
        case fcc::RGB3:
        case fcc::BGR3:
        case fcc::YUV3:
            move(0, w, h, 3, ex, ey, 0, all);
            break;
        case fcc::YUYV:
        case fcc::UYVY:
            move(0, w, h, 2, ex, ey, 0, all);
            break;
        case fcc::NV12:
        case fcc::NV21:
            move(0, w, h, 1, ex, ey, 0, all);
            move(w * h, w, h / 2, 1, ex, ey / 2, 0, all);
            break;
        default: {
            move(0, w, h, 1, ex, ey, 0, all);
            const long long cx = ex / 2;
            const long long first = std::max(0LL, cx);
            const long long span = (w - std::llabs(ex)) / 2;
            move(2 * h * (w / 2), w / 2, h / 2, 1, cx, ey / 2, first, first + span);
            move((2 * h + h / 2) * (w / 2), w / 2, h / 2, 1, cx, ey / 2, first, first + span);
            break;
        }
    }
    return out;
}

const uint32_t ALL_RAW[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                            fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12};

// Byte at (x, y) of a plane of `cols` bytes per row starting at `offset`.
uint8_t at(const Frame& f, size_t offset, size_t cols, size_t x, size_t y) {
    return f.data[offset + y * cols + x];
}

}  // namespace

TEST(FrameShift, MatchesPerPixelModelForEveryFormatSizeAndShift) {
    struct Size {
        uint32_t w, h;
    };
    const Size sizes[] = {{16, 12}, {15, 11}, {9, 7}, {33, 17}, {6, 4},
                          {5, 3},   {2, 2},   {1, 1}, {4, 1}};
    for (uint32_t code : ALL_RAW) {
        for (Size s : sizes) {
            const int hw = static_cast<int>(s.w / 2);
            const int hh = static_cast<int>(s.h / 2);
            const std::pair<int, int> shifts[] = {
                {0, 0},         {1, 0},           {-1, 0},
                {0, 1},         {0, -1},          {3, 2},
                {-3, -2},       {2, -3},          {-5, 4},
                {hw - 1, 0},    {hw, 0},          {-(hw - 1), 0},
                {-hw, 0},       {0, hh - 1},      {0, hh},
                {0, -(hh - 1)}, {hw - 2, hh - 2}, {-(hw - 1), -(hh - 1)},
                {INT_MAX, 0},   {INT_MIN, 0},     {0, INT_MIN},
                {0, INT_MAX}};
            const Frame src = patterned(s.w, s.h, code, s.w * 31 + s.h);
            for (auto [dx, dy] : shifts) {
                Frame dst = marked(src);
                const Expected want = expectedShift(src, dx, dy);
                ASSERT_TRUE(routineFor(code)(src, dst, dx, dy));
                SCOPED_TRACE(name(code) + " " + std::to_string(s.w) + "x" + std::to_string(s.h) +
                             " shift (" + std::to_string(dx) + "," + std::to_string(dy) + ")");
                ASSERT_EQ(dst.size, src.size);
                EXPECT_EQ(bytesOf(dst), want.bytes);
                // counters travel only with a full copy
                EXPECT_EQ(dst.frameId, want.fullCopy ? 11 : 33);
                EXPECT_EQ(dst.sourceId, want.fullCopy ? 22 : 44);
            }
        }
    }
}

TEST(FrameShift, ZeroShiftCopiesEveryFormatExactlyWhenSizesAreEven) {
    for (uint32_t code : ALL_RAW) {
        const Frame src = patterned(20, 10, code);
        Frame dst = marked(src);
        ASSERT_TRUE(routineFor(code)(src, dst, 0, 0));
        EXPECT_EQ(bytesOf(dst), bytesOf(src)) << name(code);
    }
}

TEST(FrameShift, GrayKnownAnswers) {
    const Frame src = patterned(640, 480, fcc::GRAY);

    // (10, -5): content right 10 and up 5; 10 left columns, 5 bottom rows untouched
    Frame dst = marked(src);
    ASSERT_TRUE(shiftGray(src, dst, 10, -5));
    EXPECT_EQ(at(dst, 0, 640, 10, 0), at(src, 0, 640, 0, 5));
    EXPECT_EQ(at(dst, 0, 640, 639, 474), at(src, 0, 640, 629, 479));
    EXPECT_EQ(at(dst, 0, 640, 9, 100), MARKER);
    EXPECT_EQ(at(dst, 0, 640, 300, 475), MARKER);
    EXPECT_EQ(std::count(dst.data, dst.data + dst.size, MARKER), 640 * 480 - 630 * 475);

    // (320, 0) is half the width: not applied, full copy with counters
    dst = marked(src);
    ASSERT_TRUE(shiftGray(src, dst, 320, 0));
    EXPECT_EQ(bytesOf(dst), bytesOf(src));
    EXPECT_EQ(dst.frameId, src.frameId);
    EXPECT_EQ(dst.sourceId, src.sourceId);

    // (319, 0) is applied
    dst = marked(src);
    ASSERT_TRUE(shiftGray(src, dst, 319, 0));
    for (size_t y = 0; y < 480; y += 97) {
        EXPECT_EQ(at(dst, 0, 640, 639, y), at(src, 0, 640, 320, y));
        EXPECT_EQ(at(dst, 0, 640, 319, y), at(src, 0, 640, 0, y));
        EXPECT_EQ(at(dst, 0, 640, 318, y), MARKER);
    }
    EXPECT_EQ(dst.frameId, 33);
}

TEST(FrameShift, Packed24OneLeftLeavesLastPixelOfEveryRow) {
    const Frame src = patterned(640, 480, fcc::BGR3);
    Frame dst = marked(src);
    ASSERT_TRUE(shiftPacked24(src, dst, -1, 0));
    const size_t row = 3 * 640;
    for (size_t y = 0; y < 480; ++y) {
        ASSERT_EQ(std::memcmp(dst.data + y * row, src.data + y * row + 3, row - 3), 0)
            << "row " << y;
        for (size_t k = row - 3; k < row; ++k) {
            ASSERT_EQ(dst.data[y * row + k], MARKER) << "row " << y;
        }
    }
}

TEST(FrameShift, Packed422MovesWholePixelPairs) {
    const Frame src = patterned(640, 480, fcc::YUYV);
    const size_t row = 2 * 640;
    struct Case {
        int dx;
        long long movedBytes;  // positive: right
    };
    for (Case c : {Case{3, 8}, Case{-3, -8}, Case{-1, -4}, Case{1, 4}, Case{2, 4}, Case{318, 636},
                   Case{317, 636}, Case{-317, -636}}) {
        Frame dst = marked(src);
        ASSERT_TRUE(shiftPacked422(src, dst, c.dx, 0));
        const size_t n = row - static_cast<size_t>(std::llabs(c.movedBytes));
        const size_t to = c.movedBytes > 0 ? static_cast<size_t>(c.movedBytes) : 0;
        const size_t from = c.movedBytes < 0 ? static_cast<size_t>(-c.movedBytes) : 0;
        for (size_t y = 0; y < 480; y += 53) {
            EXPECT_EQ(std::memcmp(dst.data + y * row + to, src.data + y * row + from, n), 0)
                << "dx " << c.dx;
            EXPECT_EQ(dst.data[y * row + (c.movedBytes > 0 ? 0 : row - 1)], MARKER)
                << "dx " << c.dx;
        }
    }
    // 319 becomes 320, half the width: full copy
    Frame dst = marked(src);
    ASSERT_TRUE(shiftPacked422(src, dst, 319, 0));
    EXPECT_EQ(bytesOf(dst), bytesOf(src));
    EXPECT_EQ(dst.frameId, src.frameId);
}

TEST(FrameShift, SemiPlanarMovesLumaAndChromaRowsTogether) {
    const uint32_t w = 64;
    const uint32_t h = 48;
    const Frame src = patterned(w, h, fcc::NV12);
    const size_t chroma = size_t{w} * h;

    // (0, -5): luma up 6 rows, chroma up 3
    Frame dst = marked(src);
    ASSERT_TRUE(shiftSemiPlanar420(src, dst, 0, -5));
    EXPECT_EQ(std::memcmp(dst.data, src.data + 6 * w, (h - 6) * w), 0);
    EXPECT_TRUE(std::all_of(dst.data + (h - 6) * w, dst.data + chroma,
                            [](uint8_t b) { return b == MARKER; }));
    EXPECT_EQ(std::memcmp(dst.data + chroma, src.data + chroma + 3 * w, (h / 2 - 3) * w), 0);
    EXPECT_TRUE(std::all_of(dst.data + chroma + (h / 2 - 3) * w, dst.data + dst.size,
                            [](uint8_t b) { return b == MARKER; }));

    // (-3, 0): 4 bytes left in both planes, U,V pairs stay paired
    dst = marked(src);
    ASSERT_TRUE(shiftSemiPlanar420(src, dst, -3, 0));
    EXPECT_EQ(at(dst, chroma, w, 0, 0), at(src, chroma, w, 4, 0));
    EXPECT_EQ(at(dst, chroma, w, 1, 0), at(src, chroma, w, 5, 0));
    EXPECT_EQ(at(dst, 0, w, 0, 7), at(src, 0, w, 4, 7));
    EXPECT_EQ(at(dst, chroma, w, w - 4, 5), MARKER);

    // 23 becomes 24, half the height: full copy
    dst = marked(src);
    ASSERT_TRUE(shiftSemiPlanar420(src, dst, 0, 23));
    EXPECT_EQ(bytesOf(dst), bytesOf(src));
}

TEST(FrameShift, PlanarChromaMovesByHalfTheShift) {
    const uint32_t w = 64;
    const uint32_t h = 48;
    const size_t cw = w / 2;
    for (uint32_t code : {fcc::YU12, fcc::YV12}) {
        const Frame src = patterned(w, h, code);
        const size_t planes[] = {size_t{w} * h, size_t{w} * h + cw * (h / 2)};

        // (5, 0): luma 5 right, each chroma plane 2 bytes right, rows of 29 bytes
        Frame dst = marked(src);
        ASSERT_TRUE(shiftPlanar420(src, dst, 5, 0));
        EXPECT_EQ(at(dst, 0, w, 5, 3), at(src, 0, w, 0, 3));
        for (size_t p : planes) {
            for (size_t y = 0; y < h / 2; y += 5) {
                EXPECT_EQ(at(dst, p, cw, 0, y), MARKER);
                EXPECT_EQ(at(dst, p, cw, 1, y), MARKER);
                EXPECT_EQ(std::memcmp(dst.data + p + y * cw + 2, src.data + p + y * cw, 29), 0)
                    << name(code);
                EXPECT_EQ(at(dst, p, cw, 31, y),
                          MARKER);  // (64 - 5) / 2 = 29 bytes end at column 30
            }
        }

        // (-5, 0): chroma 2 bytes left
        dst = marked(src);
        ASSERT_TRUE(shiftPlanar420(src, dst, -5, 0));
        for (size_t p : planes) {
            EXPECT_EQ(std::memcmp(dst.data + p + 4 * cw, src.data + p + 4 * cw + 2, 29), 0)
                << name(code);
            EXPECT_EQ(at(dst, p, cw, 29, 4), MARKER);
        }

        // (0, -3): luma up 3 rows, chroma up 1 row (-3 / 2 truncates to -1)
        dst = marked(src);
        ASSERT_TRUE(shiftPlanar420(src, dst, 0, -3));
        EXPECT_EQ(std::memcmp(dst.data, src.data + 3 * w, (h - 3) * w), 0);
        for (size_t p : planes) {
            EXPECT_EQ(std::memcmp(dst.data + p, src.data + p + cw, (h / 2 - 1) * cw), 0)
                << name(code);
            EXPECT_EQ(at(dst, p, cw, 0, h / 2 - 1), MARKER);
        }
    }
}

TEST(FrameShift, RefusesFramesThatDoNotFitAndTouchesNothing) {
    const Frame gray = patterned(16, 8, fcc::GRAY);
    const Frame bgr = patterned(16, 8, fcc::BGR3);
    const Frame nv12 = patterned(16, 8, fcc::NV12);

    Frame other = marked(patterned(16, 9, fcc::GRAY));
    EXPECT_FALSE(shiftGray(gray, other, 1, 1));  // geometry differs
    EXPECT_TRUE(
        std::all_of(other.data, other.data + other.size, [](uint8_t b) { return b == MARKER; }));

    Frame dstBgr = marked(bgr);
    EXPECT_FALSE(shiftGray(bgr, dstBgr, 1, 1));        // wrong family
    EXPECT_FALSE(shiftPlanar420(nv12, dstBgr, 1, 1));  // wrong family and geometry
    Frame dstNv12 = marked(nv12);
    EXPECT_FALSE(shiftPlanar420(nv12, dstNv12, 1, 1));  // NV12 is not planar
    EXPECT_TRUE(std::all_of(dstNv12.data, dstNv12.data + dstNv12.size,
                            [](uint8_t b) { return b == MARKER; }));

    Frame empty;
    EXPECT_FALSE(shiftGray(empty, other, 0, 0));
    EXPECT_FALSE(shiftGray(gray, empty, 0, 0));
    EXPECT_EQ(empty.data, nullptr);

    // a source whose valid byte count is below the capacity is not read past it
    Frame shortSrc = patterned(16, 8, fcc::GRAY);
    shortSrc.size = 100;
    Frame dstGray = marked(gray);
    EXPECT_FALSE(shiftGray(shortSrc, dstGray, 1, 0));

    // the same frame as source and destination
    Frame self = patterned(16, 8, fcc::GRAY);
    EXPECT_FALSE(shiftGray(self, self, 1, 0));
}

TEST(FrameShift, PlanePrimitiveHonoursSpanAndLimits) {
    // 3 rows of 6 bytes
    const std::vector<uint8_t> src = {1,  2,  3,  4,  5,  6,  7,  8,  9,
                                      10, 11, 12, 13, 14, 15, 16, 17, 18};
    auto run = [&](std::ptrdiff_t dx, std::ptrdiff_t dy, size_t span) {
        std::vector<uint8_t> dst(src.size(), 0);
        shiftPlane(src.data(), dst.data(), 6, 3, dx, dy, span);
        return dst;
    };
    EXPECT_EQ(run(2, 1, SIZE_MAX),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 7, 8, 9, 10}));
    EXPECT_EQ(run(-1, -2, SIZE_MAX),
              (std::vector<uint8_t>{14, 15, 16, 17, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(run(1, 0, 2),
              (std::vector<uint8_t>{0, 1, 2, 0, 0, 0, 0, 7, 8, 0, 0, 0, 0, 13, 14, 0, 0, 0}));
    EXPECT_EQ(run(-2, 0, 3),
              (std::vector<uint8_t>{3, 4, 5, 0, 0, 0, 9, 10, 11, 0, 0, 0, 15, 16, 17, 0, 0, 0}));
    const std::vector<uint8_t> none(src.size(), 0);
    EXPECT_EQ(run(6, 0, SIZE_MAX), none);   // nothing left of a row
    EXPECT_EQ(run(7, 0, SIZE_MAX), none);   // beyond the row
    EXPECT_EQ(run(0, -4, SIZE_MAX), none);  // beyond the plane
    EXPECT_EQ(run(PTRDIFF_MIN, PTRDIFF_MIN, SIZE_MAX), none);
}
