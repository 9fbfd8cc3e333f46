#pragma once

#include <calmora/Calmora.h>
#include <calmora/StabiliserExport.h>

#include <cstdint>
#include <string>

namespace orl::calmora {

/// How frames are stabilised.
enum class StabiliserMode : int {
    LIVE = 0,       ///< CalmoraOpenCv: each frame out as it comes in
    LOOKAHEAD = 1,  ///< LookaheadStabiliser: a fixed latency, the path smoothed without lag
    OFFLINE = 2,    ///< OfflineStabiliser: two passes over a whole clip
};

/// "live", "lookahead" or "offline".
CALMORA_STABILISER_EXPORT const char* modeName(StabiliserMode mode);

/// How offline mode smooths each shot's camera path.
enum class PathSmoother : int {
    L1 = 0,        ///< PathPlanner: the L1-optimal path, the crop a constraint
    GAUSSIAN = 1,  ///< localLineSmooth with sigma `smoothingFrames`
};

/// Frames a lookahead stabiliser holds back: 1 .. 300, 15 by default (half
/// a second at 30 fps).
inline constexpr int MIN_LATENCY_FRAMES = 1;
inline constexpr int MAX_LATENCY_FRAMES = 300;
inline constexpr int DEFAULT_LATENCY_FRAMES = 15;
/// Sigma of the offline Gaussian path smoother, frames: 0.5 .. 1000, 15 by default.
inline constexpr double MIN_SMOOTHING_FRAMES = 0.5;
inline constexpr double MAX_SMOOTHING_FRAMES = 1000.0;
inline constexpr double DEFAULT_SMOOTHING_FRAMES = 15.0;
/// Zoom about the frame centre, as a factor: 1 .. 4.
inline constexpr double MIN_ZOOM = 1.0;
inline constexpr double MAX_ZOOM = 4.0;
/// Cut detection is on unless switched off: a hard cut of edited footage
/// measured as motion throws the next frames across the picture, while a
/// continuous shot is never taken for a cut.
inline constexpr bool DEFAULT_DETECT_CUTS = true;
/// The refinements (every raw format warped; camera motion and rotation
/// taken only from what explains the whole frame) are on for every mode
/// built from settings; a bare CalmoraOpenCv starts without them, as its
/// interface documents.
inline constexpr bool DEFAULT_REFINEMENTS = true;
/// The sensor's readout: the share of the frame interval from the exposure
/// of the top row to that of the bottom one, 0 .. 1; 0 is a global shutter
/// (no correction within the frame, the output exactly as without it).
inline constexpr double MIN_ROLLING_SHUTTER = 0.0;
inline constexpr double MAX_ROLLING_SHUTTER = 1.0;

/// The parameters a new CalmoraOpenCv starts with (see initialParams()).
CALMORA_STABILISER_EXPORT CalmoraParams initialParams();

/// Everything that decides how a mode stabilises: the mode itself, its
/// settings and the stabiliser parameters. Every mode class takes it through
/// configure(), which refuses what validate() refuses, so the three modes
/// accept and refuse the same values in the same words.
struct ModeSettings {
    StabiliserMode mode{StabiliserMode::LIVE};         ///< which stabiliser runs
    int latencyFrames{DEFAULT_LATENCY_FRAMES};         ///< lookahead: frames held back
    PathSmoother smoother{PathSmoother::L1};           ///< offline: how the path is smoothed
    double smoothingFrames{DEFAULT_SMOOTHING_FRAMES};  ///< offline: sigma of the Gaussian smoother
    double zoom{MIN_ZOOM};                             ///< fixed zoom factor, every mode
    bool zoomAuto{false};                              ///< offline: the smallest covering zoom
    bool detectCuts{DEFAULT_DETECT_CUTS};              ///< a hard cut starts a new path
    bool refinements{DEFAULT_REFINEMENTS};             ///< see DEFAULT_REFINEMENTS
    double rollingShutter{MIN_ROLLING_SHUTTER};        ///< readout, every mode; see MIN_ROLLING_SHUTTER
    bool rollingShutterAuto{false};                    ///< offline: the readout estimated from the clip
    CalmoraParams params{initialParams()};             ///< the stabiliser parameters
};

/// Empty when `settings` is usable by its mode; otherwise one line naming
/// the first setting refused, as "<name>: <value> is outside <range>" (the
/// hyphenated names of the parameter table), or why the mode cannot take it
/// (an automatic zoom or readout outside offline mode, a readout with the
/// Fourier type, which tracks no corners). Parameters are tested against
/// the ranges setParam accepts; the stored-only ones need a finite value.
CALMORA_STABILISER_EXPORT std::string validate(const ModeSettings& settings);

/// Empty when frames of the pixel format `fourcc` take the readout of
/// `settings` (none set, or a format the warp moves row by row); otherwise
/// one line saying why not: the chroma-subsampled formats are warped, their
/// rows shifted, only with the refinements on, and compressed formats never.
CALMORA_STABILISER_EXPORT std::string refusedReadout(const ModeSettings& settings,
                                                     uint32_t fourcc);

}  // namespace orl::calmora
