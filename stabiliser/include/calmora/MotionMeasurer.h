#pragma once

#include <calmora/Calmora.h>
#include <calmora/Correction.h>
#include <calmora/StabiliserExport.h>

#include <memory>

namespace orl::calmora {

/// One frame's motion against the previous frame, as the stabiliser's
/// estimators see it, with the evidence a shot-cut test needs.
struct Measurement {
    double x{0.0};  ///< motion of the picture, pixels of the full frame, right positive
    double y{0.0};  ///< pixels, down positive
    double a{0.0};  ///< radians, from +x towards +y (0 unless type 2)
    /// False when nothing was compared: the first frame, the first after a
    /// reset or a change of analysis size, a frame too small to measure or
    /// whose picture cannot be read. The motion is then zero.
    bool measured{false};
    /// How much the estimator trusts the motion, 0..1: for the optical flow
    /// the share of the detected corners that were tracked and lie within
    /// 3 analysed pixels of the fitted motion; for the Fourier correlation
    /// 1 - (next best peak outside the peak's neighbourhood) / peak
    /// (1 = unambiguous, 0 = no peak). 0 when not measured.
    double confidence{0.0};
    /// Mean absolute difference of the analysed grey pair after the measured
    /// motion (for the optical flow the whole fitted similarity, rotation
    /// included) and the mean brightness change are taken out, grey levels
    /// 0..255, from every 4th pixel of every 4th row. 0 when not measured.
    double residual{0.0};
    /// True when this frame changed the analysis size (first frame, new
    /// frame size, scaleFactor or type): the measurer started again.
    bool restarted{false};
    /// With the bands measured (MotionMeasurer::setBands, types 1 and 2):
    /// the displacement of the centre of each of RowShifts::BANDS equal
    /// bands of rows (centre column) from the previous frame to this one,
    /// pixels: the motion above there plus what the band's own tracked
    /// corners add. A rolling shutter makes the bands differ.
    double bandX[RowShifts::BANDS]{};
    double bandY[RowShifts::BANDS]{};  ///< see bandX
    bool banded{false};                ///< bandX and bandY were measured
};

/// Measures the motion of each frame against the previous one with the
/// same analysed image, estimators and parameters as CalmoraOpenCv::stabilise
/// (types 0, 1 and 2, every raw pixel format), without a filter and without
/// moving any picture. Not thread-safe: one thread calls measure().
class CALMORA_STABILISER_EXPORT MotionMeasurer {
  public:
    MotionMeasurer();
    ~MotionMeasurer();
    MotionMeasurer(const MotionMeasurer&) = delete;
    MotionMeasurer& operator=(const MotionMeasurer&) = delete;

    /// Measures `frame` against the previous frame given to this object.
    /// Reads scaleFactor, type and the three offset limits of `params`
    /// (sanitised as stabilise() does). Never fails: an unusable frame gives
    /// a Measurement with measured false. `frame` is only read. Allocates
    /// only when the analysis size changes.
    Measurement measure(const video::Frame& frame, const CalmoraParams& params);

    /// As measure(), but without the residual (0): the same motion,
    /// confidence and flags, and the same state for the next frame, at a
    /// little less work for callers that use only the motion.
    Measurement measureMotion(const video::Frame& frame, const CalmoraParams& params);

    /// Forgets the previous frame; the next one is measured against nothing.
    void reset();

    /// With `on`, a motion explained by a part of the picture only (objects
    /// moving before a still camera) or a rotation the fit does not support
    /// is not taken for camera motion. Off for a new measurer.
    void setRefinements(bool on);

    /// With `on`, every measured frame of types 1 and 2 also gets the motion
    /// of each band of rows (Measurement::bandX). Off for a new measurer.
    void setBands(bool on);

  private:
    Measurement measureWith(const video::Frame& frame, const CalmoraParams& params, bool residual);

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
