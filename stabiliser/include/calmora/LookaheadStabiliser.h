#pragma once

#include <calmora/Calmora.h>
#include <calmora/Correction.h>
#include <calmora/ModeSettings.h>
#include <calmora/StabiliserExport.h>

#include <memory>

namespace orl::calmora {

/// Stabilisation with a fixed latency of N frames: each frame is measured
/// as it arrives; the frame from N calls ago is written out, moved onto the
/// camera path smoothed over the frames before it and the N after it (the
/// local-line smoother over a sliding window), so a pan is followed without
/// lag. Takes the pixel formats and parameters of CalmoraOpenCv (type,
/// offset limits, scale factor, border, constant offsets, enable; the filter
/// coefficients are not used): the frames are measured and written as the
/// live class does, and each correction (smoothed minus measured path) is
/// held within the offset limits. Keeps its own copies of the N frames and
/// allocates nothing per frame once full, apart from what the measurement
/// and the warp use inside. Not thread-safe: one thread.
class CALMORA_STABILISER_EXPORT LookaheadStabiliser {
  public:
    /// `latencyFrames` N, MIN_LATENCY_FRAMES .. MAX_LATENCY_FRAMES (a value
    /// outside is taken to the nearer end: configure() refuses it instead),
    /// with CalmoraOpenCv's initial parameters and no cut detection.
    explicit LookaheadStabiliser(int latencyFrames = DEFAULT_LATENCY_FRAMES);
    ~LookaheadStabiliser();
    LookaheadStabiliser(const LookaheadStabiliser&) = delete;
    LookaheadStabiliser& operator=(const LookaheadStabiliser&) = delete;

    /// Replaces the parameters (as CalmoraOpenCv::init; sanitised per frame).
    /// They take effect at the next frame measured and written; a new
    /// stabiliser starts with CalmoraOpenCv's initial parameters. Always true.
    bool init(const CalmoraParams& params);

    /// Takes the latency, zoom, cut detection, refinements, readout
    /// (rollingShutter) and parameters of `settings`, read as lookahead
    /// settings. A new latency drops the held frames and
    /// starts again. False, changing nothing and with `error` (when given)
    /// set to validate()'s message, for settings lookahead mode refuses.
    bool configure(const ModeSettings& settings, std::string* error = nullptr);
    /// The parameters as last given.
    CalmoraParams getParams() const;
    /// A fixed zoom about the frame centre applied to every output frame in
    /// the same warp, 1 .. 4; false, changing nothing, otherwise.
    bool setZoom(double zoom);
    /// The latency N, frames.
    int latency() const;

    /// Takes `src` (copied) and, once N frames are held, writes the frame
    /// of N calls ago stabilised into `dst` and returns true; false while it
    /// fills, and for an empty `src` (nothing taken). A frame of another
    /// size or format than the one before starts a new shot, as cut() does.
    /// With `enable` false the frames come out unchanged, N calls late.
    bool stabilise(const video::Frame& src, video::Frame& dst);

    /// At the end of a stream: writes the oldest held frame into `dst` and
    /// returns true, until none is left.
    bool drain(video::Frame& dst);

    /// The correction applied to the last frame written: smoothed minus
    /// measured path, limited, with the zoom (pixels, radians); the
    /// constant offsets come on top. Zero, zoom 1, when not enabled.
    Correction lastCorrection() const;

    /// Starts a new shot: the held frames stay and are still written, but
    /// the path of what comes next is smoothed on its own. Call it at a cut.
    void cut();

    /// With `on`, each frame taken is tested for a hard cut of edited
    /// footage (CutDetector, on the measurement made for the path anyway),
    /// and a frame found to be one starts a new shot as after cut(). Off
    /// for a new stabiliser.
    void setCutDetection(bool on);

    /// True when the frame last taken by stabilise() was found to start a
    /// new shot by the cut detection.
    bool lastWasCut() const;

    /// The refinements of CalmoraOpenCv::setRefinements; on for a new
    /// lookahead stabiliser.
    void setRefinements(bool on);

    /// Drops every held frame and starts again.
    void reset();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace orl::calmora
