// The source's pure parts, then clips and a served stream on the test's clock ("rtp...": live).

#include "FrameCopy.h"
#include "PropertyScale.h"
#include "SourceText.h"

#include <calmora/NexfeedOpenCv.h>

#include <Synthetic.h>
#include "Process.h"
#include "Synthetic.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cctype>
#include <climits>
#include <cmath>
#include <fstream>
#include <thread>

namespace orl::video {
namespace {

const std::string kNoInput = "Could not open video with given source input: ";

TEST(SourcePureParts, TextScalesAndFrameCopy) {
    calmora_test::TempFolder temp;
    std::ofstream(temp.file("recording")) << "x";  // no marker, but a regular file
    const std::vector<std::pair<SourceType, std::vector<std::string>>> cases{
        {STREAM, {"rtsp://h/cam", "http://h/a.mp4", "cam_rtsp_1", "xrtpx", "rtp_clip.avi"}},
        {VIDEO_FILE,
         {"clip.mp4", "movie_x", "a.avi", "x.wmv", "x.flv", "x.swf", "x.f4v", "x.webm", "x.mkv",
          "x.mpg", "x.mpeg", "x.m4v", "x.3gp", "x.ogv", temp.file("recording")}},
        {UNKNOWN,
         {"/t/AVI.MP4", "/dev/video0", temp.path().string(), "1000", "cam", "-", "", "avi", "rtp"}},
        {DEVICE, {"0", "999", "1a", " 7", "-0"}},
        {NUMBER_OUT_OF_RANGE, {"-5", "-99"}}};
    for (const auto& [expected, texts] : cases)
        for (const std::string& text : texts)
            EXPECT_EQ(classifySource(text), expected) << "\"" << text << "\"";
    EXPECT_EQ(splitInitString(" a ;;;1;2;"), (std::vector<std::string>{" a ", "1", "2"}));
    // (computed, expected): device scales, truncation, interval, missed, allowed, drain bound
    auto doubles = [](auto... v) { return std::vector<double>{static_cast<double>(v)...}; };
    const std::vector<double> pairs = doubles(
        gainToDevice(65535.0f), 254.0, gainToDevice(32768.0f), 127.0019, focusToDevice(65535.0f),
        250.0, focusToDevice(1000.0f), 0.0, focusToDevice(2621.0f), 5.0, focusToDevice(2622.0f),
        10.0, focusToDevice(-1835.0f), -5.0, exposureModeToDevice(0.0f), 0.25,
        exposureModeToDevice(0.5f), 0.75, focusModeToDevice(0.0f), 2.0, focusModeToDevice(1.0f),
        1.0, gainFromDevice(1.9), 488, gainFromDevice(-1.0), -257, focusFromDevice(255.0), 65535,
        focusFromDevice(0.5), 128, truncToInt(1e12), INT_MAX, truncToInt(-1e12), INT_MIN,
        truncToInt(std::nan("")), 0, frameIntervalFor(30.0f, 33000), 33333,
        frameIntervalFor(std::nanf(""), 7), 7, frameIntervalFor(1e9f, 33000), 1,
        frameIntervalFor(1e-9f, 33000), INT_MAX, missedFrames(1100000, 40000), 28,
        missedFrames(100, 0), 0, framesWithinTimeout(INT_MAX, 1), INT_MAX,
        framesWithinTimeout(0, 40000), 0, drainBound(0, 40000), 1, drainBound(254 * 40000, 40000),
        255, drainBound(255 * 40000, 40000), 256, drainBound(INT_MAX, 1), 256);
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
        EXPECT_NEAR(pairs[i], pairs[i + 1], 1e-3) << "pair " << i / 2;
    const cv::Mat bgr = calmora_test::texturedScene(34, 22, 5);
    cv::Mat grey, greyAsBgr, bgra, wide, unit, scratch;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, greyAsBgr, cv::COLOR_GRAY2BGR);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    bgr.convertTo(wide, CV_16U, 257.0);
    bgr.convertTo(unit, CV_32F, 1.0 / 255.0);
    const cv::Mat region = calmora_test::texturedScene(80, 60, 6)(cv::Rect(3, 5, 34, 22));
    // image, expected, tolerance, target: copied to a re-made "BGR3" frame; none: refused, kept
    const std::vector<std::tuple<cv::Mat, cv::Mat, double, Frame>> copies{
        {bgr, bgr, 0.0, Frame()},
        {grey, greyAsBgr, 0.0, Frame(34, 22, fourcc::BGR3)},
        {bgra, bgr, 0.0, Frame(20, 10, fourcc::BGR3)},
        {wide, bgr, 0.0, Frame(22, 34, fourcc::BGR3)},
        {unit, bgr, 1.0, Frame(34, 22, fourcc::YUV3)},
        {region, region.clone(), 0.0, Frame(400, 300, fourcc::NV12)},
        {cv::Mat(), bgr, 0.0, calmora_test::toFrame(bgr, fourcc::BGR3)}};
    for (auto [image, expected, tolerance, frame] : copies) {
        frame.sourceId = 4711;
        ASSERT_EQ(copyToBgrFrame(image, scratch, frame), !image.empty());
        EXPECT_EQ(std::make_tuple(frame.sourceId, frame.fourcc, frame.size),
                  std::make_tuple(4711, fourcc::BGR3, 34u * 22u * 3u));
        EXPECT_LE(cv::norm(calmora_test::bgrOf(frame), expected, cv::NORM_INF), tolerance);
    }
}

std::string errorLine(const std::string& text) {
    const std::string end = text.empty() || text.back() == '\n' ? "" : "\n";
    return text.empty() ? text : "\x1b[31m[NexfeedOpenCv.cpp][N] ERROR: " + text + end + "\x1b[0m";
}

std::string consoleOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    // line numbers as "N": "][123]" becomes "][N]"
    std::string text = testing::internal::GetCapturedStdout();
    for (size_t at = text.find("]["); at != std::string::npos; at = text.find("][", at + 2)) {
        size_t end = at + 2;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end > at + 2 && end < text.size() && text[end] == ']')
            text.replace(at + 2, end - at - 2, "N");
    }
    return text;
}

