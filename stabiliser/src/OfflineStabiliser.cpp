// Two-pass stabilisation of a whole clip.
// - Pass one measures every frame against the previous one with the live
//   stabiliser's own estimators (MotionMeasurer: no filter, no picture
//   moved) and adds it to the camera path; a cut found by the CutDetector,
//   or a change of frame geometry, starts a new shot at 0.
// - plan() smooths each shot on its own, by default with the L1 path
//   planner: the path is first planned with the offset limits alone, which
//   gives each shot's best smoothness (the weighted sum of differences); a
//   zoom above 1 then adds the crop as a constraint. A shot whose
//   smoothness under the crop worsens by more than 10% has too much shake
//   for that zoom: a fixed zoom is refused, naming the shot; the automatic
//   one is the least zoom, found by bisection, at which no shot does, below
//   both the zoom that covers the uncropped plan and the one the Gaussian
//   path needs (past those the crop costs nothing, or the planner would
//   zoom more than the old smoother did). The exact corners are checked at
//   the end, so no pixel is ever left uncovered by the approximation of
//   the angle.
// - The Gaussian smoother (the local line, no lag, ends included) remains,
//   with the zoom as asked or the smallest that leaves no pixel uncovered.
// - Corrections are smoothed minus measured, held within the offset limits.
// - Pass two writes each frame with the live stabiliser's compensation, the
//   zoom in the same warp.
// - With a readout, pass one also keeps every frame's band motions; an
//   automatic readout is estimated from them at plan(), and pass two adds
//   the shifts within the frame that its shot's bands within
//   BAND_WINDOW_FRAMES on either side give (the path in time).

#include <calmora/OfflineStabiliser.h>

#include <calmora/CutDetector.h>
#include <calmora/MotionMeasurer.h>
#include <calmora/PathPlanner.h>

#include "Compensation.h"
#include "RollingShutter.h"
#include "RunParams.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orl::calmora {

namespace {

// A shot may cost this much more under the crop than without it.
constexpr double kCropCostShare = 1.1;
// Steps of the zoom's bisection: the zoom comes within 1/256 of the range.
constexpr int kZoomSteps = 8;

struct Shot {
    int begin;
    int end;  // one past the last frame
};

std::vector<Shot> shotsOf(const CameraPath& path) {
    std::vector<Shot> shots;
    int begin = 0;
    std::vector<int> bounds = path.cuts;
    bounds.push_back(static_cast<int>(path.points.size()));
    for (const int bound : bounds) {
        const int end = std::clamp(bound, begin, static_cast<int>(path.points.size()));
        if (end > begin)
            shots.push_back({begin, end});
        begin = end;
    }
    return shots;
}

std::string percent(double zoom) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * (zoom - 1.0));
    return text;
}

// The motion the warp applies for `c` under `params`, the constant offsets
// included (type 2: a zoom always warps).
Correction appliedMotion(const Correction& c, const CalmoraParams& params, uint32_t width,
                         uint32_t height) {
    CalmoraParams warped = sanitised(params);
    warped.type = 2;
    const Offsets m = matrixMotion(width, height, {c.x, c.y, c.a}, warped);
    return {m.x, m.y, m.a, 1.0};
}

}  // namespace

struct OfflineStabiliser::State {
    ModeSettings settings;
    MotionMeasurer measurer;
    CutDetector cuts;
    CameraPath path;
    std::vector<BandMotion> bands;  // per frame, with a readout
    double readout{0.0};
    std::vector<Correction> corrections;
    double zoom{MIN_ZOOM};
    bool planned{false};
    bool feasible{true};
    std::string message;
    uint32_t width{0};
    uint32_t height{0};
    uint32_t fourcc{0};

    // The L1 plan of every shot into `corrections` and `zoom`; `feasible`
    // false, with `message`, when a fixed zoom is too small.
    void planL1();
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
    const std::optional<ModeSettings> accepted =
        settingsFor(StabiliserMode::OFFLINE, settings, error);
    if (!accepted) {
        return false;
    }
    const ModeSettings& offline = *accepted;
    state_->settings = offline;
    state_->readout = offline.rollingShutterAuto ? 0.0 : offline.rollingShutter;
    state_->planned = false;
    return true;
}

