// The calmora program, run for real on clips the tests make with it.

#include "SampleClip.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status{-1};
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A child process with its output in files; killed when the object goes.
class Child {
  public:
    Child(const std::vector<std::string>& args, const fs::path& dir) : dir_(dir) {
        pid_ = fork();
        if (pid_ == 0) {
            const int out =
                ::open((dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err =
                ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void signal(int sig) { kill(pid_, sig); }

    // Waits at most `seconds`; a process still running is killed and
    // reported with status -1.
    Outcome wait(int seconds = 240) {
        Outcome o;
        int raw = 0;
        for (int i = 0; i < seconds * 20; ++i) {
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                done_ = true;
                o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        o.out = slurp(dir_ / "stdout.txt");
        o.err = slurp(dir_ / "stderr.txt");
        return o;
    }

  private:
    fs::path dir_;
    pid_t pid_{-1};
    bool done_{false};
};

int frameCount(const fs::path& video, cv::Size* size = nullptr) {
    cv::VideoCapture capture(video.string());
    if (!capture.isOpened()) {
        return -1;
    }
    int frames = 0;
    cv::Mat image;
    while (capture.read(image)) {
        if (size != nullptr) {
            *size = image.size();
        }
        ++frames;
    }
    return frames;
}

class CalmoraCli : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("calmora_cli_" + std::to_string(getpid()));
        fs::create_directories(dir_);
        clip_ = dir_ / "shaky.avi";
        const Outcome o = run({"sample", clip_.string(), "--frames", "90", "--width", "320",
                               "--height", "180", "--pan", "60", "--shake", "4"});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), CALMORA_EXE);
        Child child(args, dir_);
        return child.wait();
    }

    static fs::path dir_;
    static fs::path clip_;
};
fs::path CalmoraCli::dir_;
fs::path CalmoraCli::clip_;

}  // namespace

TEST_F(CalmoraCli, StabilisesWithReportPlotAndSideBySide) {
    const fs::path out = dir_ / "out.avi", side = dir_ / "side.avi";
    const fs::path report = dir_ / "report.json", plot = dir_ / "path.png";
    const Outcome o = run({"stabilise", clip_.string(), out.string(), "--side-by-side",
                           side.string(), "--report", report.string(), "--plot", plot.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("90 frames"), std::string::npos) << o.out;

    cv::Size size;
    EXPECT_EQ(frameCount(out, &size), 90);
    EXPECT_EQ(size, cv::Size(320, 180));
    EXPECT_EQ(frameCount(side, &size), 90);
    EXPECT_EQ(size, cv::Size(320, 360));

    const auto doc = nlohmann::json::parse(slurp(report));
    EXPECT_EQ(doc["frames"].size(), 90u);
    const auto& summary = doc["summary"];
    EXPECT_EQ(summary["frames"], 90);
    const double before = summary["jitter"]["before"], after = summary["jitter"]["after"];
    EXPECT_GT(before, 1.0);
    EXPECT_LT(after * 2.5, before) << "jitter " << before << " -> " << after;
    EXPECT_GE(summary["p95Ms"].get<double>(), summary["meanMs"].get<double>() * 0.5);
    EXPECT_GT(summary["maxAbsOffset"]["x"].get<double>(), 0.5);

    const cv::Mat picture = cv::imread(plot.string());
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.size(), cv::Size(1200, 900));
}

