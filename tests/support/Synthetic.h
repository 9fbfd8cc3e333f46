#pragma once

// Synthetic pictures with known answers for the tests: a textured scene,
// the same scene moved by a known shift, rotation or zoom, and conversion
// of a BGR picture into a Frame of any raw pixel format.

#include <calmora/Frame.h>

#include <opencv2/core.hpp>

#include <cstdint>

namespace calmora_test {

/// A BGR scene of random rectangles, circles and fine noise: plenty of
/// corners and no periodic structure. The same seed gives the same picture.
cv::Mat texturedScene(int width, int height, uint64_t seed = 1);

/// `image` moved by (dx, dy) pixels, rotated by `angleRad` (from +x towards
/// +y, about `centre`) and scaled by `scale` about `centre`. Content that
/// enters from outside is mirrored, so no black border appears.
/// Positive dx and dy move the content right and down.
cv::Mat moved(const cv::Mat& image, double dx, double dy, double angleRad = 0.0,
              double scale = 1.0, cv::Point2d centre = {-1, -1});

/// The crop of `scene` of size `size` whose top-left corner is at `topLeft`
/// (non-integer positions are resampled bilinearly), rotated by `angleRad`
/// about the crop centre: a camera looking at a larger scene.
cv::Mat view(const cv::Mat& scene, cv::Size size, cv::Point2d topLeft, double angleRad = 0.0);

/// A frame of format `fourcc` holding `bgr` (8-bit, 3 channels; even width
/// and height for the chroma-subsampled formats).
orl::video::Frame toFrame(const cv::Mat& bgr, uint32_t fourcc);

/// The luma (or grey) plane of a frame as an 8-bit image, copied.
cv::Mat lumaOf(const orl::video::Frame& frame);

/// A BGR picture of a "BGR3" frame, copied.
cv::Mat bgrOf(const orl::video::Frame& frame);

}  // namespace calmora_test
