// NexfeedOpenCv on clips written by the test itself: opening and its
// refusals, parameters, pacing, live catch-up (a clip whose name contains
// "rtp" is classified as a stream, so it exercises the live-source rules
// with known frames), numbering, end of file and the automatic restart.

#include <calmora/NexfeedOpenCv.h>

#include "LogText.h"

#include <ClipWriter.h>
#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace orl::video {
namespace {

using calmora_test::blankLineNumbers;
using calmora_test::errorLine;
using calmora_test::noticeLine;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const cv::Size kClipSize(160, 120);

// Console output of `action`, line numbers blanked.
std::string consoleOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return blankLineNumbers(testing::internal::GetCapturedStdout());
}

// Which clip frame a delivered frame shows (-1 for none).
int clipIndexOf(const Frame& frame) {
    return calmora_test::indexOfImage(calmora_test::bgrOf(frame));
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

bool cameraPresent() {
    return std::filesystem::exists("/dev/video0");
}

class NexfeedFile : public ::testing::Test {
  protected:
    // Writes an MJPG clip of `frames` frames into the test's folder.
    std::string clip(const std::string& name, int frames, double fps) {
        const std::string path = temp.file(name);
        EXPECT_TRUE(calmora_test::writeClip(path, "MJPG", fps, frames, kClipSize)) << path;
        return path;
    }

    calmora_test::TempFolder temp;
};

TEST(NexfeedOpenCv, NewSourceState) {
    NexfeedOpenCv source;
    const NexfeedParams p = source.getParams();
    EXPECT_EQ(p.fourcc, "BGR24");
    EXPECT_EQ(p.custom1, -1.0f);
    EXPECT_EQ(p.custom2, -1.0f);
    EXPECT_EQ(p.custom3, -1.0f);
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.source, "/dev/video0");
    EXPECT_FALSE(p.isOpen);
    EXPECT_FALSE(source.isOpen());

    EXPECT_EQ(source.getParam(0), -1.0f);
    EXPECT_EQ(source.getParam(16), -1.0f);
    EXPECT_EQ(source.getParam(99), -1.0f);
    EXPECT_EQ(source.getParam(CUSTOM_2), -1.0f);
    EXPECT_EQ(source.getParam(GAIN_MODE), 1.0f);
    EXPECT_EQ(source.getParam(IS_OPEN), 0.0f);
    EXPECT_EQ(source.getParam(WIDTH), 0.0f);  // a closed device answers 0, stored
    EXPECT_EQ(source.getParams().width, 0);

    // reading from a closed source fails and leaves the frame alone
    Frame frame(4, 2, fourcc::GRAY);
    EXPECT_FALSE(source.getFrame(frame, 1000));
    EXPECT_EQ(frame.fourcc, fourcc::GRAY);
    EXPECT_EQ(frame.width, 4u);
}

TEST(NexfeedOpenCv, OnlyRestartIsACommand) {
    NexfeedOpenCv source;
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    std::string output = consoleOf([&] { EXPECT_FALSE(source.executeCommand(2)); });
    EXPECT_EQ(output, "");
    EXPECT_FALSE(source.executeCommand(0));
    // the default source text cannot be reopened, yet RESTART reports true
    output = consoleOf([&] { EXPECT_TRUE(source.executeCommand(RESTART)); });
    EXPECT_EQ(output, errorLine("UNKNOWN video source type!\n"));
    EXPECT_FALSE(source.isOpen());
}

