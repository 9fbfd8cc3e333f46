// Tests of what the demo shows: the stacked picture, the 960-row limit, the
// overlay lines and colours, the averaged time, the time stamp and a
// recorder given a picture of another size. The recordings themselves are
// checked by the program's own run under a display.

#include "DemoView.h"

#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>

using orl::video::Frame;
namespace fourcc = orl::video::fourcc;

// Source on top, result below, re-made for a new size; frames that do not
// match leave the picture alone.
TEST(DemoView, ComposesSourceAboveResult) {
    cv::Mat mix, before;
    for (const int rows : {48, 80, 20}) {
        const cv::Mat top = calmora_test::texturedScene(rows + 10, rows, 3);
        const cv::Mat bottom = calmora_test::texturedScene(rows + 10, rows, 4);
        const Frame result = calmora_test::toFrame(bottom, fourcc::BGR3);
        ASSERT_TRUE(orl::demo::composeMix(calmora_test::toFrame(top, result.fourcc), result, mix));
        cv::vconcat(top, bottom, before);
        ASSERT_EQ(mix.size(), before.size());
        EXPECT_EQ(cv::norm(mix, before, cv::NORM_INF), 0.0);
        EXPECT_EQ(orl::demo::resultView(result).data, result.data);  // a view, not a copy
    }
    const Frame a = calmora_test::toFrame(calmora_test::texturedScene(30, 20), fourcc::BGR3);
    const Frame taller = calmora_test::toFrame(calmora_test::texturedScene(30, 22), a.fourcc);
    const Frame grey = calmora_test::toFrame(calmora_test::texturedScene(30, 20), fourcc::GRAY);
    for (const auto& [s, r] : {std::tie(a, taller), std::tie(taller, a), std::tie(a, grey)})
        EXPECT_FALSE(orl::demo::composeMix(s, r, mix));
    EXPECT_EQ(cv::norm(mix, before, cv::NORM_INF), 0.0);
    EXPECT_TRUE(orl::demo::resultView(grey).empty());
}

// Up to 960 rows a copy; taller pictures scaled to 960 rows, the width
// truncated, the halves in place.
TEST(DemoView, DisplayLimitedTo960Rows) {
    const std::tuple<int, int, int> cases[] = {
        {960, 640, 640}, {2160, 1920, 853}, {961, 100, 99}, {1152, 720, 600}};  // rows, cols, shown
    for (const auto& [rows, cols, shownCols] : cases) {
        cv::Mat mix(rows, cols, CV_8UC3, cv::Scalar(0, 0, 255)), display;
        mix.rowRange(rows / 2, rows).setTo(cv::Scalar(255, 0, 0));
        orl::demo::makeDisplay(mix, display);
        ASSERT_EQ(display.size(), cv::Size(shownCols, std::min(rows, 960))) << rows;
        EXPECT_NE(display.data, mix.data);  // overlays must not reach the recording
        EXPECT_EQ(display.at<cv::Vec3b>(display.rows / 2 - 2, shownCols - 1), cv::Vec3b(0, 0, 255));
        EXPECT_EQ(display.at<cv::Vec3b>(display.rows / 2 + 2, 0), cv::Vec3b(255, 0, 0));
    }
}

// Texts sit on their lines (20, 40, 60, H/2 - 10, H - 10) and nowhere else,
// with a black edge; the first is red only while recording; the time shows
// whole milliseconds, truncated.
TEST(DemoView, OverlaysOnTheirLines) {
    auto drawn = [](bool recording, float ms, int ground = 0) {
        cv::Mat image(480, 320, CV_8UC3, cv::Scalar::all(ground));
        orl::demo::drawOverlays(image, recording, ms);
        return image;
    };
    auto rows = [](const cv::Mat& image, const cv::Scalar& low, const cv::Scalar& high) {
        cv::Mat mask;
        cv::inRange(image, low, high, mask);
        cv::reduce(mask, mask, 1, cv::REDUCE_MAX);
        return mask;
    };
    for (const bool recording : {false, true}) {
        const cv::Mat image = drawn(recording, 5.0f);
        const cv::Mat lit = rows(image, {0, 0, 129}, cv::Scalar::all(255));  // white or red
        const cv::Mat red = rows(image, {0, 0, 150}, {60, 60, 255});
        for (int y = 0; y < image.rows; ++y) {
            EXPECT_TRUE((y > 6 && y < 66) || (y > 216 && y < 234) || y > 456 || !lit.at<uchar>(y));
            EXPECT_TRUE((y > 6 && y < 26) || !red.at<uchar>(y)) << y;
        }
        for (const int y : {20, 40, 60, 230, 470})
            EXPECT_GT(cv::countNonZero(lit.rowRange(y - 8, y + 1)), 0) << y;
        EXPECT_EQ(cv::countNonZero(red) > 8, recording);
    }
    const cv::Mat white = drawn(false, 5.0f, 255).rowRange(456, 480);
    EXPECT_GT(cv::countNonZero(rows(white, cv::Scalar::all(0), cv::Scalar::all(100))), 5);
    EXPECT_EQ(cv::norm(drawn(false, 11.99f), drawn(false, 11.0f)), 0.0);
    EXPECT_GT(cv::norm(drawn(false, 12.0f), drawn(false, 11.99f)), 0.0);
}

// 12 ms per frame from 5: the shown value runs 5, 6, 6, 7, 7, 8, 8, 8, 9 and
// settles at 11, just below 12 in float; durations truncated to whole ms.
TEST(DemoView, AveragedTimeAndStamp) {
    float average = 5.0f;
    for (const int shown : {5, 6, 6, 7, 7, 8, 8, 8, 9}) {
        average = orl::demo::updateAverageMs(average, 120000);
        EXPECT_EQ(static_cast<int>(average), shown);
    }
    for (int i = 0; i < 500; ++i)
        average = orl::demo::updateAverageMs(average, 119999);
    EXPECT_EQ(static_cast<int>(average), 10);
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
    EXPECT_EQ(orl::demo::timeStamp(1691676309), "2023_08_10_16_05_09");
    EXPECT_EQ(orl::demo::timeStamp(0), "1970_01_01_02_00_00");
}

// A picture of another size than its file's is scaled to it, not dropped.
TEST(DemoView, RecorderScalesToTheFileSize) {
    calmora_test::TempFolder dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    orl::demo::Recorder recorder;
    recorder.start("stamp", {32, 24}, {32, 48});
    const cv::Mat picture = calmora_test::texturedScene(32, 24);
    recorder.write(picture, picture);  // the mix at half its height
    recorder.stop();
    cv::VideoCapture mix("mix_stamp.avi");
    cv::Mat frame;
    ASSERT_TRUE(mix.read(frame));
    EXPECT_EQ(frame.size(), cv::Size(32, 48));
}
