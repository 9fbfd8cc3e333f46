#pragma once

#include <calmora/RunExport.h>

#include <opencv2/core.hpp>

#include <vector>

namespace orl::calmora::run {

/// Global motion of a picture between two consecutive frames: pixels of
/// the full frame (x right, y down) and radians (from +x towards +y).
struct GlobalMotion {
    double x{0.0};  ///< pixels, right positive
    double y{0.0};  ///< pixels, down positive
    double a{0.0};  ///< radians
};

/// Measures the global motion between consecutive frames independently of
/// the stabiliser's own estimators: translation by phase correlation of a
/// reduced grey picture against a reference frame that is renewed every few
/// frames (so small errors do not add up frame by frame over a slow pan),
/// rotation by a similarity fit of tracked Shi-Tomasi corners. Only the
/// central part of the picture is used, so an uncovered border in a
/// stabilised picture does not count as motion.
class CALMORA_RUN_EXPORT MotionMeter {
  public:
    /// `reducedWidth` is the width of the analysed grey picture (pixels).
    explicit MotionMeter(int reducedWidth = 320);

    /// Motion of `bgr` (8-bit, 3 channels) against the previous frame given
    /// to this meter; zero for the first frame and after a size change.
    GlobalMotion measure(const cv::Mat& bgr);

    /// Starts again as if no frame had been seen.
    void reset();

  private:
    int reducedWidth_;
    double scale_{1.0};  // full-frame pixels per reduced pixel
    cv::Size frameSize_;
    cv::Mat grey_, previous_, current32_, reference32_, window_;
    cv::Point2d referencePosition_;  // where the reference frame lies on the path, frame pixels
    cv::Point2d lastPosition_;       // where the previous frame lies on the path
    int sinceReference_{0};
    std::vector<cv::Point2f> corners_, tracked_, keptPrev_, keptCurr_;
    std::vector<unsigned char> status_;
    std::vector<float> error_;
};

/// Shift of `current` against `previous` (both CV_32F of one size) by
/// phase correlation with `window` applied: positive when the content moved
/// right and down, to a fraction of a pixel.
CALMORA_RUN_EXPORT cv::Point2d phaseShift(const cv::Mat& previous, const cv::Mat& current,
                                          const cv::Mat& window);

/// Root-mean-square of the translation of `residual` (pixels).
CALMORA_RUN_EXPORT double rmsTranslation(const std::vector<GlobalMotion>& residual);

/// Root-mean-square of the rotation of `residual` (radians).
CALMORA_RUN_EXPORT double rmsRotation(const std::vector<GlobalMotion>& residual);

}  // namespace orl::calmora::run