TEST(NexfeedOpenCv, InitStringRefusalsReportExactTexts) {
    struct Case {
        std::string initString;
        std::string expected;     // console output
        std::string sourceAfter;  // params.source afterwards
        bool needsNoCamera;
    };
    const std::vector<Case> cases{
        {"", errorLine("Given init string is empty!\n"), "/dev/video0", false},
        {";;;", errorLine("Not valid init string: ;;;"), "/dev/video0", false},
        {"/dev/video0;1920;1080", errorLine("UNKNOWN video source type!\n"), "/dev/video0", false},
        {"1000", errorLine("UNKNOWN video source type!\n"), "/dev/video0", false},
        {"cam", errorLine("Video source is neither a device number nor a known source: cam"),
         "/dev/video0", false},
        {"0;abc;480",
         errorLine("Could not convert parameters! Exception caught: invalid stoi argument"), "0",
         false},
        {"0;640;99999999999",
         errorLine("Could not convert parameters! Exception caught: stoi argument out of range"),
         "0", false},
        {"0", errorLine("Could not open video source with given device number: 0"), "0", true},
        {";;0;;640;480", errorLine("Could not open video source with given device number: 0"), "0",
         true},
        {"1a", errorLine("Could not open video source with given device number: 1"), "1a", true},
        {"-5", errorLine("Could not open video with given source input: -5"), "-5", false},
        {"/nonexistent/clip.avi",
         errorLine("Could not open video with given source input: /nonexistent/clip.avi"),
         "/nonexistent/clip.avi", false},
        // port 1 on the loopback refuses at once
        {"http://127.0.0.1:1/none.mjpg",
         errorLine("Could not open video with given source input: http://127.0.0.1:1/none.mjpg"),
         "http://127.0.0.1:1/none.mjpg", false},
    };
    for (const Case& c : cases) {
        if (c.needsNoCamera && cameraPresent()) {
            continue;
        }
        NexfeedOpenCv source;
        ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
        bool opened = true;
        const std::string output = consoleOf([&] { opened = source.open(c.initString); });
        EXPECT_FALSE(opened) << c.initString;
        EXPECT_EQ(output, c.expected) << c.initString;
        EXPECT_EQ(source.getParams().source, c.sourceAfter) << c.initString;
        EXPECT_FALSE(source.getParams().isOpen) << c.initString;
        EXPECT_FALSE(source.isOpen()) << c.initString;
    }
}

TEST(NexfeedOpenCv, InitStringSizesAreConvertedBeforeOpening) {
    if (cameraPresent()) {
        GTEST_SKIP() << "a camera is present; this case needs device 0 to fail";
    }
    NexfeedOpenCv source;
    EXPECT_FALSE(source.open("0;;;640"));  // width 640, height "-1"
    EXPECT_EQ(source.getParams().width, 640);
    EXPECT_EQ(source.getParams().height, -1);

    NexfeedOpenCv second;
    EXPECT_FALSE(second.open("0;320;abc"));  // width stored, height refused
    EXPECT_EQ(second.getParams().width, 320);
    EXPECT_EQ(second.getParams().height, 1080);
}

TEST(NexfeedOpenCv, RecordRefusalsReportExactTexts) {
    struct Case {
        std::string source;
        std::string expected;
        bool needsNoCamera;
    };
    const std::vector<Case> cases{
        {"", errorLine("Empty video source name."), false},
        {"/dev/video0", errorLine("UNKNOWN video source type!\n"), false},
        {"cam", errorLine("Video source is neither a device number nor a known source: cam"),
         false},
        {" 0", errorLine("Could not open video source with given device number:  0"), true},
        {"-5", errorLine("Could not open video with given source input: -5"), false},
    };
    for (const Case& c : cases) {
        if (c.needsNoCamera && cameraPresent()) {
            continue;
        }
        NexfeedOpenCv source;
        ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
        NexfeedParams record;
        record.source = c.source;
        record.logLevel = 0;  // applied only after a successful open
        record.width = 333;
        record.isOpen = true;  // copied in, then cleared by the open
        bool opened = true;
        const std::string output = consoleOf([&] { opened = source.open(record); });
        EXPECT_FALSE(opened) << c.source;
        EXPECT_EQ(output, c.expected) << c.source;
        // the record was copied in before the refusal
        EXPECT_EQ(source.getParams().source, c.source);
        EXPECT_EQ(source.getParams().width, 333);
        EXPECT_EQ(source.getParams().fourcc, "YUYV");
        EXPECT_EQ(source.getParam(LOG_LEVEL), 0.0f);
    }
}

