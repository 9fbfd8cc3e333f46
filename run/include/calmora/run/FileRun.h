#pragma once

#include <calmora/ModeSettings.h>
#include <calmora/RunExport.h>
#include <calmora/run/MotionMeter.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace orl::calmora::run {

/// What one stabilisation run reads and writes, and how it stabilises.
struct RunOptions {
    std::string input;       ///< video file, stream address or camera number
    std::string output;      ///< stabilised video
    std::string sideBySide;  ///< optional: source above result, as the demo shows it
    std::string codec;       ///< four characters; empty: chosen from the output's extension
    ModeSettings settings;   ///< mode, latency, smoothing, zoom, cut detection, parameters
    long long maxFrames{0};  ///< stop after this many input frames; 0: at the input's end
    /// Files the caller writes about the run (a report, a plot; empty ones
    /// are skipped): runFile() does not write them, checkRun() holds them to
    /// the outputs' rules.
    std::vector<std::string> otherOutputs;
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

/// Progress of a run, reported after every frame read in offline mode's
/// first pass and after every frame written.
struct Progress {
    long long done{0};    ///< frames of this pass so far
    long long total{0};   ///< frames the input holds, as its container says; 0 when unknown
    int pass{1};          ///< 1, or 2 for offline mode's writing pass
    int passes{1};        ///< 2 in offline mode
    double seconds{0.0};  ///< since the run started
};

/// Outcome of a run.
struct RunResult {
    /// How the run ended; the command line exits with the same numbers.
    enum Status {
        DONE = 0,
        FAILED = 1,        ///< at run time: the input does not decode, an output cannot be written
        REFUSED = 2,       ///< before anything was opened: settings or paths that cannot work
        INTERRUPTED = 130  ///< `stop` was set; the output holds the frames done
    };
    Status status{FAILED};              ///< how the run ended
    std::string error;                  ///< why it failed or was refused
    std::vector<std::string> warnings;  ///< e.g. an interruption
    std::vector<FrameResult> frames;    ///< one per frame written, in order
    int width{0};                       ///< frame width, pixels
    int height{0};                      ///< frame height, pixels
    double fps{0.0};                    ///< the input's frame rate, 30 when it gives none
    double seconds{0.0};    ///< whole run, wall clock
    std::vector<int> cuts;  ///< frames that start a new shot
    double zoom{1.0};       ///< zoom applied to every frame
    /// The rolling shutter's readout corrected within every frame, frame
    /// intervals: as set, or (offline, automatic) as estimated from the clip.
    double readout{0.0};
};

/// What is wrong with a run's paths and settings before anything is opened.
struct Refusal {
    RunResult::Status status{RunResult::DONE};  ///< DONE when fine, else REFUSED or FAILED
    std::string message;                        ///< one line naming the path or setting
};

/// Whether the video-source library takes `input` as a camera or a network
/// stream (by its own reading of the text), which can be read only once and
/// may pause; everything else is read as a file.
CALMORA_RUN_EXPORT bool isLiveInput(const std::string& input);

/// The four characters of the codec for `output`: `requested` when given,
/// otherwise MJPG for .avi, mp4v for .mp4/.mov/.m4v, MJPG for the rest.
CALMORA_RUN_EXPORT std::string codecFor(const std::string& output, const std::string& requested);

/// Checks a run before anything is opened, in this order:
/// - the settings (validate(), in the mode they name), a codec of four
///   characters, offline mode on a file (it reads the input twice): REFUSED;
/// - a file input that exists and is not a folder: FAILED;
/// - the output and the side-by-side file (and the other outputs) each
///   differ from the input and from each other, also through links, "./"
///   and other spellings of one file: REFUSED; each output's folder exists:
///   FAILED.
CALMORA_RUN_EXPORT Refusal checkRun(const RunOptions& options);

/// Reads every frame of the input through the video-source library,
/// stabilises it in the mode of `options.settings` and writes it; the output
/// holds one frame per input frame, in order. checkRun() comes first: a run
/// it refuses opens nothing and writes nothing. Decoding, stabilising and
/// encoding run on three threads joined by short queues. Setting `stop` ends
/// the run early with the output closed properly (status INTERRUPTED).
/// Offline mode reads the input twice; a fixed zoom too small for the
/// shake (OfflineStabiliser::plan()) fails the run with the planner's
/// message before any frame is written, and leaves no output file.
/// `onProgress` is called on the caller's thread.
CALMORA_RUN_EXPORT RunResult runFile(const RunOptions& options, const std::atomic<bool>& stop,
                                     const std::function<void(const Progress&)>& onProgress);

}  // namespace orl::calmora::run