void OfflineStabiliser::add(const video::Frame& frame) {
    State& s = *state_;
    s.planned = false;
    s.measurer.setRefinements(s.settings.refinements);
    s.measurer.setBands(s.settings.rollingShutterAuto || s.settings.rollingShutter > 0.0);
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
    s.bands.push_back(bandMotionOf(m));
}

namespace {

// The planner's settings for this clip at `zoom`.
PlannerSettings plannerSettings(const ModeSettings& settings, uint32_t width, uint32_t height,
                                double zoom) {
    PlannerSettings planner;
    const CalmoraParams& p = settings.params;
    planner.width = static_cast<int>(width);
    planner.height = static_cast<int>(height);
    planner.zoom = zoom;
    planner.limits = {static_cast<double>(p.xOffsetLimit), static_cast<double>(p.yOffsetLimit),
                      static_cast<double>(p.aOffsetLimit)};
    const Correction constant = appliedMotion({}, p, width, height);
    planner.constant = {constant.x, constant.y, constant.a};
    return planner;
}

// Every shot planned at one zoom.
struct ClipPlan {
    std::vector<PathPoint> path;
    std::vector<double> costs;  // per shot: the smoothness of its path
    int failedShot{-1};         // the first shot with no path, or too costly
    bool complete{true};        // every shot has a path under the crop
};

ClipPlan planClip(const CameraPath& path, const std::vector<Shot>& shots,
                  const PlannerSettings& planner, const std::vector<double>* bestCosts) {
    ClipPlan clip;
    for (size_t i = 0; i < shots.size(); ++i) {
        const std::vector<PathPoint> measured(path.points.begin() + shots[i].begin,
                                              path.points.begin() + shots[i].end);
        PlannedPath planned;
        const bool found = planPath(measured, planner, planned);
        const double cost = found ? planned.smoothness : INFINITY;
        clip.complete = clip.complete && found;
        // a still shot costs nothing: a hair of room keeps it from failing on rounding
        if (clip.failedShot < 0 &&
            (!found || (bestCosts != nullptr && cost > kCropCostShare * (*bestCosts)[i] + 1e-6)))
            clip.failedShot = static_cast<int>(i);
        clip.costs.push_back(cost);
        clip.path.insert(clip.path.end(), planned.path.begin(), planned.path.end());
    }
    return clip;
}

// The least zoom in (1, `hi`] at which every shot plans within its share of
// its best cost, by bisection, with the plan at that zoom; `hi` itself when
// even it does not (the plan there keeps the crop covered all the same).
double leastZoom(const CameraPath& path, const std::vector<Shot>& shots,
                 const ModeSettings& settings, uint32_t width, uint32_t height,
                 const ClipPlan& best, double hi, ClipPlan& plan) {
    double lo = MIN_ZOOM;
    plan = planClip(path, shots, plannerSettings(settings, width, height, hi), &best.costs);
    if (plan.failedShot >= 0)
        return hi;
    for (int step = 0; step < kZoomSteps; ++step) {
        const double mid = 0.5 * (lo + hi);
        ClipPlan tried =
            planClip(path, shots, plannerSettings(settings, width, height, mid), &best.costs);
        if (tried.failedShot >= 0) {
            lo = mid;
        } else {
            hi = mid;
            plan = std::move(tried);
        }
    }
    return hi;
}

// The smallest zoom that covers every correction as the warp applies it.
double coveringZoom(const std::vector<PathPoint>& measured, const std::vector<PathPoint>& smooth,
                    const CalmoraParams& params, uint32_t width, uint32_t height) {
    std::vector<Correction> applied;
    for (const Correction& c : pathCorrections(measured, smooth))
        applied.push_back(appliedMotion(limitedCorrection(c, params), params, width, height));
    return autoZoom(applied, static_cast<int>(width), static_cast<int>(height));
}

}  // namespace