TEST(NexfeedOpenCv, NewSourceLogsNothingBeforeALevelIsApplied) {
    NexfeedOpenCv source;
    NexfeedParams record;
    record.source = "/dev/video0";
    record.logLevel = 2;  // never reached: the open fails first
    const std::string output = consoleOf([&] {
        EXPECT_FALSE(source.open(record));
        EXPECT_FALSE(source.open(std::string("")));
        EXPECT_FALSE(source.setParam(WIDTH, 0));
    });
    EXPECT_EQ(output, "");
}

TEST(NexfeedOpenCv, SetParamChecksAndMessages) {
    // on a closed capture every property write that passes its check
    // reaches OpenCV and is refused there
    const std::string refusedByDevice = errorLine("Can't set value to OpenCV.");
    struct Case {
        int id;
        float value;
        std::string expected;
    };
    const std::vector<Case> cases{
        {WIDTH, 16365.0f, errorLine("Invalid frame width value: 16365")},
        {WIDTH, 0.0f, errorLine("Invalid frame width value: 0")},
        {WIDTH, 0.9f, errorLine("Invalid frame width value: 0")},
        {WIDTH, -3.7f, errorLine("Invalid frame width value: -3")},
        {WIDTH, 16364.0f, refusedByDevice},
        {WIDTH, 640.9f, refusedByDevice},
        {WIDTH, 1.0f, refusedByDevice},
        {HEIGHT, 16365.0f, errorLine("Invalid frame height value: 16365")},
        {HEIGHT, 0.0f, errorLine("Invalid frame height value: 0")},
        {HEIGHT, 480.0f, refusedByDevice},
        {GAIN_MODE, 1.0f, errorLine("Unsupported param.")},
        {GAIN, 65535.0f, refusedByDevice},
        {EXPOSURE_MODE, 2.0f, errorLine("Invalid exposure mode: 2")},
        {EXPOSURE_MODE, -1.0f, errorLine("Invalid exposure mode: -1")},
        {EXPOSURE_MODE, 0.5f, refusedByDevice},  // trunc 0 passes the check
        {EXPOSURE, 100.0f, refusedByDevice},
        {FOCUS_MODE, 5.0f, errorLine("Invalid focus mode: 5")},
        {FOCUS_MODE, 1.0f, refusedByDevice},
        {FOCUS, 65535.0f, refusedByDevice},
        {CYCLE_TIME_MKS, 1.0f, errorLine("CYCLE_TIME_MKS is read only parameter!\n")},
        {FPS, 30.0f, refusedByDevice},
        {IS_OPEN, 1.0f, errorLine("IS_OPEN is read only parameter!\n")},
        {CUSTOM_1, 1.0f, errorLine("Not supported parameter\n")},
        {CUSTOM_2, 1.0f, errorLine("Not supported parameter\n")},
        {CUSTOM_3, 1.0f, errorLine("Not supported parameter\n")},
        {0, 1.0f, ""},
        {16, 1.0f, ""},
        {99, 1.0f, ""},
    };
    NexfeedOpenCv source;
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    const NexfeedParams before = source.getParams();
    for (const Case& c : cases) {
        bool accepted = true;
        const std::string output = consoleOf([&] { accepted = source.setParam(c.id, c.value); });
        EXPECT_FALSE(accepted) << "id " << c.id << " value " << c.value;
        EXPECT_EQ(output, c.expected) << "id " << c.id << " value " << c.value;
        // nothing stored
        const NexfeedParams after = source.getParams();
        EXPECT_EQ(after.width, before.width);
        EXPECT_EQ(after.height, before.height);
        EXPECT_EQ(after.gain, before.gain);
        EXPECT_EQ(after.exposureMode, before.exposureMode);
        EXPECT_EQ(after.exposure, before.exposure);
        EXPECT_EQ(after.focusMode, before.focusMode);
        EXPECT_EQ(after.focus, before.focus);
        EXPECT_EQ(after.fps, before.fps);
        EXPECT_EQ(after.cycleTimeMks, before.cycleTimeMks);
        EXPECT_EQ(after.custom1, before.custom1);
    }
}

