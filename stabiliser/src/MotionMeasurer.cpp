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
// - The first frame after a reset is estimated too, against the uniform
//   grey (that stores its spectrum for the next frame), but reported as
//   not measured.

#include <calmora/MotionMeasurer.h>

#include "AnalysedImage.h"
#include "FftEstimator.h"
#include "OpticalFlowEstimator.h"
#include "RunParams.h"

namespace orl::calmora {

struct MotionMeasurer::State {
    AnalysedImage image;
    FftEstimator fft;
    OpticalFlowEstimator flow;
    bool hasPrevious{false};
    bool refinements{false};  // kept across a reset: a setting, not state

    void reset() {
        image.reset();
        fft.reset();
        hasPrevious = false;
    }
};

MotionMeasurer::MotionMeasurer() : state_(std::make_unique<State>()) {}

MotionMeasurer::~MotionMeasurer() = default;

void MotionMeasurer::reset() {
    state_->reset();
}

void MotionMeasurer::setRefinements(bool on) {
    state_->refinements = on;
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
    } else {
        m = s.flow.estimate(pair, limits, run.type >= 2);
        out.confidence = s.flow.confidence();
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
    return out;
}

}  // namespace orl::calmora
