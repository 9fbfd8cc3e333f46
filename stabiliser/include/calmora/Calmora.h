#pragma once

#include <calmora/Frame.h>
#include <calmora/StabiliserExport.h>

namespace orl::calmora {

/// The stabiliser's parameter record. Fields 13, 14, 15 and 19 are outputs
/// that the stabiliser fills after every frame.
struct CalmoraParams {
    int scaleFactor{1};            ///< analysed-image divisor (type 1, 2); 512/256 choice (type 0)
    int xOffsetLimit{150};         ///< largest accepted horizontal motion per frame, pixels
    int yOffsetLimit{150};         ///< largest accepted vertical motion per frame, pixels
    float aOffsetLimit{10.0f};     ///< largest accepted rotation per frame, radians
    float xFilterCoeff{0.9f};      ///< horizontal path smoothing 0..1; 0 = adaptive
    float yFilterCoeff{0.9f};      ///< vertical path smoothing 0..1; 0 = adaptive
    float aFilterCoeff{0.9f};      ///< rotation path smoothing 0..1; 0 = adaptive
    bool enable{true};             ///< false: frames pass through unchanged
    bool transparentBorder{true};  ///< true: uncovered pixels keep the previous output
    int constXOffset{0};           ///< constant horizontal shift, pixels
    int constYOffset{0};           ///< constant vertical shift, pixels
    float constAOffset{0.0f};      ///< constant rotation about the centre, radians
    int instantXOffset{0};         ///< output: applied horizontal offset, truncated
    int instantYOffset{0};         ///< output: applied vertical offset, truncated
    float instantAOffset{0.0f};    ///< output: applied rotation, radians
    int type{2};                   ///< 0 FFT shift, 1 optical-flow shift, 2 shift and rotation
    float cutFrequencyHz{2.0f};    ///< stored and reported only
    float fps{30.0f};              ///< stored and reported only
    int processingTimeMks{0};      ///< output: duration of the last frame, microseconds
    int logMod{0};                 ///< stored and reported only
};

/// Parameter identifiers for setParam / getParam.
enum CalmoraParam : int {
    SCALE_FACTOR = 1,
    X_OFFSET_LIMIT = 2,
    Y_OFFSET_LIMIT = 3,
    A_OFFSET_LIMIT = 4,
    X_FILTER_COEFF = 5,
    Y_FILTER_COEFF = 6,
    A_FILTER_COEFF = 7,
    ENABLE = 8,
    TRANSPARENT_BORDER = 9,
    CONST_X_OFFSET = 10,
    CONST_Y_OFFSET = 11,
    CONST_A_OFFSET = 12,
    INSTANT_X_OFFSET = 13,
    INSTANT_Y_OFFSET = 14,
    INSTANT_A_OFFSET = 15,
    TYPE = 16,
    CUT_FREQUENCY_HZ = 17,
    FPS = 18,
    PROCESSING_TIME_MKS = 19,
    LOG_MOD = 20,
};

/// Commands for executeCommand.
enum CalmoraCommand : int {
    RESET = 1,  ///< restart motion history, camera path and offsets from zero
    ON = 2,     ///< enable; resets first when it was disabled
    OFF = 3,    ///< disable; resets first when it was enabled
};

/// A video stabiliser. One thread calls stabilise(); any thread may call
/// the other operations at any time.
class CALMORA_STABILISER_EXPORT Calmora {
  public:
    /// Replaces the whole parameter record (outputs included). Always true.
    virtual bool init(const CalmoraParams& params) = 0;

    /// Sets one parameter; false for a value out of range, a read-only or
    /// unknown identifier, and nothing changes then.
    virtual bool setParam(int id, float value) = 0;

    /// One parameter's value; -1.0 for an unknown identifier.
    virtual float getParam(int id) = 0;

    /// A copy of the whole record, outputs included.
    virtual CalmoraParams getParams() = 0;

    /// RESET, ON or OFF; false for any other id.
    virtual bool executeCommand(int id) = 0;

    /// Writes the stabilised picture of `src` into `dst` (re-created with
    /// src's geometry when it differs). False, with nothing changed, for an
    /// empty `src`. `src` and `dst` must be different frames.
    virtual bool stabilise(const video::Frame& src, video::Frame& dst) = 0;

    /// The unrounded offsets applied to the last frame: pixels, pixels,
    /// radians.
    virtual void getOffsets(float& offsetX, float& offsetY, float& offsetA) = 0;

    // Declared after the seven operations so that they keep their slots.
    virtual ~Calmora() = default;
};

}  // namespace orl::calmora
