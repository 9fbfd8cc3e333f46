// The source's pure parts: the source text and the initialisation string,
// the property scales and pacing sums, and the copy into a "BGR3" frame.

#include "FrameCopy.h"
#include "PropertyScale.h"
#include "SourceText.h"

#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <cmath>
#include <fstream>

namespace orl::video {
namespace {

template <typename... Values>
std::vector<double> doubles(Values... values) {
    return {static_cast<double>(values)...};
}

TEST(SourceText, ClassifiesByMarkerLengthAndFile) {
    calmora_test::TempFolder temp;
    const std::string plainFile = temp.file("recording");  // no marker, but a regular file
    std::ofstream(plainFile) << "x";
    const std::vector<std::pair<SourceType, std::vector<std::string>>> cases{
        {STREAM, {"rtsp://h/cam", "http://h/a.mp4", "cam_rtsp_1", "xrtpx", "rtp_clip.avi"}},
        {VIDEO_FILE,
         {"clip.mp4", "movie_x", "a.avi", "x.wmv", "x.flv", "x.swf", "x.f4v", "x.webm", "x.mkv",
          "x.mpg", "x.mpeg", "x.m4v", "x.3gp", "x.ogv", plainFile}},
        {UNKNOWN,
         {"/tmp/AVI.MP4", "/dev/video0", temp.path().string(), "1000", "cam", "-", "", "avi",
          "rtp"}},
        {DEVICE, {"0", "999", "1a", " 7", "-0"}},
        {NUMBER_OUT_OF_RANGE, {"-5", "-99"}}};
    for (const auto& [expected, texts] : cases) {
        for (const std::string& text : texts) {
            EXPECT_EQ(classifySource(text), expected) << "\"" << text << "\"";
        }
    }
}

TEST(SourceText, SplitsAndParsesLikeTheInitString) {
    EXPECT_EQ(splitInitString(" a ;;;1;2;"), (std::vector<std::string>{" a ", "1", "2"}));
    const std::string invalid = "invalid stoi argument", range = "stoi argument out of range";
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"\t-17", -17, ""},
        {"+8x", 8, ""},
        {"2147483647", INT_MAX, ""},
        {"-2147483648", INT_MIN, ""},
        {"0000000000000000000000123", 123, ""},
        {"abc", 0, invalid},
        {"+-1", 0, invalid},
        {"", 0, invalid},
        {"2147483648", 0, range},
        {"-2147483649", 0, range},
        {"99999999999999999999999", 0, range}};
    for (const auto& [text, value, error] : cases) {
        int got = -777;
        std::string message;
        EXPECT_EQ(parseDecimal(text, got, message), error.empty()) << text;
        EXPECT_EQ(got, error.empty() ? value : -777) << text;
        EXPECT_EQ(message, error) << text;
    }
}