TEST(NexfeedOpenCv, LogLevelSelectsTheConsole) {
    struct Case {
        int level;
        bool console;
    };
    const Case cases[]{{0, false}, {1, false}, {2, true}, {3, true}};
    for (const Case& c : cases) {
        NexfeedOpenCv source;
        ASSERT_TRUE(source.setParam(LOG_LEVEL, static_cast<float>(c.level) + 0.7f));
        EXPECT_EQ(source.getParam(LOG_LEVEL), static_cast<float>(c.level));
        EXPECT_EQ(source.getParams().logLevel, c.level);
        const std::string output = consoleOf([&] { source.setParam(GAIN_MODE, 1); });
        EXPECT_EQ(output, c.console ? errorLine("Unsupported param.") : "") << "level " << c.level;
    }
}

TEST(NexfeedOpenCv, RefusedLogLevelDisablesLogging) {
    NexfeedOpenCv source;
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    // reported with the mode in force before the call, "] ERROR" without colon
    std::string output = consoleOf([&] { EXPECT_FALSE(source.setParam(LOG_LEVEL, 7)); });
    EXPECT_EQ(output,
              "\x1b[31m[NexfeedOpenCv.cpp][N] ERRORInvaid log mode: 7 . Log disabled.\n\x1b[0m");
    EXPECT_EQ(source.getParams().logLevel, 0);
    output = consoleOf([&] { source.setParam(GAIN_MODE, 1); });
    EXPECT_EQ(output, "");

    // refused while disabled: silent
    output = consoleOf([&] { EXPECT_FALSE(source.setParam(LOG_LEVEL, -1)); });
    EXPECT_EQ(output, "");
}

TEST_F(NexfeedFile, OpensFromInitStringAndReadsBack) {
    const std::string path = clip("clip.avi", 12, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    std::string output = consoleOf([&] { EXPECT_TRUE(source.open(path + ";320;240")); });
    EXPECT_EQ(output, "");
    EXPECT_TRUE(source.isOpen());
    const NexfeedParams p = source.getParams();
    EXPECT_TRUE(p.isOpen);
    EXPECT_EQ(p.source, path);
    EXPECT_EQ(p.width, 160);  // a file keeps its own size
    EXPECT_EQ(p.height, 120);
    EXPECT_FLOAT_EQ(p.fps, 25.0f);
    EXPECT_EQ(p.gainMode, 1);
    EXPECT_EQ(p.exposure, 0);  // a file has no exposure: the query gives 0
    EXPECT_EQ(p.exposureMode, 0);
    EXPECT_EQ(p.focusMode, 0);

    // a second open changes nothing
    output = consoleOf([&] { EXPECT_TRUE(source.open(std::string("0;640;480"))); });
    EXPECT_EQ(output, noticeLine("Video source already open\n"));
    NexfeedParams other;
    other.source = "other.avi";
    output = consoleOf([&] { EXPECT_TRUE(source.open(other)); });
    EXPECT_EQ(output, noticeLine("Video source already open\n"));
    EXPECT_EQ(source.getParams().source, path);
    EXPECT_EQ(source.getParams().width, 160);

    // close leaves the record's flag; the operation tells the truth
    source.close();
    EXPECT_FALSE(source.isOpen());
    EXPECT_TRUE(source.getParams().isOpen);
    EXPECT_EQ(source.getParam(IS_OPEN), 0.0f);
    EXPECT_FALSE(source.getParams().isOpen);

    // RESTART reopens from the record's source text
    EXPECT_TRUE(source.executeCommand(RESTART));
    EXPECT_TRUE(source.isOpen());
    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), 0);
}

