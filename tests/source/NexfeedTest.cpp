// NexfeedOpenCv on clips written by the test and on a stream served by
// ffmpeg. Time is the test's own clock: pacing sleeps move it, and the test
// moves it between calls. A clip whose name contains "rtp" is classified as
// a stream, so it exercises the live-source rules with known frames.

#include <calmora/NexfeedOpenCv.h>

#include <ClipWriter.h>
#include <StreamServer.h>
#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <tuple>

namespace orl::video {
namespace {

std::string errorLine(const std::string& text) {
    return "\x1b[31m[NexfeedOpenCv.cpp][N] ERROR: " + text + (text.back() == '\n' ? "" : "\n") +
           "\x1b[0m";
}

// Console output of `action`, with the logging statements' line numbers blanked.
std::string consoleOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return std::regex_replace(testing::internal::GetCapturedStdout(), std::regex(R"(\]\[\d+\])"),
                              "][N]");
}

int clipIndexOf(const Frame& frame) {
    return calmora_test::indexOfImage(calmora_test::bgrOf(frame));
}

class Nexfeed : public ::testing::Test {
  protected:
    // A 25 fps clip of 160 x 120 in the test's folder.
    std::string clip(const std::string& name, int frames) {
        const std::string path = temp.file(name);
        EXPECT_TRUE(calmora_test::writeClip(path, "MJPG", 25.0, frames, {160, 120})) << path;
        return path;
    }
    void advanceMks(int mks) { now += std::chrono::microseconds(mks); }
    int sleptMks() { return static_cast<int>(std::exchange(slept, {}).count()); }

    calmora_test::TempFolder temp;
    std::chrono::steady_clock::time_point now;
    std::chrono::microseconds slept{0};
    NexfeedOpenCv source{[this] { return now; },
                         [this](std::chrono::microseconds pause) {
                             slept += pause;
                             now += pause;
                         }};
};

TEST_F(Nexfeed, RefusalsReportExactTexts) {
    // text, opened as a record's source, message, size afterwards (a record
    // is copied in first, sizes converted before a failure stay)
    using Size = std::pair<int, int>;
    const std::vector<std::tuple<std::string, bool, std::string, Size>> opens{
        {"", false, "Given init string is empty!\n", {1920, 1080}},
        {";;;", false, "Not valid init string: ;;;", {1920, 1080}},
        {"/dev/video0;1920;1080", false, "UNKNOWN video source type!\n", {1920, 1080}},
        {"cam",
         false,
         "Video source is neither a device number nor a known source: cam",
         {1920, 1080}},
        {"0;320;abc",
         false,
         "Could not convert parameters! Exception caught: invalid stoi argument",
         {320, 1080}},
        {";;0;;640;480",
         false,
         "Could not open video source with given device number: 0",
         {640, 480}},
        {"-5", false, "Could not open video with given source input: -5", {-1, -1}},
        {"", true, "Empty video source name.", {333, 1080}},
        {"/dev/video0", true, "UNKNOWN video source type!\n", {333, 1080}},
        {" 0", true, "Could not open video source with given device number:  0", {333, 1080}},
        {"x.avi", true, "Could not open video with given source input: x.avi", {333, 1080}}};
    const bool camera = std::filesystem::exists("/dev/video0");
    for (const auto& [text, record, message, size] : opens) {
        if (camera && message.find("device number") != std::string::npos) {
            continue;  // device 0 would open
        }
        NexfeedOpenCv fresh;
        ASSERT_TRUE(fresh.setParam(LOG_LEVEL, 2));
        NexfeedParams given;
        given.source = text;
        given.width = 333;
        EXPECT_EQ(consoleOf([&] { EXPECT_FALSE(record ? fresh.open(given) : fresh.open(text)); }),
                  errorLine(message));
        EXPECT_EQ(Size(fresh.getParams().width, fresh.getParams().height), size) << text;
    }

    // a closed capture refuses every write that passes its check
    const std::string device = errorLine("Can't set value to OpenCV.");
    const std::vector<std::tuple<int, float, std::string>> writes{
        {WIDTH, 16365.0f, errorLine("Invalid frame width value: 16365")},
        {WIDTH, 0.9f, errorLine("Invalid frame width value: 0")},
        {WIDTH, 16364.0f, device},
        {HEIGHT, 0.0f, errorLine("Invalid frame height value: 0")},
        {HEIGHT, 1.0f, device},
        {GAIN_MODE, 1.0f, errorLine("Unsupported param.")},
        {GAIN, 65535.0f, device},
        {EXPOSURE_MODE, -1.0f, errorLine("Invalid exposure mode: -1")},
        {EXPOSURE_MODE, 0.5f, device},
        {EXPOSURE, 100.0f, device},
        {FOCUS_MODE, 2.0f, errorLine("Invalid focus mode: 2")},
        {FOCUS_MODE, 1.0f, device},
        {FOCUS, 65535.0f, device},
        {CYCLE_TIME_MKS, 1.0f, errorLine("CYCLE_TIME_MKS is read only parameter!\n")},
        {FPS, 30.0f, device},
        {IS_OPEN, 1.0f, errorLine("IS_OPEN is read only parameter!\n")},
        {CUSTOM_3, 1.0f, errorLine("Not supported parameter\n")},
        {16, 1.0f, ""},
        {LOG_LEVEL, 7.0f,
         "\x1b[31m[NexfeedOpenCv.cpp][N] ERRORInvaid log mode: 7 . Log disabled.\n\x1b[0m"},
        {GAIN_MODE, 1.0f, ""}};                                     // logging is off now
    EXPECT_EQ(consoleOf([&] { source.open(std::string()); }), "");  // no level given yet
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2.7f));
    auto values = [](const NexfeedParams& p) {
        return std::make_tuple(p.width, p.height, p.gain, p.exposureMode, p.exposure, p.focusMode,
                               p.focus, p.fps, p.cycleTimeMks, p.custom3);
    };
    const auto before = values(source.getParams());
    for (const auto& [id, value, output] : writes) {
        EXPECT_EQ(consoleOf([&] { EXPECT_FALSE(source.setParam(id, value)); }), output) << id;
        EXPECT_EQ(values(source.getParams()), before) << id << " " << value;
    }
    EXPECT_EQ(source.getParam(LOG_LEVEL), 0.0f);
    EXPECT_EQ(source.getParam(16), -1.0f);
    EXPECT_FALSE(source.executeCommand(2));
    EXPECT_TRUE(source.executeCommand(RESTART));  // although the reopening fails
}

