// Compensation: pass-through, shifts with zeroed or transparent border,
// warps checked by where a bright feature lands, dispatch per format, the
// published offsets, output re-creation, counters, unsound numbers, and one
// golden checksum of a warp.

#include "Compensation.h"

#include "FrameShift.h"

#include <calmora/Correction.h>
#include <calmora/Frame.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using orl::calmora::CalmoraParams;
using orl::calmora::compensate;
using orl::calmora::Offsets;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

std::string name(uint32_t code) {
    return std::string(reinterpret_cast<const char*>(&code), 4);
}

// Pseudo-random bytes, counters 11 and 22.
Frame patterned(uint32_t w, uint32_t h, uint32_t code, uint32_t seed = 3) {
    Frame f(w, h, code);
    uint32_t state = seed;
    for (uint32_t i = 0; i < f.size; ++i) {
        state = state * 1664525u + 1013904223u;
        f.data[i] = static_cast<uint8_t>(state >> 24);
    }
    f.frameId = 11;
    f.sourceId = 22;
    return f;
}

// A previous output: src's geometry, every byte `fill`, counters 33 and 44.
Frame previous(const Frame& src, uint8_t fill) {
    Frame f(src.width, src.height, src.fourcc);
    std::memset(f.data, fill, f.size);
    f.frameId = 33;
    f.sourceId = 44;
    return f;
}

std::vector<uint8_t> bytesOf(const Frame& f) {
    return std::vector<uint8_t>(f.data, f.data + f.size);
}

CalmoraParams params(int type, bool transparentBorder) {
    CalmoraParams p;
    p.type = type;
    p.transparentBorder = transparentBorder;
    return p;
}

// One-byte-per-pixel image (GRAY, or one channel of BGR3) that is black
// except a bright 5 x 5 square centred at (cx, cy).
Frame squareAt(uint32_t w, uint32_t h, uint32_t code, int cx, int cy) {
    Frame f(w, h, code);
    const int bpp = code == fcc::BGR3 ? 3 : 1;
    for (int y = cy - 2; y <= cy + 2; ++y) {
        for (int x = cx - 2; x <= cx + 2; ++x) {
            std::memset(f.data + (static_cast<size_t>(y) * w + x) * bpp, 200, bpp);
        }
    }
    return f;
}

// Brightness centroid of the first byte of every pixel.
void centroid(const Frame& f, double& x, double& y) {
    const int bpp = f.fourcc == fcc::BGR3 ? 3 : 1;
    double sum = 0.0;
    double sx = 0.0;
    double sy = 0.0;
    for (uint32_t r = 0; r < f.height; ++r) {
        for (uint32_t c = 0; c < f.width; ++c) {
            const double v = f.data[(static_cast<size_t>(r) * f.width + c) * bpp];
            sum += v;
            sx += v * c;
            sy += v * r;
        }
    }
    x = sum > 0 ? sx / sum : -1;
    y = sum > 0 ? sy / sum : -1;
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 1099511628211ull;
    }
    return h;
}

}  // namespace

TEST(Compensation, ZeroOffsetsCopyEveryFormatAndIgnoreConstantOffsets) {
    CalmoraParams p = params(2, false);
    p.constXOffset = 20;
    p.constAOffset = 0.3f;
    for (uint32_t code : {fcc::GRAY, fcc::BGR3, fcc::YUYV, fcc::NV12, fcc::YU12, fcc::JPEG}) {
        const Frame src = patterned(64, 32, code);
        Frame dst = previous(src, 0x55);
        Offsets off;
        compensate(src, dst, off, p);
        EXPECT_EQ(bytesOf(dst), bytesOf(src)) << name(code);
        EXPECT_EQ(dst.frameId, 11);
        EXPECT_EQ(dst.sourceId, 22);
        EXPECT_EQ(off.x, 0.0);
        EXPECT_EQ(off.y, 0.0);
        EXPECT_EQ(off.a, 0.0);
    }
}

