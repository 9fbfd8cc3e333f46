#pragma once

// Copying a decoded image into the caller's frame as "BGR3".

#include <calmora/Frame.h>

#include <opencv2/core.hpp>

namespace orl::video {

/// Copies `image` into `frame` as "BGR3" (3 * cols * rows bytes, rows
/// tightly packed). An image that is not 8-bit three-channel is converted
/// into `scratch` first: grey and BGRA to BGR, 16-bit samples scaled by
/// 1/257, float samples by 255. `frame` is re-created (keeping its
/// sourceId) when its width, height, format, size or buffer do not fit the
/// image, and reused otherwise. Returns false, with `frame` untouched, for
/// an empty image, an unsupported channel count or a frame that would not
/// fit in 32 bits. frameId is the caller's to set (a re-created frame
/// starts at 0).
bool copyToBgrFrame(const cv::Mat& image, cv::Mat& scratch, Frame& frame);

}  // namespace orl::video
