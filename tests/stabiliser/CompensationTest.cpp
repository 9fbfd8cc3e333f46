// Compensation: pass-through, whole-pixel shifts per format against the
// pixel model (border zeroed or kept, half-frame fall-back), warps checked by
// where a bright square lands, unsound numbers, re-created output, counters,
// compressed frames and the zoom of a replayed correction.

#include "Compensation.h"

#include "Synthetic.h"

#include <calmora/Correction.h>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Pseudo-random bytes and counters 11, 22; or, as a previous output, every
// byte `fill` and counters 33, 44.
Frame patterned(uint32_t w, uint32_t h, uint32_t code, int fill = -1) {
    Frame f(w, h, code);
    for (uint32_t i = 0, state = 3; i < f.size; ++i) {
        state = state * 1664525u + 1013904223u;
        f.data[i] = static_cast<uint8_t>(fill >= 0 ? fill : state >> 24);
    }
    f.frameId = fill >= 0 ? 33 : 11;
    f.sourceId = fill >= 0 ? 44 : 22;
    return f;
}

std::vector<uint8_t> bytesOf(const Frame& f) {
    return {f.data, f.data + f.size};
}

CalmoraParams params(int type, bool transparentBorder, float constA = 0.0f, int constX = 0,
                     int constY = 0) {
    CalmoraParams p;
    p.type = type;
    p.transparentBorder = transparentBorder;
    p.constAOffset = constA;
    p.constXOffset = constX;
    p.constYOffset = constY;
    return p;
}

// Any shift of half the frame or more: the model's plain copy.
constexpr int COPY = 1 << 30;
enum Outcome { SHIFTED, COPIED, REFUSED };  // COPIED: x and y not applied; REFUSED: nothing