std::pair<int, int> idAndIndex(const Frame& frame) {
    return {frame.frameId, calmora_test::indexOfImage(calmora_test::bgrOf(frame))};
}

class Nexfeed : public ::testing::Test {
  protected:
    std::string clip(const std::string& name, int frames) {
        EXPECT_TRUE(calmora_test::writeClip(temp.file(name), "MJPG", 25.0, frames, {160, 120}));
        return temp.file(name);
    }
    int sleptMks() { return static_cast<int>(std::exchange(slept, {}).count()); }

    calmora_test::TempFolder temp;
    std::chrono::steady_clock::time_point now;
    std::chrono::microseconds slept{0};
    NexfeedOpenCv source{[this] { return now; },
                         [this](auto pause) {
                             slept += pause;
                             now += pause;
                         }};
    Frame frame;
};

TEST_F(Nexfeed, RefusalsReportExactTexts) {
    // text, as a record's source, message, sizes after (record copied first, parsed sizes stay)
    const std::string number = "Could not open video source with given device number: ",
                      parse = "Could not convert parameters! Exception caught: ";
    const std::vector<std::tuple<std::string, bool, std::string, int, int>> opens{
        {"", false, "Given init string is empty!\n", 1920, 1080},
        {";;;", false, "Not valid init string: ;;;", 1920, 1080},
        {"/dev/video0;1920;1080", false, "UNKNOWN video source type!\n", 1920, 1080},
        {"cam", false, "Video source is neither a device number nor a known source: cam", 1920,
         1080},
        {"0;320;+-1", false, parse + "invalid stoi argument", 320, 1080},
        {"0;2147483647;-2147483649", false, parse + "stoi argument out of range", INT_MAX, 1080},
        {"0;18446744073709551621", false, parse + "stoi argument out of range", 1920, 1080},
        {";;999;;640;480", false, number + "999", 640, 480},
        {"x.avi;\t+0000000000000000000320;-2147483648x", false, kNoInput + "x.avi", 320, INT_MIN},
        {"", true, "Empty video source name.", 333, 1080},
        {" 99", true, number + " 99", 333, 1080}};
    for (const auto& [text, record, message, width, height] : opens) {
        NexfeedOpenCv fresh;
        ASSERT_TRUE(fresh.setParam(LOG_LEVEL, 2));
        const NexfeedParams given{0, text, "YUYV", 333};  // log level, source, fourcc, width
        EXPECT_EQ(consoleOf([&] { EXPECT_FALSE(record ? fresh.open(given) : fresh.open(text)); }),
                  errorLine(message));
        const NexfeedParams p = fresh.getParams();
        EXPECT_EQ(std::make_pair(p.width, p.height), std::make_pair(width, height)) << text;
    }

    // a closed capture refuses every write and keeps the record; unknown ids silently
    const std::vector<std::tuple<int, float, std::string>> writes{
        {WIDTH, 16365.0f, "Invalid frame width value: 16365"},
        {WIDTH, 0.9f, "Invalid frame width value: 0"},
        {HEIGHT, 0.0f, "Invalid frame height value: 0"},
        {GAIN_MODE, 1.0f, "Unsupported param."},
        {EXPOSURE_MODE, -1.0f, "Invalid exposure mode: -1"},
        {FOCUS_MODE, 2.0f, "Invalid focus mode: 2"},
        {CYCLE_TIME_MKS, 1.0f, "CYCLE_TIME_MKS is read only parameter!\n"},
        {IS_OPEN, 1.0f, "IS_OPEN is read only parameter!\n"},
        {CUSTOM_3, 1.0f, "Not supported parameter\n"},
        {FPS, 30.0f, "Can't set value to OpenCV."},
        {16, 1.0f, ""}};
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2.7f));
    auto values = [](const NexfeedParams& p) {
        return std::make_tuple(p.width, p.height, p.gainMode, p.exposureMode, p.focusMode, p.fps);
    };
    const auto before = values(source.getParams());
    for (const auto& [id, value, message] : writes) {
        EXPECT_EQ(consoleOf([&] { EXPECT_FALSE(source.setParam(id, value)); }), errorLine(message))
            << id;
        EXPECT_EQ(values(source.getParams()), before) << id << " " << value;
    }
    EXPECT_EQ(consoleOf([&] { EXPECT_FALSE(source.setParam(LOG_LEVEL, 7.0f)); }),
              "\x1b[31m[NexfeedOpenCv.cpp][N] ERRORInvaid log mode: 7 . Log disabled.\n\x1b[0m");
    EXPECT_EQ(std::make_tuple(source.getParam(LOG_LEVEL), source.getParam(16),
                              source.executeCommand(2), source.executeCommand(RESTART)),
              std::make_tuple(0.0f, -1.0f, false, true));  // a restart done, the reopening failed
}

