// Tests of what the demo shows and records: the stacked picture and its
// re-making on a size change, the 960-row limit, the overlay positions and
// colours, the averaged time, the time stamp and the two recordings.

#include "DemoView.h"

#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>
#include <cstdlib>

using orl::video::Frame;
namespace fourcc = orl::video::fourcc;

namespace {

// Rows [from, to) of the left 300 columns hold any pixel brighter than 128.
bool brightIn(const cv::Mat& image, int from, int to) {
    cv::Mat grey;
    cv::cvtColor(image(cv::Range(from, to), cv::Range(0, 300)), grey, cv::COLOR_BGR2GRAY);
    double maxValue = 0;
    cv::minMaxLoc(grey, nullptr, &maxValue);
    return maxValue > 128;
}

// Pixels that are clearly red (the recording hint's colour).
int redPixels(const cv::Mat& image) {
    cv::Mat mask;
    cv::inRange(image, cv::Scalar(0, 0, 150), cv::Scalar(60, 60, 255), mask);
    return cv::countNonZero(mask);
}

}  // namespace

// Source on top, result below, both unchanged; a new frame size re-makes the
// picture (ASan would catch a row written past its end); unusable frames
// leave it alone.
TEST(DemoView, ComposesSourceAboveResult) {
    cv::Mat mix;
    for (const cv::Size size :
         {cv::Size(64, 48), cv::Size(96, 80), cv::Size(30, 20), cv::Size(30, 20)}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const cv::Mat srcImage = calmora_test::texturedScene(size.width, size.height, 3);
        const cv::Mat dstImage = calmora_test::texturedScene(size.width, size.height, 4);
        const Frame src = calmora_test::toFrame(srcImage, fourcc::BGR3);
        const Frame dst = calmora_test::toFrame(dstImage, fourcc::BGR3);
        ASSERT_TRUE(orl::demo::composeMix(src, dst, mix));
        ASSERT_EQ(mix.size(), cv::Size(size.width, 2 * size.height));
        ASSERT_EQ(mix.type(), CV_8UC3);
        EXPECT_EQ(cv::norm(mix.rowRange(0, size.height), srcImage, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(mix.rowRange(size.height, 2 * size.height), dstImage, cv::NORM_INF),
                  0.0);
        const cv::Mat view = orl::demo::resultView(dst);
        ASSERT_EQ(view.size(), size);
        EXPECT_EQ(view.data, dst.data);  // a view, not a copy
    }

    const cv::Mat before = mix.clone();
    const Frame a = calmora_test::toFrame(calmora_test::texturedScene(32, 24), fourcc::BGR3);
    const Frame b = calmora_test::toFrame(calmora_test::texturedScene(32, 26), fourcc::BGR3);
    const Frame grey = calmora_test::toFrame(calmora_test::texturedScene(32, 24), fourcc::GRAY);
    const Frame empty;
    EXPECT_FALSE(orl::demo::composeMix(a, b, mix));     // sizes differ
    EXPECT_FALSE(orl::demo::composeMix(a, grey, mix));  // 1 byte per pixel
    EXPECT_FALSE(orl::demo::composeMix(empty, empty, mix));
    EXPECT_EQ(mix.size(), before.size());
    EXPECT_EQ(cv::norm(mix, before, cv::NORM_INF), 0.0);
    EXPECT_TRUE(orl::demo::resultView(grey).empty());
}

// Up to 960 rows the picture is shown as it is; taller ones are scaled to
// 960 rows with the width truncated, the halves staying in place.
TEST(DemoView, DisplayLimitedTo960Rows) {
    struct Case {
        cv::Size mix, shown;
    };
    const Case cases[] = {
        {{640, 960}, {640, 960}},   {{320, 480}, {320, 480}}, {{1920, 2160}, {853, 960}},
        {{1280, 1440}, {853, 960}}, {{100, 961}, {99, 960}},  {{720, 1152}, {600, 960}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mix.width) + "x" + std::to_string(c.mix.height));
        EXPECT_EQ(orl::demo::displaySize(c.mix), c.shown);
        cv::Mat mix(c.mix, CV_8UC3, cv::Scalar(0, 0, 255));
        mix.rowRange(c.mix.height / 2, c.mix.height).setTo(cv::Scalar(255, 0, 0));
        cv::Mat display;
        orl::demo::makeDisplay(mix, display);
        ASSERT_EQ(display.size(), c.shown);
        EXPECT_EQ(display.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));
        EXPECT_EQ(display.at<cv::Vec3b>(c.shown.height / 2 - 2, c.shown.width - 1),
                  cv::Vec3b(0, 0, 255));
        EXPECT_EQ(display.at<cv::Vec3b>(c.shown.height / 2 + 2, 0), cv::Vec3b(255, 0, 0));
        EXPECT_EQ(display.at<cv::Vec3b>(c.shown.height - 1, c.shown.width - 1),
                  cv::Vec3b(255, 0, 0));
        if (c.mix == c.shown) {
            EXPECT_NE(display.data, mix.data);  // a copy: overlays must not reach the recording
        }
    }
}