TEST(Compensation, ShiftsMatchThePixelModelAndPublishWhatWasApplied) {
    const float nanF = std::nanf("");
    struct Case {
        uint32_t code;
        int type;
        float constA;
        int constX, constY;
        Offsets given;
        bool transparent;
        int sx, sy;  // the truncated translation handed to the shift routine
        Outcome outcome;
    };
    const Case cases[] = {
        {fcc::BGR3, 1, 0, 0, 0, {4.8, -2.2, 0.0}, false, 4, -2, SHIFTED},
        {fcc::BGR3, 1, 0, 0, 0, {4.8, -2.2, 0.0}, true, 4, -2, SHIFTED},
        {fcc::GRAY, 0, 0, -3, 2, {1.5, 0.5, 0.0}, false, -1, 2, SHIFTED},
        {fcc::RGB3, 1, 0, 0, 0, {-7.9, 3.9, 0.0}, true, -7, 3, SHIFTED},
        {fcc::NV12, 2, 0, 0, 0, {6.7, -3.2, 0.2}, false, 6, -3, SHIFTED},
        {fcc::NV21, 2, 0, 0, 0, {6.7, -3.2, 0.2}, true, 6, -3, SHIFTED},
        {fcc::YU12, 2, 0, 0, 0, {6.7, -3.2, 0.2}, false, 6, -3, SHIFTED},
        {fcc::YV12, 2, 0, 0, 0, {-5.5, 3.2, 0.2}, false, -5, 3, SHIFTED},
        {fcc::YUYV, 2, 0, 0, 0, {6.7, -3.2, 0.2}, false, 6, -3, SHIFTED},
        {fcc::UYVY, 1, 0, 0, 0, {-3.1, 1.0, 0.0}, true, -3, 1, SHIFTED},
        {fcc::YU12, 1, 0, 0, 0, {-31.0, 23.0, 0.0}, false, -31, 23, SHIFTED},
        {fcc::GRAY, 1, 0, 0, 0, {31.9, 0.0, 0.0}, false, 31, 0, SHIFTED},
        // half the frame or more: a plain copy
        {fcc::GRAY, 1, 0, 0, 0, {32.0, 0.0, 0.0}, false, 32, 0, COPIED},
        {fcc::YUV3, 0, 0, 30, 0, {0.0, -24.5, 0.0}, true, 30, -24, COPIED},
        {fcc::YUYV, 1, 0, 0, 0, {31.0, 0.0, 0.0}, false, 31, 0, COPIED},    // made even: 32
        {fcc::NV12, 2, 0, 0, 0, {-2.0, 23.0, 0.1}, false, -2, 23, COPIED},  // made even: 24
        {fcc::BGR3, 1, 0, 0, 0, {3e9, -3e9, 0.0}, true, COPY, COPY, COPIED},
        {fcc::UYVY, 1, 0, 0, 0, {-1e300, 0.0, 0.0}, false, COPY, COPY, COPIED},
        // all offsets 0: a plain copy, the constant offsets not applied
        {fcc::GRAY, 2, 0.3f, 20, 0, {0.0, 0.0, 0.0}, false, COPY, COPY, COPIED},
        {fcc::NV12, 1, 0, 20, 5, {0.0, 0.0, 0.0}, true, COPY, COPY, COPIED},
        // numbers that are not finite are never applied
        {fcc::BGR3, 1, 0, 0, 0, {NaN, 0.0, 0.0}, false, COPY, COPY, REFUSED},
        {fcc::NV12, 1, 0, 0, 0, {0.0, NaN, 0.0}, false, COPY, COPY, REFUSED},
        {fcc::GRAY, 0, 0, 0, 0, {1.0, 1.0, NaN}, true, COPY, COPY, REFUSED},
        {fcc::BGR3, 2, 0, 0, 0, {1.0, 1.0, NaN}, true, COPY, COPY, REFUSED},
        {fcc::YU12, 2, 0, 0, 0, {INF, 0.0, 0.0}, true, COPY, COPY, REFUSED},
        {fcc::YUYV, 1, 0, 0, 0, {0.0, -INF, 0.0}, true, COPY, COPY, REFUSED},
        {fcc::GRAY, 1, nanF, 0, 0, {1.0, 1.0, 0.0}, true, COPY, COPY, REFUSED},
        {fcc::BGR3, 1, 1.0f, 0, 0, {1.0, 1.0, -1e308}, true, COPY, COPY, REFUSED},
        {fcc::JPEG, 2, 0, 0, 0, {NaN, 1.0, 0.0}, true, COPY, COPY, REFUSED},
    };
    for (const Case& c : cases) {
        const Frame src = patterned(64, 48, c.code);
        Frame dst = patterned(64, 48, c.code, 0x77);
        const std::vector<uint8_t> border(src.size, c.transparent ? 0x77 : 0x00);
        Offsets off = c.given;
        compensate(src, dst, off, params(c.type, c.transparent, c.constA, c.constX, c.constY));
        const std::string what = std::string(reinterpret_cast<const char*>(&c.code), 4) + " " +
                                 std::to_string(c.given.x) + "," + std::to_string(c.given.y);
        EXPECT_EQ(bytesOf(dst), calmora_test::shiftModel(src, border, c.sx, c.sy)) << what;
        const bool moved = c.outcome == SHIFTED;
        EXPECT_EQ(off.x, moved ? c.constX + c.given.x : 0.0) << what;
        EXPECT_EQ(off.y, moved ? c.constY + c.given.y : 0.0) << what;
        EXPECT_NEAR(off.a, c.type == 2 && c.outcome != REFUSED ? c.given.a : 0.0, 1e-12) << what;
        EXPECT_EQ(dst.frameId, moved ? 33 : 11) << what;  // counters come with a full copy
    }
    // a raw frame with fewer valid bytes than its capacity is copied, not moved
    Frame shortSrc = patterned(64, 48, fcc::GRAY), dst;
    shortSrc.size = 100;
    Offsets off{3.0, 3.0, 0.0};
    compensate(shortSrc, dst, off, params(1, false));
    EXPECT_EQ(bytesOf(dst), std::vector<uint8_t>(shortSrc.data, shortSrc.data + 100));
    EXPECT_EQ(off.x, 0.0);
}

