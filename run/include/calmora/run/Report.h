#pragma once

#include <calmora/CameraPath.h>
#include <calmora/RunExport.h>
#include <calmora/run/FileRun.h>

#include <string>

namespace orl::calmora::run {

/// Figures of a whole run.
struct Summary {
    long long frames{0};            ///< frames written
    double meanMs{0.0};             ///< stabilise per frame, mean
    double p95Ms{0.0};              ///< stabilise per frame, 95th percentile
    double wholeMsPerFrame{0.0};    ///< the whole run (decode, stabilise, encode) per frame
    GlobalMotion meanAbsOffset;     ///< mean of |applied offset|
    GlobalMotion maxAbsOffset;      ///< largest |applied offset|
    double jitterBefore{0.0};       ///< high-frequency shake of the input path, pixels RMS
    double jitterAfter{0.0};        ///< the same for the output
    double jitterRatio{0.0};        ///< before / after (0 when after is 0)
    double angleJitterBefore{0.0};  ///< radians RMS
    double angleJitterAfter{0.0};   ///< the same for the output
    double pathError{0.0};  ///< output path against the input path smoothed without lag, px RMS
};

/// Frames of the centred average that separates shake from wanted motion.
inline constexpr double kJitterSigmaFrames = 5.0;
/// Frames of the centred average that gives the wanted path for the path
/// error.
inline constexpr double kWantedSigmaFrames = 15.0;

/// The measured camera path of the input (or, with `output`, of the output)
/// integrated from the per-frame motion, starting again at 0 at each cut, in
/// pixels and radians. The zoom, which scales every motion of the output, is
/// taken out, so a zoomed pan is the same path as the input's.
CALMORA_RUN_EXPORT CameraPath measuredPath(const RunResult& run, bool output);

/// The mode as the summary and the plot name it, with the lookahead's
/// latency ("lookahead, 15 frames latency").
CALMORA_RUN_EXPORT std::string modeText(const RunOptions& options);

/// Computes the summary of `run`. Shot cuts split the measured paths, so a
/// cut is not counted as shake.
CALMORA_RUN_EXPORT Summary summarise(const RunResult& run);

/// The per-frame offsets and times and the summary as a JSON document
/// (indented by two), the text writeReport writes.
CALMORA_RUN_EXPORT std::string reportJson(const RunOptions& options, const RunResult& run,
                                          const Summary& summary);

/// Writes the per-frame offsets and times and the summary as JSON.
CALMORA_RUN_EXPORT bool writeReport(const std::string& path, const RunOptions& options,
                                    const RunResult& run, const Summary& summary);

}  // namespace orl::calmora::run