// Texts sit on their lines (20, 40, 60, H/2 - 10, H - 10) and nowhere else;
// the first is red only while recording; every text has a dark edge; the
// time shows whole milliseconds, truncated.
TEST(DemoView, OverlaysOnTheirLines) {
    for (const cv::Size size : {cv::Size(640, 960), cv::Size(853, 960), cv::Size(320, 480)}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const int h = size.height;
        cv::Mat display(size, CV_8UC3, cv::Scalar(0, 0, 0));
        orl::demo::drawOverlays(display, false, 5.0f);
        // glyphs of scale 0.6 reach about 13 rows above the baseline and
        // (for "g", "p") 5 rows below; the colour copy is one row lower
        for (const int y : {20, 40, 60, h / 2 - 10, h - 10}) {
            EXPECT_TRUE(brightIn(display, y - 8, y + 1)) << "line " << y;
        }
        EXPECT_FALSE(brightIn(display, 68, h / 2 - 26));
        EXPECT_FALSE(brightIn(display, h / 2 - 2, h - 26));
        EXPECT_FALSE(brightIn(display, h - 2, h));
        EXPECT_EQ(redPixels(display), 0);

        cv::Mat recording(size, CV_8UC3, cv::Scalar(0, 0, 0));
        orl::demo::drawOverlays(recording, true, 5.0f);
        cv::Mat firstLine = recording.rowRange(0, 26);
        EXPECT_GT(redPixels(firstLine), 50);
        EXPECT_EQ(redPixels(recording.rowRange(26, h)), 0);
    }

    // black edge first: visible on a white picture
    cv::Mat white(480, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    orl::demo::drawOverlays(white, false, 5.0f);
    cv::Mat darkMask;
    cv::inRange(white.rowRange(440, 480), cv::Scalar(0, 0, 0), cv::Scalar(128, 128, 128), darkMask);
    EXPECT_GT(cv::countNonZero(darkMask), 30);

    // the processing time is truncated: 11.99 shows "11", 12.0 shows "12"
    auto drawn = [](float ms) {
        cv::Mat image(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
        orl::demo::drawOverlays(image, false, ms);
        return image;
    };
    EXPECT_EQ(cv::norm(drawn(11.99f), drawn(11.0f), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(drawn(12.0f), drawn(11.99f), cv::NORM_INF), 0.0);
}

// 12 ms per frame from the start value 5: the shown value runs
// 5, 6, 6, 7, 7, 8, 8, 8, 9 and settles at 11, just below 12 in float.
// Durations are truncated to whole ms before averaging.
TEST(DemoView, AveragedProcessingTime) {
    const int expected[] = {5, 6, 6, 7, 7, 8, 8, 8, 9};
    float average = 5.0f;
    for (const int shown : expected) {
        average = orl::demo::updateAverageMs(average, 120000);
        EXPECT_EQ(static_cast<int>(average), shown);
    }
    for (int i = 0; i < 500; ++i)
        average = orl::demo::updateAverageMs(average, 120000);
    EXPECT_EQ(static_cast<int>(average), 11);
    EXPECT_LT(average, 12.0f);

    EXPECT_FLOAT_EQ(orl::demo::updateAverageMs(5.0f, 119999), 0.1f * 11 + 0.9f * 5.0f);
    EXPECT_FLOAT_EQ(orl::demo::updateAverageMs(5.0f, 9999), 4.5f);
    EXPECT_FLOAT_EQ(orl::demo::updateAverageMs(0.0f, 10000), 0.1f);
}

TEST(DemoView, TimeStampInLocalTime) {
    const char* oldTz = std::getenv("TZ");
    const std::string saved = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(orl::demo::timeStamp(1691676309), "2023_08_10_14_05_09");
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
    EXPECT_EQ(orl::demo::timeStamp(1691676309), "2023_08_10_16_05_09");
    EXPECT_EQ(orl::demo::timeStamp(0), "1970_01_01_02_00_00");
    if (oldTz != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Two files, named from the stamp, announced before they are made, holding
// every written picture at full size; a picture of another size is scaled
// to the file's size.
TEST(DemoView, RecorderWritesBothFiles) {
    calmora_test::TempFolder folder;
    char oldDir[4096];
    ASSERT_NE(getcwd(oldDir, sizeof oldDir), nullptr);
    ASSERT_EQ(chdir(folder.path().c_str()), 0);

    orl::demo::Recorder recorder;
    EXPECT_FALSE(recorder.recording());
    testing::internal::CaptureStdout();
    recorder.start("2024_01_02_03_04_05", cv::Size(160, 120), cv::Size(160, 240));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Created: dst_2024_01_02_03_04_05.avi\nCreated: mix_2024_01_02_03_04_05.avi\n");
    EXPECT_TRUE(recorder.recording());
    const cv::Mat result = calmora_test::texturedScene(160, 120, 9);
    cv::Mat mix;
    cv::vconcat(calmora_test::texturedScene(160, 120, 8), result, mix);
    for (int i = 0; i < 4; ++i)
        recorder.write(result, mix);
    cv::Mat small;
    cv::resize(mix, small, cv::Size(80, 120));
    recorder.write(result, small);
    recorder.stop();
    EXPECT_FALSE(recorder.recording());

    struct Expect {
        const char* name;
        cv::Size size;
        const cv::Mat* first;
    };
    for (const Expect& e : {Expect{"dst_2024_01_02_03_04_05.avi", {160, 120}, &result},
                            Expect{"mix_2024_01_02_03_04_05.avi", {160, 240}, &mix}}) {
        SCOPED_TRACE(e.name);
        cv::VideoCapture capture(e.name);
        ASSERT_TRUE(capture.isOpened());
        int frames = 0;
        cv::Mat frame;
        while (capture.read(frame)) {
            EXPECT_EQ(frame.size(), e.size);
            if (frames == 0) {
                // MJPG is lossy: close, not equal
                EXPECT_LT(
                    cv::norm(frame, *e.first, cv::NORM_L1) / static_cast<double>(frame.total() * 3),
                    12.0);
            }
            ++frames;
        }
        EXPECT_EQ(frames, 5);
    }
    ASSERT_EQ(chdir(oldDir), 0);
}