// One-byte-per-pixel picture (GRAY, or one channel of BGR3), black but for
// a bright 5 x 5 square centred at (cx, cy).
Frame squareAt(uint32_t w, uint32_t h, uint32_t code, int cx, int cy) {
    Frame f(w, h, code);
    const int bpp = code == fcc::BGR3 ? 3 : 1;
    for (int y = cy - 2; y <= cy + 2; ++y) {
        std::memset(f.data + (static_cast<size_t>(y) * w + cx - 2) * bpp, 200, 5 * bpp);
    }
    return f;
}

// Brightness centroid of the first byte of every pixel.
cv::Point2d centroid(const Frame& f) {
    const int bpp = f.fourcc == fcc::BGR3 ? 3 : 1;
    const cv::Mat plane(f.height, f.width, CV_8UC(bpp), f.data);
    cv::Mat first;
    cv::extractChannel(plane, first, 0);
    const cv::Moments m = cv::moments(first);
    return {m.m10 / m.m00, m.m01 / m.m00};
}

TEST(Compensation, WarpsTurnAboutTheirCentreAndPublishTheAngle) {
    struct Case {
        uint32_t code, w, h;
        int fx, fy;  // the square
        Offsets given;
        float constA;
    };
    const Case cases[] = {
        // type 2: about the top-left corner by the filter's angle
        {fcc::BGR3, 320, 240, 200, 100, {3.0, -1.0, 0.01}, 0.0f},
        {fcc::GRAY, 320, 240, 40, 200, {-2.0, 4.0, -0.03}, 0.0f},
        // a constant rotation: about the centre in integer halves, by
        // constAOffset - offsetA in the sense of getRotationMatrix2D (+x
        // turns towards -y)
        {fcc::GRAY, 320, 240, 160, 120, {1.0, 0.0, 0.0}, 0.05f},
        {fcc::GRAY, 320, 240, 260, 120, {1.0, 0.0, 0.0}, 0.05f},
        {fcc::BGR3, 320, 240, 160, 60, {1.0, 0.0, 0.0}, 0.05f},
        {fcc::GRAY, 161, 121, 80, 20, {0.0, 0.0, -0.45}, 0.05f},
    };
    for (const Case& c : cases) {
        const Frame src = squareAt(c.w, c.h, c.code, c.fx, c.fy);
        Frame dst = patterned(c.w, c.h, c.code, 0);
        Offsets off = c.given;
        compensate(src, dst, off, params(2, false, c.constA));
        double x = c.fx, y = c.fy, angle = c.given.a, cx = 0, cy = 0;
        if (c.constA != 0.0f) {
            angle = -(c.constA - c.given.a);
            cx = c.w / 2, cy = c.h / 2, x -= cx, y -= cy;
        }
        const cv::Point2d want(cx + x * std::cos(angle) - y * std::sin(angle) + c.given.x,
                               cy + x * std::sin(angle) + y * std::cos(angle) + c.given.y);
        const cv::Point2d got = centroid(dst);
        EXPECT_NEAR(got.x, want.x, 0.05) << c.fx << "," << c.fy;
        EXPECT_NEAR(got.y, want.y, 0.05) << c.fx << "," << c.fy;
        EXPECT_NEAR(off.a, angle, 1e-5) << c.fx << "," << c.fy;
        // the published translation keeps the centre's image where it went
        EXPECT_NEAR(off.x, cx - cx * std::cos(angle) + cy * std::sin(angle) + c.given.x, 1e-3);
        EXPECT_NEAR(off.y, cy - cx * std::sin(angle) - cy * std::cos(angle) + c.given.y, 1e-3);
        EXPECT_EQ(dst.frameId, 33);
    }
    // bilinear: a half-pixel move spreads the square's edge over two columns
    const Frame src = squareAt(320, 240, fcc::BGR3, 200, 100);
    Frame half = patterned(320, 240, fcc::BGR3, 0);
    Offsets offHalf{0.5, 0.0, 1e-9};
    compensate(src, half, offHalf, params(2, false));
    for (const auto& [x, v] : {std::pair{198, 100}, {202, 200}, {203, 100}}) {
        EXPECT_NEAR(half.data[(100 * 320 + x) * 3], v, 1) << x;
    }
    // warp borders: the left columns lie outside the moved picture; a warp
    // that moves the picture out of the frame writes nothing
    for (const bool transparent : {false, true}) {
        for (const double x : {10.0, 1e300, -3e9}) {
            const Frame gray = patterned(64, 48, fcc::GRAY);
            Frame dst = patterned(64, 48, fcc::GRAY, 0x77);
            Offsets off{x, 0.0, 0.02};
            compensate(gray, dst, off, params(2, transparent));
            EXPECT_EQ(dst.data[20 * 64 + 3], transparent ? 0x77 : 0x00) << x;
            if (transparent && x != 10.0) {
                EXPECT_EQ(bytesOf(dst), bytesOf(patterned(64, 48, fcc::GRAY, 0x77))) << x;
            }
            EXPECT_EQ(off.x, x);
        }
    }
}

