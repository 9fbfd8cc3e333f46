// Parameter scales and pacing sums.
// - Write scales: gain 0..65535 -> 0..254, focus 0..65535 -> 0..250 in
//   steps of 5, modes 0/1 -> the values V4L-style back-ends expect.
// - Read scales: gain and exposure x 257, focus x 65535 / 255 (they do not
//   mirror the write scales; callers rely on these exact numbers).
// - Every float-to-int step goes through truncToInt, which saturates, so a
//   wild value from a caller or a device never reaches an undefined cast.

#include "PropertyScale.h"

#include <climits>
#include <cmath>
#include <cstdint>

namespace orl::video {

int truncToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

double gainToDevice(float value) {
    return static_cast<double>(value * 254.0f / 65535.0f);
}

double focusToDevice(float value) {
    const int steps = truncToInt(static_cast<double>(value * 250.0f / 65535.0f));
    return static_cast<double>(steps - steps % 5);
}

double exposureModeToDevice(float value) {
    return value == 0.0f ? 0.25 : 0.75;
}

double focusModeToDevice(float value) {
    return value == 0.0f ? 2.0 : 1.0;
}

int gainFromDevice(double device) {
    return truncToInt(device * 257.0);
}

int focusFromDevice(double device) {
    return truncToInt(device * 65535.0 / 255.0);
}

bool logModeForLevel(int level, orl::logging::LogMode& mode) {
    using orl::logging::LogMode;
    switch (level) {
        case 0:
            mode = LogMode::DISABLED;
            return true;
        case 1:
            mode = LogMode::FILE;
            return true;
        case 2:
            mode = LogMode::CONSOLE;
            return true;
        case 3:
            mode = LogMode::CONSOLE_AND_FILE;
            return true;
        default:
            mode = LogMode::DISABLED;
            return false;
    }
}

int frameIntervalFor(float fps, int current) {
    if (!(fps > 0.0f) || !std::isfinite(fps)) {
        return current;
    }
    const int interval = truncToInt(static_cast<double>(1000000.0f / fps));
    return interval < 1 ? 1 : interval;
}

int missedFrames(int elapsedMks, int intervalMks) {
    if (intervalMks <= 0) {
        return 0;
    }
    return truncToInt(
        std::roundf(static_cast<float>(elapsedMks) / static_cast<float>(intervalMks)));
}

int framesWithinTimeout(int timeoutMs, int intervalMks) {
    if (intervalMks <= 0 || timeoutMs <= 0) {
        return 0;
    }
    const int64_t frames = static_cast<int64_t>(timeoutMs) * 1000 / intervalMks;
    return frames > INT_MAX ? INT_MAX : static_cast<int>(frames);
}

int drainBound(int elapsedMks, int intervalMks) {
    if (intervalMks <= 0 || elapsedMks < 0) {
        return 1;
    }
    const int arrived = elapsedMks / intervalMks;
    return arrived >= kMaxDrainFrames ? kMaxDrainFrames : arrived + 1;
}

}  // namespace orl::video