TEST(Compensation, ShiftTruncatesAndBorderIsZeroedOrKept) {
    const uint32_t w = 40;
    const uint32_t h = 30;
    const Frame src = patterned(w, h, fcc::BGR3);
    for (bool transparent : {false, true}) {
        Frame dst = previous(src, 0x77);
        Offsets off{4.8, -2.2, 0.0};
        compensate(src, dst, off, params(1, transparent));
        SCOPED_TRACE(transparent ? "transparent" : "zeroed");

        const uint8_t border = transparent ? 0x77 : 0x00;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                for (uint32_t k = 0; k < 3; ++k) {
                    const uint8_t got = dst.data[(y * w + x) * 3 + k];
                    if (x < 4 || y >= h - 2) {
                        ASSERT_EQ(got, border) << x << "," << y;
                    } else {
                        ASSERT_EQ(got, src.data[((y + 2) * w + x - 4) * 3 + k]) << x << "," << y;
                    }
                }
            }
        }
        // the unrounded translation is published; the angle is atan2(0, 0)
        EXPECT_DOUBLE_EQ(off.x, 4.8);
        EXPECT_DOUBLE_EQ(off.y, -2.2);
        EXPECT_EQ(off.a, 0.0);
        // a shifted output keeps its own counters
        EXPECT_EQ(dst.frameId, 33);
        EXPECT_EQ(dst.sourceId, 44);
    }
}

TEST(Compensation, ConstantShiftIsAddedAndPublished) {
    const Frame src = patterned(40, 30, fcc::GRAY);
    Frame dst = previous(src, 0x00);
    CalmoraParams p = params(0, false);
    p.constXOffset = -3;
    p.constYOffset = 2;
    Offsets off{1.5, 0.5, 0.0};
    compensate(src, dst, off, p);
    // (-1.5, 2.5) truncates to (-1, 2)
    EXPECT_EQ(dst.data[2 * 40 + 0], src.data[0 * 40 + 1]);
    EXPECT_EQ(dst.data[29 * 40 + 38], src.data[27 * 40 + 39]);
    EXPECT_EQ(dst.data[1 * 40 + 5], 0);
    EXPECT_DOUBLE_EQ(off.x, -1.5);
    EXPECT_DOUBLE_EQ(off.y, 2.5);
}

TEST(Compensation, Type2WarpsAboutTopLeftCorner) {
    // a feature at (200, 100) turned by 0.01 rad about the origin, then moved (3, -1)
    const double a = 0.01;
    const Frame src = squareAt(320, 240, fcc::BGR3, 200, 100);
    Frame dst = previous(src, 0);
    Offsets off{3.0, -1.0, a};
    compensate(src, dst, off, params(2, false));
    double x = 0;
    double y = 0;
    centroid(dst, x, y);
    EXPECT_NEAR(x, 200 * std::cos(a) - 100 * std::sin(a) + 3.0, 0.05);
    EXPECT_NEAR(y, 200 * std::sin(a) + 100 * std::cos(a) - 1.0, 0.05);
    EXPECT_NEAR(off.a, a, 1e-12);
    EXPECT_DOUBLE_EQ(off.x, 3.0);
    EXPECT_DOUBLE_EQ(off.y, -1.0);
    EXPECT_EQ(dst.frameId, 33);

    // bilinear: a half-pixel move spreads the square's edge over two columns
    Frame half = previous(src, 0);
    Offsets offHalf{0.5, 0.0, 1e-9};
    compensate(src, half, offHalf, params(2, false));
    EXPECT_NEAR(half.data[(100 * 320 + 198) * 3], 100, 1);
    EXPECT_NEAR(half.data[(100 * 320 + 202) * 3], 200, 1);
    EXPECT_NEAR(half.data[(100 * 320 + 203) * 3], 100, 1);
}

TEST(Compensation, WarpBorderIsTransparentOrZeroed) {
    const Frame src = patterned(64, 48, fcc::GRAY);
    for (bool transparent : {false, true}) {
        Frame dst = previous(src, 0x77);
        Offsets off{10.0, 0.0, 0.02};
        compensate(src, dst, off, params(2, transparent));
        // the left 9 columns lie outside the moved picture
        for (uint32_t y = 0; y < 48; y += 7) {
            EXPECT_EQ(dst.data[y * 64 + 3], transparent ? 0x77 : 0x00) << y;
        }
    }
}

