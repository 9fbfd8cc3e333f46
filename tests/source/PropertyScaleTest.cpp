#include "PropertyScale.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace orl::video {
namespace {

using orl::logging::LogMode;

TEST(PropertyScale, WriteScales) {
    // gain: value * 254 / 65535 in float
    EXPECT_FLOAT_EQ(static_cast<float>(gainToDevice(65535.0f)), 254.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(gainToDevice(0.0f)), 0.0f);
    EXPECT_NEAR(gainToDevice(32768.0f), 127.0019, 1e-3);

    // focus: trunc(value * 250 / 65535), then down to a multiple of 5
    EXPECT_EQ(focusToDevice(65535.0f), 250.0);
    EXPECT_EQ(focusToDevice(1000.0f), 0.0);   // 3.81 -> 3 -> 0
    EXPECT_EQ(focusToDevice(2621.0f), 5.0);   // 9.998 -> 9 -> 5
    EXPECT_EQ(focusToDevice(2622.0f), 10.0);  // 10.0019 -> 10
    EXPECT_EQ(focusToDevice(-2622.0f), -10.0);
    EXPECT_EQ(focusToDevice(-1835.0f), -5.0);  // -7.0 -> -5, toward zero

    // modes: only an exact 0 selects the "manual" device value
    EXPECT_EQ(exposureModeToDevice(0.0f), 0.25);
    EXPECT_EQ(exposureModeToDevice(0.5f), 0.75);
    EXPECT_EQ(exposureModeToDevice(1.0f), 0.75);
    EXPECT_EQ(focusModeToDevice(0.0f), 2.0);
    EXPECT_EQ(focusModeToDevice(1.0f), 1.0);
}

TEST(PropertyScale, ReadScales) {
    EXPECT_EQ(gainFromDevice(254.0), 65278);
    EXPECT_EQ(gainFromDevice(1.9), 488);  // 488.3
    EXPECT_EQ(gainFromDevice(-1.0), -257);
    EXPECT_EQ(focusFromDevice(255.0), 65535);
    EXPECT_EQ(focusFromDevice(250.0), 64250);
    EXPECT_EQ(focusFromDevice(1.0), 257);
    EXPECT_EQ(focusFromDevice(0.5), 128);  // 128.5 truncated
}

TEST(PropertyScale, TruncationSaturates) {
    EXPECT_EQ(truncToInt(640.9), 640);
    EXPECT_EQ(truncToInt(-3.7), -3);
    EXPECT_EQ(truncToInt(0.5), 0);
    EXPECT_EQ(truncToInt(1e12), INT_MAX);
    EXPECT_EQ(truncToInt(-1e12), INT_MIN);
    EXPECT_EQ(truncToInt(std::numeric_limits<double>::infinity()), INT_MAX);
    EXPECT_EQ(truncToInt(std::nan("")), 0);
}

TEST(PropertyScale, LogLevels) {
    struct Case {
        int level;
        bool ok;
        LogMode mode;
    };
    const Case cases[]{
        {0, true, LogMode::DISABLED},   {1, true, LogMode::FILE},
        {2, true, LogMode::CONSOLE},    {3, true, LogMode::CONSOLE_AND_FILE},
        {4, false, LogMode::DISABLED},  {7, false, LogMode::DISABLED},
        {-1, false, LogMode::DISABLED},
    };
    for (const Case& c : cases) {
        LogMode mode = LogMode::CONSOLE;
        EXPECT_EQ(logModeForLevel(c.level, mode), c.ok) << "level " << c.level;
        EXPECT_EQ(mode, c.mode) << "level " << c.level;
    }
}

TEST(PropertyScale, PacingSums) {
    // interval from the frame rate, truncated
    EXPECT_EQ(frameIntervalFor(25.0f, 33000), 40000);
    EXPECT_EQ(frameIntervalFor(30.0f, 33000), 33333);
    EXPECT_EQ(frameIntervalFor(1000.0f, 33000), 1000);
    EXPECT_EQ(frameIntervalFor(0.0f, 33000), 33000);
    EXPECT_EQ(frameIntervalFor(-5.0f, 12345), 12345);
    EXPECT_EQ(frameIntervalFor(std::nanf(""), 33000), 33000);
    EXPECT_EQ(frameIntervalFor(std::numeric_limits<float>::infinity(), 33000), 33000);
    EXPECT_EQ(frameIntervalFor(1e9f, 33000), 1);  // never 0: it divides
    EXPECT_EQ(frameIntervalFor(1e-9f, 33000), INT_MAX);

    // frames missed: roundf(elapsed / interval)
    EXPECT_EQ(missedFrames(95000, 33000), 3);     // 2.88
    EXPECT_EQ(missedFrames(1100000, 40000), 28);  // 27.5 rounds away from zero
    EXPECT_EQ(missedFrames(40000, 40000), 1);
    EXPECT_EQ(missedFrames(59000, 40000), 1);
    EXPECT_EQ(missedFrames(100, 0), 0);

    // frames a time-out allows
    EXPECT_EQ(framesWithinTimeout(1000, 40000), 25);
    EXPECT_EQ(framesWithinTimeout(1000, 33000), 30);
    EXPECT_EQ(framesWithinTimeout(INT_MAX, 1), INT_MAX);  // no 32-bit overflow
    EXPECT_EQ(framesWithinTimeout(0, 40000), 0);

    // discarding for a negative time-out is bounded
    EXPECT_EQ(drainBound(0, 40000), 1);
    EXPECT_EQ(drainBound(200000, 40000), 6);
    EXPECT_EQ(drainBound(254 * 40000, 40000), 255);
    EXPECT_EQ(drainBound(255 * 40000, 40000), kMaxDrainFrames);
    EXPECT_EQ(drainBound(INT_MAX, 1), kMaxDrainFrames);  // no overflow, still bounded
}

}  // namespace
}  // namespace orl::video
