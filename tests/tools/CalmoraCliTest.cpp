// The calmora program, run for real on clips the tests make with it.
#include "Process.h"
#include "Synthetic.h"

#include <calmora/ParameterKeys.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <csignal>
#include <fstream>

using namespace calmora_test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

ChildResult calmora(std::vector<std::string> args) {
    args.insert(args.begin(), CALMORA_EXE);
    return runChild({args, "", {}, {}}, 300s);
}

bool succeeds(const std::vector<std::string>& args) {
    const ChildResult r = calmora(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.exitCode == 0;
}

cv::Mat frameOf(const std::string& path, int index) {
    cv::VideoCapture capture(path);
    cv::Mat image;
    for (int i = 0; i <= index && capture.read(image); ++i) {
    }
    return image;
}

// The frames a video file holds (-1 when it does not open) and their size.
std::pair<int, cv::Size> video(const std::string& path) {
    cv::VideoCapture capture(path);
    std::pair<int, cv::Size> found{capture.isOpened() ? 0 : -1, {}};
    for (cv::Mat image; capture.read(image); ++found.first) {
        found.second = image.size();
    }
    return found;
}

std::string file(const std::string& name) {
    static const TempFolder folder;
    return folder.file(name);
}

// A shaky panning clip of 120 frames with a cut to another scene at 60,
// made on first use.
std::string clip() {
    static const bool made =
        succeeds({"sample", file("shaky.avi"), "--frames", "120", "--width", "320", "--height",
                  "180", "--pan", "80", "--shake", "5", "--cut-at", "60"});
    return made ? file("shaky.avi") : "";
}

}  // namespace

TEST(CalmoraCli, EveryRefusalHasAStatusAndAMessageAndLeavesTheInput) {
    std::ofstream(file("notes.txt")) << "not a video\n";
    const std::string before = readFile(clip()), out = file("out.avi");
    const std::string stream = "http://127.0.0.1:9/stream.mjpg";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"stabilise", file("missing.avi"), out}, 1, "missing.avi"},
        {{"stabilise", file("notes.txt"), out}, 1, "notes.txt"},
        {{"stabilise", clip(), clip()}, 2, clip()},
        {{"stabilise", clip(), file("./shaky.avi")}, 2, file("./shaky.avi")},
        {{"stabilise", clip(), out, "--side-by-side", clip()}, 2, clip()},
        {{"stabilise", clip(), file("no/such/out.avi")}, 1, file("no/such")},
        {{"stabilise", clip(), out, "--frobnicate"}, 2, "frobnicate"},
        {{"stabilise", clip(), out, "--set", "noSuchKey=1"}, 2, "noSuchKey"},
        {{"stabilise", clip(), out, "--report", file("./shaky.avi")}, 2, "over the input"},
        {{"stabilise", clip(), out, "--x-offset-limit", "2000"}, 2, "--x-offset-limit"},
        {{"stabilise", clip(), out, "--set", "scaleFactor=9"}, 2, "1..8"},
        {{"stabilise", clip(), out, "--type", "two"}, 2, "two"},
        {{"stabilise", clip(), out, "--zoom", "auto"}, 2, "offline mode"},
        {{"stabilise", clip(), out, "--zoom", "301"}, 2, "0..300"},
        {{"stabilise", clip(), out, "--mode", "later"}, 2, "later"},
        {{"stabilise", clip(), out, "--mode", "lookahead", "--latency", "0"}, 2, "--latency"},
        {{"stabilise", clip(), out, "--mode", "lookahead", "--latency", "301"}, 2, "1..300"},
        {{"stabilise", clip(), out, "--smoothing", "30"}, 2, "--smoothing is not used in live"},
        {{"stabilise", clip(), out, "--mode", "offline", "--zoom", "0.5"}, 1, "too small for the"},
        {{"stabilise", clip(), out, "--two-pass", "--set", "xFilterCoeff=1"},
         2,
         "xFilterCoeff is not"},
        {{"stabilise", clip(), out, "--cut-detection", "maybe"}, 2, "--cut-detection"},
        {{"stabilise", stream, out, "--mode", "offline"}, 2, "needs a file"},
        {{"stabilise", "0", out, "--two-pass"}, 2, "needs a file"},
        {{"stabilise", clip()}, 2, "OUTPUT"},
        {{}, 2, ""},
        {{"stabilise", "--help"}, 0, "lookahead"},
        {{"--version"}, 0, "calmora 4.0.1"},
    };
    for (const auto& [args, status, message] : cases) {
        const ChildResult r = calmora(args);
        EXPECT_EQ(r.exitCode, status) << message << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(message), std::string::npos) << r.out << r.err;
    }
    EXPECT_TRUE(readFile(clip()) == before) << "the input was changed";
    EXPECT_FALSE(std::filesystem::exists(out));
    // the help gives every setting of the table with its default
    const std::string help = calmora({"stabilise", "--help"}).out;
    for (const orl::calmora::ParameterKey& key : orl::calmora::parameterKeys()) {
        const size_t line = help.find(std::string("\n  --") + key.option + " ");
        const std::string expected =
            "default " + orl::calmora::defaultText(key, orl::calmora::Units::FRONT_END);
        ASSERT_NE(line, std::string::npos) << key.option;
        EXPECT_NE(help.substr(line, help.find("\n  --", line + 1) - line).find(expected),
                  std::string::npos)
            << key.option << ": " << expected;
    }
}