TEST_F(CalmoraCli, ParametersByOptionAndByKey) {
    const fs::path out = dir_ / "params.avi", report = dir_ / "params.json";
    // With the filter coefficients at 1 the picture is held still: the
    // offsets follow the whole camera motion, so they end far from zero.
    const Outcome o = run({"stabilise", clip_.string(), out.string(), "--type", "1",
                           "--x-filter-coeff", "1", "--set", "yFilterCoeff=1", "--set",
                           "transparentBorder=false", "--report", report.string(), "--quiet"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    const auto doc = nlohmann::json::parse(slurp(report));
    EXPECT_GT(std::fabs(doc["frames"].back()["offset"]["x"].get<double>()), 30.0);
    EXPECT_EQ(doc["frames"].back()["offset"]["angle"].get<double>(), 0.0);  // type 1
}

TEST_F(CalmoraCli, BadInputGetsAMessageAndAStatus) {
    const fs::path text = dir_ / "notes.txt";
    std::ofstream(text) << "not a video\n";
    const std::string before = slurp(clip_);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::string out = (dir_ / "bad.avi").string();
    const std::string clip = clip_.string();
    const Case cases[] = {
        {{"stabilise", (dir_ / "missing.avi").string(), out}, 1, "input not found"},
        {{"stabilise", text.string(), out}, 1, "notes.txt"},
        {{"stabilise", clip, clip}, 2, "over the input"},
        {{"stabilise", clip, (dir_ / "." / "shaky.avi").string()}, 2, "over the input"},
        {{"stabilise", clip, (dir_ / "no" / "such" / "out.avi").string()},
         1,
         "output folder does not exist"},
        {{"stabilise", clip, out, "--frobnicate"}, 2, "frobnicate"},
        {{"stabilise", clip, out, "--set", "noSuchKey=1"}, 2, "unknown stabiliser parameter"},
        {{"stabilise", clip, out, "--x-offset-limit", "2000"}, 2, "xOffsetLimit: 2000 is outside"},
        {{"stabilise", clip, out, "--set", "scaleFactor=9"}, 2, "1..8"},
        {{"stabilise", clip, out, "--type", "two"}, 2, "not a number"},
        {{"stabilise", clip, out, "--enable", "maybe"}, 2, "not true or false"},
        {{"stabilise", clip}, 2, "OUTPUT"},
        {{}, 2, "subcommand"},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.args);
        std::string joined;
        for (const auto& a : c.args) {
            joined += a + " ";
        }
        EXPECT_EQ(o.status, c.status) << joined << "\n" << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << joined << "\n" << o.err;
    }
    EXPECT_EQ(slurp(clip_), before) << "the input must never change";

    const Outcome help = run({"stabilise", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--x-filter-coeff"), std::string::npos);
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("calmora 4.0.1"), std::string::npos);
}

TEST_F(CalmoraCli, InputCutShortKeepsAPlayableOutput) {
    // Half the clip, cut in the middle of a frame.
    const std::string whole = slurp(clip_);
    const fs::path cut = dir_ / "cut.avi";
    std::ofstream(cut, std::ios::binary)
        .write(whole.data(), static_cast<std::streamsize>(whole.size() / 2 + 777));
    const fs::path out = dir_ / "cut_out.avi";
    const Outcome o = run({"stabilise", cut.string(), out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("warning"), std::string::npos) << o.err;
    const int frames = frameCount(out);
    EXPECT_GT(frames, 30);
    EXPECT_LT(frames, 90);
}

TEST_F(CalmoraCli, CtrlCClosesTheOutputProperly) {
    const fs::path longClip = dir_ / "long.avi", out = dir_ / "interrupted.avi";
    ASSERT_EQ(
        run({"sample", longClip.string(), "--frames", "3000", "--width", "320", "--height", "180"})
            .status,
        0);
    Child child({CALMORA_EXE, "stabilise", longClip.string(), out.string()}, dir_);
    // Wait for the first progress line: frames are being written by then.
    for (int i = 0; i < 400 && slurp(dir_ / "stderr.txt").find("frames") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    child.signal(SIGINT);
    const Outcome o = child.wait();
    EXPECT_EQ(o.status, 130) << o.err;
    const int frames = frameCount(out);
    EXPECT_GT(frames, 0) << "the interrupted output must be a readable video";
    EXPECT_LT(frames, 3000);
}

namespace {

// Path of per-frame motions, restarting at each cut.
std::vector<cv::Point2d> pathOf(const nlohmann::json& frames, const char* which, int cut) {
    std::vector<cv::Point2d> path;
    cv::Point2d sum;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (static_cast<int>(i) == cut) {
            sum = {};
        } else {
            sum += cv::Point2d(frames[i][which]["x"].get<double>(),
                               frames[i][which]["y"].get<double>());
        }
        path.push_back(sum);
    }
    return path;
}

// RMS distance between two paths over [begin, end), their mean difference
// removed (where a shot starts is not what is compared).
double rmsApart(const std::vector<cv::Point2d>& a, const std::vector<cv::Point2d>& b, size_t begin,
                size_t end) {
    cv::Point2d mean;
    for (size_t i = begin; i < end; ++i) {
        mean += (a[i] - b[i]) * (1.0 / static_cast<double>(end - begin));
    }
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i) {
        const cv::Point2d d = a[i] - b[i] - mean;
        sum += d.dot(d);
    }
    return std::sqrt(sum / static_cast<double>(end - begin));
}

}  // namespace

TEST_F(CalmoraCli, OfflineModeBeatsLiveModeAndHandlesTheCut) {
    // A slow pan with hand shake and rotation over a drawn scene, cut to
    // another scene half-way.
    calmora_cli::SampleSettings clipSettings;
    clipSettings.width = 480;
    clipSettings.height = 270;
    clipSettings.frames = 200;
    clipSettings.panPixels = 140;
    clipSettings.cutAtFrame = 100;
    const cv::Mat scene = calmora_cli::sampleScene(cv::Mat(), clipSettings);
    const fs::path clip = dir_ / "cut_clip.avi";
    ASSERT_TRUE(calmora_cli::writeSampleClip(clip.string(), scene, clipSettings,
                                             calmora_cli::secondScene(clipSettings)));
    std::vector<calmora_cli::CameraPose> wanted;
    const auto poses = calmora_cli::samplePath(clipSettings, scene.size(), &wanted);

    const fs::path liveReport = dir_ / "live.json", offlineReport = dir_ / "offline.json";
    ASSERT_EQ(run({"stabilise", clip.string(), (dir_ / "live.avi").string(), "--report",
                   liveReport.string(), "-q"})
                  .status,
              0);
    ASSERT_EQ(run({"stabilise", clip.string(), (dir_ / "offline.avi").string(), "--two-pass",
                   "--zoom", "auto", "--report", offlineReport.string(), "-q"})
                  .status,
              0);
    const auto live = nlohmann::json::parse(slurp(liveReport));
    const auto offline = nlohmann::json::parse(slurp(offlineReport));
    EXPECT_EQ(live["mode"], "live");
    EXPECT_EQ(offline["mode"], "offline");
    EXPECT_EQ(live["cuts"], nlohmann::json::array({100}));
    EXPECT_EQ(offline["cuts"], nlohmann::json::array({100}));
    EXPECT_GT(offline["zoom"].get<double>(), 1.0);

    // jitter: at least 5 times less than the input, and half the live mode's
    const double before = offline["summary"]["jitter"]["before"];
    const double afterOffline = offline["summary"]["jitter"]["after"];
    const double afterLive = live["summary"]["jitter"]["after"];
    EXPECT_GT(before, 5.0 * afterOffline) << before << " -> " << afterOffline;
    EXPECT_GT(afterLive, 2.0 * afterOffline)
        << "live " << afterLive << ", offline " << afterOffline;

    // no lag: during each shot's pan the output keeps closer to the wanted
    // path than the shaky input does
    std::vector<cv::Point2d> intended;
    for (size_t i = 0; i < wanted.size(); ++i) {
        const size_t start = static_cast<int>(i) >= clipSettings.cutAtFrame
                                 ? static_cast<size_t>(clipSettings.cutAtFrame)
                                 : 0;
        intended.emplace_back(-(wanted[i].x - wanted[start].x), -(wanted[i].y - wanted[start].y));
    }
    const auto in = pathOf(offline["frames"], "inputMotion", clipSettings.cutAtFrame);
    const auto out = pathOf(offline["frames"], "outputMotion", clipSettings.cutAtFrame);
    for (const auto& [begin, end] : {std::pair<size_t, size_t>{0, 100}, {100, 200}}) {
        const double inputApart = rmsApart(in, intended, begin, end);
        const double outputApart = rmsApart(out, intended, begin, end);
        EXPECT_LT(outputApart, 0.7 * inputApart) << "shot from " << begin;
    }

    // at the cut: no frame moved by more than the shake itself
    double shake = 0.0;
    for (size_t i = 0; i < poses.size(); ++i) {
        shake = std::max(
            {shake, std::fabs(poses[i].x - wanted[i].x), std::fabs(poses[i].y - wanted[i].y)});
    }
    for (int i = clipSettings.cutAtFrame - 3; i <= clipSettings.cutAtFrame + 3; ++i) {
        const auto& offset = offline["frames"][static_cast<size_t>(i)]["offset"];
        EXPECT_LE(std::fabs(offset["x"].get<double>()), shake) << "frame " << i;
        EXPECT_LE(std::fabs(offset["y"].get<double>()), shake) << "frame " << i;
    }
    // and the first frames of the new shot are as steady as the rest
    double early = 0.0, all = 0.0;
    for (size_t i = 1; i < out.size(); ++i) {
        if (static_cast<int>(i) == clipSettings.cutAtFrame) {
            continue;
        }
        const cv::Point2d step = out[i] - out[i - 1];
        all = std::max(all, std::hypot(step.x, step.y));
        if (static_cast<int>(i) > clipSettings.cutAtFrame &&
            static_cast<int>(i) <= clipSettings.cutAtFrame + 10) {
            early = std::max(early, std::hypot(step.x, step.y));
        }
    }
    EXPECT_LE(early, all) << "largest step after the cut against the largest anywhere";
    EXPECT_LT(early, 2.0) << "a pan of 140 pixels in 200 frames moves under 1 pixel a frame";
}
