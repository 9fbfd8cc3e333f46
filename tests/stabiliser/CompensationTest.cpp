#include "Compensation.h"
#include "MotionFilter.h"

#include "Synthetic.h"

#include <calmora/Correction.h>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <climits>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;

// Pseudo-random bytes and frame counter 11; or, as a previous output, every
// byte `fill` and counter 33.
Frame patterned(uint32_t w, uint32_t h, uint32_t code, int fill = -1) {
    Frame f(w, h, code);
    for (uint32_t i = 0, state = 3; i < f.size; ++i) {
        state = state * 1664525u + 1013904223u;
        f.data[i] = static_cast<uint8_t>(fill >= 0 ? fill : state >> 24);
    }
    f.frameId = fill >= 0 ? 33 : 11;
    return f;
}

std::vector<uint8_t> bytesOf(const Frame& f) {
    return {f.data, f.data + f.size};
}

CalmoraParams params(int type, bool transparent, float constA = 0, int constX = 0, int constY = 0) {
    return {1,           150,    150,    10,     0.9f, 0.9f, 0.9f, true,
            transparent, constX, constY, constA, 0,    0,    0,    type};
}

TEST(Compensation, EveryFormatSizeAndShiftMatchesThePixelModel) {
    const uint32_t formats[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                                fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12};
    const std::pair<int, int> sizes[] = {{16, 12}, {15, 11}, {9, 7}, {33, 17}, {6, 4},
                                         {5, 3},   {2, 2},   {1, 1}, {4, 1}};
    for (const uint32_t code : formats) {
        for (const auto& [w, h] : sizes) {
            const int hw = w / 2, hh = h / 2;
            const std::pair<int, int> shifts[] = {
                {0, 0},       {1, 0},       {-1, 0},          {0, 1},           {0, -1},
                {3, 2},       {-3, -2},     {2, -3},          {-5, 4},          {hw - 1, 0},
                {hw, 0},      {1 - hw, 0},  {-hw, 0},         {0, hh - 1},      {0, hh},
                {0, 1 - hh},  {0, -hh},     {hw - 2, hh - 2}, {1 - hw, 1 - hh}, {INT_MAX, 0},
                {INT_MIN, 0}, {0, INT_MIN}, {0, INT_MAX}};
            const Frame src = patterned(w, h, code);
            for (const auto& [dx, dy] : shifts) {
                SCOPED_TRACE(testing::Message()
                             << code << " " << w << "x" << h << " by " << dx << "," << dy);
                // offsets truncated toward zero; border zeroed or kept by turns; cut re-created
                const bool transparent = ((dx ^ dy) & 1) != 0, cut = dx == 3;
                const Offsets given{dx == 0 ? 0 : dx + std::copysign(0.75, dx),
                                    dy == 0 ? 0 : dy + std::copysign(0.75, dy), 0.3};
                Frame dst = patterned(w, h, code, 0x77);
                dst.size = cut ? 10 : dst.size;
                Offsets off = given;
                compensate(src, dst, off, params(1, transparent));
                const std::vector<uint8_t> want = calmora_test::shiftModel(
                    src, std::vector<uint8_t>(src.size, transparent && !cut ? 0x77 : 0), dx, dy);
                EXPECT_EQ(bytesOf(dst), want);
                // a shift of half the frame or more copies the picture: nothing applied
                const bool copied = want == bytesOf(src);
                EXPECT_TRUE(off.x == (copied ? 0 : given.x) && off.y == (copied ? 0 : given.y));
            }
        }
    }
}

constexpr int COPY = 1 << 30;  // any shift of half the frame or more: the model's plain copy
enum Outcome { SHIFTED, KEPT, COPIED, REFUSED };  // COPIED: x, y not applied; REFUSED: nothing

