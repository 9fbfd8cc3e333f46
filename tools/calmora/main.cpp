// calmora: the command-line stabiliser.
// - `calmora stabilise INPUT OUTPUT [options]` reads a video (file, stream
//   address or camera number, as the video-source library reads the text),
//   stabilises every frame in one of three modes (live, lookahead, offline)
//   and writes the result.
// - Every stabiliser parameter is an option named after its configuration
//   key (--x-filter-coeff), or --set key=value; values go through the
//   stabiliser's own checks.
// - Exit status: 0 done, 1 failed at run time, 2 wrong usage, 130 Ctrl-C.

#include "Pipeline.h"
#include "Report.h"
#include "SampleClip.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/ParameterKeys.h>

#include <CLI/CLI.hpp>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>

namespace fs = std::filesystem;
using namespace calmora_cli;
using orl::calmora::applyParameters;
using orl::calmora::ParameterKey;
using orl::calmora::parameterKeys;

namespace {

constexpr int kUsage = 2;
constexpr int kFailed = 1;

std::atomic<bool> interrupted{false};

extern "C" void onSigint(int) {
    interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends at once
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// Checks that do not need the video: 0 when fine, else the exit status.
int checkPaths(const RunOptions& options) {
    if (!isLiveInput(options.input)) {
        std::error_code ec;
        if (!fs::exists(options.input, ec)) {
            std::cerr << "calmora: input not found: " << options.input << '\n';
            return kFailed;
        }
        if (fs::is_directory(options.input, ec)) {
            std::cerr << "calmora: input is a folder, not a video: " << options.input << '\n';
            return kFailed;
        }
    }
    for (const std::string* out : {&options.output, &options.sideBySide}) {
        if (out->empty()) {
            continue;
        }
        if (samePath(*out, options.input)) {
            std::cerr << "calmora: refusing to write " << *out << " over the input\n";
            return kUsage;
        }
        const fs::path folder = fs::path(*out).parent_path();
        std::error_code ec;
        if (!folder.empty() && !fs::is_directory(folder, ec)) {
            std::cerr << "calmora: output folder does not exist: " << folder.string() << '\n';
            return kFailed;
        }
    }
    if (!options.sideBySide.empty() && samePath(options.sideBySide, options.output)) {
        std::cerr << "calmora: --side-by-side must differ from OUTPUT\n";
        return kUsage;
    }
    return 0;
}

std::string clock(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// One updating line on a terminal, a plain line every few seconds otherwise.
class ProgressPrinter {
  public:
    explicit ProgressPrinter(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1) {}

    void operator()(const Progress& p) {
        if (quiet_) {
            return;
        }
        const double every = terminal_ ? 0.1 : 5.0;
        if (p.seconds - lastPrint_ < every) {
            return;
        }
        lastPrint_ = p.seconds;
        const double fps = p.seconds > 0.0 ? static_cast<double>(p.done) / p.seconds : 0.0;
        char line[160];
        std::snprintf(line, sizeof line, "%lld frames  %.1f fps  %s", p.done, fps,
                      clock(p.seconds).c_str());
        if (terminal_) {
            std::fprintf(stderr, "\r%s\x1b[K", line);
            printedLine_ = true;
        } else {
            std::fprintf(stderr, "calmora: %s\n", line);
        }
    }

    void finish() {
        if (printedLine_) {
            std::fputc('\n', stderr);
        }
    }

  private:
    bool quiet_;
    bool terminal_;
    bool printedLine_{false};
    double lastPrint_{-1e9};
};

}  // namespace

int main(int argc, char** argv) {
    const std::string version = orl::calmora::CalmoraOpenCv::getVersion();
    CLI::App app{"Calmora video stabiliser " + version, "calmora"};
    app.set_version_flag("--version", "calmora " + version);
    app.require_subcommand(1);

    CLI::App* stabilise = app.add_subcommand("stabilise", "Stabilise a video");
    stabilise->alias("stabilize");
    RunOptions options;
    std::string reportPath, plotPath;
    bool quiet = false;
    std::vector<std::string> sets;
    stabilise->add_option("INPUT", options.input, "Video file, stream address or camera number")
        ->required();
    stabilise->add_option("OUTPUT", options.output, "Stabilised video to write")->required();
    stabilise->add_option("--side-by-side", options.sideBySide,
                          "Also write the source above the result to this file");
    stabilise->add_option("--report", reportPath, "Write per-frame offsets and a summary (JSON)");
    stabilise->add_option("--plot", plotPath, "Draw the camera path before and after (PNG)");
    stabilise->add_option("--codec", options.codec,
                          "Four-character codec (default MJPG; mp4v for .mp4/.mov)");
    stabilise->add_flag("--quiet,-q", quiet, "Print nothing but errors");
    std::string mode = "live", zoom;
    bool twoPass = false, noCuts = false;
    stabilise
        ->add_option("--mode", mode,
                     "live (one pass, as the library runs), lookahead (a fixed latency) or "
                     "offline (two passes over a file)")
        ->check(CLI::IsMember({"live", "lookahead", "offline"}));
    stabilise->add_flag("--two-pass", twoPass, "The same as --mode offline");
    stabilise
        ->add_option("--latency", options.latencyFrames,
                     "Lookahead: frames held back to smooth the path without lag (default 15)")
        ->check(CLI::Range(1, 300));
    stabilise
        ->add_option("--smoothing", options.smoothingFrames,
                     "Offline: sigma of the path smoother, frames (default 15)")
        ->check(CLI::Range(0.5, 1000.0));
    stabilise
        ->add_option("--frames", options.maxFrames,
                     "Stop after this many input frames (a camera or stream never ends)")
        ->check(CLI::Range(1LL, 1000000000LL));
    stabilise->add_flag("--no-cut-detection", noCuts, "Do not restart the path at shot cuts");
    stabilise->add_option(
        "--zoom", zoom,
        "Zoom about the centre to hide the border: PERCENT beyond 100 (every mode) "
        "or auto (offline: the smallest zoom that leaves no pixel uncovered)");

    std::map<std::string, std::string> byOption;
    for (const ParameterKey& key : parameterKeys()) {
        stabilise
            ->add_option(std::string("--") + key.option, byOption[key.option],
                         std::string(key.meaning) + " [" + key.range + "]")
            ->group("Stabiliser parameters");
    }
    stabilise
        ->add_option("--set", sets, "Any parameter by configuration key: --set xFilterCoeff=0.5")
        ->group("Stabiliser parameters");

    CLI::App* sample = app.add_subcommand("sample", "Write a shaky sample clip with a known path");
    std::string samplePath, photoPath;
    SampleSettings clipSettings;
    sample->add_option("OUTPUT", samplePath, "Clip to write (.avi, MJPG)")->required();
    sample->add_option("--photo", photoPath, "Scene photograph; a drawn scene when not given");
    sample->add_option("--frames", clipSettings.frames, "Number of frames")
        ->check(CLI::Range(2, 100000));
    sample->add_option("--width", clipSettings.width, "Frame width")->check(CLI::Range(32, 7680));
    sample->add_option("--height", clipSettings.height, "Frame height")
        ->check(CLI::Range(32, 4320));
    sample->add_option("--pan", clipSettings.panPixels, "Wanted pan over the clip, pixels")
        ->check(CLI::Range(0.0, 10000.0));
    sample->add_option("--shake", clipSettings.shakePixels, "Shake amplitude, pixels")
        ->check(CLI::Range(0.0, 200.0));
    sample->add_option("--seed", clipSettings.seed, "Random seed of the shake");
    sample->add_option("--cut-at", clipSettings.cutAtFrame, "Cut to another scene at this frame")
        ->check(CLI::Range(1, 100000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "calmora: " << e.what()
                  << "\nRun 'calmora stabilise --help' for the options.\n";
        return kUsage;
    }

    if (sample->parsed()) {
        cv::Mat photo;
        if (!photoPath.empty()) {
            photo = cv::imread(photoPath, cv::IMREAD_COLOR);
            if (photo.empty()) {
                std::cerr << "calmora: cannot read the photograph " << photoPath << '\n';
                return kFailed;
            }
        }
        const cv::Mat scene = sampleScene(photo, clipSettings);
        const cv::Mat second = clipSettings.cutAtFrame > 0 ? secondScene(clipSettings) : cv::Mat();
        if (!writeSampleClip(samplePath, scene, clipSettings, second)) {
            std::cerr << "calmora: cannot write " << samplePath << '\n';
            return kFailed;
        }
        return 0;
    }

    // stabiliser parameters: named options in record order, then --set in order
    std::vector<std::pair<std::string, std::string>> settings;
    for (const ParameterKey& key : parameterKeys()) {
        if (stabilise->count(std::string("--") + key.option) > 0) {
            settings.emplace_back(key.key, byOption[key.option]);
        }
    }
    for (const std::string& set : sets) {
        const size_t eq = set.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::cerr << "calmora: --set takes key=value, not '" << set << "'\n";
            return kUsage;
        }
        settings.emplace_back(set.substr(0, eq), set.substr(eq + 1));
    }
    options.mode = twoPass || mode == "offline" ? Mode::OFFLINE
                   : mode == "lookahead"        ? Mode::LOOKAHEAD
                                                : Mode::LIVE;
    options.cutDetection = !noCuts;
    if (zoom == "auto") {
        if (options.mode != Mode::OFFLINE) {
            std::cerr << "calmora: --zoom auto needs the whole path: add --mode offline\n";
            return kUsage;
        }
        options.zoomAuto = true;
    } else if (!zoom.empty()) {
        char* end = nullptr;
        options.zoomPercent = std::strtod(zoom.c_str(), &end);
        if (end == zoom.c_str() || *end != '\0' ||
            !(options.zoomPercent >= 0.0 && options.zoomPercent <= 100.0)) {
            std::cerr << "calmora: --zoom takes auto or a per cent from 0 to 100, not '" << zoom
                      << "'\n";
            return kUsage;
        }
    }
    if (options.mode == Mode::OFFLINE && isLiveInput(options.input)) {
        std::cerr << "calmora: offline mode reads the input twice and needs a file, not the "
                     "camera or stream "
                  << options.input << "; try --mode lookahead\n";
        return kUsage;
    }

    orl::calmora::CalmoraOpenCv stabiliser;
    std::string error;
    if (!applyParameters(stabiliser, settings, error)) {
        std::cerr << "calmora: " << error << '\n';
        return kUsage;
    }
    if (const int status = checkPaths(options); status != 0) {
        return status;
    }

    std::signal(SIGINT, onSigint);
    ProgressPrinter printer(quiet);
    const RunResult run =
        runStabilisation(stabiliser, options, interrupted, [&](const Progress& p) { printer(p); });
    printer.finish();
    if (run.status == RunResult::FAILED) {
        std::cerr << "calmora: " << run.error << '\n';
        return kFailed;
    }
    for (const std::string& warning : run.warnings) {
        std::cerr << "calmora: warning: " << warning << '\n';
    }

    const Summary summary = summarise(run);
    int status = run.status == RunResult::INTERRUPTED ? 130 : 0;
    if (!reportPath.empty() && !writeReport(reportPath, options, run, summary)) {
        std::cerr << "calmora: cannot write the report " << reportPath << '\n';
        status = status == 0 ? kFailed : status;
    }
    if (!plotPath.empty() && !writePlot(plotPath, run, summary, options)) {
        std::cerr << "calmora: cannot write the plot " << plotPath << '\n';
        status = status == 0 ? kFailed : status;
    }
    if (!quiet) {
        std::printf("calmora: %lld frames of %dx%d at %.2f fps -> %s\n", summary.frames, run.width,
                    run.height, run.fps, options.output.c_str());
        std::printf("  mode        %s, %zu cut(s), zoom %.1f%%\n", modeText(options).c_str(),
                    run.cuts.size(), 100.0 * run.zoom);
        std::printf("  stabiliser  %.2f ms/frame mean, %.2f ms 95th percentile\n", summary.meanMs,
                    summary.p95Ms);
        std::printf("  whole run   %.2f ms/frame (%.1f frames per second)\n",
                    summary.wholeMsPerFrame,
                    summary.wholeMsPerFrame > 0 ? 1000.0 / summary.wholeMsPerFrame : 0.0);
        std::printf("  jitter      %.2f px before, %.2f px after (%.1fx less)\n",
                    summary.jitterBefore, summary.jitterAfter, summary.jitterRatio);
        std::printf("  path error  %.2f px from the input's path smoothed without lag\n",
                    summary.pathError);
        if (!options.sideBySide.empty()) {
            std::printf("  side by side %s\n", options.sideBySide.c_str());
        }
        if (!reportPath.empty()) {
            std::printf("  report      %s\n", reportPath.c_str());
        }
        if (!plotPath.empty()) {
            std::printf("  plot        %s\n", plotPath.c_str());
        }
    }
    return status;
}