TEST(Compensation, ConstantRotationTurnsAboutTheCentre) {
    const uint32_t w = 320;
    const uint32_t h = 240;
    const double cx = 160;
    const double cy = 120;
    // 0.05 rad through the 3.14159 constant, sense of getRotationMatrix2D:
    // counter-clockwise on screen, so +x goes towards -y
    const double theta = 0.05 * 3.14159265358979323846 / 3.14159;
    CalmoraParams p = params(0, false);
    p.constAOffset = 0.05f;
    const double thetaF = static_cast<double>(0.05f) * 3.14159265358979323846 / 3.14159;

    struct Case {
        int fx, fy;
    };
    for (Case c : {Case{160, 120}, Case{260, 120}, Case{160, 60}}) {
        const Frame src = squareAt(w, h, fcc::GRAY, c.fx, c.fy);
        Frame dst = previous(src, 0);
        Offsets off{1.0, 0.0, 0.0};
        compensate(src, dst, off, p);
        double x = 0;
        double y = 0;
        centroid(dst, x, y);
        const double rx = c.fx - cx;
        const double ry = c.fy - cy;
        EXPECT_NEAR(x, cx + rx * std::cos(theta) + ry * std::sin(theta) + 1.0, 0.05)
            << c.fx << "," << c.fy;
        EXPECT_NEAR(y, cy - rx * std::sin(theta) + ry * std::cos(theta), 0.05)
            << c.fx << "," << c.fy;
        EXPECT_NEAR(off.a, -0.05, 1e-5);
        EXPECT_NEAR(off.a, -thetaF, 1e-12);
        // the centre stays put, so the translation is what keeps it there, plus offsetX
        EXPECT_NEAR(off.x, 1.0 + cx - (cx * std::cos(thetaF) + cy * std::sin(thetaF)), 1e-9);
        EXPECT_NEAR(off.y, cy - (-cx * std::sin(thetaF) + cy * std::cos(thetaF)), 1e-9);
    }

    // the centre is taken in integer halves: an odd frame turns about (80, 60), not (80.5, 60.5)
    const Frame odd = squareAt(161, 121, fcc::GRAY, 80, 20);
    Frame dst = previous(odd, 0);
    Offsets off{0.0, 0.0, -0.45};  // constAOffset - offsetA = 0.5 rad
    compensate(odd, dst, off, p);
    const double t2 = (static_cast<double>(0.05f) + 0.45) * 3.14159265358979323846 / 3.14159;
    double x = 0;
    double y = 0;
    centroid(dst, x, y);
    EXPECT_NEAR(x, 80 + (20 - 60) * std::sin(t2), 0.05);
    EXPECT_NEAR(y, 60 + (20 - 60) * std::cos(t2), 0.05);
}

TEST(Compensation, SubsampledFormatsAreOnlyShiftedByTheTruncatedTranslation) {
    struct Case {
        uint32_t code;
        int ex, ey;  // shift the routine must apply for (6.7, -3.2)
    };
    for (Case c : {Case{fcc::NV12, 6, -4}, Case{fcc::NV21, 6, -4}, Case{fcc::YU12, 6, -3},
                   Case{fcc::YV12, 6, -3}, Case{fcc::YUYV, 6, -3}, Case{fcc::UYVY, 6, -3}}) {
        const Frame src = patterned(64, 48, c.code);
        Frame dst = previous(src, 0x00);
        Offsets off{6.7, -3.2, 0.2};
        compensate(src, dst, off, params(2, false));
        // luma, or the first bytes of the packed rows, moved by whole pixels only
        const size_t bpp = (c.code == fcc::YUYV || c.code == fcc::UYVY) ? 2 : 1;
        const size_t row = 64 * bpp;
        for (size_t y = 0; y < 48 + static_cast<size_t>(c.ey); ++y) {
            ASSERT_EQ(std::memcmp(dst.data + y * row + c.ex * bpp, src.data + (y - c.ey) * row,
                                  row - c.ex * bpp),
                      0)
                << name(c.code) << " row " << y;
        }
        // the same bytes as the routine alone gives on a zeroed frame
        Frame ref = previous(src, 0x00);
        switch (c.code) {
            case fcc::NV12:
            case fcc::NV21:
                ASSERT_TRUE(orl::calmora::shiftSemiPlanar420(src, ref, 6, -3));
                break;
            case fcc::YU12:
            case fcc::YV12:
                ASSERT_TRUE(orl::calmora::shiftPlanar420(src, ref, 6, -3));
                break;
            default:
                ASSERT_TRUE(orl::calmora::shiftPacked422(src, ref, 6, -3));
                break;
        }
        EXPECT_EQ(bytesOf(dst), bytesOf(ref)) << name(c.code);
        EXPECT_NEAR(off.a, 0.2, 1e-12) << name(c.code);
        EXPECT_DOUBLE_EQ(off.x, 6.7);
        EXPECT_DOUBLE_EQ(off.y, -3.2);
    }
}

