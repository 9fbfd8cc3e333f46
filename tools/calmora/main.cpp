// calmora: the command-line stabiliser.
// - `calmora stabilise INPUT OUTPUT [options]` reads a video (file, stream
//   address or camera number, as the video-source library reads the text),
//   stabilises every frame in one of three modes (live, lookahead, offline)
//   and writes the result: the run library's runFile() does the work, this
//   program only translates options and prints.
// - Every setting of the parameter table (calmora/ParameterKeys.h) is an
//   option named after its hyphenated name, its help (type, range, default,
//   unit) and its parsing generated from the table in front-end units (the
//   zoom in per cent beyond 100); --set key=value reaches any row by key. An
//   option the chosen mode does not read is refused, not ignored.
// - The paths, the settings and the modes are checked by the run library:
//   a refused run writes nothing.
// - Exit status: 0 done, 1 failed at run time, 2 wrong usage or a refused
//   run, 130 Ctrl-C.

#include "Plot.h"
#include "SampleClip.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/ParameterKeys.h>
#include <calmora/run/FileRun.h>
#include <calmora/run/Report.h>

#include <CLI/CLI.hpp>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

using namespace calmora_cli;
using namespace orl::calmora;
using namespace orl::calmora::run;

namespace {

constexpr int kUsage = 2;
constexpr int kFailed = 1;
constexpr int kInterrupted = 130;

std::atomic<bool> interrupted{false};

extern "C" void onSigint(int) {
    interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends at once
}

// Everything the command line gives, before it becomes the run's settings.
struct CommandLine {
    RunOptions options;
    std::string reportPath, plotPath;
    bool quiet{false};
    std::map<std::string, std::string> byName;  // "--option" (or an alias) -> text
    std::vector<std::string> sets;              // key=value, in order
    bool twoPass{false}, noCutDetection{false};
    std::string samplePath, photoPath;
    SampleSettings clip;
};

// One setting as the user gave it.
struct Given {
    const ParameterKey* key;
    std::string spelled;  // how the user named it, e.g. "--smoothing" or "--set smoothing"
    std::string text;
};

std::string clockText(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// One updating line on a terminal, a plain line every few seconds otherwise;
// with a known total, the share done and the time left.
class ProgressPrinter {
  public:
    explicit ProgressPrinter(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1) {}

    void operator()(const Progress& p) {
        if (p.pass != pass_) {  // offline's second pass starts its own count
            pass_ = p.pass;
            passStarted_ = p.seconds;
        }
        if (quiet_ || p.seconds - lastPrint_ < (terminal_ ? 0.1 : 5.0)) {
            return;
        }
        lastPrint_ = p.seconds;
        const double passSeconds = p.seconds - passStarted_;
        std::string line = p.passes > 1 ? "pass " + std::to_string(p.pass) + " of " +
                                              std::to_string(p.passes) + "  "
                                        : "";
        char text[120];
        std::snprintf(text, sizeof text, "%lld frames  %.1f fps  %s", p.done,
                      passSeconds > 0.0 ? static_cast<double>(p.done) / passSeconds : 0.0,
                      clockText(p.seconds).c_str());
        line += text;
        if (p.total > 0 && p.done > 0) {
            // the share of the whole run, both passes counted alike; the
            // time left only once a second's pace gives a fair estimate
            const double share =
                std::min(1.0, (p.pass - 1 + static_cast<double>(p.done) / p.total) / p.passes);
            std::snprintf(text, sizeof text, "  %.0f%%", 100.0 * share);
            line += text;
            if (p.seconds >= 1.0) {
                line += "  " + clockText(p.seconds * (1.0 - share) / share) + " left";
            }
        }
        if (terminal_) {
            std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
            printedLine_ = true;
        } else {
            std::fprintf(stderr, "calmora: %s\n", line.c_str());
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
    int pass_{0};
    double passStarted_{0.0};
};

const char* typeName(ValueKind kind) {
    switch (kind) {
        case ValueKind::INT:
            return "INT";
        case ValueKind::FLOAT:
            return "FLOAT";
        case ValueKind::BOOL:
            return "BOOL";
        case ValueKind::CHOICE:
            return "NAME";
        case ValueKind::NUMBER_OR_AUTO:
            return "FLOAT|auto";
    }
    return "TEXT";
}

// "frames held back to smooth the path without lag [1..300, default 15,
// frames] lookahead mode only"
std::string helpOf(const ParameterKey& key) {
    std::string help = std::string(key.meaning) + " [" + rangeText(key, Units::FRONT_END) +
                       ", default " + defaultText(key, Units::FRONT_END);
    help += *key.frontEndUnit != '\0' ? std::string(", ") + key.frontEndUnit + "]" : "]";
    if (key.modes != USED_ALL) {
        std::string modes;
        for (const StabiliserMode m :
             {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
            if (key.usedBy(m)) {
                modes += std::string(modes.empty() ? "" : " and ") + modeName(m);
            }
        }
        help += " " + modes + " mode only";
    }
    return help;
}

// The names and meanings of every choice, after the options.
std::string choicesFooter() {
    std::string footer;
    for (const ParameterKey& key : parameterKeys()) {
        if (key.kind != ValueKind::CHOICE) {
            continue;
        }
        footer += std::string(footer.empty() ? "" : "\n") + "--" + key.option + " (or its number):";
        for (size_t i = 0; i < key.choices.size(); ++i) {
            footer += "\n  " + std::to_string(i) + " " + key.choices[i].name + ": " +
                      key.choices[i].meaning;
        }
    }
    return footer;
}

void addRunOptions(CLI::App* stabilise, CommandLine& c) {
    stabilise->add_option("INPUT", c.options.input, "Video file, stream address or camera number")
        ->required();
    stabilise->add_option("OUTPUT", c.options.output, "Stabilised video to write")->required();
    stabilise->add_option("--side-by-side", c.options.sideBySide,
                          "Also write the source above the result to this file");
    stabilise->add_option("--report", c.reportPath, "Write per-frame offsets and a summary (JSON)");
    stabilise->add_option("--plot", c.plotPath, "Draw the camera path before and after (PNG)");
    stabilise->add_option("--codec", c.options.codec,
                          "Four-character codec (default MJPG; mp4v for .mp4/.mov)");
    stabilise
        ->add_option("--frames", c.options.maxFrames,
                     "Stop after this many input frames (a camera or stream never ends)")
        ->check(CLI::Range(1LL, 1000000000LL));
    stabilise->add_flag("--quiet,-q", c.quiet, "Print nothing but errors");
}

// One option per row of the parameter table and per alias of a row, then the
// documented shorthands.
void addSettingOptions(CLI::App* stabilise, CommandLine& c) {
    for (const ParameterKey& key : parameterKeys()) {
        const std::string name = std::string("--") + key.option;
        stabilise->add_option(name, c.byName[name], helpOf(key))
            ->type_name(typeName(key.kind))
            ->group(key.isModeSetting() ? "Mode settings" : "Stabiliser parameters");
        std::istringstream aliases(key.aliases);
        for (std::string alias; aliases >> alias;) {
            stabilise->add_option("--" + alias, c.byName["--" + alias], "Alias of " + name)
                ->type_name(typeName(key.kind))
                ->group("Aliases");
        }
    }
    stabilise->add_flag("--two-pass", c.twoPass, "Alias of --mode offline")->group("Aliases");
    stabilise->add_flag("--no-cut-detection", c.noCutDetection, "Alias of --detect-cuts false")
        ->group("Aliases");
    stabilise
        ->add_option("--set", c.sets,
                     "Any setting by its key, as its option: --set xFilterCoeff=0.5 is "
                     "--x-filter-coeff 0.5")
        ->type_name("KEY=VALUE")
        ->group("Aliases");
    stabilise->footer(choicesFooter());
}

void addSampleOptions(CLI::App* sample, CommandLine& c) {
    SampleSettings& clip = c.clip;
    sample->add_option("OUTPUT", c.samplePath, "Clip to write (.avi, MJPG)")->required();
    sample->add_option("--photo", c.photoPath, "Scene photograph; a drawn scene when not given");
    sample->add_option("--frames", clip.frames, "Number of frames")->check(CLI::Range(2, 100000));
    sample->add_option("--width", clip.width, "Frame width")->check(CLI::Range(32, 7680));
    sample->add_option("--height", clip.height, "Frame height")->check(CLI::Range(32, 4320));
    sample->add_option("--pan", clip.panPixels, "Wanted pan over the clip, pixels")
        ->check(CLI::Range(0.0, 10000.0));
    sample->add_option("--shake", clip.shakePixels, "Shake amplitude, pixels")
        ->check(CLI::Range(0.0, 200.0));
    sample->add_option("--seed", clip.seed, "Random seed of the shake");
    sample->add_option("--cut-at", clip.cutAtFrame, "Cut to another scene at this frame")
        ->check(CLI::Range(1, 100000));
}

// The settings as given, in table order, then the shorthands, then --set in
// order (a later one wins). False, with `error`, for a malformed --set.
bool givenSettings(CLI::App* stabilise, const CommandLine& c, std::vector<Given>& given,
                   std::string& error) {
    for (const ParameterKey& key : parameterKeys()) {
        std::istringstream aliases(std::string(key.option) + " " + key.aliases);
        for (std::string name; aliases >> name;) {
            if (stabilise->count("--" + name) > 0) {
                given.push_back({&key, "--" + name, c.byName.at("--" + name)});
            }
        }
    }
    if (c.twoPass) {
        given.push_back({parameterById(SETTING_MODE), "--two-pass", "offline"});
    }
    if (c.noCutDetection) {
        given.push_back({parameterById(SETTING_DETECT_CUTS), "--no-cut-detection", "false"});
    }
    for (const std::string& set : c.sets) {
        const size_t eq = set.find('=');
        const ParameterKey* key = findParameter(set.substr(0, eq));
        if (eq == std::string::npos || eq == 0) {
            error = "--set takes key=value, not '" + set + "'";
            return false;
        }
        if (key == nullptr) {
            error = "--set: unknown setting '" + set.substr(0, eq) + "'";
            return false;
        }
        given.push_back({key, "--set " + set.substr(0, eq), set.substr(eq + 1)});
    }
    return true;
}

// The run's settings from what was given, through the table's parsing and
// ranges; a refusal names the option as the user spelled it. 0, or the exit
// status after printing why.
int applySettings(CLI::App* stabilise, CommandLine& c) {
    std::vector<Given> given;
    std::string error;
    if (!givenSettings(stabilise, c, given, error)) {
        std::cerr << "calmora: " << error << '\n';
        return kUsage;
    }
    ModeSettings& settings = c.options.settings;
    std::vector<const ParameterKey*> keys;
    for (const Given& g : given) {
        if (!setSettingText(settings, *g.key, g.text, Units::FRONT_END, error)) {
            // the table names the setting by its option: say it as it was given
            const std::string prefix = std::string(g.key->option) + ":";
            const bool named = error.compare(0, prefix.size(), prefix) == 0;
            std::cerr << "calmora: "
                      << (named ? g.spelled + error.substr(prefix.size() - 1) : error) << '\n';
            return kUsage;
        }
        keys.push_back(g.key);
    }
    if (const ParameterKey* unused = firstUnused(settings.mode, keys)) {
        const auto g = std::find_if(given.begin(), given.end(),
                                    [&](const Given& x) { return x.key == unused; });
        std::cerr << "calmora: " << unusedMessage(*unused, settings.mode, g->spelled) << '\n';
        return kUsage;
    }
    return 0;
}

int writeSample(const CommandLine& c) {
    cv::Mat photo;
    if (!c.photoPath.empty()) {
        photo = cv::imread(c.photoPath, cv::IMREAD_COLOR);
        if (photo.empty()) {
            std::cerr << "calmora: cannot read the photograph " << c.photoPath << '\n';
            return kFailed;
        }
    }
    const cv::Mat scene = sampleScene(photo, c.clip);
    const cv::Mat second = c.clip.cutAtFrame > 0 ? secondScene(c.clip) : cv::Mat();
    if (!writeSampleClip(c.samplePath, scene, c.clip, second)) {
        std::cerr << "calmora: cannot write " << c.samplePath << '\n';
        return kFailed;
    }
    return 0;
}

void printSummary(const CommandLine& c, const RunResult& run, const Summary& summary) {
    std::printf("calmora: %lld frames of %dx%d at %.2f fps -> %s\n", summary.frames, run.width,
                run.height, run.fps, c.options.output.c_str());
    std::printf("  mode        %s, %zu cut(s), zoom %.1f%%\n", modeText(c.options).c_str(),
                run.cuts.size(), 100.0 * run.zoom);
    if (run.readout > 0.0 || c.options.settings.rollingShutterAuto) {
        std::printf("  readout     %.2f of a frame interval%s\n", run.readout,
                    c.options.settings.rollingShutterAuto ? ", estimated from the clip" : "");
    }
    std::printf("  stabiliser  %.2f ms/frame mean, %.2f ms 95th percentile\n", summary.meanMs,
                summary.p95Ms);
    std::printf("  whole run   %.2f ms/frame (%.1f frames per second)\n", summary.wholeMsPerFrame,
                summary.wholeMsPerFrame > 0 ? 1000.0 / summary.wholeMsPerFrame : 0.0);
    std::printf("  jitter      %.2f px before, %.2f px after (%.1fx less)\n", summary.jitterBefore,
                summary.jitterAfter, summary.jitterRatio);
    std::printf("  path error  %.2f px from the input's path smoothed without lag\n",
                summary.pathError);
    const std::pair<const char*, const std::string*> files[] = {
        {"side by side", &c.options.sideBySide},
        {"report     ", &c.reportPath},
        {"plot       ", &c.plotPath}};
    for (const auto& [label, path] : files) {
        if (!path->empty()) {
            std::printf("  %s %s\n", label, path->c_str());
        }
    }
}

int stabiliseFile(CommandLine& c) {
    // the report and the plot are outputs too: never over the input
    c.options.otherOutputs = {c.reportPath, c.plotPath};
    std::signal(SIGINT, onSigint);
    ProgressPrinter printer(c.quiet);
    const RunResult run = runFile(c.options, interrupted, [&](const Progress& p) { printer(p); });
    printer.finish();
    if (run.status == RunResult::REFUSED || run.status == RunResult::FAILED) {
        std::cerr << "calmora: " << run.error << '\n';
        return run.status == RunResult::REFUSED ? kUsage : kFailed;
    }
    for (const std::string& warning : run.warnings) {
        std::cerr << "calmora: warning: " << warning << '\n';
    }
    const Summary summary = summarise(run);
    int status = run.status == RunResult::INTERRUPTED ? kInterrupted : 0;
    if (!c.reportPath.empty() && !writeReport(c.reportPath, c.options, run, summary)) {
        std::cerr << "calmora: cannot write the report " << c.reportPath << '\n';
        status = status == 0 ? kFailed : status;
    }
    if (!c.plotPath.empty() && !writePlot(c.plotPath, run, summary, c.options)) {
        std::cerr << "calmora: cannot write the plot " << c.plotPath << '\n';
        status = status == 0 ? kFailed : status;
    }
    if (!c.quiet) {
        printSummary(c, run, summary);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string version = CalmoraOpenCv::getVersion();
    CLI::App app{"Calmora video stabiliser " + version, "calmora"};
    app.set_version_flag("--version", "calmora " + version);
    app.require_subcommand(1);
    CommandLine c;
    CLI::App* stabilise = app.add_subcommand("stabilise", "Stabilise a video");
    stabilise->alias("stabilize");
    addRunOptions(stabilise, c);
    addSettingOptions(stabilise, c);
    CLI::App* sample = app.add_subcommand("sample", "Write a shaky sample clip with a known path");
    addSampleOptions(sample, c);

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
        return writeSample(c);
    }
    if (const int status = applySettings(stabilise, c); status != 0) {
        return status;
    }
    return stabiliseFile(c);
}
