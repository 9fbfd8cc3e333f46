#pragma once

#include "MotionMeter.h"

#include <calmora/CalmoraOpenCv.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace calmora_cli {

/// How the frames are stabilised.
enum class Mode {
    LIVE,       ///< CalmoraOpenCv, one frame in, the same frame out
    LOOKAHEAD,  ///< LookaheadStabiliser: a fixed latency, the path smoothed without lag
    OFFLINE,    ///< OfflineStabiliser: two reads of a file, each shot smoothed as a whole
};

/// "live", "lookahead" or "offline".
const char* modeName(Mode mode);

/// What one stabilisation run reads and writes.
struct RunOptions {
    std::string input;             ///< video file, stream address or camera number
    std::string output;            ///< stabilised video
    std::string sideBySide;        ///< optional: source above result, as the demo shows it
    std::string codec;             ///< four characters; empty: chosen from the output's extension
    Mode mode{Mode::LIVE};         ///< how the frames are stabilised
    int latencyFrames{15};         ///< lookahead: frames held back
    double smoothingFrames{15.0};  ///< offline: sigma of the path smoother, frames
    bool cutDetection{true};       ///< start a new path at shot cuts
    double zoomPercent{0.0};       ///< fixed zoom about the centre, per cent beyond 100; 0: none
    bool zoomAuto{false};          ///< offline: the smallest zoom that leaves no pixel uncovered
    long long maxFrames{0};        ///< stop after this many input frames; 0: at the input's end
};

/// One frame of a run.
struct FrameResult {
    double offsetX{0.0};        ///< applied horizontal offset, pixels
    double offsetY{0.0};        ///< applied vertical offset, pixels
    double offsetA{0.0};        ///< applied rotation, radians
    double stabiliseMs{0.0};    ///< time spent in the stabiliser for this frame
    GlobalMotion inputMotion;   ///< measured motion of the input against the previous frame
    GlobalMotion outputMotion;  ///< the same for the output
    bool cut{false};            ///< the frame starts a new shot
};

/// Progress of a run, reported after every frame written.
struct Progress {
    long long done{0};
    double seconds{0.0};  ///< since the run started
};

/// Outcome of a run.
struct RunResult {
    enum Status { DONE = 0, FAILED = 1, INTERRUPTED = 130 };
    Status status{FAILED};
    std::string error;                  ///< why it failed
    std::vector<std::string> warnings;  ///< e.g. an input that ended early
    std::vector<FrameResult> frames;
    int width{0};
    int height{0};
    double fps{0.0};
    double seconds{0.0};    ///< whole run, wall clock
    std::vector<int> cuts;  ///< frames that start a new shot
    double zoom{1.0};       ///< zoom applied to every frame
};

/// Whether the video-source library takes `input` as a camera or a
/// network stream (by its own reading of the text), which can be read only
/// once and may pause; everything else is read as a file.
bool isLiveInput(const std::string& input);

/// The four characters of the codec for `output`: `requested` when given,
/// otherwise MJPG for .avi, mp4v for .mp4/.mov/.m4v, MJPG for the rest.
std::string codecFor(const std::string& output, const std::string& requested);

/// Reads every frame of the input through the video-source library,
/// stabilises it in `options.mode` with the parameters of `stabiliser` and
/// writes it; the output holds one frame per input frame, in order.
/// Decoding, stabilising and encoding run on three threads joined by short
/// queues. Setting `stop` ends the run early with the output closed
/// properly (status INTERRUPTED). Offline mode reads the input twice.
RunResult runStabilisation(orl::calmora::CalmoraOpenCv& stabiliser, const RunOptions& options,
                           const std::atomic<bool>& stop,
                           const std::function<void(const Progress&)>& onProgress);

}  // namespace calmora_cli