TEST(Compensation, CompressedFramesAreCopiedWithOffsetsKept) {
    const uint8_t picture[] = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 5, 0xFF, 0xD9};
    Frame src(64, 48, fcc::JPEG, sizeof(picture), picture);
    src.frameId = 5;
    Frame dst;
    Offsets off{3.5, -2.0, 0.1};
    compensate(src, dst, off, params(2, false));
    ASSERT_EQ(dst.size, sizeof(picture));
    EXPECT_EQ(std::memcmp(dst.data, picture, sizeof(picture)), 0);
    EXPECT_EQ(dst.fourcc, fcc::JPEG);
    EXPECT_EQ(dst.frameId, 5);
    EXPECT_EQ(off.x, 3.5);
    EXPECT_EQ(off.y, -2.0);
    EXPECT_EQ(off.a, 0.1);

    // a shorter picture next frame reuses the output buffer
    const uint8_t* buffer = dst.data;
    Frame next(64, 48, fcc::JPEG, 4, picture + 2);
    compensate(next, dst, off, params(2, false));
    EXPECT_EQ(dst.data, buffer);
    ASSERT_EQ(dst.size, 4u);
    EXPECT_EQ(std::memcmp(dst.data, picture + 2, 4), 0);
}

TEST(Compensation, OutputIsRecreatedWithTheSourceGeometry) {
    const Frame src = patterned(1280, 720, fcc::BGR3);
    Frame dst;
    Offsets off{5.0, 3.0, 0.0};
    compensate(src, dst, off, params(1, true));
    ASSERT_EQ(dst.width, 1280u);
    ASSERT_EQ(dst.height, 720u);
    ASSERT_EQ(dst.fourcc, fcc::BGR3);
    ASSERT_EQ(dst.size, 2764800u);
    // fresh zero bytes show through the transparent border; counters start at 0
    EXPECT_EQ(dst.data[0], 0);
    EXPECT_EQ(dst.data[(719 * 1280 + 4) * 3], 0);
    EXPECT_EQ(dst.data[(3 * 1280 + 5) * 3], src.data[0]);
    EXPECT_EQ(dst.frameId, 0);
    EXPECT_EQ(dst.sourceId, 0);

    // same geometry: the buffer is reused, other size or format: replaced
    const uint8_t* buffer = dst.data;
    Offsets again{5.0, 3.0, 0.0};
    compensate(src, dst, again, params(1, true));
    EXPECT_EQ(dst.data, buffer);
    const Frame gray = patterned(64, 48, fcc::GRAY);
    Offsets more{1.0, 0.0, 0.0};
    compensate(gray, dst, more, params(1, false));
    EXPECT_EQ(dst.fourcc, fcc::GRAY);
    EXPECT_EQ(dst.size, 64u * 48u);
    EXPECT_EQ(dst.data[64 + 1], gray.data[64]);

    // right width, height and format but a cut byte count: re-created too
    dst.size = 10;
    dst.frameId = 9;
    Offsets cut{1.0, 0.0, 0.0};
    compensate(gray, dst, cut, params(1, false));
    EXPECT_EQ(dst.size, 64u * 48u);
    EXPECT_EQ(dst.frameId, 0);
    EXPECT_EQ(dst.data[64 + 1], gray.data[64]);
}

