// Two-pass stabilisation of a whole clip.
// - Pass one measures every frame against the previous one with the live
//   stabiliser's own estimators (MotionMeasurer: no filter, no picture
//   moved) and adds it to the camera path; a cut found by the CutDetector,
//   or a change of frame geometry, starts a new shot at 0.
// - plan() smooths each shot on its own with the local-line smoother (no lag,
//   ends included), takes smoothed minus measured as the correction, held
//   within the offset limits, and picks the zoom: fixed, or the smallest that
//   leaves no output pixel uncovered by any frame's correction.
// - Pass two writes each frame with the live stabiliser's compensation, the
//   zoom in the same warp.

#include <calmora/OfflineStabiliser.h>

#include <calmora/CutDetector.h>
#include <calmora/MotionMeasurer.h>

#include "Compensation.h"
#include "RunParams.h"

#include <algorithm>

namespace orl::calmora {

struct OfflineStabiliser::State {
    ModeSettings settings;
    MotionMeasurer measurer;
    CutDetector cuts;
    CameraPath path;
    std::vector<Correction> corrections;
    double zoom{MIN_ZOOM};
    bool planned{false};
    uint32_t width{0};
    uint32_t height{0};
    uint32_t fourcc{0};
};

OfflineStabiliser::OfflineStabiliser() : state_(std::make_unique<State>()) {
    state_->settings.mode = StabiliserMode::OFFLINE;
}

OfflineStabiliser::OfflineStabiliser(const CalmoraParams& params) : OfflineStabiliser() {
    state_->settings.params = params;
}

OfflineStabiliser::~OfflineStabiliser() = default;

bool OfflineStabiliser::init(const CalmoraParams& params) {
    state_->settings.params = params;
    return true;
}

bool OfflineStabiliser::configure(const ModeSettings& settings, std::string* error) {
    ModeSettings offline = settings;
    offline.mode = StabiliserMode::OFFLINE;
    const std::string refused = validate(offline);
    if (!refused.empty()) {
        if (error != nullptr) {
            *error = refused;
        }
        return false;
    }
    state_->settings = offline;
    state_->planned = false;
    return true;
}

void OfflineStabiliser::add(const video::Frame& frame) {
    State& s = *state_;
    s.planned = false;
    s.measurer.setRefinements(s.settings.refinements);
    const Measurement m = s.measurer.measure(frame, s.settings.params);
    bool cut = s.settings.detectCuts && s.cuts.isCut(frame, m);
    // a new geometry is a new picture: nothing to compare it with
    if (!s.path.points.empty() &&
        (frame.width != s.width || frame.height != s.height || frame.fourcc != s.fourcc))
        cut = true;
    s.width = frame.width;
    s.height = frame.height;
    s.fourcc = frame.fourcc;
    s.path.add(m.x, m.y, m.a, cut);
}

void OfflineStabiliser::plan() {
    State& s = *state_;
    s.corrections = pathCorrections(s.path.points, smoothPath(s.path, s.settings.smoothingFrames));
    const CalmoraParams& params = s.settings.params;
    for (Correction& c : s.corrections)
        c = limitedCorrection(c, params);
    s.zoom = s.settings.zoom;
    if (s.settings.zoomAuto) {
        // the constant offsets move every zoomed frame too, in the warp the
        // zoom makes (type 2): the zoom has to cover the motion as applied
        CalmoraParams warped = sanitised(params);
        warped.type = 2;
        std::vector<Correction> applied;
        applied.reserve(s.corrections.size());
        for (const Correction& c : s.corrections) {
            const Offsets m = matrixMotion(s.width, s.height, {c.x, c.y, c.a}, warped);
            applied.push_back({m.x, m.y, m.a, 1.0});
        }
        s.zoom = autoZoom(applied, static_cast<int>(s.width), static_cast<int>(s.height));
    }
    for (Correction& c : s.corrections)
        c.zoom = s.zoom;
    s.planned = true;
}

bool OfflineStabiliser::apply(int index, const video::Frame& src, video::Frame& dst) const {
    const State& s = *state_;
    if (!s.planned || index < 0 || static_cast<size_t>(index) >= s.corrections.size())
        return false;
    const Correction none;
    const CalmoraParams& params = s.settings.params;
    return writeCorrected(src, dst, params.enable ? s.corrections[static_cast<size_t>(index)] : none,
                          params, s.settings.refinements);
}

const CameraPath& OfflineStabiliser::path() const {
    return state_->path;
}

const std::vector<Correction>& OfflineStabiliser::corrections() const {
    return state_->corrections;
}

double OfflineStabiliser::zoom() const {
    return state_->zoom;
}

}  // namespace orl::calmora
