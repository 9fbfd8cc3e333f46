#pragma once

// Short video clips with known content for the source and demo tests:
// every frame is filled with a colour that tells its index, so a test can
// tell which frame came back after pacing, skipping or a restart.

#include <opencv2/core.hpp>

#include <string>

namespace calmora_test {

/// The index (0 .. 71) whose fill colour is nearest to the mean of the
/// 8 x 8 block at the top left of `bgr` (8-bit, 3 channels), or -1 when no
/// colour lies within 6 levels per channel (a black or foreign picture).
int indexOfImage(const cv::Mat& bgr);

/// Writes `frameCount` frames of `size` at `fps` frames per second to
/// `path` with the four-character codec `codec` ("MJPG" for .avi, "mp4v"
/// for .mp4): frame i filled with the colour of index i % 72 and the index
/// drawn for a person looking at it. False when the writer cannot be
/// opened with that codec or the file is not there afterwards.
bool writeClip(const std::string& path, const std::string& codec, double fps, int frameCount,
               cv::Size size);

}  // namespace calmora_test
