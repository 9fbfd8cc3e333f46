// Whole-pixel shifts: every format, size and shift (extremes and the
// half-frame fall-back included) against the pixel model, the plane
// primitive on known answers, and the pairs the routines must refuse.

#include "FrameShift.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;
using ShiftFn = bool (*)(const Frame&, Frame&, int, int);

const std::pair<uint32_t, ShiftFn> FORMATS[] = {
    {fcc::GRAY, shiftGray},          {fcc::RGB3, shiftPacked24},      {fcc::BGR3, shiftPacked24},
    {fcc::YUV3, shiftPacked24},      {fcc::YUYV, shiftPacked422},     {fcc::UYVY, shiftPacked422},
    {fcc::NV12, shiftSemiPlanar420}, {fcc::NV21, shiftSemiPlanar420}, {fcc::YU12, shiftPlanar420},
    {fcc::YV12, shiftPlanar420}};

// Pseudo-random bytes below 251 (0xFF marks untouched bytes), counters 11, 22.
Frame patterned(uint32_t w, uint32_t h, uint32_t code, uint8_t fill = 0) {
    Frame f(w, h, code);
    for (uint32_t i = 0, state = w * 31 + h; i < f.size; ++i) {
        state = state * 1664525u + 1013904223u;
        f.data[i] = fill != 0 ? fill : static_cast<uint8_t>((state >> 24) % 251);
    }
    f.frameId = fill != 0 ? 33 : 11;
    f.sourceId = 22;
    return f;
}

std::vector<uint8_t> bytesOf(const Frame& f) {
    return {f.data, f.data + f.size};
}

TEST(FrameShift, EveryFormatSizeAndShiftMatchesThePixelModel) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{16, 12}, {15, 11}, {9, 7}, {33, 17}, {6, 4},
                                                   {5, 3},   {2, 2},   {1, 1}, {4, 1}};
    for (const auto& [code, shift] : FORMATS) {
        for (const auto& [w, h] : sizes) {
            const int hw = static_cast<int>(w / 2), hh = static_cast<int>(h / 2);
            const std::pair<int, int> shifts[] = {
                {0, 0},       {1, 0},       {-1, 0},          {0, 1},           {0, -1},
                {3, 2},       {-3, -2},     {2, -3},          {-5, 4},          {hw - 1, 0},
                {hw, 0},      {1 - hw, 0},  {-hw, 0},         {0, hh - 1},      {0, hh},
                {0, 1 - hh},  {0, -hh},     {hw - 2, hh - 2}, {1 - hw, 1 - hh}, {INT_MAX, 0},
                {INT_MIN, 0}, {0, INT_MIN}, {0, INT_MAX}};
            const Frame src = patterned(w, h, code);
            for (const auto& [dx, dy] : shifts) {
                Frame dst = patterned(w, h, code, 0xFF);
                const std::vector<uint8_t> want =
                    calmora_test::shiftModel(src, bytesOf(dst), dx, dy);
                ASSERT_TRUE(shift(src, dst, dx, dy));
                EXPECT_EQ(bytesOf(dst), want)
                    << std::string(reinterpret_cast<const char*>(&code), 4) << " " << w << "x" << h
                    << " shift (" << dx << "," << dy << ")";
            }
        }
    }
}

TEST(FrameShift, PlanePrimitiveHonoursSpanAndLimits) {
    const std::vector<uint8_t> src = {1,  2,  3,  4,  5,  6,  7,  8,  9,
                                      10, 11, 12, 13, 14, 15, 16, 17, 18};
    struct Case {
        std::ptrdiff_t dx, dy;
        size_t span;
        std::vector<uint8_t> want;  // 3 rows of 6 bytes; nothing copied when empty
    };
    const Case cases[] = {
        {-1, -2, SIZE_MAX, {14, 15, 16, 17, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {1, 1, 2, {0, 0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 7, 8, 0, 0, 0}},
        {-2, 0, 3, {3, 4, 5, 0, 0, 0, 9, 10, 11, 0, 0, 0, 15, 16, 17, 0, 0, 0}},
        {6, 0, SIZE_MAX, {}},
        {7, 0, SIZE_MAX, {}},
        {0, -4, SIZE_MAX, {}},
        {PTRDIFF_MIN, PTRDIFF_MIN, SIZE_MAX, {}}};
    for (const Case& c : cases) {
        std::vector<uint8_t> dst(18, 0);
        shiftPlane(src.data(), dst.data(), 6, 3, c.dx, c.dy, c.span);
        EXPECT_EQ(dst, c.want.empty() ? std::vector<uint8_t>(18, 0) : c.want)
            << c.dx << "," << c.dy;
    }
}

TEST(FrameShift, RefusesFramesThatDoNotFitAndTouchesNothing) {
    const Frame gray = patterned(16, 8, fcc::GRAY), nv12 = patterned(16, 8, fcc::NV12),
                bgr = patterned(16, 8, fcc::BGR3);
    Frame shortGray = gray, empty;
    shortGray.size = 100;
    struct Case {
        const char* what;
        ShiftFn shift;
        const Frame& src;
        Frame dst;
    };
    Case cases[] = {
        {"other geometry", shiftGray, gray, patterned(16, 9, fcc::GRAY, 0xFF)},
        {"other family", shiftGray, bgr, patterned(16, 8, fcc::BGR3, 0xFF)},
        {"semi-planar as planar", shiftPlanar420, nv12, patterned(16, 8, fcc::NV12, 0xFF)},
        {"empty source", shiftGray, empty, patterned(16, 8, fcc::GRAY, 0xFF)},
        {"empty destination", shiftGray, gray, Frame()},
        {"short source", shiftGray, shortGray, patterned(16, 8, fcc::GRAY, 0xFF)},
        {"short destination", shiftGray, gray, shortGray}};
    for (Case& c : cases) {
        const std::vector<uint8_t> before = bytesOf(c.dst);
        EXPECT_FALSE(c.shift(c.src, c.dst, 1, 1)) << c.what;
        EXPECT_EQ(bytesOf(c.dst), before) << c.what;
    }
    Frame self = patterned(16, 8, fcc::GRAY);
    EXPECT_FALSE(shiftGray(self, self, 1, 0));
    EXPECT_EQ(bytesOf(self), bytesOf(gray));
}

}  // namespace
}  // namespace orl::calmora
