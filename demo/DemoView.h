#pragma once

// What the demo shows and records: the stacked source-above-result picture,
// its scaled copy with text overlays, the averaged processing time and the
// two video writers.

#include <calmora/Frame.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstdint>
#include <ctime>
#include <string>

namespace orl::demo {

/// Tallest picture shown in the window, rows.
inline constexpr int MAX_DISPLAY_ROWS = 960;

/// Copies the source frame into the upper half and the result frame into
/// the lower half of `mix` (8-bit, 3 channels, 2 x height rows by width
/// columns). `mix` is re-made as zeros whenever its size or type does not
/// fit the frames, so a change of frame size never writes outside it.
/// False, with `mix` untouched, unless both frames hold packed 3-byte
/// pixels of the same non-zero size.
bool composeMix(const orl::video::Frame& source, const orl::video::Frame& result, cv::Mat& mix);

/// A header (no copy) on the result frame's bytes as 8-bit 3-channel rows;
/// empty when the frame holds no packed 3-byte picture.
cv::Mat resultView(const orl::video::Frame& result);

/// Size of the shown picture for a mix picture of `mixSize`: unchanged up to
/// 960 rows, otherwise 960 rows and int(columns * 960 / rows) columns
/// (float arithmetic, truncated).
cv::Size displaySize(cv::Size mixSize);

/// Writes `mix` into `display`: a copy when it has at most 960 rows,
/// otherwise a bilinear resize to displaySize().
void makeDisplay(const cv::Mat& mix, cv::Mat& display);

/// Draws the five text overlays on `display` (recording hint, processing
/// time in whole ms, reset hint, "RESULT" 10 rows above the bottom,
/// "SOURCE" 10 rows above the middle), each once in black at x 5 and once
/// in colour one pixel right and down.
void drawOverlays(cv::Mat& display, bool recording, float averageMs);

/// The next smoothed processing time, ms: 0.1 * (ticks100ns / 10000, whole
/// ms truncated) + 0.9 * averageMs, in float.
float updateAverageMs(float averageMs, int64_t ticks100ns);

/// Local time of `when` as "%Y_%m_%d_%H_%M_%S" (2023_08_10_14_05_09).
std::string timeStamp(std::time_t when);

/// The two recordings: stabilised frames ("dst_") and the stacked picture
/// ("mix_"), MJPG at 30 frames per second, in the working directory.
class Recorder {
  public:
    /// Prints "Created: dst_<stamp>.avi", opens that writer at
    /// `resultSize`, then the same for "mix_<stamp>.avi" at `mixSize`.
    /// A writer that fails to open is kept silently and writes nothing.
    void start(const std::string& stamp, cv::Size resultSize, cv::Size mixSize);

    /// Appends one picture to each file; a picture whose size differs from
    /// the file's is scaled to it first.
    void write(const cv::Mat& result, const cv::Mat& mix);

    /// Closes the result file, then the mix file.
    void stop();

    /// True between start() and stop().
    bool recording() const { return recording_; }

  private:
    cv::VideoWriter resultWriter_;
    cv::VideoWriter mixWriter_;
    cv::Size resultSize_;
    cv::Size mixSize_;
    bool recording_{false};
};

}  // namespace orl::demo