TEST(Compensation, OutputIsRecreatedOrReused) {
    // re-created zero-filled (so the transparent border shows zeros) with
    // counters 0 when empty or when only the byte count differs; reused else
    const Frame gray = patterned(64, 48, fcc::GRAY);
    const std::vector<uint8_t> zeros(gray.size);
    Frame dst, cut = patterned(64, 48, fcc::GRAY, 0x77);
    cut.size = 10;
    for (Frame* out : {&dst, &cut, &dst}) {
        const uint8_t* buffer = out->data;
        Offsets off{1.0, 2.0, 0.0};
        compensate(gray, *out, off, params(1, true));
        EXPECT_EQ(bytesOf(*out), calmora_test::shiftModel(gray, zeros, 1, 2));
        EXPECT_EQ(out->frameId, 0);
        if (out == &dst && buffer != nullptr) {
            EXPECT_EQ(out->data, buffer);
        }
    }
    // compressed pictures are copied with the filter's offsets kept, into
    // the same buffer when only their length changes
    const uint8_t picture[] = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 5, 0xFF, 0xD9};
    Frame out;
    for (const size_t n : {sizeof(picture), size_t{4}}) {
        const uint8_t* buffer = out.data;
        Offsets kept{3.5, -2.0, 0.1};
        compensate(Frame(64, 48, fcc::JPEG, n, picture), out, kept, params(2, false));
        EXPECT_EQ(bytesOf(out), std::vector<uint8_t>(picture, picture + n));
        EXPECT_TRUE(kept.x == 3.5 && kept.y == -2.0 && kept.a == 0.1);
        if (n == 4) {
            EXPECT_EQ(out.data, buffer);
        }
    }
}

TEST(Compensation, CorrectionZoomsAboutTheCentre) {
    // a ramp src(x, y) = x zoomed by 2 about (100, 50): dst(x) reads src at
    // (x - 100) / 2 + 100; a shift of 10 comes before the zoom
    Frame src(200, 100, fcc::GRAY), dst;
    for (uint32_t i = 0; i < src.size; ++i) {
        src.data[i] = static_cast<uint8_t>(i % 200);
    }
    for (const double shift : {0.0, 10.0}) {
        ASSERT_TRUE(applyCorrection(src, dst, {shift, 0.0, 0.0, 2.0}, false));
        for (const int x : {20, 60, 100, 150, 198}) {
            EXPECT_NEAR(dst.data[50 * 200 + x], (x - 100) / 2.0 + 100 - shift, 1.0) << x;
        }
    }
    for (const double zoom : {0.0, -1.0, NaN, INF}) {  // never applied
        EXPECT_FALSE(applyCorrection(src, dst, {1.0, 0.0, 0.0, zoom}, false));
        EXPECT_EQ(bytesOf(dst), bytesOf(src));
    }
}

}  // namespace
}  // namespace orl::calmora
