// Tests of the real CalmoraOpenCvDemo program, each run in a fresh temporary
// working folder with its output and exit status captured.
// - Configuration cases run without a display: the program must stop with
//   its messages before any window.
// - End-to-end cases start Xvfb, drive the program with xdotool and look at
//   its recordings and a screenshot of its window.

#include "DemoConfig.h"

#include <ChildProcess.h>
#include <Synthetic.h>
#include <TempFolder.h>
#include <Xvfb.h>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using calmora_test::ChildOptions;
using calmora_test::ChildResult;
using nlohmann::json;

namespace {

const char* const BANNER =
    "##########################################\n"
    "#                                        #\n"
    "#   CalmoraOpenCv v4.0.1 demo app    #\n"
    "#                                        #\n"
    "##########################################\n"
    "\n";

// The file a first start writes, byte for byte.
const char* const DEFAULT_FILE = R"({
    "Params": {
        "videoSource": {
            "custom1": -1.0,
            "custom2": -1.0,
            "custom3": -1.0,
            "exposureMode": 1,
            "focusMode": 1,
            "fourcc": "BGR24",
            "fps": 0.0,
            "gainMode": 1,
            "height": 1080,
            "logLevel": 0,
            "source": "file dialog",
            "width": 1920
        },
        "videoStabiliser": {
            "aFilterCoeff": 0.0,
            "aOffsetLimit": 0.20000000298023224,
            "constAOffset": 0.0,
            "constXOffset": 0,
            "constYOffset": 0,
            "cutFrequencyHz": 0.0,
            "enable": true,
            "fps": 0.0,
            "logMod": 0,
            "scaleFactor": 1,
            "transparentBorder": true,
            "type": 2,
            "xFilterCoeff": 0.0,
            "xOffsetLimit": 150,
            "yFilterCoeff": 0.0,
            "yOffsetLimit": 150
        }
    }
}
)";

const char* const CONFIG = "CalmoraOpenCvDemo.json";
const char* const BACKUP = "CalmoraOpenCvDemo.json.bak";
const char* const KEPT_MESSAGE = "The old config file is kept as CalmoraOpenCvDemo.json.bak\n";

