#pragma once

#include <calmora/Calmora.h>
#include <calmora/ModeSettings.h>
#include <calmora/MotionMeasurer.h>
#include <calmora/StabiliserExport.h>

#include <memory>
#include <mutex>
#include <string>

namespace orl::calmora {

/// The video stabiliser on OpenCV.
///
/// One thread calls stabilise(); any thread may call the other operations at
/// any time. The parameter record is guarded by one mutex that is held only
/// for copies; each frame works on a snapshot taken at its start, so a change
/// takes effect at the next frame.
///
/// Records handed to init() are stored as given (getParams() returns them
/// unchanged), but every frame works on a sanitised copy of its snapshot, so
/// no value can crash or poison the frame operation:
/// - scaleFactor below 1 is taken as 1;
/// - type below 0 is taken as 0 and above 2 as 2 (rotation compensated);
///   getParam(INSTANT_A_OFFSET) reports the rotation for types 2 and above;
/// - negative or NaN offset limits are taken as 0 (that axis is held still);
///   an infinite limit means no limit;
/// - filter coefficients are clamped to 0..1, NaN is taken as 0 (adaptive);
/// - a constant rotation that is not finite is taken as 0, and constant
///   shifts are clamped to +-1000000 pixels;
/// - offsets that are not finite after smoothing restart the smoothing
///   (offsets 0), so they never reach the warp.
/// setParam() refuses NaN and infinite values for every identifier.
///
/// Commands (RESET, and ON/OFF when they change `enable`) never touch the
/// processing state directly: they mark a reset that the next stabilise()
/// applies before it measures anything, so a reset never overlaps a running
/// frame. The offsets reported by getOffsets() and identifiers 13 to 15 read
/// 0 right after such a command.
///
/// Frames too small to measure (analysed image below 21 x 21 pixels, for
/// instance narrower than scaleFactor) give zero motion and leave the
/// analysed images and buffers as they were; they are still smoothed and
/// compensated. So do frames whose picture cannot be read: compressed or
/// unknown formats, and raw frames whose size is below their capacity.
class CALMORA_STABILISER_EXPORT CalmoraOpenCv : public Calmora {
  public:
    /// Library version, "4.0.1".
    static std::string getVersion();

    /// The parameters a new stabiliser starts with (initialParams()).
    static CalmoraParams initialParams();

    /// A stabiliser with its initial parameters (scaleFactor 1, limits 150,
    /// 150 and 0.2 rad, adaptive filters, enabled, transparent border,
    /// type 2, everything else 0) and a reset processing state.
    CalmoraOpenCv();
    /// Frees every image and buffer of the processing state.
    ~CalmoraOpenCv() override;

    /// Not copyable: the object owns its buffers and its mutex.
    CalmoraOpenCv(const CalmoraOpenCv&) = delete;
    /// Not copyable.
    CalmoraOpenCv& operator=(const CalmoraOpenCv&) = delete;

    /// Replaces the whole record, outputs included, without range checks
    /// and without a reset. Always true.
    bool init(const CalmoraParams& params) override;

    /// Sets one parameter (integer fields take the value truncated toward
    /// zero before the range test); false, changing nothing, for a value out
    /// of range or not finite, a read-only or an unknown identifier.
    bool setParam(int id, float value) override;

    /// One parameter; identifiers 13 to 15 give the unrounded applied
    /// offsets (15 only for type 2, else 0); -1.0 for an unknown identifier.
    float getParam(int id) override;

    /// A copy of the whole record, outputs as last published.
    CalmoraParams getParams() override;

    /// RESET, ON or OFF (see the class comment); false for any other id.
    bool executeCommand(int id) override;

    /// Stabilises `src` into `dst` (re-created with src's geometry when it
    /// differs). False, with nothing changed, for a frame without width,
    /// height, size or data. `src` and `dst` must be different frames; not
    /// re-entrant. Allocates only when a size changes.
    bool stabilise(const video::Frame& src, video::Frame& dst) override;

    /// The unrounded offsets applied to the last frame (pixels, pixels,
    /// radians), the rotation for every type.
    void getOffsets(float& offsetX, float& offsetY, float& offsetA) override;

    /// The motion measured for the last frame against the one before, with
    /// its evidence (confidence, residual), as a cut test wants it: measured
    /// false while disabled, for the first frame after a reset and for
    /// frames that could not be measured; all zero right after a command
    /// that resets. Any thread.
    Measurement lastMeasurement();

    /// A zoom about the frame centre, 1 .. 4, applied in the same warp as the
    /// correction from the next frame on; false, changing nothing, otherwise
    /// (NaN too). The chroma-subsampled formats ignore it unless the
    /// refinements are on (setRefinements). Any thread.
    bool setZoom(double zoom);
    /// The zoom last set, 1 at first.
    double getZoom();

    /// Takes the parameters (as init), the zoom, the cut detection, the
    /// refinements and the readout (rollingShutter: the rows corrected
    /// within each frame from the frames before it, a share of what
    /// lookahead mode corrects) of `settings`, read as live-mode settings. False, changing nothing and
    /// with `error` (when given) set to validate()'s message, for settings
    /// the live mode refuses. Any thread; applies from the next frame.
    bool configure(const ModeSettings& settings, std::string* error = nullptr);

    /// With `on`, every frame is tested for a hard cut of edited footage
    /// (CutDetector, on the measurement the frame makes anyway); a frame
    /// found to be one is stabilised again from a fresh path, as after
    /// RESET, so it is not moved by a motion that never happened. Off for a
    /// new stabiliser. Any thread; applies from the next frame.
    void setCutDetection(bool on);
    /// Whether cut detection is on.
    bool getCutDetection();
    /// True when the last frame was found to start a new shot.
    bool lastWasCut();

    /// With `on`: type 2 warps every raw format (the chroma-subsampled ones
    /// too, rotation and zoom included), and motion or rotation explained by
    /// a part of the picture only is not taken for camera motion. Off for a
    /// new stabiliser, which keeps the behaviour described above. Any
    /// thread; applies from the next frame.
    void setRefinements(bool on);
    /// Whether the refinements are on.
    bool getRefinements();
    /// The readout last configured (ModeSettings::rollingShutter), frame
    /// intervals, 0 at first.
    double getRollingShutter();

  private:
    struct Pipeline;  // processing state: touched only inside stabilise()

    std::unique_ptr<Pipeline> pipeline_;
    std::mutex paramsMutex_;  // guards everything below
    CalmoraParams params_;
    double publishedX_{0.0};  // unrounded applied offsets, pixels
    double publishedY_{0.0};
    double publishedA_{0.0};  // radians
    bool resetPending_{false};
    double zoom_{1.0};
    bool detectCuts_{false};
    bool refinements_{false};
    double readout_{0.0};  // rolling shutter, frame intervals
    bool publishedCut_{false};
    Measurement publishedMeasurement_;
};

}  // namespace orl::calmora