TEST_F(NexfeedFile, OpensFromRecordAndAppliesItsValues) {
    const std::string path = clip("clip.avi", 12, 25.0);
    NexfeedOpenCv source;
    NexfeedParams record;
    record.source = path;
    record.logLevel = 2;
    record.width = 640;
    record.height = 480;
    record.gain = 100;
    record.gainMode = 7;
    record.cycleTimeMks = 123;
    record.custom1 = 1.5f;
    record.fps = 25.0f;
    record.fourcc = "MJPG";
    // the file refuses gain, modes, focus and frame rate; only the last of
    // them is logged, since the log level is applied just before it
    const std::string output = consoleOf([&] { EXPECT_TRUE(source.open(record)); });
    EXPECT_EQ(output, errorLine("Can't set value to OpenCV."));
    EXPECT_TRUE(source.isOpen());

    const NexfeedParams p = source.getParams();
    EXPECT_TRUE(p.isOpen);
    EXPECT_EQ(p.width, 640);  // nothing read back
    EXPECT_EQ(p.height, 480);
    EXPECT_EQ(p.gain, 100);
    EXPECT_EQ(p.fourcc, "MJPG");
    EXPECT_EQ(p.logLevel, 2);

    // getParam reads the device and stores what it read
    EXPECT_EQ(source.getParam(WIDTH), 160.0f);
    EXPECT_EQ(source.getParam(HEIGHT), 120.0f);
    EXPECT_EQ(source.getParams().width, 160);
    EXPECT_EQ(source.getParams().height, 120);
    EXPECT_FLOAT_EQ(source.getParam(FPS), 25.0f);
    EXPECT_EQ(source.getParam(GAIN), 0.0f);
    EXPECT_EQ(source.getParams().gain, 0);
    EXPECT_EQ(source.getParam(IS_OPEN), 1.0f);
    // record-only values come back as given
    EXPECT_EQ(source.getParam(GAIN_MODE), 7.0f);
    EXPECT_EQ(source.getParam(CYCLE_TIME_MKS), 123.0f);
    EXPECT_EQ(source.getParam(CUSTOM_1), 1.5f);
    EXPECT_EQ(source.getParam(LOG_LEVEL), 2.0f);

    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), 0);
}

TEST_F(NexfeedFile, PacesAFileToItsFrameRate) {
    const std::string path = clip("clip.avi", 12, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(source.getFrame(frame, 1000)) << "call " << i;
        EXPECT_EQ(frame.frameId, i);
        EXPECT_EQ(clipIndexOf(frame), i);
    }
    // ten frames of a 25 fps file span at least nine intervals, also in a
    // tight loop
    EXPECT_GE(Clock::now() - start, milliseconds(9 * 40));
}

TEST_F(NexfeedFile, NeverSkipsFramesOfAFile) {
    const std::string path = clip("clip.avi", 12, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    for (int i = 0; i < 5; ++i) {
        sleepMs(70);  // later than one interval
        ASSERT_TRUE(source.getFrame(frame, 1000)) << "call " << i;
        EXPECT_EQ(clipIndexOf(frame), i);
        EXPECT_EQ(frame.frameId, i);
        // the cycle time is the pause between calls
        EXPECT_GE(source.getParam(CYCLE_TIME_MKS), 70000.0f);
    }
}

TEST_F(NexfeedFile, EndOfFileRestartsOnTheFifthFailure) {
    const std::string path = clip("short.avi", 6, 100.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(source.getFrame(frame, 1000));
        EXPECT_EQ(clipIndexOf(frame), i);
        EXPECT_EQ(frame.frameId, i);
    }
    // four failures at the end of the file leave it open where it is
    const std::vector<uint8_t> lastBytes(frame.data, frame.data + frame.size);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(source.getFrame(frame, 1000));
        EXPECT_TRUE(source.isOpen());
    }
    // the failed calls left the frame alone
    EXPECT_EQ(frame.frameId, 5);
    EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + frame.size), lastBytes);
    // the fifth reopens the file; its first frame comes round again, and
    // the numbering goes on
    EXPECT_FALSE(source.getFrame(frame, 1000));
    EXPECT_TRUE(source.isOpen());
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), 0);
    EXPECT_EQ(frame.frameId, 6);
}