TEST(Compensation, CountersFollowFullCopiesOnly) {
    const Frame src = patterned(64, 48, fcc::GRAY);
    struct Case {
        const char* what;
        Offsets off;
        int type;
        bool copied;
    };
    const Case cases[] = {
        {"pass-through", {0.0, 0.0, 0.0}, 2, true},
        {"shift", {2.0, 1.0, 0.0}, 1, false},
        {"warp", {2.0, 1.0, 0.05}, 2, false},
        {"half-frame fall-back", {32.0, 0.0, 0.0}, 1, true},
    };
    for (const Case& c : cases) {
        Frame dst = previous(src, 0);
        Offsets off = c.off;
        compensate(src, dst, off, params(c.type, false));
        EXPECT_EQ(dst.frameId, c.copied ? 11 : 33) << c.what;
        EXPECT_EQ(dst.sourceId, c.copied ? 22 : 44) << c.what;
    }
    // the fall-back still publishes the translation it was given
    Frame dst = previous(src, 0);
    Offsets off{32.0, 0.0, 0.0};
    compensate(src, dst, off, params(1, false));
    EXPECT_EQ(bytesOf(dst), bytesOf(src));
    EXPECT_EQ(off.x, 32.0);
}

TEST(Compensation, UnsoundNumbersNeverReachThePicture) {
    struct Case {
        const char* what;
        Offsets off;
        float constA;
        int type;
        uint32_t code;
    };
    const float nanF = std::numeric_limits<float>::quiet_NaN();
    const Case copies[] = {
        {"NaN x", {NaN, 0.0, 0.0}, 0.0f, 1, fcc::BGR3},
        {"NaN y, NV12", {0.0, NaN, 0.0}, 0.0f, 1, fcc::NV12},
        {"NaN angle, type 0", {1.0, 1.0, NaN}, 0.0f, 0, fcc::GRAY},
        {"NaN angle, type 2", {1.0, 1.0, NaN}, 0.0f, 2, fcc::BGR3},
        {"infinite x", {INF, 0.0, 0.0}, 0.0f, 2, fcc::YU12},
        {"-infinite y", {0.0, -INF, 0.0}, 0.0f, 1, fcc::YUYV},
        {"NaN constant rotation", {1.0, 1.0, 0.0}, nanF, 1, fcc::GRAY},
        {"angle overflowing to infinity", {1.0, 1.0, -1e308}, 1.0f, 1, fcc::BGR3},
        {"NaN JPEG", {NaN, 1.0, 0.0}, 0.0f, 2, fcc::JPEG},
    };
    for (const Case& c : copies) {
        const Frame src = patterned(64, 48, c.code);
        Frame dst = previous(src, 0x77);
        CalmoraParams p = params(c.type, true);
        p.constAOffset = c.constA;
        Offsets off = c.off;
        compensate(src, dst, off, p);
        // documented behaviour: a plain copy, nothing applied, nothing published
        EXPECT_EQ(bytesOf(dst), bytesOf(src)) << c.what;
        EXPECT_EQ(off.x, 0.0) << c.what;
        EXPECT_EQ(off.y, 0.0) << c.what;
        EXPECT_EQ(off.a, 0.0) << c.what;
    }

    // huge finite translations: shifts fall back to a copy, warps place the
    // picture outside the frame and leave the border as it was
    for (double huge : {3e9, -3e9, 1e300, -1e300, 2147483648.0}) {
        for (uint32_t code : {fcc::GRAY, fcc::BGR3, fcc::NV12, fcc::YU12, fcc::UYVY}) {
            const Frame src = patterned(64, 48, code);
            Frame shifted = previous(src, 0x77);
            Offsets off{huge, -huge, 0.0};
            compensate(src, shifted, off, params(1, true));
            EXPECT_EQ(bytesOf(shifted), bytesOf(src)) << name(code) << " " << huge;
            EXPECT_EQ(off.x, huge);
        }
        for (uint32_t code : {fcc::GRAY, fcc::BGR3}) {
            const Frame src = patterned(64, 48, code);
            Frame warped = previous(src, 0x77);
            Offsets off{huge, 5.0, 0.3};
            compensate(src, warped, off, params(2, true));
            EXPECT_EQ(bytesOf(warped), bytesOf(previous(src, 0x77))) << name(code) << " " << huge;
            EXPECT_EQ(off.x, huge);
        }
    }
}