TEST(Compensation, ConstantsRotationAndUnsoundNumbers) {
    struct Case {
        uint32_t code;
        int type, constX, constY;
        float constA;
        Offsets given;
        int sx, sy;  // the truncated translation handed to the shift routine
        Outcome outcome;
    };
    const Case cases[] = {
        {fcc::GRAY, 0, -3, 2, 0, {1.5, 0.5, 0.0}, -1, 2, SHIFTED},
        // the subsampled formats are only shifted, but publish the angle
        {fcc::NV12, 2, 0, 0, 0, {6.7, -3.2, 0.2}, 6, -3, SHIFTED},
        {fcc::YUYV, 2, 0, 0, 0, {-1e300, 0.0, 0.2}, COPY, COPY, COPIED},
        // all offsets 0: a plain copy, the constant offsets not applied
        {fcc::GRAY, 2, 20, 5, 0.3f, {0.0, 0.0, 0.0}, COPY, COPY, COPIED},
        // compressed pictures are copied with the filter's offsets kept
        {fcc::JPEG, 2, 0, 0, 0, {3.5, -2.0, 0.1}, COPY, COPY, KEPT},
        // numbers that are not finite are never applied
        {fcc::BGR3, 1, 0, 0, 0, {NAN, 0.0, 0.0}, COPY, COPY, REFUSED},
        {fcc::GRAY, 0, 0, 0, 0, {1.0, 1.0, NAN}, COPY, COPY, REFUSED},
        {fcc::GRAY, 1, 0, 0, NAN, {1.0, 1.0, 0.0}, COPY, COPY, REFUSED},
        {fcc::JPEG, 2, 0, 0, 0, {NAN, 1.0, 0.0}, COPY, COPY, REFUSED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        const Frame src = patterned(64, 48, c.code);
        Frame dst = patterned(64, 48, c.code, 0x77);
        Offsets off = c.given;
        compensate(src, dst, off, params(c.type, false, c.constA, c.constX, c.constY));
        EXPECT_EQ(bytesOf(dst),
                  calmora_test::shiftModel(src, std::vector<uint8_t>(src.size), c.sx, c.sy));
        const bool moved = c.outcome <= KEPT;
        EXPECT_EQ(off.x, moved ? c.constX + c.given.x : 0.0);
        EXPECT_EQ(off.y, moved ? c.constY + c.given.y : 0.0);
        EXPECT_NEAR(off.a, c.type == 2 && c.outcome != REFUSED ? c.given.a : 0.0, 1e-12);
        EXPECT_EQ(dst.frameId, c.outcome == SHIFTED ? 33 : 11);  // counters come with a copy
    }
    // a raw frame with fewer valid bytes than its capacity is copied, not moved
    Frame shortSrc = patterned(64, 48, fcc::GRAY), dst;
    shortSrc.size = 100;
    Offsets off{3.0, 3.0, 0.02};
    compensate(shortSrc, dst, off, params(2, false));
    EXPECT_EQ(bytesOf(dst), std::vector<uint8_t>(shortSrc.data, shortSrc.data + 100));
    EXPECT_EQ(off.x, 0.0);
    for (const float zoom : {0.0f, -1.0f, NAN, INFINITY}) {  // a replayed zoom that cannot apply
        EXPECT_FALSE(applyCorrection(patterned(64, 48, fcc::GRAY), dst, {1, 0, 0, zoom}, false));
    }
}

// A GRAY or BGR3 frame: 200 inside a 5 x 5 square centred at (cx, cy), 0 elsewhere.
Frame squareAt(uint32_t w, uint32_t h, uint32_t code, int cx, int cy) {
    Frame f(w, h, code);
    cv::Mat(h, w, code == fcc::BGR3 ? CV_8UC3 : CV_8UC1, f.data)(cv::Rect(cx - 2, cy - 2, 5, 5)) =
        cv::Scalar::all(200);
    return f;
}

cv::Point2d centroid(const Frame& f) {
    const int bpp = f.fourcc == fcc::BGR3 ? 3 : 1;
    cv::Mat first;
    cv::extractChannel(cv::Mat(f.height, f.width, CV_8UC(bpp), f.data), first, 0);
    const cv::Moments m = cv::moments(first);
    return {m.m10 / m.m00, m.m01 / m.m00};
}

TEST(Compensation, WarpsTurnAboutTheirCentreAndPublishTheAngle) {
    struct Case {
        int code, w, h, fx, fy;  // fx, fy: the square's centre
        Offsets given;
        float constA;
    };
    const Case cases[] = {
        // type 2: about the top-left corner by the filter's angle
        {fcc::BGR3, 320, 240, 200, 100, {3.0, -1.0, 0.01}, 0.0f},
        // constant: about the centre in integer halves, by constAOffset - offsetA, +x to -y
        {fcc::GRAY, 161, 121, 80, 20, {0.0, 0.0, -0.45}, 0.05f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "square at " << c.fx << "," << c.fy);
        const Frame src = squareAt(c.w, c.h, c.code, c.fx, c.fy);
        Frame dst = patterned(c.w, c.h, c.code, 0);
        Offsets off = c.given;
        compensate(src, dst, off, params(2, false, c.constA));
        double x = c.fx, y = c.fy, angle = c.given.a, cx = 0, cy = 0;
        if (c.constA != 0.0f) {
            angle = -(c.constA - c.given.a);
            cx = c.w / 2, cy = c.h / 2, x -= cx, y -= cy;
        }
        const double cosA = std::cos(angle), sinA = std::sin(angle);
        const cv::Point2d got = centroid(dst);
        EXPECT_NEAR(got.x, cx + x * cosA - y * sinA + c.given.x, 0.05);
        EXPECT_NEAR(got.y, cy + x * sinA + y * cosA + c.given.y, 0.05);
        EXPECT_NEAR(off.a, angle, 1e-5);
        // the published translation keeps the centre's image where it went
        EXPECT_NEAR(off.x, cx - cx * cosA + cy * sinA + c.given.x, 1e-3);
        EXPECT_NEAR(off.y, cy - cx * sinA - cy * cosA + c.given.y, 1e-3);
        EXPECT_EQ(dst.frameId, 33);
    }
}

// The planes of a chroma-subsampled frame, luma first, chroma at its own size.
std::vector<cv::Mat> planesOf(const Frame& f) {
    const int w = f.width, h = f.height;
    uint8_t* c = f.data + w * h;
    if (f.fourcc == fcc::YUYV || f.fourcc == fcc::UYVY) {  // chroma bytes alternate U, V
        cv::Mat chroma;
        cv::extractChannel(cv::Mat(h, w, CV_8UC2, f.data), chroma, f.fourcc == fcc::YUYV);
        return {calmora_test::lumaOf(f), chroma.reshape(2)};
    }
    if (f.fourcc == fcc::NV12 || f.fourcc == fcc::NV21)
        return {calmora_test::lumaOf(f), cv::Mat(h / 2, w / 2, CV_8UC2, c)};
    return {calmora_test::lumaOf(f), cv::Mat(h / 2, w / 2, CV_8UC1, c),
            cv::Mat(h / 2, w / 2, CV_8UC1, c + w * h / 4)};
}

// The luma of `src` moved by cv::warpAffine as compensate() moves it (zoom,
// angle `a`, the published translation) over a plane of `fill`.
cv::Mat warpAffineLuma(const Frame& src, double zoom, double a, const Offsets& off, int fill) {
    const double c = zoom * std::cos(a), s = zoom * std::sin(a);
    cv::Mat luma(src.height, src.width, CV_8UC1, cv::Scalar::all(fill));
    cv::warpAffine(calmora_test::lumaOf(src), luma, cv::Matx23d(c, -s, off.x, s, c, off.y),
                   luma.size(), cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    return luma;
}

// Mean absolute difference inside the middle four fifths of two planes.
double meanAbs(const cv::Mat& a, const cv::Mat& b) {
    const cv::Rect inner(a.cols / 10, a.rows / 10, a.cols * 4 / 5, a.rows * 4 / 5);
    return cv::norm(a(inner), b(inner), cv::NORM_L1) / (inner.area() * a.channels());
}

TEST(Compensation, EverySubsampledFormatWarpsAsTheBgrPicture) {
    // 2 degrees about the top-left corner move the other corners by 12 to 26
    // pixels, which a whole-pixel shift misses; the picture moved by one
    // pixel differs by about 1.5 levels in luma and a chroma pixel by 2.4
    const cv::Mat scene = calmora_test::texturedScene(640, 360, 3);
    const double zoom = 1.05, bound[] = {0.6, 1.2, 1.2};  // luma, chroma
    const Offsets given{-25.3, 18.6, 2 * CV_PI / 180};
    Frame bgr;
    Offsets bgrOff = given;
    compensate(calmora_test::toFrame(scene, fcc::BGR3), bgr, bgrOff, params(2, false), zoom);
    for (const uint32_t code : {fcc::YUYV, fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12}) {
        SCOPED_TRACE(std::string(reinterpret_cast<const char*>(&code), 4));
        const Frame src = calmora_test::toFrame(scene, code);
        const bool transparent = code == fcc::NV12;
        Frame warped = patterned(640, 360, code, 0x77), shifted;
        Offsets off = given, shiftOff = given;
        compensate(src, warped, off, params(2, transparent), zoom, true);
        compensate(src, shifted, shiftOff, params(2, false), zoom);
        const Frame ref = calmora_test::toFrame(calmora_test::bgrOf(bgr), code);
        const auto got = planesOf(warped), whole = planesOf(shifted), want = planesOf(ref);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_LT(meanAbs(got[i], want[i]), bound[i]) << "plane " << i;
            EXPECT_GT(meanAbs(whole[i], want[i]), bound[i]) << "plane " << i;
            // the top-left corner is uncovered: kept or zero bytes
            EXPECT_EQ(got[i].data[0], transparent ? 0x77 : 0) << "plane " << i;
        }
        EXPECT_TRUE(off.x == bgrOff.x && off.y == bgrOff.y && off.a == bgrOff.a);
        // the luma is cv::warpAffine's to the byte, border included
        const cv::Mat luma = warpAffineLuma(src, zoom, given.a, off, transparent ? 0x77 : 0);
        EXPECT_EQ(cv::norm(got[0], luma, cv::NORM_INF), 0);
    }
    // odd sizes (an odd-width planar frame's chroma overlaps its luma's end)
    const std::tuple<uint32_t, int, int> odd[] = {{fcc::UYVY, 37, 23}, {fcc::NV21, 37, 23},
                                                  {fcc::UYVY, 9, 5},   {fcc::NV21, 9, 5},
                                                  {fcc::YV12, 38, 23}, {fcc::YU12, 1, 1}};
    for (const auto& [code, w, h] : odd) {
        SCOPED_TRACE(testing::Message() << code << " " << w << "x" << h);
        const Frame src = patterned(w, h, code);
        Frame dst = patterned(w, h, code, 0x77);
        Offsets off{1.3, -0.6, 0.05};
        compensate(src, dst, off, params(2, true), 1.0, true);
        EXPECT_EQ(cv::norm(calmora_test::lumaOf(dst), warpAffineLuma(src, 1, 0.05, off, 0x77),
                           cv::NORM_INF),
                  0);
    }
}

TEST(MotionFilterTest, KnownSequences) {
    const double c9 = static_cast<double>(0.9f), c6 = std::pow(c9, 6);
    // one 32 (or 64) among 63 zeros: variance 15.75 (or 63)
    const double cx = 0.8 + 0.18 * std::sqrt(15.75) / 30, cy = 0.8 + 0.18 * std::sqrt(63.0) / 30;
    struct Case {
        const char* name;
        FilterCoeffs coeffs;
        Motion first, rest;  // the first measurement, then every later one
        int frames;
        Offsets last;
    };
    const Case cases[] = {
        // a single shake decays geometrically: -10, -9, -8.1, ...
        {"shake", {0.9f, 0.9f, 0.9f}, {10, -4, 0.02}, {}, 7, {-10 * c6, 4 * c6, -0.02 * c6}},
        // steady motion: the offset tends to -motion / (1 - c)
        {"steady", {0.9f, 0.9f, 0.9f}, {2, 0, 0}, {2, 0, 0}, 300, {-2 / (1 - c9), 0, 0}},
        // coefficient 1 holds the picture still: the offset is minus the path
        {"frozen", {0.9f, 1.0f, 0.9f}, {0, 3, 0}, {0, -1.25, 0}, 5, {0, -3 + 4 * 1.25, 0}},
        // coefficient 0 is adaptive, from each axis's own ring: then -motion * c
        {"adaptive", {0.0f, 0.0f, 0.5f}, {32, 64, 0.02}, {}, 2, {-32 * cx, -64 * cy, -0.01}},
        // a deviation beyond the full scale, 30 pixels or 0.1 radians, gives 0.98
        {"adaptive limit", {0.0f, 0.0f, 0.0f}, {300, 0, 1}, {}, 2, {-300 * 0.98, 0, -0.98}},
        // past the path bound, path and smoothed value move back together
        {"pan right", {0.5f, 0.5f, 0.5f}, {50, 0, 0}, {50, 0, 0}, 400, {-100, 0, 0}},
        {"pan up", {0.5f, 0.5f, 0.5f}, {0, -50, 0}, {0, -50, 0}, 400, {0, 100, 0}},
    };
    for (const Case& c : cases) {
        MotionFilter filter;
        Offsets o;
        for (int k = 0; k < c.frames; ++k) {
            o = filter.update(k == 0 ? c.first : c.rest, c.coeffs);
            EXPECT_LE(std::fabs(filter.smoothed().x) + std::fabs(filter.smoothed().y),
                      MotionFilter::PATH_BOUND);
        }
        EXPECT_NEAR(o.x, c.last.x, 1e-9) << c.name;
        EXPECT_NEAR(o.y, c.last.y, 1e-9) << c.name;
        EXPECT_NEAR(o.a, c.last.a, 1e-9) << c.name;
        EXPECT_LT(std::fabs(filter.path().x) + std::fabs(filter.path().y), 10100) << c.name;
    }
}

}  // namespace
}  // namespace orl::calmora