TEST_F(NexfeedFile, ClosedSourceRestartsOnTheFifthFailure) {
    const std::string path = clip("clip.avi", 12, 100.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), 1);
    source.close();
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(source.getFrame(frame, 1000));
        EXPECT_FALSE(source.isOpen());
    }
    EXPECT_FALSE(source.getFrame(frame, 1000));
    EXPECT_TRUE(source.isOpen());
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), 0);
    EXPECT_EQ(frame.frameId, 2);
}

TEST_F(NexfeedFile, RecreatesTheCallersFrameKeepingSourceId) {
    const std::string path = clip("clip.avi", 12, 100.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame(64, 48, fourcc::NV12);
    frame.sourceId = 99;
    frame.frameId = -7;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(frame.width, 160u);
    EXPECT_EQ(frame.height, 120u);
    EXPECT_EQ(frame.fourcc, fourcc::BGR3);
    EXPECT_EQ(frame.size, 160u * 120u * 3u);
    EXPECT_EQ(frame.sourceId, 99);
    EXPECT_EQ(frame.frameId, 0);
    EXPECT_EQ(clipIndexOf(frame), 0);
    EXPECT_EQ(source.getParams().width, 160);
    EXPECT_EQ(source.getParams().height, 120);

    // same geometry: the buffer is reused
    const uint8_t* buffer = frame.data;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(frame.data, buffer);
    EXPECT_EQ(frame.sourceId, 99);
    EXPECT_EQ(clipIndexOf(frame), 1);

    // "BGR3" of another size, larger and smaller: re-created, never
    // written beyond
    for (const cv::Size size : {cv::Size(320, 240), cv::Size(16, 8)}) {
        Frame other(static_cast<uint32_t>(size.width), static_cast<uint32_t>(size.height),
                    fourcc::BGR3);
        other.sourceId = 8;
        ASSERT_TRUE(source.getFrame(other, 1000));
        EXPECT_EQ(other.width, 160u);
        EXPECT_EQ(other.height, 120u);
        EXPECT_EQ(other.size, 160u * 120u * 3u);
        EXPECT_EQ(other.sourceId, 8);
        EXPECT_EQ(clipIndexOf(other), other.frameId);
    }
}

TEST_F(NexfeedFile, ReadsMp4WhenTheEncoderAllows) {
    std::string path;
    for (const char* codec : {"mp4v", "avc1"}) {
        const std::string candidate = temp.file(std::string("clip_") + codec + ".mp4");
        if (calmora_test::writeClip(candidate, codec, 25.0, 8, kClipSize)) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        GTEST_SKIP() << "no mp4 encoder available to cv::VideoWriter";
    }
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    EXPECT_FLOAT_EQ(source.getParams().fps, 25.0f);
    Frame frame;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(source.getFrame(frame, 1000));
        EXPECT_EQ(clipIndexOf(frame), i);
    }
    EXPECT_FALSE(source.getFrame(frame, 1000));
}

TEST_F(NexfeedFile, LiveSourceSkipsWhatArrivedMeanwhile) {
    // 25 fps: one frame per 40 ms
    const std::string path = clip("rtp_live.avi", 60, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), frame.frameId);
    int previous = frame.frameId;
    for (int i = 0; i < 4; ++i) {
        sleepMs(100);  // 2.5 intervals or more: at least 3 frames skipped
        ASSERT_TRUE(source.getFrame(frame, 1000)) << "call " << i;
        // skipped frames were grabbed, so the number tells the frame
        EXPECT_EQ(clipIndexOf(frame), frame.frameId);
        EXPECT_GE(frame.frameId - previous, 4);
        previous = frame.frameId;
        EXPECT_GE(source.getParam(CYCLE_TIME_MKS), 100000.0f);
    }
}

