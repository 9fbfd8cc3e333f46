// The calmora program, run for real on clips the tests make with it.
#include "ChildProcess.h"
#include "SampleClip.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <csignal>
#include <fstream>
#include <thread>

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

// The shaky clip most tests read, made on first use.
std::string clip() {
    static const bool made = succeeds({"sample", file("shaky.avi"), "--frames", "90", "--width",
                                       "320", "--height", "180", "--pan", "60", "--shake", "4"});
    return made ? file("shaky.avi") : "";
}

}  // namespace

TEST(CalmoraCli, EveryRefusalHasAStatusAndAMessageAndLeavesTheInput) {
    std::ofstream(file("notes.txt")) << "not a video\n";
    const std::string before = readFile(clip()), out = file("out.avi");
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"stabilise", file("missing.avi"), out}, 1, "missing.avi"},
        {{"stabilise", file("notes.txt"), out}, 1, "notes.txt"},
        {{"stabilise", clip(), clip()}, 2, clip()},
        {{"stabilise", clip(), file("./shaky.avi")}, 2, file("./shaky.avi")},
        {{"stabilise", clip(), out, "--side-by-side", clip()}, 2, clip()},
        {{"stabilise", clip(), file("no/such/out.avi")}, 1, file("no/such")},
        {{"stabilise", clip(), out, "--frobnicate"}, 2, "frobnicate"},
        {{"stabilise", clip(), out, "--set", "noSuchKey=1"}, 2, "noSuchKey"},
        {{"stabilise", clip(), out, "--x-offset-limit", "2000"}, 2, "xOffsetLimit"},
        {{"stabilise", clip(), out, "--set", "scaleFactor=9"}, 2, "1..8"},
        {{"stabilise", clip(), out, "--type", "two"}, 2, "two"},
        {{"stabilise", clip(), out, "--enable", "maybe"}, 2, "maybe"},
        {{"stabilise", clip(), out, "--zoom", "auto"}, 2, "--two-pass"},
        {{"stabilise", clip()}, 2, "OUTPUT"},
        {{}, 2, ""},
        {{"stabilise", "--help"}, 0, "--x-filter-coeff"},
        {{"--version"}, 0, "calmora 4.0.1"},
    };
    for (const auto& [args, status, message] : cases) {
        const ChildResult r = calmora(args);
        EXPECT_EQ(r.exitCode, status) << message << "\n" << r.err;
        EXPECT_NE((r.out + r.err).find(message), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(readFile(clip()), before);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CalmoraCli, InputCutShortKeepsAPlayableOutputAndParametersApply) {
    const std::string whole = readFile(clip());
    std::ofstream(file("cut.avi"), std::ios::binary) << whole.substr(0, whole.size() / 2 + 777);
    // Filter coefficients at 1 hold the picture still: the offsets follow
    // the whole camera pan (30 pixels by mid-clip); type 1 never turns.
    const auto r = calmora({"stabilise", file("cut.avi"), file("cut_out.avi"), "--type", "1",
                            "--x-filter-coeff", "1", "--set", "yFilterCoeff=1", "--report",
                            file("cut.json"), "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    const int frames = video(file("cut_out.avi")).first;
    EXPECT_TRUE(frames > 30 && frames < 90) << frames;
    const json last = json::parse(readFile(file("cut.json")))["frames"].back()["offset"];
    EXPECT_GT(std::fabs(last["x"].get<double>()), 20.0);
    EXPECT_EQ(last["angle"].get<double>(), 0.0);
}

TEST(CalmoraCli, CtrlCClosesTheOutputProperly) {
    ASSERT_TRUE(succeeds(
        {"sample", file("long.avi"), "--frames", "3000", "--width", "320", "--height", "180"}));
    ChildProcess child(
        {{CALMORA_EXE, "stabilise", file("long.avi"), file("stopped.avi")}, "", {}, {}});
    // the first progress line: frames are being written by then
    for (int i = 0; i < 6000 && child.err().find("frames") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    ::kill(child.pid(), SIGINT);
    ASSERT_TRUE(child.wait(300s));
    EXPECT_EQ(child.exitCode(), 130) << child.err();
    const int frames = video(file("stopped.avi")).first;
    EXPECT_TRUE(frames > 0 && frames < 3000) << frames;
}

TEST(CalmoraCli, OfflineBeatsLiveAndHandlesTheCut) {
    calmora_cli::SampleSettings settings;
    std::tie(settings.width, settings.height, settings.frames, settings.cutAtFrame) =
        std::tuple(480, 270, 200, 100);
    settings.panPixels = 140;
    ASSERT_TRUE(calmora_cli::writeSampleClip(file("scenes.avi"),
                                             calmora_cli::sampleScene(cv::Mat(), settings),
                                             settings, calmora_cli::secondScene(settings)));
    ASSERT_TRUE(
        succeeds({"stabilise", file("scenes.avi"), file("live.avi"), "--report", file("live.json"),
                  "--side-by-side", file("side.avi"), "--plot", file("path.png"), "-q"}));
    ASSERT_TRUE(succeeds({"stabilise", file("scenes.avi"), file("offline.avi"), "--two-pass",
                          "--zoom", "auto", "--report", file("offline.json"), "-q"}));
    EXPECT_EQ(video(file("offline.avi")), std::pair(200, cv::Size(480, 270)));
    EXPECT_EQ(video(file("side.avi")), std::pair(200, cv::Size(480, 540)));
    EXPECT_EQ(cv::imread(file("path.png")).size(), cv::Size(1200, 900));

    const json live = json::parse(readFile(file("live.json")));
    const json offline = json::parse(readFile(file("offline.json")));
    EXPECT_EQ(live["cuts"], json::array({100}));
    EXPECT_EQ(offline["cuts"], json::array({100}));
    EXPECT_GT(offline["zoom"].get<double>(), 1.0);
    const double before = live["summary"]["jitter"]["before"];
    const double afterLive = live["summary"]["jitter"]["after"];
    const double afterOffline = offline["summary"]["jitter"]["after"];
    EXPECT_GT(before, 2.5 * afterLive);
    EXPECT_GT(afterLive, 2.0 * afterOffline);
    EXPECT_GT(offline["summary"]["jitter"]["before"].get<double>(), 5.0 * afterOffline);

    for (size_t i = 97; i <= 103; ++i) {  // at the cut, no frame moves by more than the shake
        const json& o = offline["frames"][i]["offset"];
        EXPECT_LE(std::hypot(o["x"].get<double>(), o["y"].get<double>()), 2 * settings.shakePixels)
            << i;
    }
}
