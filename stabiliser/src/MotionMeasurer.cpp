// Motion measurement without filter or warp.
// - The same analysed image and estimators as the frame operation, on the
//   same sanitised parameters: the analysis geometry follows scaleFactor
//   and type; a change of analysis size re-creates the buffers and starts
//   again.
// - Type 0 correlates through the Fourier transform, types 1 and 2 track
//   block corners (2 also measures the rotation).
// - Evidence: the estimator's confidence, and the residual grey difference
//   of the pair once the estimator's own transform (whole-pixel shift, or
//   the fitted similarity) is taken out.
// - The residual is the only evidence that costs a pass over the images;
//   measureMotion() leaves it out.
// - With the bands on, the tracked corners also give the motion of each
//   band of rows on top of the frame's (measureBands).
// - The first frame after a reset is estimated too, against the uniform
//   grey (that stores its spectrum for the next frame), but reported as
//   not measured.
// - With the refinements, the camera's motion rather than the dominant
//   motion of the picture: the optical flow's pairs are judged again
//   (CornerConsensus: still, or the fit's own pairs, the rotation only where
//   they explain the frame), and a correlation peak away from zero counts
//   only when its shift explains the pair better than no motion does. The
//   evidence is then that of the motion reported.

#include <calmora/MotionMeasurer.h>

#include "AnalysedImage.h"
#include "FftEstimator.h"
#include "OpticalFlowEstimator.h"
#include "RollingShutter.h"
#include "RunParams.h"

namespace orl::calmora {

struct MotionMeasurer::State {
    AnalysedImage image;
    FftEstimator fft;
    OpticalFlowEstimator flow;
    bool hasPrevious{false};
    bool refinements{false};  // kept across a reset: a setting, not state
    bool bands{false};        // the same

    void reset() {
        image.reset();
        fft.reset();
        hasPrevious = false;
    }
};

namespace {

// The correlation peak of a still camera's picture can be a group of people
// walking: when the picture as it was explains the pair at least as well as
// the peak's whole-pixel shift, the camera did not move.
void stillUnlessShifted(const AnalysedPair& pair, Motion& m, cv::Matx23d& transform) {
    const cv::Matx23d none(1, 0, 0, 0, 1, 0);
    if (residualAfter(pair, none) <= residualAfter(pair, transform)) {
        m = Motion{};
        transform = none;
    }
}

}  // namespace

MotionMeasurer::MotionMeasurer() : state_(std::make_unique<State>()) {}

MotionMeasurer::~MotionMeasurer() = default;

void MotionMeasurer::reset() {
    state_->reset();
}

void MotionMeasurer::setRefinements(bool on) {
    state_->refinements = on;
}

void MotionMeasurer::setBands(bool on) {
    state_->bands = on;
}

Measurement MotionMeasurer::measure(const video::Frame& frame, const CalmoraParams& params) {
    return measureWith(frame, params, true);
}

Measurement MotionMeasurer::measureMotion(const video::Frame& frame, const CalmoraParams& params) {
    return measureWith(frame, params, false);
}

Measurement MotionMeasurer::measureWith(const video::Frame& frame, const CalmoraParams& params,
                                        bool residual) {
    State& s = *state_;
    Measurement out;
    const CalmoraParams run = sanitised(params);

    // analysed image
    const AnalysisGeometry geometry =
        AnalysedImage::geometryFor(frame.width, frame.height, run.scaleFactor, run.type);
    if (frame.data == nullptr || !AnalysedImage::measurable(geometry)) {
        return out;
    }
    if (s.image.adopt(geometry)) {
        s.fft.create(geometry.size);
        s.flow.create(geometry.size);
        s.reset();
        out.restarted = true;
    }
    // A compressed or unknown format, or a size below the capacity, leaves
    // the analysed pair as it was; measuring it anyway would count the
    // previous frame's motion a second time.
    if (!s.image.convert(frame)) {
        return out;
    }
    const bool compared = s.hasPrevious;
    s.hasPrevious = true;

    // estimate motion
    const MotionLimits limits{static_cast<double>(run.xOffsetLimit),
                              static_cast<double>(run.yOffsetLimit),
                              static_cast<double>(run.aOffsetLimit)};
    const AnalysedPair pair = s.image.pair();
    Motion m;
    cv::Matx23d transform;
    if (run.type == 0) {
        m = s.fft.estimate(pair, limits);
        out.confidence = s.fft.confidence();
        const cv::Point shift = s.fft.shift();
        transform = cv::Matx23d(1, 0, shift.x, 0, 1, shift.y);
        if (s.refinements && compared && shift != cv::Point()) {
            stillUnlessShifted(pair, m, transform);
        }
    } else {
        m = s.flow.estimate(pair, limits, run.type >= 2);
        out.confidence = s.flow.confidence();
        if (s.refinements) {
            m = s.flow.cameraMotion(pair, limits, run.type >= 2);
        }
        transform = s.flow.fit();
    }
    if (!compared) {
        out.confidence = 0.0;
        return out;
    }

    // evidence
    out.x = m.x;
    out.y = m.y;
    out.a = m.a;
    out.measured = true;
    out.residual = residual ? residualAfter(pair, transform) : 0.0;
    if (s.bands && run.type != 0) {
        measureBands(s.flow.keptPrevious(), s.flow.keptCurrent(), m, geometry.size, pair.scaleX,
                     pair.scaleY, out);
    }
    return out;
}

}  // namespace orl::calmora