TEST_F(Nexfeed, FileIsPacedReadInOrderAndRestartedAtItsEnd) {
    const std::string path = clip("clip.mkv", 5);  // a container beyond the marked ones
    ASSERT_TRUE(source.open(path + ";320;240"));
    const NexfeedParams read = source.getParams();  // the file's own values
    EXPECT_EQ(std::make_tuple(read.isOpen, read.width, read.height, read.fps, read.gainMode),
              std::make_tuple(true, 160, 120, 25.0f, 1));
    EXPECT_TRUE(source.open(path + ".other.avi"));  // already open: nothing changes
    // a tight loop sleeps a whole interval, a late caller none
    const std::vector<std::pair<int, int>> pauseAndSleepMks{
        {0, 40000}, {30000, 10000}, {39000, 0}, {38999, 1001}, {70000, 0}};
    Frame frame(64, 48, fourcc::NV12);  // re-created as "BGR3", keeping its source id
    frame.sourceId = 99;
    for (int i = 0, previousSleep = 0; i < 5; previousSleep = pauseAndSleepMks[i++].second) {
        advanceMks(pauseAndSleepMks[i].first);
        ASSERT_TRUE(source.getFrame(frame, 1000)) << i;
        EXPECT_EQ(sleptMks(), pauseAndSleepMks[i].second) << i;
        EXPECT_EQ(std::make_tuple(frame.frameId, clipIndexOf(frame), frame.sourceId, frame.fourcc),
                  std::make_tuple(i, i, 99, fourcc::BGR3));
        EXPECT_EQ(source.getParam(CYCLE_TIME_MKS), pauseAndSleepMks[i].first + previousSleep);
    }
    // four failures at the end leave the file where it is, the fifth reopens it
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(source.isOpen());
        EXPECT_FALSE(source.getFrame(frame, 1000));
        EXPECT_EQ(clipIndexOf(frame), 4);
    }
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(std::make_pair(frame.frameId, clipIndexOf(frame)), std::make_pair(5, 0));
    EXPECT_EQ(source.getParams().source, path);
}

