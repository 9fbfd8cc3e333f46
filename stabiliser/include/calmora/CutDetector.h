#pragma once

#include <calmora/MotionMeasurer.h>
#include <calmora/StabiliserExport.h>

#include <memory>

namespace orl::calmora {

/// Finds the hard cuts of edited footage from more than colour: a frame
/// starts a new shot when the picture left after the measured motion is
/// taken out jumps (a residual at least 3 times the median of the shot's
/// recent frames, and at least 5 grey levels; 15 before the shot has a
/// history) and the estimator's own evidence or the picture's tones agree
/// that the picture was not moved from the previous one (confidence below
/// 0.3, or a grey-level histogram that correlates below 0.8 with the
/// previous frame's). Shake, pans and lighting drift of a continuous shot
/// are not cuts. A live caller sends RESET to its stabiliser when isCut()
/// says so.
class CALMORA_STABILISER_EXPORT CutDetector {
  public:
    CutDetector();
    ~CutDetector();
    CutDetector(const CutDetector&) = delete;
    CutDetector& operator=(const CutDetector&) = delete;

    /// True when `frame` starts a new shot; `measurement` is its
    /// MotionMeasurer (or CalmoraOpenCv::lastMeasurement) result against the
    /// previous frame. A frame that was not measured is not a cut (the first
    /// one among them); a restarted measurement starts a new history.
    /// `frame` (any raw format) is only read.
    bool isCut(const video::Frame& frame, const Measurement& measurement);

    /// Forgets the frames seen so far.
    void reset();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
