#pragma once

// Short video clips with known content for the source tests: every frame
// is filled with a colour that tells its index, and carries the index as a
// drawn number, so a test can tell which frame came back after pacing,
// skipping or a restart.

#include <opencv2/core.hpp>

#include <string>

namespace calmora_test {

/// Number of frame indices whose colours are all distinct.
constexpr int kMaxClipFrames = 72;

/// The BGR fill colour of frame `index` (0 .. kMaxClipFrames - 1); any two
/// indices differ by at least 16 levels in blue or 32 in green.
cv::Scalar indexColour(int index);

/// Frame `index` of a clip: `size`, filled with indexColour(index), the
/// index written in the lower right corner.
cv::Mat clipFrame(int index, cv::Size size);

/// The index whose colour is nearest to the mean of the 8 x 8 block at the
/// top left of `bgr` (8-bit, 3 channels), or -1 when no colour lies within
/// 6 levels per channel (e.g. a black or foreign picture).
int indexOfImage(const cv::Mat& bgr);

/// Writes `frameCount` clipFrame()s of `size` at `fps` frames per second to
/// `path` with cv::VideoWriter and the four-character codec `codec`
/// ("MJPG" for .avi, "mp4v" or "avc1" for .mp4). False when the writer
/// cannot be opened with that codec or the file is not there afterwards.
bool writeClip(const std::string& path, const std::string& codec, double fps, int frameCount,
               cv::Size size);

}  // namespace calmora_test
