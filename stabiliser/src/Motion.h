#pragma once

// Plain values passed between the stages of the frame operation.

#include <opencv2/core.hpp>

namespace orl::calmora {

/// Motion of the picture content from the previous to the current frame:
/// x and y in frame pixels (positive right and down), a in radians
/// (positive from +x towards +y).
struct Motion {
    double x{0.0};
    double y{0.0};
    double a{0.0};
};

/// Largest accepted motion between two frames. Each measured component whose
/// magnitude exceeds its limit is replaced by the limit with its sign.
/// x and y in frame pixels, a in radians; all expected to be >= 0.
struct MotionLimits {
    double x{150.0};
    double y{150.0};
    double a{0.2};
};

/// The two analysed grey images of one frame, as the estimators read them.
/// The images are owned by the caller and must outlive the call they are
/// passed to; both are 8-bit, one channel, the same size, continuous.
struct AnalysedPair {
    const cv::Mat& previous;  ///< analysed image of the previous frame
    const cv::Mat& current;   ///< analysed image of the current frame
    int currentSlot;          ///< slot (0 or 1) that `current` occupies in the image pair
    double scaleX;            ///< frame pixels per analysed pixel, horizontally
    double scaleY;            ///< frame pixels per analysed pixel, vertically
};

/// `value` limited to [-limit, limit] (only when its magnitude exceeds `limit`).
inline double limited(double value, double limit) {
    if (value > limit) {
        return limit;
    }
    if (value < -limit) {
        return -limit;
    }
    return value;
}

}  // namespace orl::calmora
