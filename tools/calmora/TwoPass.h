#pragma once

#include "MotionMeter.h"

#include <calmora/Calmora.h>
#include <calmora/Correction.h>

#include <vector>

namespace calmora_cli {

/// The camera path of a whole clip as the stabiliser measures it: per
/// frame, the running sum of the picture's motion (pixels, pixels,
/// radians), starting again at 0 on every cut.
struct CameraPath {
    std::vector<GlobalMotion> points;
    std::vector<int> cuts;  ///< frames that start a new shot, ascending
};

/// Smooths every shot of `path` on its own with a centred Gaussian of
/// `sigmaFrames` (gaussianSmooth): no lag, and nothing carried across a
/// cut.
std::vector<GlobalMotion> smoothPath(const CameraPath& path, double sigmaFrames);

/// Per frame, what moves the picture from the measured path onto the
/// smoothed one: smoothed minus measured, in the stabiliser's correction
/// terms (zoom 1).
std::vector<orl::calmora::Correction> pathCorrections(const CameraPath& path,
                                                      const std::vector<GlobalMotion>& smoothed);

/// The smallest zoom about the frame centre under which no pixel of a
/// `width` x `height` output is left uncovered by any of `corrections`;
/// at most `maxZoom` (then some pixels stay uncovered).
double autoZoom(const std::vector<orl::calmora::Correction>& corrections, int width, int height,
                double maxZoom = 2.0);

/// True when, under `correction` zoomed by `zoom`, every output pixel of a
/// `width` x `height` frame reads from inside the source frame.
bool coversFrame(const orl::calmora::Correction& correction, double zoom, int width, int height);

/// First pass: turns the stabiliser's per-frame offsets into the camera
/// path. With all three filter coefficients at 1 the smoothed path stays
/// where it started, so every published offset is minus the camera path.
/// Sets those coefficients on `stabiliser`; sends RESET at every frame of
/// `cuts` (and the path starts again there).
class PathRecorder {
  public:
    /// Prepares `stabiliser` for measuring (filter coefficients 1).
    explicit PathRecorder(orl::calmora::Calmora& stabiliser);

    /// Measures one frame (8-bit BGR); `cut` when it starts a new shot.
    void add(const cv::Mat& bgr, bool cut);

    /// The path so far.
    const CameraPath& path() const { return path_; }

  private:
    orl::calmora::Calmora& stabiliser_;
    CameraPath path_;
    cv::Mat grey_;
    orl::video::Frame scratch_;
};

}  // namespace calmora_cli