// Every mode writes every frame once, finds the cut, and takes the shake
// out; the two that see ahead follow the pan closer than the live filter.
TEST(CalmoraCli, EveryModeKeepsEveryFrameFindsTheCutAndRemovesTheShake) {
    const std::tuple<std::string, std::vector<std::string>, int> modes[] = {
        {"live", {"--side-by-side", file("side.avi"), "--plot", file("path.png")}, 0},
        {"lookahead", {"--latency", "20"}, 20},
        {"offline", {"--zoom", "auto"}, 0},
    };
    std::map<std::string, json> summaries;
    for (const auto& [mode, extra, latency] : modes) {
        std::vector<std::string> args{"stabilise", clip(),     file(mode + ".avi"), "--mode",
                                      mode,        "--report", file(mode + ".json")};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(succeeds(args)) << mode;
        EXPECT_EQ(video(file(mode + ".avi")), std::pair(120, cv::Size(320, 180))) << mode;
        const json report = json::parse(readFile(file(mode + ".json")));
        EXPECT_EQ(report["mode"], mode);
        EXPECT_EQ(report["latencyFrames"], latency);
        EXPECT_EQ(report["cuts"], json::array({60})) << mode;
        EXPECT_EQ(report["frames"].size(), 120u);
        const json& jitter = report["summary"]["jitter"];
        EXPECT_GT(jitter["before"].get<double>(), 2.5 * jitter["after"].get<double>()) << mode;
        summaries[mode] = report["summary"];
    }
    // live starts afresh at the cut: that frame is written unmoved
    EXPECT_LT(cv::norm(frameOf(clip(), 60), frameOf(file("live.avi"), 60), cv::NORM_L1) / 320 / 180,
              6.0);
    EXPECT_EQ(video(file("side.avi")), std::pair(120, cv::Size(320, 360)));
    EXPECT_EQ(cv::imread(file("path.png")).size(), cv::Size(1200, 900));
    for (const char* mode : {"lookahead", "offline"}) {
        EXPECT_LT(2.0 * summaries[mode]["pathError"].get<double>(),
                  summaries["live"]["pathError"].get<double>())
            << mode;
    }
}

TEST(CalmoraCli, InputCutShortKeepsAPlayableOutputAndParametersApply) {
    const std::string whole = readFile(clip());
    std::ofstream(file("cut.avi"), std::ios::binary) << whole.substr(0, whole.size() / 3 + 777);
    // Filter coefficients at 1 hold the picture still: the offsets follow
    // the whole camera pan (over 10 pixels by a third of the clip); type 1
    // never turns.
    const auto r = calmora({"stabilise", file("cut.avi"), file("cut_out.avi"), "--type", "1",
                            "--x-filter-coeff", "1", "--set", "yFilterCoeff=1", "--report",
                            file("cut.json"), "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const int frames = video(file("cut_out.avi")).first;
    EXPECT_TRUE(frames > 20 && frames < 60) << frames;
    const json last = json::parse(readFile(file("cut.json")))["frames"].back()["offset"];
    EXPECT_GT(std::fabs(last["x"].get<double>()), 10.0);
    EXPECT_EQ(last["angle"].get<double>(), 0.0);
}

TEST(CalmoraCli, LookaheadReadsAStreamUpToTheFrameLimit) {
    ASSERT_TRUE(writeClip(file("served.avi"), "MJPG", 30.0, 60, {320, 240}));
    StreamServer server(file("served.avi"));
    ASSERT_TRUE(server.started() && server.waitReady(30s));
    ASSERT_TRUE(succeeds({"stabilise", server.url(), file("stream.avi"), "--mode", "lookahead",
                          "--frames", "40", "-q"}));
    EXPECT_EQ(video(file("stream.avi")), std::pair(40, cv::Size(320, 240)));
}

TEST(CalmoraCli, CtrlCClosesTheOutputProperly) {
    ASSERT_TRUE(succeeds(
        {"sample", file("long.avi"), "--frames", "3000", "--width", "320", "--height", "180"}));
    ChildProcess child(
        {{CALMORA_EXE, "stabilise", file("long.avi"), file("stopped.avi")}, "", {}, {}});
    // the first progress line: frames are being written by then
    waitFor([&] { return child.err().find("frames") != std::string::npos; }, 120s);
    ::kill(child.pid(), SIGINT);
    ASSERT_TRUE(child.wait(300s));
    EXPECT_EQ(child.exitCode(), 130) << child.err();
    const int frames = video(file("stopped.avi")).first;
    EXPECT_TRUE(frames > 0 && frames < 3000) << frames;
}
