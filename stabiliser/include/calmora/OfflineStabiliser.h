#pragma once

#include <calmora/Calmora.h>
#include <calmora/CameraPath.h>

#include <memory>

namespace orl::calmora {

/// Two-pass stabilisation of a whole clip. Pass one: add() every frame in
/// order; the camera path is measured (no picture is moved) and cut into
/// shots where the cut detector finds cuts or the frame geometry changes.
/// plan() smooths each shot's path without lag, holds each correction
/// within the offset limits and, when asked, finds the smallest zoom that
/// leaves no pixel uncovered. Pass two: apply() each frame with its index.
/// Not thread-safe: one thread.
class OfflineStabiliser {
  public:
    struct Settings {
        double smoothingFrames{15.0};  ///< sigma of the path smoother, frames
        bool detectCuts{true};         ///< start a new shot at every cut found
        bool autoZoom{false};          ///< plan() picks the zoom
        double zoom{1.0};              ///< fixed zoom when autoZoom is false, 1 .. 4
    };

    /// A stabiliser for one clip with `params` (as CalmoraOpenCv::init:
    /// type, scale factor and offset limits for measuring and limiting,
    /// transparent border and constant offsets for writing; sanitised) and
    /// the default settings.
    explicit OfflineStabiliser(const CalmoraParams& params = CalmoraParams{});
    /// The same with `settings`.
    OfflineStabiliser(const CalmoraParams& params, const Settings& settings);
    ~OfflineStabiliser();

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
    /// The zoom about the centre, 1 .. 4, after plan().
    double zoom() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