TEST_F(Nexfeed, FileRestartsWithItsRecordIsReadInOrderPacedAndRestartedAtItsEnd) {
    const std::string path = clip("clip.mkv", 5);  // a container beyond the marked ones
    NexfeedParams record{0, path, "MJPG", 320};    // log level, source, fourcc, width
    record.fps = 50.0f;
    ASSERT_TRUE(source.open(record));  // nothing read back from the device: the record stays
    for (int restarts = 0; restarts < 2; ++restarts) {
        const NexfeedParams p = source.getParams();
        EXPECT_EQ(std::make_tuple(p.isOpen, p.width, p.fps, p.fourcc),
                  std::make_tuple(true, 320, 50.0f, std::string("MJPG")));
        ASSERT_TRUE(source.getFrame(frame, 1000));
        EXPECT_EQ(std::make_pair(sleptMks(), idAndIndex(frame).second), std::make_pair(20000, 0));
        source.close();
        for (int i = 0; i < 5; ++i)
            EXPECT_FALSE(source.getFrame(frame, 1000));
        sleptMks();
    }
    source.close();
    ASSERT_TRUE(source.open(path + ";320;240"));    // a text now, and so are its restarts
    const NexfeedParams read = source.getParams();  // the file's own values
    EXPECT_EQ(std::make_tuple(read.isOpen, read.width, read.height, read.fps, read.source),
              std::make_tuple(true, 160, 120, 25.0f, path));
    // pause before the call and the sleep it causes: a tight loop sleeps a
    // whole interval, a late caller none; a re-created frame keeps its source id
    const int calls[][2]{{0, 40000}, {30000, 10000}, {39000, 0}, {38999, 1001}, {70000, 0}};
    frame = Frame(64, 48, fourcc::NV12);
    frame.sourceId = 99;
    for (int i = 0, previousSleep = 0; i < 5; previousSleep = calls[i++][1]) {
        now += std::chrono::microseconds(calls[i][0]);
        ASSERT_TRUE(source.getFrame(frame, 1000)) << i;
        EXPECT_EQ(sleptMks(), calls[i][1]) << i;
        EXPECT_EQ(std::make_tuple(idAndIndex(frame), frame.sourceId, frame.fourcc),
                  std::make_tuple(std::make_pair(i + 2, i), 99, fourcc::BGR3));
        EXPECT_EQ(source.getParam(CYCLE_TIME_MKS), calls[i][0] + previousSleep);
    }
    for (int i = 0; i < 6; ++i) {  // four failures keep the last frame, the fifth reopens
        EXPECT_EQ(source.getFrame(frame, 1000), i == 5) << i;
        EXPECT_EQ(idAndIndex(frame), i < 5 ? std::make_pair(6, 4) : std::make_pair(7, 0)) << i;
    }
    EXPECT_EQ(source.getParams().fps, 25.0f);
    sleptMks();  // read once from here on: never paced, and no restart after the end
    source.setFileReading(NexfeedOpenCv::FileReading::AS_DECODED_ONCE);
    for (int i = 1; i < 12; ++i) {
        EXPECT_EQ(source.getFrame(frame, 1000), i < 5) << i;
        EXPECT_EQ(std::make_pair(idAndIndex(frame), sleptMks()),
                  std::make_pair(std::make_pair(std::min(i, 4) + 7, std::min(i, 4)), 0));
    }
}

