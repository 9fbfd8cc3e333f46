#pragma once

#include <calmora/Calmora.h>
#include <calmora/CameraPath.h>
#include <calmora/ModeSettings.h>
#include <calmora/StabiliserExport.h>

#include <memory>
#include <string>

namespace orl::calmora {

/// Two-pass stabilisation of a whole clip. Pass one: add() every frame in
/// order; the camera path is measured (no picture is moved) and cut into
/// shots where the cut detector finds cuts or the frame geometry changes.
/// plan() smooths each shot's path without lag (by default the L1-optimal
/// path of PathPlanner, which keeps the zoomed frame covered; or the
/// Gaussian local line) within the offset limits and, when asked, picks the
/// zoom. Pass two: apply() each frame with its index.
/// Not thread-safe: one thread.
class CALMORA_STABILISER_EXPORT OfflineStabiliser {
  public:
    /// A stabiliser for one clip with CalmoraOpenCv's initial parameters,
    /// cut detection on, smoothing DEFAULT_SMOOTHING_FRAMES and zoom 1.
    OfflineStabiliser();
    /// The same with `params` (as CalmoraOpenCv::init: type, scale factor
    /// and offset limits for measuring and limiting, transparent border and
    /// constant offsets for writing; sanitised).
    explicit OfflineStabiliser(const CalmoraParams& params);
    ~OfflineStabiliser();

    /// Replaces the parameters (as CalmoraOpenCv::init). Frames already
    /// added keep the motion they were measured with. Always true.
    bool init(const CalmoraParams& params);

    /// Takes the smoothing, zoom (fixed or automatic), cut detection,
    /// refinements, readout (fixed or automatic) and parameters of `settings`, read as offline settings; from the next
    /// add() and plan() on. False, changing nothing and with `error` (when
    /// given) set to validate()'s message, for settings offline mode refuses.
    bool configure(const ModeSettings& settings, std::string* error = nullptr);

    /// Pass one: measures `frame` (only read) against the previous one. A
    /// frame added after plan() needs a new plan().
    void add(const video::Frame& frame);
    /// Ends pass one; corrections and zoom are known afterwards. With the L1
    /// smoother a zoom above 1 is a crop every frame must cover: a fixed
    /// zoom too small for some shot's shake (its planned path's smoothness,
    /// the weighted sum of differences, more than 10% above its plan with
    /// no crop, or no path at all) gives false, with feasible() false and
    /// message() naming the shot, and nothing to apply. The automatic zoom
    /// is the least at which every shot stays within those 10%, never above
    /// the zoom the Gaussian path would need, and never leaves a pixel
    /// uncovered. A zoom of 1 asks for no crop: the path is planned within
    /// the offset limits alone and uncovered pixels follow
    /// transparentBorder, as in the other modes. The Gaussian smoother
    /// leaves the zoom as asked, or takes the smallest covering one. True
    /// otherwise.
    bool plan();
    /// False when the last plan() found a fixed zoom too small.
    bool feasible() const;
    /// Why the last plan() failed; empty after a plan that worked.
    const std::string& message() const;
    /// Pass two: writes frame `index` (0-based, as added) corrected into
    /// `dst` as the live stabiliser writes its output (type, border, constant
    /// offsets, enable) with the zoom and, with a readout, the correction
    /// within the frame in the same warp. False when `index` is
    /// out of range or plan() was not called since the last add() (`dst`
    /// untouched), or when the frame cannot be moved (`dst` a plain copy).
    bool apply(int index, const video::Frame& src, video::Frame& dst) const;

    /// The camera path measured so far.
    const CameraPath& path() const;
    /// One per frame after plan(), each with the zoom.
    const std::vector<Correction>& corrections() const;
    /// The zoom about the centre, MIN_ZOOM .. MAX_ZOOM, after plan().
    double zoom() const;
    /// The readout corrected within each frame, frame intervals: the one
    /// set, or after plan() the one estimated from the clip when automatic.
    double readout() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