std::string readText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeText(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

// The demo's environment: no display unless one is given; the toolkits'
// leaks are not ours, so LeakSanitizer (in sanitized builds) stays quiet.
ChildOptions demoOptions(const calmora_test::TempFolder& dir, const std::string& display) {
    ChildOptions options{
        {CALMORA_DEMO_EXE}, dir.path().string(), {}, {"WAYLAND_DISPLAY", "QT_QPA_PLATFORMTHEME"}};
    if (display.empty())
        options.unsetEnv.push_back("DISPLAY");
    else
        options.setEnv.push_back({"DISPLAY", display});
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.setEnv.push_back(
        {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"});
    return options;
}

ChildResult runDemo(const calmora_test::TempFolder& dir) {
    return calmora_test::runChild(demoOptions(dir, ""), std::chrono::seconds(60));
}

// A valid configuration with the default values and `source`.
json configWithSource(const std::string& source) {
    json document = json::parse(DEFAULT_FILE);
    document["Params"]["videoSource"]["source"] = source;
    return document;
}

}  // namespace

// First start in an empty folder: message, default file, status -1 (255).
// Second start reads that file and goes on to the dialog, which needs a
// display: the file is left as it was.
TEST(DemoProgram, MissingFileWritesDefaultsAndReadsThemBack) {
    calmora_test::TempFolder dir;
    const ChildResult first = runDemo(dir);
    ASSERT_FALSE(first.timedOut);
    EXPECT_EQ(first.exitCode, 255);
    EXPECT_EQ(first.out, std::string(BANNER) + "ERROR: Can't open config file\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(readText(dir.file(CONFIG)), DEFAULT_FILE);
    EXPECT_FALSE(fs::exists(dir.file(BACKUP)));

    const ChildResult second = runDemo(dir);
    ASSERT_FALSE(second.timedOut);
    EXPECT_EQ(second.exitCode, 255);
    EXPECT_EQ(second.out, std::string(BANNER) + "ERROR: No display available\n");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(readText(dir.file(CONFIG)), DEFAULT_FILE);
    EXPECT_FALSE(fs::exists(dir.file(BACKUP)));
}

// Unusable files: the right messages on the right streams, the user's file
// kept byte for byte as .bak, a default "Params" written, other top-level
// members kept when the file parsed.
TEST(DemoProgram, UnusableFilesAreKeptAndReplaced) {
    struct Case {
        const char* name;
        std::string content;
        const char* outBefore;  // expected on stdout before the error line
        const char* errorLine;
        const char* errText;  // expected on stderr
        bool keepsTop;        // the parsed document's other members survive
    };
    json enableNumber = configWithSource("clip.avi");
    enableNumber["Params"]["videoStabiliser"]["enable"] = 1;
    json sourceNumber = configWithSource("clip.avi");
    sourceNumber["Params"]["videoSource"]["source"] = 0;
    json logMode = configWithSource("clip.avi");
    logMode["Params"]["videoStabiliser"].erase("logMod");
    logMode["Params"]["videoStabiliser"]["logMode"] = 0;
    logMode["Params"]["note"] = "lost";
    logMode["Extra"] = {{"kept", true}};
    const Case cases[] = {
        {"comment line", "// my settings\n" + configWithSource("clip.avi").dump(4),
         "[json.exception.parse_error.101]", "ERROR: Can't open config file\n", "", false},
        {"enable 1", enableNumber.dump(2), "", "ERROR: Can't read params from file\n",
         "[json.exception.type_error.302] type must be boolean, but is number\n", true},
        {"source 0", sourceNumber.dump(), "", "ERROR: Can't read params from file\n",
         "[json.exception.type_error.302] type must be string, but is number\n", true},
        {"logMode and an extra member", logMode.dump(4), "", "ERROR: Can't read params from file\n",
         "[json.exception.out_of_range.403] key 'logMod' not found\n", true},
        // "Params" cannot be stored in an array either (second text); the
        // defaults then make a document of their own
        {"top level is an array", "[1, 2]", "", "ERROR: Can't read params from file\n",
         "[json.exception.type_error.304] cannot use at() with array\n"
         "[json.exception.type_error.305] cannot use operator[] with a string argument with "
         "array\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        calmora_test::TempFolder dir;
        writeText(dir.file(CONFIG), c.content);
        const ChildResult r = runDemo(dir);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 255);
        ASSERT_EQ(r.out.rfind(BANNER, 0), 0u) << r.out;
        const std::string after = r.out.substr(std::string(BANNER).size());
        EXPECT_EQ(after.rfind(c.outBefore, 0), 0u) << after;
        const std::string tail = std::string(c.errorLine) + KEPT_MESSAGE;
        ASSERT_GE(after.size(), tail.size()) << after;
        EXPECT_EQ(after.substr(after.size() - tail.size()), tail) << after;
        EXPECT_EQ(r.err, c.errText);
        EXPECT_EQ(readText(dir.file(BACKUP)), c.content);

        json written = json::parse(readText(dir.file(CONFIG)));
        EXPECT_EQ(written["Params"], json::parse(DEFAULT_FILE)["Params"]);
        json expectedTop = json::parse(DEFAULT_FILE);
        if (c.keepsTop) {
            json original = json::parse(c.content);
            original["Params"] = expectedTop["Params"];
            expectedTop = original;
        }
        EXPECT_EQ(written, expectedTop);
        EXPECT_EQ(readText(dir.file(CONFIG)), expectedTop.dump(4) + "\n");
    }
}

// Accepted but unusual values get past the configuration: the program stops
// only at the source, and the file is not touched.
TEST(DemoProgram, AcceptedValuesReachTheSource) {
    json document = configWithSource("no_such_clip.avi");
    document["Params"]["videoSource"]["width"] = 640.9;
    document["Params"]["videoSource"]["fps"] = true;
    document["Params"]["videoStabiliser"]["scaleFactor"] = false;
    document["Params"]["videoStabiliser"]["extra"] = "ignored";
    document["Note"] = "mine";
    for (const std::string& text : {document.dump(4) + "\n", document.dump() + "\n"}) {
        calmora_test::TempFolder dir;
        writeText(dir.file(CONFIG), text);
        const ChildResult r = runDemo(dir);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out.find("ERROR: Can't open config file"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("ERROR: Can't read params from file"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("ERROR: Can't init video source\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("[json.exception."), std::string::npos) << r.err;
        EXPECT_EQ(readText(dir.file(CONFIG)), text);
        EXPECT_FALSE(fs::exists(dir.file(BACKUP)));
    }
}

// Files that cannot be copied or written are reported, and nothing of the
// user's is lost: a folder in the file's place cannot be copied, so it is
// left alone; a link into a missing folder cannot be written.
TEST(DemoProgram, UnwritableConfigIsReported) {
    {
        calmora_test::TempFolder dir;
        fs::create_directory(dir.file(CONFIG));
        writeText(dir.file(CONFIG) + "/inside", "mine");
        const ChildResult r = runDemo(dir);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 255);
        const std::string tail =
            "ERROR: Can't open config file\n"
            "ERROR: Can't keep a copy of the config file as CalmoraOpenCvDemo.json.bak, "
            "the file is left unchanged\n";
        ASSERT_GE(r.out.size(), tail.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
        EXPECT_EQ(readText(dir.file(CONFIG) + "/inside"), "mine");
        EXPECT_FALSE(fs::exists(dir.file(BACKUP)));
    }
    {
        calmora_test::TempFolder dir;
        fs::create_symlink(dir.file("no/such/folder/settings.json"), dir.file(CONFIG));
        const ChildResult r = runDemo(dir);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 255);
        EXPECT_EQ(r.out, std::string(BANNER) +
                             "ERROR: Can't open config file\n"
                             "ERROR: Can't write config file CalmoraOpenCvDemo.json\n");
    }
}

// ---------------------------------------------------------------------------
// End to end under Xvfb

namespace {

const cv::Size CLIP_SIZE(320, 240);
const cv::Size BIG_CLIP_SIZE(400, 300);

// A scene 80 pixels larger than the clip each way; the clip looks at its
// middle, shaken by a few whole pixels from frame to frame.
cv::Mat sceneFor(cv::Size clip, uint64_t seed) {
    return calmora_test::texturedScene(clip.width + 80, clip.height + 80, seed);
}

cv::Mat clipPicture(const cv::Mat& scene, cv::Size size, int index) {
    const double dx = std::round(5.0 * std::sin(index * 0.9));
    const double dy = std::round(4.0 * std::cos(index * 1.3));
    return calmora_test::view(scene, size, {40 + dx, 40 + dy});
}

// 25 frames per second, MJPG in .avi.
bool writeShakyClip(const std::string& path, const cv::Mat& scene, cv::Size size, int frames) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, size, true);
    if (!writer.isOpened())
        return false;
    for (int i = 0; i < frames; ++i)
        writer.write(clipPicture(scene, size, i));
    writer.release();
    return fs::exists(path);
}

// Where the middle of the clip's scene shows in a screenshot: the best
// match, and the best one at least 40 pixels away from it (the other half
// of the stacked picture). Scores are normalised correlations.
struct Stacking {
    double best{0}, second{0};
    cv::Point at, at2;
};

Stacking findStacking(const cv::Mat& picture, const cv::Mat& scene, cv::Size clip) {
    Stacking s;
    const cv::Rect middle(40 + clip.width / 4, 40 + clip.height / 4 + 10, clip.width / 2,
                          clip.height / 2 - 20);
    if (picture.cols < middle.width || picture.rows < middle.height)
        return s;
    cv::Mat scores;
    cv::matchTemplate(picture, scene(middle), scores, cv::TM_CCOEFF_NORMED);
    cv::minMaxLoc(scores, nullptr, &s.best, nullptr, &s.at);
    cv::rectangle(scores, cv::Rect(s.at.x - 40, s.at.y - 40, 81, 81), cv::Scalar(-1), cv::FILLED);
    cv::minMaxLoc(scores, nullptr, &s.second, nullptr, &s.at2);
    return s;
}

// True when the screenshot shows the clip twice, one picture exactly one
// clip height above the other.
bool showsStacked(const Stacking& s, cv::Size clip) {
    return s.best > 0.6 && s.second > 0.6 &&
           std::abs(std::abs(s.at2.y - s.at.y) - clip.height) <= 16 &&
           std::abs(s.at2.x - s.at.x) <= 16;
}

// A program's window on the display: the first visible one whose title
// matches, waited for at most `seconds` while `demo` runs.
std::string waitForWindow(const calmora_test::XvfbServer& x, calmora_test::ChildProcess& demo,
                          const std::string& title, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline && demo.running()) {
        const ChildResult r = x.run({"xdotool", "search", "--onlyvisible", "--name", title});
        if (r.exitCode == 0 && !r.out.empty())
            return r.out.substr(0, r.out.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return {};
}

// Keys go through XTEST to the focused window; without a window manager the
// focus is set by hand first.
void sendKey(const calmora_test::XvfbServer& x, const std::string& window, const std::string& key) {
    x.run({"xdotool", "windowfocus", window});
    x.run({"xdotool", "key", key});
}

struct Recording {
    cv::Size size;
    int frames{0};
};

Recording readRecording(const std::string& path) {
    Recording r;
    cv::VideoCapture capture(path);
    cv::Mat frame;
    while (capture.isOpened() && capture.read(frame)) {
        r.size = frame.size();
        ++r.frames;
    }
    return r;
}

class DemoDisplayTest : public testing::Test {
  protected:
    void SetUp() override {
        if (calmora_test::findProgram("Xvfb").empty() ||
            calmora_test::findProgram("xdotool").empty())
            GTEST_SKIP() << "needs Xvfb and xdotool";
        x_ = std::make_unique<calmora_test::XvfbServer>();
        ASSERT_TRUE(x_->ok()) << "Xvfb did not start";
        scene_ = sceneFor(CLIP_SIZE, 11);
        clip_ = dir_.file("shaky clip.avi");
        ASSERT_TRUE(writeShakyClip(clip_, scene_, CLIP_SIZE, 40));
    }

    // The program's dialog is zenity when it was built without Qt.
    static bool dialogAvailable() {
        return std::string(CALMORA_DEMO_DIALOG) == "qt" ||
               !calmora_test::findProgram("zenity").empty();
    }

    void writeConfig(const std::string& source) {
        writeText(dir_.file(CONFIG), configWithSource(source).dump(4) + "\n");
    }

    std::unique_ptr<calmora_test::ChildProcess> startDemo() {
        return std::make_unique<calmora_test::ChildProcess>(demoOptions(dir_, x_->display()));
    }

    // A screenshot of `window`; empty when import is missing or fails.
    cv::Mat screenshot(const std::string& window) {
        const std::string shot = dir_.file("shot.png");
        fs::remove(shot);
        const ChildResult grab = x_->run({"import", "-window", window, shot}, 20000);
        if (grab.exitCode != 0)
            return {};
        return cv::imread(shot, cv::IMREAD_COLOR);
    }

    // Number of "No input frame" lines the demo printed so far.
    static int missedFrames(const calmora_test::ChildProcess& demo) {
        const std::string out = demo.out();
        int n = 0;
        for (size_t at = out.find("No input frame\n"); at != std::string::npos;
             at = out.find("No input frame\n", at + 1))
            ++n;
        return n;
    }

    calmora_test::TempFolder dir_;
    std::unique_ptr<calmora_test::XvfbServer> x_;
    cv::Mat scene_;
    std::string clip_;
};

}  // namespace

// Window, keys, recordings and picture: SPACE, r, a pause, r, ESC. Both files
// hold frames of the right size (the mix twice as tall), and the window shows
// the clip's picture twice, one above the other.
TEST_F(DemoDisplayTest, ShowsRecordsAndEndsOnEscape) {
    writeConfig(clip_);
    auto demo = startDemo();
    ASSERT_TRUE(demo->started());
    const std::string window = waitForWindow(*x_, *demo, "CalmoraOpenCv", 30);
    ASSERT_FALSE(window.empty()) << "no window\n" << demo->out() << demo->err();
    EXPECT_EQ(x_->run({"xdotool", "getwindowname", window}).out, "CalmoraOpenCv v4.0.1\n");

    // upper case R: no recording. Shift is held a while around the key, as a
    // person does; pressed together, X may deliver r before the Shift state.
    x_->run({"xdotool", "windowfocus", window});
    x_->run({"xdotool", "keydown", "Shift_L"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    x_->run({"xdotool", "key", "r"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    x_->run({"xdotool", "keyup", "Shift_L"});
    sendKey(*x_, window, "space");
    sendKey(*x_, window, "r");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    sendKey(*x_, window, "r");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const cv::Mat picture = screenshot(window);
    sendKey(*x_, window, "Escape");
    ASSERT_TRUE(demo->wait(std::chrono::seconds(20))) << "still running after ESC";
    EXPECT_EQ(demo->exitCode(), 0) << demo->err();

    // one pair of "Created: " lines and the two files
    const std::string out = demo->out();
    EXPECT_EQ(out.rfind(BANNER, 0), 0u);
    std::vector<std::string> dst, mix;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Created: dst_", 0) == 0)
            dst.push_back(line.substr(9));
        if (line.rfind("Created: mix_", 0) == 0)
            mix.push_back(line.substr(9));
    }
    // Built without Qt, the program cannot tell Shift+r from r (OpenCV
    // reports both as 114): then R starts a recording that r stops at once.
    const size_t starts = std::string(CALMORA_DEMO_DIALOG) == "qt" ? 1u : 2u;
    ASSERT_EQ(dst.size(), starts) << out;
    ASSERT_EQ(mix.size(), starts) << out;
    EXPECT_EQ(dst.back().substr(4), mix.back().substr(4));  // one stamp for both
    EXPECT_EQ(dst.back().size(), std::string("dst_2023_08_10_14_05_09.avi").size());
    const Recording dstRec = readRecording(dir_.file(dst.back()));
    const Recording mixRec = readRecording(dir_.file(mix.back()));
    EXPECT_GT(dstRec.frames, 0);
    EXPECT_GT(mixRec.frames, 0);
    EXPECT_EQ(dstRec.size, CLIP_SIZE);
    EXPECT_EQ(mixRec.size, cv::Size(CLIP_SIZE.width, 2 * CLIP_SIZE.height));

    // the window shows the clip twice, stacked
    if (picture.empty())
        GTEST_SKIP() << "no screenshot (imagemagick's import)";
    const Stacking stacking = findStacking(picture, scene_, CLIP_SIZE);
    EXPECT_TRUE(showsStacked(stacking, CLIP_SIZE)) << stacking.best << " at " << stacking.at << ", "
                                                   << stacking.second << " at " << stacking.at2;
}

// A source that stops delivering: ESC must still end the program, although
// no frame comes to make the loop poll its keys.
TEST_F(DemoDisplayTest, EscapeEndsWhileNoFramesArrive) {
    writeConfig(clip_);
    auto demo = startDemo();
    ASSERT_TRUE(demo->started());
    const std::string window = waitForWindow(*x_, *demo, "CalmoraOpenCv", 30);
    ASSERT_FALSE(window.empty()) << "no window\n" << demo->out() << demo->err();
    // the file is cut short: the open capture runs dry and every restart fails
    writeText(clip_, "no longer a video");
    const int before = missedFrames(*demo);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (missedFrames(*demo) < before + 30 && std::chrono::steady_clock::now() < deadline &&
           demo->running())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_GE(missedFrames(*demo), before + 30) << "the source kept delivering";
    sendKey(*x_, window, "Escape");
    ASSERT_TRUE(demo->wait(std::chrono::seconds(20))) << "ESC ignored while no frames arrive";
    EXPECT_EQ(demo->exitCode(), 0);
}

// The source comes back with larger frames after a restart: the pictures
// are re-made for the new size (no write past the old one; ASan builds
// would stop the program), and the window shows the new clip stacked.
TEST_F(DemoDisplayTest, LargerFramesAfterRestartAreShownStacked) {
    writeConfig(clip_);
    auto demo = startDemo();
    ASSERT_TRUE(demo->started());
    const std::string window = waitForWindow(*x_, *demo, "CalmoraOpenCv", 30);
    ASSERT_FALSE(window.empty()) << "no window\n" << demo->out() << demo->err();
    // swap in a larger clip under the same name; the restart at the end of
    // the current one opens it
    const cv::Mat bigScene = sceneFor(BIG_CLIP_SIZE, 12);
    const std::string bigClip = dir_.file("big.avi");
    ASSERT_TRUE(writeShakyClip(bigClip, bigScene, BIG_CLIP_SIZE, 250));
    fs::rename(bigClip, clip_);
    Stacking stacking;
    bool shown = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (!shown && std::chrono::steady_clock::now() < deadline && demo->running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const cv::Mat picture = screenshot(window);
        if (picture.empty())
            break;
        stacking = findStacking(picture, bigScene, BIG_CLIP_SIZE);
        shown = showsStacked(stacking, BIG_CLIP_SIZE);
    }
    ASSERT_TRUE(demo->running()) << "the program ended: " << demo->exitCode() << "\n"
                                 << demo->err();
    EXPECT_TRUE(shown) << stacking.best << " at " << stacking.at << ", " << stacking.second
                       << " at " << stacking.at2;
    sendKey(*x_, window, "r");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    sendKey(*x_, window, "Escape");
    ASSERT_TRUE(demo->wait(std::chrono::seconds(20))) << "still running after ESC";
    EXPECT_EQ(demo->exitCode(), 0) << demo->err();
    // recorded at the new size
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("dst_", 0) == 0) {
            EXPECT_EQ(readRecording(entry.path().string()).size, BIG_CLIP_SIZE);
        }
        if (name.rfind("mix_", 0) == 0) {
            EXPECT_EQ(readRecording(entry.path().string()).size,
                      cv::Size(BIG_CLIP_SIZE.width, 2 * BIG_CLIP_SIZE.height));
        }
    }
}

// "dialog" opens the open-file dialog; a typed path is opened as the source
// (the main window appears); ESC then ends the program normally.
TEST_F(DemoDisplayTest, DialogPathIsOpened) {
    if (!dialogAvailable())
        GTEST_SKIP() << "built without Qt and zenity is missing";
    writeConfig("dialog");
    auto demo = startDemo();
    ASSERT_TRUE(demo->started());
    const std::string dialog = waitForWindow(*x_, *demo, "OPEN VIDEO FILE", 30);
    ASSERT_FALSE(dialog.empty()) << "no dialog, status " << demo->exitCode() << "\n"
                                 << demo->out() << demo->err();
    // Qt's file name field has the focus; GTK's location entry opens on
    // Ctrl+L. A dialog still busy starting up may miss keys, so a few
    // attempts, each replacing the field's text.
    std::string window;
    for (int attempt = 0; attempt < 3 && window.empty(); ++attempt) {
        if (attempt > 0 && waitForWindow(*x_, *demo, "OPEN VIDEO FILE", 1).empty()) {
            window = waitForWindow(*x_, *demo, "CalmoraOpenCv", 20);  // taken, just slow
            break;
        }
        x_->run({"xdotool", "windowfocus", dialog});
        if (std::string(CALMORA_DEMO_DIALOG) != "qt") {
            x_->run({"xdotool", "key", "ctrl+l"});  // GTK's location entry
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        x_->run({"xdotool", "key", "ctrl+a"});
        x_->run({"xdotool", "type", "--delay", "20", clip_});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        x_->run({"xdotool", "key", "Return"});
        window = waitForWindow(*x_, *demo, "CalmoraOpenCv", 10);
    }
    ASSERT_FALSE(window.empty()) << "no main window\n" << demo->out() << demo->err();
    sendKey(*x_, window, "Escape");
    ASSERT_TRUE(demo->wait(std::chrono::seconds(20))) << "still running after ESC";
    EXPECT_EQ(demo->exitCode(), 0);
    EXPECT_EQ(demo->out().find("ERROR"), std::string::npos) << demo->out();
    // the chosen path is not written back
    EXPECT_EQ(json::parse(readText(dir_.file(CONFIG)))["Params"]["videoSource"]["source"],
              "dialog");
}

// A cancelled dialog leaves no source: the program says so and fails.
TEST_F(DemoDisplayTest, CancelledDialogFailsToOpenSource) {
    if (!dialogAvailable())
        GTEST_SKIP() << "built without Qt and zenity is missing";
    writeConfig("file dialog");
    auto demo = startDemo();
    ASSERT_TRUE(demo->started());
    const std::string dialog = waitForWindow(*x_, *demo, "OPEN VIDEO FILE", 30);
    ASSERT_FALSE(dialog.empty()) << "no dialog, status " << demo->exitCode() << "\n"
                                 << demo->out() << demo->err();
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendKey(*x_, dialog, "Escape");
        if (demo->wait(std::chrono::seconds(6)))
            break;
    }
    ASSERT_TRUE(demo->wait(std::chrono::seconds(5))) << "still running after cancel";
    EXPECT_EQ(demo->exitCode(), 255);
    EXPECT_EQ(demo->out(), std::string(BANNER) + "ERROR: Can't init video source\n");
}
