#pragma once

#include <opencv2/core.hpp>

namespace calmora_cli {

/// Finds shot cuts: a frame whose colour histogram correlates poorly with
/// the previous frame's starts a new shot. Shake and pans leave the
/// histogram of a scene almost unchanged; a new scene does not.
class CutDetector {
  public:
    /// `threshold`: correlation (-1..1) below which a frame is a cut.
    explicit CutDetector(double threshold = 0.5);

    /// True when `bgr` (8-bit, 3 channels) starts a new shot. The first
    /// frame is not a cut.
    bool isCut(const cv::Mat& bgr);

    /// The correlation of the last frame with the one before (1 for the
    /// first frame).
    double lastCorrelation() const { return lastCorrelation_; }

    /// Forgets the previous frame.
    void reset();

  private:
    double threshold_;
    double lastCorrelation_{1.0};
    cv::Mat small_, histogram_, previous_;
};

}  // namespace calmora_cli