TEST(PropertyScale, ScalesAndPacingSums) {
    // (computed, expected) pairs: device scales, truncation, then the pacing
    // sums (frame interval, frames missed, frames a time-out allows, discarding)
    const std::vector<double> pairs = doubles(
        gainToDevice(65535.0f), 254.0, gainToDevice(32768.0f), 127.0019, focusToDevice(65535.0f),
        250.0, focusToDevice(1000.0f), 0.0, focusToDevice(2621.0f), 5.0, focusToDevice(2622.0f),
        10.0, focusToDevice(-1835.0f), -5.0, exposureModeToDevice(0.0f), 0.25,
        exposureModeToDevice(0.5f), 0.75, focusModeToDevice(0.0f), 2.0, focusModeToDevice(1.0f),
        1.0, gainFromDevice(1.9), 488, gainFromDevice(-1.0), -257, focusFromDevice(255.0), 65535,
        focusFromDevice(0.5), 128, truncToInt(-3.7), -3, truncToInt(1e12), INT_MAX,
        truncToInt(-1e12), INT_MIN, truncToInt(std::nan("")), 0, frameIntervalFor(25.0f, 33000),
        40000, frameIntervalFor(30.0f, 33000), 33333, frameIntervalFor(0.0f, 12345), 12345,
        frameIntervalFor(std::nanf(""), 7), 7, frameIntervalFor(1e9f, 33000), 1,
        frameIntervalFor(1e-9f, 33000), INT_MAX, missedFrames(95000, 33000), 3,
        missedFrames(1100000, 40000), 28, missedFrames(59000, 40000), 1, missedFrames(100, 0), 0,
        framesWithinTimeout(1000, 40000), 25, framesWithinTimeout(INT_MAX, 1), INT_MAX,
        framesWithinTimeout(0, 40000), 0, drainBound(0, 40000), 1, drainBound(200000, 40000), 6,
        drainBound(254 * 40000, 40000), 255, drainBound(255 * 40000, 40000), 256,
        drainBound(INT_MAX, 1), 256);
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        EXPECT_NEAR(pairs[i], pairs[i + 1], 1e-3) << "pair " << i / 2;
    }
    using orl::logging::LogMode;
    const LogMode modes[]{LogMode::DISABLED,         LogMode::FILE,     LogMode::CONSOLE,
                          LogMode::CONSOLE_AND_FILE, LogMode::DISABLED, LogMode::DISABLED};
    for (int level = -1; level <= 4; ++level) {
        LogMode mode = LogMode::CONSOLE;
        EXPECT_EQ(logModeForLevel(level, mode), level >= 0 && level <= 3) << level;
        EXPECT_EQ(mode, modes[level < 0 ? 5 : level]) << level;
    }
}

TEST(FrameCopy, ConvertsIntoAFittingBgrFrame) {
    const cv::Mat bgr = calmora_test::texturedScene(34, 22, 5);
    cv::Mat grey, greyAsBgr, bgra, wide, unit;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, greyAsBgr, cv::COLOR_GRAY2BGR);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    bgr.convertTo(wide, CV_16U, 257.0);
    bgr.convertTo(unit, CV_32F, 1.0 / 255.0);
    const cv::Mat region = calmora_test::texturedScene(80, 60, 6)(cv::Rect(3, 5, 34, 22));
    // image, expected picture, tolerance, the frame it is copied into
    const std::vector<std::tuple<cv::Mat, cv::Mat, double, Frame>> cases{
        {bgr, bgr, 0.0, Frame()},
        {grey, greyAsBgr, 0.0, Frame(34, 22, fourcc::BGR3)},
        {bgra, bgr, 0.0, Frame(20, 10, fourcc::BGR3)},
        {wide, bgr, 0.0, Frame(22, 34, fourcc::BGR3)},
        {unit, bgr, 1.0, Frame(34, 22, fourcc::YUV3)},
        {region, region.clone(), 0.0, Frame(400, 300, fourcc::NV12)}};
    for (auto [image, expected, tolerance, frame] : cases) {
        frame.sourceId = 4711;
        const bool reusable = frame.width == 34 && frame.fourcc == fourcc::BGR3;
        const uint8_t* buffer = frame.data;
        cv::Mat scratch;
        ASSERT_TRUE(copyToBgrFrame(image, scratch, frame));
        EXPECT_EQ(std::make_tuple(frame.sourceId, frame.fourcc, frame.size),
                  std::make_tuple(4711, fourcc::BGR3, 34u * 22u * 3u));
        EXPECT_TRUE(!reusable || frame.data == buffer);
        EXPECT_LE(cv::norm(calmora_test::bgrOf(frame), expected, cv::NORM_INF), tolerance);
    }
    // refused: nothing decoded, two channels, not a picture; the frame is untouched
    Frame frame = calmora_test::toFrame(bgr, fourcc::BGR3);
    for (const cv::Mat& image : {cv::Mat(), cv::Mat(22, 34, CV_8UC2, cv::Scalar(1, 2)),
                                 cv::Mat(std::vector<int>{2, 3, 4}, CV_8UC3)}) {
        cv::Mat scratch;
        EXPECT_FALSE(copyToBgrFrame(image, scratch, frame));
        EXPECT_EQ(cv::norm(calmora_test::bgrOf(frame), bgr, cv::NORM_INF), 0.0);
    }
}

}  // namespace
}  // namespace orl::video
