#pragma once

// The arithmetic between the source's parameter scales and OpenCV's
// capture properties, and the small timing sums of frame pacing. Pure
// functions, so the numbers can be tested without a device that accepts
// the properties.

#include <calmora/Logger.h>

namespace orl::video {

/// `value` truncated toward zero to int; NaN gives 0, values beyond the
/// int range give INT_MIN or INT_MAX (a plain cast would be undefined).
int truncToInt(double value);

/// CAP_PROP_GAIN for a gain on the 0..65535 scale: value * 254 / 65535,
/// in float.
double gainToDevice(float value);

/// CAP_PROP_FOCUS for a focus on the 0..65535 scale: trunc(value * 250 /
/// 65535) in float, then rounded toward zero to a multiple of 5.
double focusToDevice(float value);

/// CAP_PROP_AUTO_EXPOSURE for an exposure mode: 0.25 for 0, else 0.75.
double exposureModeToDevice(float value);

/// CAP_PROP_AUTOFOCUS for a focus mode: 2.0 for 0, else 1.0.
double focusModeToDevice(float value);

/// Gain or exposure read back: trunc(device * 257).
int gainFromDevice(double device);

/// Focus read back: trunc(device * 65535 / 255), in double.
int focusFromDevice(double device);

/// The Logger mode for a log level (0 disabled, 1 file, 2 console, 3 both).
/// False, with `mode` set to DISABLED, for any other level.
bool logModeForLevel(int level, orl::logging::LogMode& mode);

/// Frame interval in microseconds for `fps` frames per second:
/// trunc(1000000 / fps) in float, kept within 1..INT_MAX so it can always
/// divide. `current` is returned when `fps` is not a positive finite rate.
int frameIntervalFor(float fps, int current);

/// Frames that arrived during `elapsedMks` at one per `intervalMks`:
/// roundf(elapsed / interval) truncated to int (0 for a non-positive
/// interval).
int missedFrames(int elapsedMks, int intervalMks);

/// Whole frame intervals that fit into `timeoutMs`: timeoutMs * 1000 /
/// interval in 64-bit integers (0 for a non-positive interval or time-out).
int framesWithinTimeout(int timeoutMs, int intervalMks);

/// Most frames a negative time-out ever discards in one call.
constexpr int kMaxDrainFrames = 256;

/// Upper bound on the grabs that discard the buffer for a negative
/// time-out: the frames that can have arrived since the last call,
/// elapsed / interval + 1, and never more than kMaxDrainFrames, so a device
/// whose grab always succeeds still lets the call end soon.
int drainBound(int elapsedMks, int intervalMks);

}  // namespace orl::video