TEST_F(NexfeedFile, LiveSourceTimeoutRules) {
    const std::string path = clip("rtp_live.avi", 60, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, 1000));
    const int firstIndex = clipIndexOf(frame);
    ASSERT_EQ(firstIndex, frame.frameId);

    // a time-out not above one interval: an error, but no failure counted
    for (int i = 0; i < 6; ++i) {
        sleepMs(45);
        const std::string output = consoleOf([&] { EXPECT_FALSE(source.getFrame(frame, 30)); });
        EXPECT_EQ(output,
                  errorLine("Timeout - 30 ms is set to smaller value than frame interval - 40000"));
    }
    EXPECT_TRUE(source.isOpen());
    EXPECT_EQ(clipIndexOf(frame), firstIndex);  // untouched by the refusals

    // time-out 0 after an interval: a counted failure. Two failures, a
    // success, three more: the fifth restarts although a success came between
    sleepMs(45);
    EXPECT_FALSE(source.getFrame(frame, 0));
    sleepMs(45);
    EXPECT_FALSE(source.getFrame(frame, 0));
    ASSERT_TRUE(source.getFrame(frame, 1000));  // right away: nothing to skip
    EXPECT_EQ(clipIndexOf(frame), frame.frameId);
    const int numberBefore = frame.frameId;
    for (int i = 0; i < 3; ++i) {
        sleepMs(45);
        EXPECT_FALSE(source.getFrame(frame, 0));
    }
    ASSERT_TRUE(source.getFrame(frame, 1000));
    // reopened: the clip starts again while the numbering goes on (without
    // the restart the index would still equal the number)
    EXPECT_GT(frame.frameId, numberBefore);
    EXPECT_LT(clipIndexOf(frame), frame.frameId - numberBefore);
    const int indexAfterRestart = clipIndexOf(frame);

    // a caller away longer than the time-out allows: a counted failure
    sleepMs(1100);  // 27.5 intervals or more, 25 allowed
    EXPECT_FALSE(source.getFrame(frame, 1000));
    EXPECT_EQ(clipIndexOf(frame), indexAfterRestart);
}

TEST_F(NexfeedFile, NegativeTimeoutDiscardsABoundedNumber) {
    // on a file every grab succeeds: unbounded discarding would run to the
    // end and the read would fail
    const std::string path = clip("rtp_live.avi", 60, 25.0);
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));
    Frame frame;
    ASSERT_TRUE(source.getFrame(frame, -1));
    EXPECT_EQ(clipIndexOf(frame), frame.frameId);
    const int first = frame.frameId;
    sleepMs(200);  // five intervals or more
    ASSERT_TRUE(source.getFrame(frame, -1));
    EXPECT_EQ(clipIndexOf(frame), frame.frameId);  // discarded frames are counted
    EXPECT_GE(frame.frameId - first, 7);           // 1 + at least 6 discarded
}

TEST_F(NexfeedFile, FrameIntervalFollowsTheFrameRate) {
    const std::string path = clip("rtp_live.avi", 60, 25.0);
    struct Case {
        float recordFps;  // < 0: open from the init string (reads 25 back)
        int intervalMks;
    };
    const Case cases[]{{-1.0f, 40000}, {25.0f, 40000}, {50.0f, 20000}, {0.0f, 33000}};
    for (const Case& c : cases) {
        NexfeedOpenCv source;
        if (c.recordFps < 0) {
            ASSERT_TRUE(source.open(path));
            ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
        } else {
            NexfeedParams record;
            record.source = path;
            record.fps = c.recordFps;
            record.logLevel = 2;
            testing::internal::CaptureStdout();  // the refused frame rate
            ASSERT_TRUE(source.open(record));
            testing::internal::GetCapturedStdout();
        }
        Frame frame;
        ASSERT_TRUE(source.getFrame(frame, 1000));
        sleepMs(c.intervalMks / 1000 + 5);
        // a time-out of 1 ms is below any interval: the message shows it
        const std::string output = consoleOf([&] { EXPECT_FALSE(source.getFrame(frame, 1)); });
        EXPECT_EQ(output,
                  errorLine("Timeout - 1 ms is set to smaller value than frame interval - " +
                            std::to_string(c.intervalMks)))
            << "record fps " << c.recordFps;
    }
}

}  // namespace
}  // namespace orl::video
