// The demo's parts: records read all or nothing, the pictures, the recorder, the dialog.

#include "DemoConfig.h"
#include "DemoView.h"
#include "FileDialog.h"

#include <Synthetic.h>
#include "Process.h"

#include <gtest/gtest.h>

#include <unistd.h>

using calmora_test::toFrame;
using nlohmann::json;
using orl::video::fourcc::BGR3;

// Rows patch a record of distinct values read into a marked record: accepted, it writes
// back as patched; refused, the error names the row's fault and the marked record stays.
TEST(DemoConfig, ReadsAllOrNothing) {
    const json record = json::parse(R"({"videoSource": {"logLevel": 3, "source": "/tmp/ünï.avi",
        "fourcc": "MJPG", "width": 1280, "height": 720, "gainMode": 2, "exposureMode": 0,
        "focusMode": 5, "fps": 29.5, "custom1": 0.8999999761581421, "custom2": -2.25,
        "custom3": 0.125}, "videoStabiliser": {"scaleFactor": 4, "xOffsetLimit": -12,
        "yOffsetLimit": 21, "aOffsetLimit": 0.20000000298023224, "xFilterCoeff": 0.75,
        "yFilterCoeff": 0.5, "aFilterCoeff": 1.0, "enable": false, "transparentBorder": true,
        "constXOffset": 6, "constYOffset": -7, "constAOffset": -0.0625, "type": 0,
        "cutFrequencyHz": 1024.75, "fps": 24.5, "logMod": 9}})");
    const std::pair<const char*, const char*> cases[] = {
        {R"({"x":1,"videoSource":{"width":640.9,"height":-480.9,"fps":true,"gain":9,
            "focusMode":-2147483648}})",
         R"({"videoSource":{"width":640,"height":-480,"fps":1.0,"focusMode":-2147483648}})"},
        {R"({"videoStabiliser":{"scaleFactor":true,"xOffsetLimit":2147483647.9,"logMod":2147483647,
            "yOffsetLimit":-2147483648.9,"fps":3.4028234663852886e38}})",
         R"({"videoStabiliser":{"scaleFactor":1,"xOffsetLimit":2147483647,"logMod":2147483647,
            "yOffsetLimit":-2147483648,"fps":3.4028234663852886e38}})"},
        {R"({"videoSource":{"width":2147483648.0}})", "406] number out of range for 'width'"},
        {R"({"videoSource":{"height":-2147483649.0}})", "range for 'height'"},
        {R"({"videoSource":{"gainMode":2147483648}})", "range for 'gainMode'"},
        {R"({"videoStabiliser":{"logMod":-2147483649}})", "range for 'logMod'"},
        {R"({"videoSource":{"fps":3.5e38}})", "range for 'fps'"},
        {R"({"videoStabiliser":{"constAOffset":-1e300}})", "range for 'constAOffset'"},
        {R"({"videoStabiliser":{"logMod":null,"logMode":0}})", "403] key 'logMod' not found"},
        {R"({"videoStabiliser":{"type":null},"videoSource":{"custom3":"x"}})", "is string"},
    };
    orl::demo::DemoParams marked;
    marked.videoSource.gain = 4321;
    json unchanged;
    ASSERT_TRUE(orl::demo::writeDemoParams(unchanged, marked, ""));
    for (const auto& [patch, outcome] : cases) {
        SCOPED_TRACE(patch);
        json document = record, expected = record;
        document.merge_patch(json::parse(patch));
        auto params = marked;
        const bool accepted = *outcome == '{';
        testing::internal::CaptureStderr();
        EXPECT_EQ(orl::demo::readDemoParams({{"P", {{"Q", document}}}}, "P.Q", params), accepted);
        const std::string err = testing::internal::GetCapturedStderr();
        expected.merge_patch(json::parse(accepted ? outcome : "{}"));
        json written = {{"a", {{"keep", 1}}}};
        ASSERT_TRUE(orl::demo::writeDemoParams(written, params, "a.b"));
        EXPECT_EQ(written, (json{{"a", {{"keep", 1}, {"b", accepted ? expected : unchanged}}}}));
        EXPECT_EQ(params.videoSource.gain, accepted ? 0 : 4321);  // whole records or nothing
        EXPECT_TRUE(accepted ? err.empty() : err.find(outcome) != std::string::npos) << err;
    }
}

// Source above result, re-made for a new size, kept for frames of two sizes. Up to 960
// rows the shown picture is a copy; taller ones are scaled to 960, the width truncated.
TEST(DemoView, ComposesAndLimitsTo960Rows) {
    cv::Mat mix, both, display;
    for (const int rows : {48, 80, 20}) {
        const cv::Mat top = calmora_test::texturedScene(rows + 10, rows, 3), bottom = 255 - top;
        ASSERT_TRUE(orl::demo::composeMix(toFrame(top, BGR3), toFrame(bottom, BGR3), mix));
        cv::vconcat(top, bottom, both);
        EXPECT_EQ(cv::norm(mix, both, cv::NORM_INF), 0.0);
    }
    EXPECT_FALSE(
        orl::demo::composeMix(toFrame(both, BGR3), toFrame(both.rowRange(0, 20), BGR3), mix));
    EXPECT_EQ(cv::norm(mix, both, cv::NORM_INF), 0.0);
    for (const auto& [rows, cols, shown] :
         {std::tuple(960, 64, 64), std::tuple(961, 100, 99), std::tuple(1152, 720, 600)}) {
        orl::demo::makeDisplay(cv::Mat(rows, cols, CV_8UC3, cv::Scalar(0, 0, 255)), display);
        EXPECT_EQ(display.size(), cv::Size(shown, std::min(rows, 960)));
        EXPECT_EQ(display.at<cv::Vec3b>(display.rows - 1, shown - 1), cv::Vec3b(0, 0, 255));
    }
}

// Durations are truncated to whole ms: 11.9999 ms each settles at 10 in float. A picture
// of another size than its file's is scaled to it. zenity's answer loses only its final
// line end; a cancel (status 1) gives none.
TEST(DemoView, AveragedTimeRecorderAndDialog) {
    float average = 5.0f;
    for (int i = 0; i < 500; ++i)
        average = orl::demo::updateAverageMs(average, 119999);
    EXPECT_EQ(static_cast<int>(average), 10);
    const calmora_test::TempFolder dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    orl::demo::Recorder recorder;
    recorder.start("stamp", {32, 24}, {32, 48});
    recorder.write(cv::Mat::zeros(24, 32, CV_8UC3), cv::Mat::zeros(24, 32, CV_8UC3));
    recorder.stop();
    cv::Mat frame;
    ASSERT_TRUE(cv::VideoCapture("mix_stamp.avi").read(frame));
    EXPECT_EQ(frame.size(), cv::Size(32, 48));
    setenv("PATH", (dir.path().string() + ":" + std::getenv("PATH")).c_str(), 1);
    unsetenv("DISPLAY");
    setenv("WAYLAND_DISPLAY", "w-0", 1);
    std::ofstream("zenity") << "#!/bin/sh\nprintf '/a b/c.avi\\n\\n'\n[ ! -e cancel ]\n";
    std::filesystem::permissions("zenity", std::filesystem::perms::owner_all);
    EXPECT_EQ(orl::demo::openFileDialogZenity(), "/a b/c.avi\n");
    std::ofstream("cancel");  // zenity now ends with status 1
    EXPECT_EQ(orl::demo::openFileDialogZenity(), "");
}