TEST_F(Nexfeed, LiveSourceCatchesUpWithinTheTimeout) {
    ASSERT_TRUE(source.open(clip("rtp_live.avi", 60)));  // one frame per 40 ms
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    const std::string late = "Timeout - 40 ms is set to smaller value than frame interval - 40000";
    // pause, time-out, delivered frame id and clip index (-1: none), message
    const std::vector<std::tuple<int, int, int, int, std::string>> calls{
        {0, 1000, 0, 0, ""},         {39999, 0, 1, 1, ""},  // within an interval: nothing to skip
        {100000, 1000, 5, 5, ""},                           // 2.5 intervals: 3 skipped
        {60000, 1000, 8, 8, ""},                            // 1.5: 2 skipped
        {1000000, 1000, 34, 34, ""},                        // 25 skipped, as many as 1000 ms allow
        {1020000, 1000, -1, -1, ""},                        // 26 would be needed: failure 1
        {45000, 40, -1, -1, late},                          // not counted
        {45000, 41, 36, 36, ""},     {40000, 0, -1, -1, ""},  // failure 2
        {200000, -1, 43, 43, ""},  // discards what five intervals brought, and one more
        {0, 0, 44, 44, ""},          {40000, 0, -1, -1, ""}, {40000, 0, -1, -1, ""},
        {40000, 0, -1, -1, ""},  // the fifth failure despite successes between: restart
        {0, 1000, 45, 0, ""}};
    Frame frame;
    std::pair<int, int> last{-1, -1};  // frame id and clip index the frame holds
    for (const auto& [pauseMks, timeoutMs, id, index, message] : calls) {
        advanceMks(pauseMks);
        bool delivered = false;
        EXPECT_EQ(consoleOf([&] { delivered = source.getFrame(frame, timeoutMs); }),
                  message.empty() ? "" : errorLine(message));
        ASSERT_EQ(delivered, id >= 0) << pauseMks << " " << timeoutMs;
        last = delivered ? std::make_pair(id, index) : last;
        EXPECT_EQ(std::make_pair(frame.frameId, clipIndexOf(frame)), last) << pauseMks;
        EXPECT_TRUE(!delivered || source.getParam(CYCLE_TIME_MKS) == pauseMks) << pauseMks;
    }
}

TEST_F(Nexfeed, RestartReopensWithTheRecord) {
    NexfeedParams record;
    record.source = clip("clip.avi", 4);
    record.width = 320;
    record.height = 240;
    record.fps = 50.0f;
    record.gain = 100;
    record.fourcc = "MJPG";
    record.custom1 = 1.5f;
    ASSERT_TRUE(source.open(record));
    Frame frame;
    for (int restarts = 0; restarts < 2; ++restarts) {
        // nothing is read back from the device: the record's values stay
        const NexfeedParams p = source.getParams();
        EXPECT_EQ(std::make_tuple(p.isOpen, p.width, p.height, p.fps, p.gain, p.fourcc, p.custom1),
                  std::make_tuple(true, 320, 240, 50.0f, 100, std::string("MJPG"), 1.5f));
        ASSERT_TRUE(source.getFrame(frame, 1000));
        EXPECT_EQ(sleptMks(), 20000);  // paced at the record's frame rate
        EXPECT_EQ(clipIndexOf(frame), 0);
        source.close();
        EXPECT_TRUE(source.getParams().isOpen);
        for (int i = 0; i < 5; ++i) {
            EXPECT_FALSE(source.getFrame(frame, 1000));
        }
        sleptMks();
    }
    EXPECT_EQ(source.getParam(WIDTH), 160.0f);  // read from the device, and stored
    source.close();
    ASSERT_TRUE(source.open(record.source));  // a text now, and so is the restart
    EXPECT_TRUE(source.executeCommand(RESTART));
    EXPECT_EQ(source.getParams().fps, 25.0f);
}

TEST_F(Nexfeed, StreamIsReceivedThenRestartedWhenItsServerGoes) {
    calmora_test::StreamServer server(clip("served.avi", 50));
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.waitReady(std::chrono::milliseconds(10000))) << server.url();
    NexfeedParams record;
    record.source = server.url();  // "http": a stream
    record.fps = 25.0f;
    record.logLevel = 2;
    consoleOf([&] { ASSERT_TRUE(source.open(record)); });  // the stream refuses the frame rate
    Frame frame;
    for (int i = 0; i < 6; ++i) {
        advanceMks(100000);  // 2.5 intervals late: 3 frames skipped
        ASSERT_TRUE(source.getFrame(frame, 1000)) << i;
        EXPECT_EQ(frame.frameId, 3 + 4 * i);
        EXPECT_NE(clipIndexOf(frame), -1);
    }
    // what was buffered may still arrive; then reads fail, and every fifth
    // failure tries to reopen, which the closed port refuses
    server.stop();
    int failures = 0;
    const std::string output = consoleOf([&] {
        for (int i = 0; i < 100 && source.isOpen(); ++i) {
            failures += source.getFrame(frame, 1000) ? 0 : 1;
        }
    });
    EXPECT_FALSE(source.isOpen());
    EXPECT_EQ(failures % 5, 0);
    EXPECT_NE(
        output.find(errorLine("Could not open video with given source input: " + server.url())),
        std::string::npos)
        << output;
}

}  // namespace
}  // namespace orl::video
