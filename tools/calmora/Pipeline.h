#pragma once

#include "MotionMeter.h"

#include <calmora/Calmora.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace calmora_cli {

/// What one stabilisation run reads and writes.
struct RunOptions {
    std::string input;             ///< video file, stream address or camera number
    std::string output;            ///< stabilised video
    std::string sideBySide;        ///< optional: source above result, as the demo shows it
    std::string codec;             ///< four characters; empty: chosen from the output's extension
    bool twoPass{false};           ///< measure the whole path first, then smooth it without lag
    double smoothingFrames{15.0};  ///< two-pass: sigma of the Gaussian path average, frames
    bool cutDetection{true};       ///< restart the path at shot cuts
    double zoomPercent{0.0};       ///< fixed zoom about the centre, per cent beyond 100; 0: none
    bool zoomAuto{false};          ///< two-pass: the smallest zoom that leaves no pixel uncovered
};

/// One frame of a run.
struct FrameResult {
    double offsetX{0.0};        ///< applied horizontal offset, pixels
    double offsetY{0.0};        ///< applied vertical offset, pixels
    double offsetA{0.0};        ///< applied rotation, radians
    double stabiliseMs{0.0};    ///< time spent in stabilise
    GlobalMotion inputMotion;   ///< measured motion of the input against the previous frame
    GlobalMotion outputMotion;  ///< the same for the output
    bool cut{false};            ///< the frame starts a new shot
};

/// Progress of a run, reported after every frame.
struct Progress {
    long long done{0};
    long long total{0};   ///< 0 when the input does not say
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

/// The four characters of the codec for `output`: `requested` when given,
/// otherwise MJPG for .avi, mp4v for .mp4/.mov/.m4v, MJPG for the rest.
std::string codecFor(const std::string& output, const std::string& requested);

/// Reads every frame of the input, stabilises it with `stabiliser` and
/// writes it. Decoding, stabilising and encoding run on three threads
/// joined by short queues; the frame order is kept. Setting `stop` ends the
/// run early with the output closed properly (status INTERRUPTED).
/// Live mode sends RESET to the stabiliser at every shot cut. Two-pass mode
/// reads the input twice: first to measure the camera path with the
/// stabiliser's estimators, then to write every frame corrected onto the
/// smoothed path with the stabiliser's compensation; it needs a file.
RunResult runStabilisation(orl::calmora::Calmora& stabiliser, const RunOptions& options,
                           const std::atomic<bool>& stop,
                           const std::function<void(const Progress&)>& onProgress);

}  // namespace calmora_cli