TEST_F(Nexfeed, LiveSourceCatchesUpWithinTheTimeout) {
    ASSERT_TRUE(source.open(clip("rtp_live.avi", 60)));  // one frame per 40 ms
    ASSERT_TRUE(source.setParam(LOG_LEVEL, 2));
    // pause, time-out, id and clip index then held (-1: none): 3 skipped at 2.5 intervals, 2 at
    // 1.5, 25 within 1000 ms, 26 fail; a too short time-out refused; -1 drains 6; 5th fail restarts
    const int calls[][4]{{0, 1000, 0, 0},      {39999, 0, 1, 1},        {100000, 1000, 5, 5},
                         {60000, 1000, 8, 8},  {1000000, 1000, 34, 34}, {1020000, 1000, -1},
                         {45000, 40, -1},      {45000, 41, 36, 36},     {40000, 0, -1},
                         {200000, -1, 43, 43}, {0, 0, 44, 44},          {40000, 0, -1},
                         {40000, 0, -1},       {40000, 0, -1},          {0, 1000, 45, 0}};
    const std::string late = "Timeout - 40 ms is set to smaller value than frame interval - 40000";
    std::pair<int, int> last{-1, -1};
    for (const auto& [pauseMks, timeoutMs, id, index] : calls) {
        now += std::chrono::microseconds(pauseMks);
        bool delivered = false;
        EXPECT_EQ(consoleOf([&] { delivered = source.getFrame(frame, timeoutMs); }),
                  errorLine(timeoutMs == 40 ? late : ""));
        ASSERT_EQ(delivered, id >= 0) << pauseMks << " " << timeoutMs;
        last = delivered ? std::make_pair(id, index) : last;
        EXPECT_EQ(idAndIndex(frame), last) << pauseMks;
    }
}

TEST_F(Nexfeed, StreamIsReceivedThenRestartedWhenItsServerGoes) {
    calmora_test::StreamServer server(clip("served.avi", 50));
    ASSERT_TRUE(server.waitReady(std::chrono::milliseconds(10000))) << server.url();
    consoleOf([&] { ASSERT_TRUE(source.open(NexfeedParams{2, server.url()})); });  // logging
    for (int i = 0; i < 5; ++i) {
        now += std::chrono::microseconds(100000);  // 3 intervals late: 3 frames skipped
        ASSERT_TRUE(source.getFrame(frame, 1000)) << i;
        EXPECT_EQ(std::make_pair(frame.frameId, idAndIndex(frame).second >= 0),
                  std::make_pair(3 + 4 * i, true));
    }
    // reads fail once the buffer is empty; every fifth failure fails to reopen
    server.stop();
    int failures = 0;
    const std::string output = consoleOf([&] {
        for (int i = 0; i < 100 && source.isOpen(); ++i)
            failures += source.getFrame(frame, 1000) ? 0 : 1;
    });
    EXPECT_EQ(std::make_pair(source.isOpen(), failures % 5), std::make_pair(false, 0));
    EXPECT_NE(output.find(errorLine(kNoInput + server.url())), std::string::npos) << output;
}

TEST_F(Nexfeed, ConcurrentParameterCalls) {
    const std::string path = clip("rtp_clip.avi", 10);  // a live source: grabs, reads, restarts
    ASSERT_TRUE(source.open(path));
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (int n = 0; !done.load(); ++n) {
            source.setParam(WIDTH, 160);
            source.setParam(LOG_LEVEL, static_cast<float>(n % 2));  // no console
            source.getParam(n % 2 == 0 ? FPS : IS_OPEN);
            EXPECT_EQ(source.getParams().source, path);
        }
    });
    int delivered = 0;
    for (int i = 0; i < 120; ++i) {
        now += std::chrono::microseconds(50000);  // drains two frames before each read
        delivered += source.getFrame(frame, -1) ? 1 : 0;
    }
    done.store(true);
    other.join();
    EXPECT_GT(delivered, 20);  // the clip came round more than five times
}

}  // namespace
}  // namespace orl::video