void OfflineStabiliser::State::planL1() {
    const std::vector<Shot> shots = shotsOf(path);
    // the best each shot can do: the offset limits alone
    const ClipPlan best =
        planClip(path, shots, plannerSettings(settings, width, height, 1.0), nullptr);
    ClipPlan chosen = best;
    zoom = settings.zoom;
    if (settings.zoomAuto) {
        // never more zoom than the uncropped plan needs, nor than the
        // Gaussian path would: past that, the crop costs smoothness
        const double covering =
            std::min(coveringZoom(path.points, best.path, settings.params, width, height),
                     coveringZoom(path.points, smoothPath(path, settings.smoothingFrames),
                                  settings.params, width, height));
        zoom = covering > MIN_ZOOM
                   ? leastZoom(path, shots, settings, width, height, best, covering, chosen)
                   : MIN_ZOOM;
        if (!chosen.complete)
            chosen = best;  // no path under the crop at all: the final check raises the zoom
    } else if (zoom > MIN_ZOOM) {
        chosen = planClip(path, shots, plannerSettings(settings, width, height, zoom), &best.costs);
        if (chosen.failedShot >= 0) {
            const Shot& shot = shots[static_cast<size_t>(chosen.failedShot)];
            message = "zoom " + percent(zoom) +
                      " is too small for the shake of the shot at frames " +
                      std::to_string(shot.begin) + ".." + std::to_string(shot.end - 1) +
                      ": it leaves no steady path that keeps the picture covered; use a larger "
                      "zoom or auto";
            feasible = false;
            return;
        }
    }
    corrections = pathCorrections(path.points, chosen.path);
}

bool OfflineStabiliser::plan() {
    State& s = *state_;
    s.planned = false;
    s.feasible = true;
    s.message.clear();
    s.corrections.clear();
    const CalmoraParams& params = s.settings.params;
    if (s.settings.smoother == PathSmoother::L1) {
        s.planL1();
        if (!s.feasible)
            return false;
    } else {
        s.corrections =
            pathCorrections(s.path.points, smoothPath(s.path, s.settings.smoothingFrames));
        s.zoom = s.settings.zoom;
    }
    for (Correction& c : s.corrections)
        c = limitedCorrection(c, params);
    if (s.settings.zoomAuto) {
        // the constant offsets move every zoomed frame too, in the warp the
        // zoom makes (type 2): the zoom has to cover the motion as applied;
        // the planned zoom already does, but for the angle's approximation
        std::vector<Correction> applied;
        applied.reserve(s.corrections.size());
        for (const Correction& c : s.corrections)
            applied.push_back(appliedMotion(c, params, s.width, s.height));
        s.zoom = std::max(s.settings.smoother == PathSmoother::L1 ? s.zoom : MIN_ZOOM,
                          autoZoom(applied, static_cast<int>(s.width), static_cast<int>(s.height)));
    }
    for (Correction& c : s.corrections)
        c.zoom = s.zoom;
    if (s.settings.rollingShutterAuto)
        s.readout = estimateReadout(s.bands, s.path.cuts);
    s.planned = true;
    return true;
}

bool OfflineStabiliser::feasible() const {
    return state_->feasible;
}

const std::string& OfflineStabiliser::message() const {
    return state_->message;
}

bool OfflineStabiliser::apply(int index, const video::Frame& src, video::Frame& dst) const {
    const State& s = *state_;
    if (!s.planned || index < 0 || static_cast<size_t>(index) >= s.corrections.size())
        return false;
    const Correction none;
    const CalmoraParams& params = s.settings.params;
    RowShifts rows;
    if (s.readout > 0.0 && params.enable && s.bands.size() == s.corrections.size()) {
        // the frames of its shot within the window
        int lo = std::max(0, index - BAND_WINDOW_FRAMES);
        int hi = std::min(static_cast<int>(s.bands.size()) - 1, index + BAND_WINDOW_FRAMES);
        for (const int cut : s.path.cuts) {
            lo = cut <= index ? std::max(lo, cut) : lo;
            hi = cut > index ? std::min(hi, cut - 1) : hi;
        }
        fitBandPath(s.bands.data() + lo, hi - lo + 1, s.readout, index - lo, &rows);
    }
    return writeCorrected(src, dst,
                          params.enable ? s.corrections[static_cast<size_t>(index)] : none, params,
                          s.settings.refinements, &rows);
}

double OfflineStabiliser::readout() const {
    return state_->readout;
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