TEST(Compensation, MalformedOrOddFramesAreSafe) {
    // odd sizes of the subsampled formats, through every path
    for (uint32_t code :
         {fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12, fcc::YUYV, fcc::UYVY, fcc::GRAY, fcc::BGR3}) {
        for (auto [w, h] :
             {std::pair<uint32_t, uint32_t>{7, 5}, {9, 3}, {1, 1}, {3, 1}, {33, 17}}) {
            const Frame src = patterned(w, h, code);
            for (Offsets start :
                 {Offsets{1.9, -1.9, 0.0}, Offsets{-3.0, 2.0, 0.4}, Offsets{0.0, 0.0, 0.1}}) {
                Frame dst;
                Offsets off = start;
                compensate(src, dst, off, params(2, false));
                EXPECT_EQ(dst.size, src.size) << name(code) << " " << w << "x" << h;
                EXPECT_EQ(dst.width, w);
            }
        }
    }

    // a raw frame whose valid count is below its capacity is copied, not moved
    Frame shortSrc = patterned(64, 48, fcc::GRAY);
    shortSrc.size = 100;
    Frame dst;
    Offsets off{3.0, 3.0, 0.0};
    compensate(shortSrc, dst, off, params(1, false));
    EXPECT_EQ(dst.size, 100u);
    EXPECT_EQ(std::memcmp(dst.data, shortSrc.data, 100), 0);
    EXPECT_EQ(off.x, 0.0);

    // an empty source empties the output
    Frame empty;
    Frame out = patterned(8, 8, fcc::GRAY);
    Offsets some{1.0, 1.0, 0.0};
    compensate(empty, out, some, params(1, false));
    EXPECT_EQ(out.width, 0u);
    EXPECT_EQ(out.size, 0u);
}

TEST(Compensation, WarpGoldenChecksum) {
    // smooth deterministic picture, independent of any random generator
    const uint32_t w = 160;
    const uint32_t h = 120;
    Frame src(w, h, fcc::BGR3);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = src.data + (y * w + x) * 3;
            p[0] = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF);
            p[1] = static_cast<uint8_t>(((x / 8 + y / 8) % 2) * 180 + 40);
            p[2] = static_cast<uint8_t>((x * y) >> 5);
        }
    }
    Frame dst;
    Offsets off{2.5, -1.25, 0.03};
    CalmoraParams p = params(2, false);
    compensate(src, dst, off, p);
    // matches a plain cv::warpAffine of the same matrix onto a zeroed image
    const uint64_t sum = fnv1a(dst.data, dst.size);
    EXPECT_EQ(sum, 0x20d439a489cced9aull) << "actual checksum 0x" << std::hex << sum;
}

TEST(Compensation, CorrectionZoomsAboutTheCentre) {
    // A horizontal ramp src(x, y) = x: after a zoom of 2 about the centre
    // (100, 50), dst(x) reads src at (x - 100) / 2 + 100, exactly on a ramp.
    Frame src(200, 100, fcc::GRAY);
    for (uint32_t y = 0; y < 100; ++y) {
        for (uint32_t x = 0; x < 200; ++x) {
            src.data[y * 200 + x] = static_cast<uint8_t>(x);
        }
    }
    Frame dst;
    ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, {0.0, 0.0, 0.0, 2.0}, false));
    for (const int x : {20, 60, 100, 150, 198}) {
        EXPECT_NEAR(dst.data[50 * 200 + x], (x - 100) / 2.0 + 100, 1.0) << x;
    }
    // A shift is applied before the zoom: moving 10 right, then zooming by
    // 2, moves the content at the centre 20 pixels right.
    ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, {10.0, 0.0, 0.0, 2.0}, false));
    EXPECT_NEAR(dst.data[50 * 200 + 120], 100.0, 1.0);

    // A sub-pixel shift alone is warped too (as type 2 does); the border
    // is zeroed.
    ASSERT_TRUE(orl::calmora::applyCorrection(src, dst, {3.7, 0.0, 0.0, 1.0}, false));
    EXPECT_EQ(dst.data[10 * 200 + 3], 0);
    EXPECT_NEAR(dst.data[10 * 200 + 10], 6.3, 1.0);

    // Unsound zooms and compressed frames are never applied.
    for (const double zoom : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(orl::calmora::applyCorrection(src, dst, {1.0, 0.0, 0.0, zoom}, false));
        EXPECT_EQ(std::memcmp(dst.data, src.data, src.size), 0);
    }
    const Frame jpeg(16, 16, fcc::JPEG);
    EXPECT_FALSE(orl::calmora::applyCorrection(jpeg, dst, {1.0, 0.0, 0.0, 1.0}, true));
    EXPECT_EQ(dst.fourcc, fcc::JPEG);
}
