#pragma once

#include <calmora/Calmora.h>
#include <calmora/CameraPath.h>
#include <calmora/ModeSettings.h>
#include <calmora/StabiliserExport.h>

#include <memory>

namespace orl::calmora {

/// Two-pass stabilisation of a whole clip. Pass one: add() every frame in
/// order; the camera path is measured (no picture is moved) and cut into
/// shots where the cut detector finds cuts or the frame geometry changes.
/// plan() smooths each shot's path without lag, holds each correction
/// within the offset limits and, when asked, finds the smallest zoom that
/// leaves no pixel uncovered. Pass two: apply() each frame with its index.
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
    /// refinements and parameters of `settings`, read as offline settings; from the next
    /// add() and plan() on. False, changing nothing and with `error` (when
    /// given) set to validate()'s message, for settings offline mode refuses.
    bool configure(const ModeSettings& settings, std::string* error = nullptr);

    /// Pass one: measures `frame` (only read) against the previous one. A
    /// frame added after plan() needs a new plan().
    void add(const video::Frame& frame);
    /// Ends pass one; corrections and zoom are known afterwards.
    void plan();
    /// Pass two: writes frame `index` (0-based, as added) corrected into
    /// `dst` as the live stabiliser writes its output (type, border, constant
    /// offsets, enable) with the zoom in the same warp. False when `index` is
    /// out of range or plan() was not called since the last add() (`dst`
    /// untouched), or when the frame cannot be moved (`dst` a plain copy).
    bool apply(int index, const video::Frame& src, video::Frame& dst) const;

    /// The camera path measured so far.
    const CameraPath& path() const;
    /// One per frame after plan(), each with the zoom.
    const std::vector<Correction>& corrections() const;
    /// The zoom about the centre, MIN_ZOOM .. MAX_ZOOM, after plan().
    double zoom() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
