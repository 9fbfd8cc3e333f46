// The real CalmoraOpenCvDemo program, each start in a fresh working folder:
// the configuration cases, the dialog's trigger words and the display check
// without a display, then one run under Xvfb with keys and recordings.

#include <ChildProcess.h>
#include <ClipWriter.h>
#include <TempFolder.h>
#include <Xvfb.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/videoio.hpp>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using calmora_test::readFile;
using nlohmann::json;
using Env = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string BANNER =
    "##########################################\n#                                        #\n"
    "#   CalmoraOpenCv v4.0.1 demo app    #\n#                                        #\n"
    "##########################################\n\n";
// What a first start writes: every key of both objects.
const json DEFAULTS = json::parse(R"({"Params": {"videoSource": {"custom1": -1.0, "custom2": -1.0,
    "custom3": -1.0, "exposureMode": 1, "focusMode": 1, "fourcc": "BGR24", "fps": 0.0,
    "gainMode": 1, "height": 1080, "logLevel": 0, "source": "file dialog", "width": 1920},
    "videoStabiliser": {"aFilterCoeff": 0.0, "aOffsetLimit": 0.20000000298023224,
    "constAOffset": 0.0, "constXOffset": 0, "constYOffset": 0, "cutFrequencyHz": 0.0,
    "enable": true, "fps": 0.0, "logMod": 0, "scaleFactor": 1, "transparentBorder": true,
    "type": 2, "xFilterCoeff": 0.0, "xOffsetLimit": 150, "yFilterCoeff": 0.0,
    "yOffsetLimit": 150}}})");
const char* const CONFIG = "CalmoraOpenCvDemo.json";
const char* const BACKUP = "CalmoraOpenCvDemo.json.bak";

json with(const std::string& source, const char* patch = "{}") {
    json document = DEFAULTS;
    document["Params"]["videoSource"]["source"] = source;
    document.merge_patch(json::parse(patch));
    return document;
}

// The demo in `dir`, without a display unless `env` names one. The GUI
// toolkits' leaks are not ours; OpenCV's capture backends chatter.
calmora_test::ChildOptions demoIn(const calmora_test::TempFolder& dir, Env env = {}) {
    env.insert(env.end(), {{"ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1"},
                           {"OPENCV_LOG_LEVEL", "SILENT"}});
    return {{CALMORA_DEMO_EXE}, dir.path().string(), env, {"DISPLAY", "WAYLAND_DISPLAY"}};
}

calmora_test::ChildResult runDemo(const calmora_test::TempFolder& dir, Env env = {}) {
    return calmora_test::runChild(demoIn(dir, std::move(env)), std::chrono::seconds(60));
}

}  // namespace

// Each row starts the program on one file (nullptr: none) and gives the end
// of its output and its standard error. An unusable file is kept as .bak
// and replaced by default "Params", other top-level members staying; usable
// ones are left alone. A first start's defaults ask for the dialog, which
// without a display gives no file; a source that opens stops at the display.
TEST(DemoProgram, ConfigurationCasesWithoutDisplay) {
    const std::string read = "ERROR: Can't read params from file\n";
    const std::string open = "ERROR: Can't open config file\n";
    const std::string kept = "The old config file is kept as CalmoraOpenCvDemo.json.bak\n";
    const std::string source = "ERROR: Can't init video source\n";
    const std::string e = "[json.exception.";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", open, ""},
        {DEFAULTS.dump(4) + "\n", source, ""},
        {"// mine\n" + DEFAULTS.dump(), open + kept, ""},
        {with("a.avi", R"({"Extra": 1, "Params": {"note": 1, "videoStabiliser": {"logMod": null,
            "logMode": 0}}})")
             .dump(2),
         read + kept, e + "out_of_range.403] key 'logMod' not found\n"},
        {"[1, 2]", read + kept,
         e + "type_error.304] cannot use at() with array\n" + e +
             "type_error.305] cannot use operator[] with a string argument with array\n"},
        {with("none.avi", R"({"Note": 1, "Params": {"videoSource": {"width": 640.9, "fps": true},
            "videoStabiliser": {"scaleFactor": false, "x": 1}}})")
             .dump(),
         source, ""},
        {with("clip.avi").dump(), "ERROR: No display available\n", ""},
    };
    for (const auto& [content, tail, err] : cases) {
        SCOPED_TRACE(content.substr(0, 60));
        calmora_test::TempFolder dir;
        ASSERT_TRUE(calmora_test::writeClip(dir.file("clip.avi"), "MJPG", 25.0, 5, {64, 48}));
        if (!content.empty())
            std::ofstream(dir.file(CONFIG)) << content;
        const auto r = runDemo(dir);
        EXPECT_EQ(r.exitCode, 255);
        if (content.rfind("//", 0) != 0)
            EXPECT_EQ(r.out, BANNER + tail);
        else  // the parser's text first
            EXPECT_EQ(r.out.find(e + "parse_error.101]"), BANNER.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail);
        EXPECT_EQ(r.err, err);
        const bool replaced = tail.find(open) == 0 || tail.find(read) == 0;
        EXPECT_EQ(readFile(dir.file(BACKUP)), replaced ? content : "");
        json expected = json::parse(content, nullptr, false);
        if (!expected.is_object())
            expected = json::object();
        expected["Params"] = DEFAULTS["Params"];
        EXPECT_EQ(readFile(dir.file(CONFIG)), replaced ? expected.dump(4) + "\n" : content);
    }
}

// A config that cannot be copied is left alone (a folder in its place); one
// that cannot be written is reported (a link into a missing folder).
TEST(DemoProgram, UnwritableConfigIsReported) {
    calmora_test::TempFolder dir, link;
    fs::create_directory(dir.file(CONFIG));
    std::ofstream(dir.file(CONFIG) + "/inside") << "mine";
    fs::create_symlink(link.file("no/folder/settings.json"), link.file(CONFIG));
    // the folder cannot be read either: the stream's own complaint comes first
    const std::string open = "ERROR: Can't open config file\n";
    const std::string out = runDemo(dir).out;
    const std::string tail = open +
                             "ERROR: Can't keep a copy of the config file as "
                             "CalmoraOpenCvDemo.json.bak, the file is left unchanged\n";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << out;
    EXPECT_EQ(readFile(dir.file(CONFIG) + "/inside"), "mine");
    EXPECT_EQ(runDemo(link).out,
              BANNER + open + "ERROR: Can't write config file CalmoraOpenCvDemo.json\n");
}

// "dialog" and "file dialog" ask the dialog (a stand-in zenity on PATH, run
// since a Wayland name counts as a display); other spellings do not.
TEST(DemoProgram, DialogWords) {
    calmora_test::TempFolder dir;
    std::ofstream(dir.file("zenity")) << "#!/bin/sh\ntouch asked\necho /no/such/chosen.avi\n";
    fs::permissions(dir.file("zenity"), fs::perms::owner_all);
    const Env env = {{"PATH", dir.path().string() + ":" + std::getenv("PATH")},
                     {"WAYLAND_DISPLAY", "calmora-none"}};
    for (const auto& [word, asked] :
         {std::pair<std::string, bool>{"dialog", true}, {"file dialog", true}, {"Dialog", false}}) {
        fs::remove(dir.file("asked"));
        std::ofstream(dir.file(CONFIG)) << with(word).dump();
        EXPECT_EQ(runDemo(dir, env).out, BANNER + "ERROR: Can't init video source\n");
        EXPECT_EQ(fs::exists(dir.file("asked")), asked) << word;
    }
}

// The one run under a display: the window with its title; R with Shift (no
// recording where the keys' case is known), SPACE, r, frames recorded, r;
// then the clip runs dry and ESC must still end the program. Both
// recordings hold clip pictures at full size, the mix twice as tall with
// the result below.
TEST(DemoProgram, ShowsRecordsAndEndsOnEscape) {
    if (calmora_test::findProgram("Xvfb").empty() || calmora_test::findProgram("xdotool").empty())
        GTEST_SKIP() << "needs Xvfb and xdotool";
    calmora_test::XvfbServer x;
    ASSERT_TRUE(x.ok());
    calmora_test::TempFolder dir;
    const cv::Size size(160, 120);
    ASSERT_TRUE(calmora_test::writeClip(dir.file("my clip.avi"), "MJPG", 25.0, 50, size));
    std::ofstream(dir.file(CONFIG)) << with(dir.file("my clip.avi")).dump();
    calmora_test::ChildProcess demo(demoIn(dir, {{"DISPLAY", x.display()}}));
    const auto found = x.run(
        {"xdotool", "search", "--sync", "--onlyvisible", "--name", "^CalmoraOpenCv v4\\.0\\.1$"},
        60000);
    ASSERT_EQ(found.exitCode, 0) << demo.out() << demo.err();
    const std::string window = found.out.substr(0, found.out.find('\n'));
    auto keys = [&](std::vector<std::string> args) {
        x.run({"xdotool", "windowfocus", "--sync", window});
        args.insert(args.begin(), "xdotool");
        x.run(args);
    };
    if (std::string(CALMORA_DEMO_DIALOG) == "qt") {  // without Qt, R and r are one key
        keys({"keydown", "Shift_L"});
        keys({"key", "r"});
        keys({"keyup", "Shift_L"});
    }
    keys({"key", "space", "r"});
    ASSERT_TRUE(
        calmora_test::waitFor([&] { return demo.out().find("Created: mix_") != std::string::npos; },
                              std::chrono::seconds(30)));
    // one stamp for both names, printed before each file is made
    const std::string dst = demo.out().substr(demo.out().find("Created: dst_") + 9, 27);
    const std::string mix = "mix" + dst.substr(3);
    ASSERT_TRUE(calmora_test::waitFor([&] { return readFile(dir.file(mix)).size() > 50000; },
                                      std::chrono::seconds(60)));
    keys({"key", "r"});
    // the clip runs dry and cannot reopen: keys must still be heard
    std::ofstream(dir.file("my clip.avi")) << "no longer a video";
    auto missed = [&] {
        const std::string out = demo.out();
        return std::count(out.begin(), out.end(), '\n');
    };
    const auto before = missed();
    ASSERT_TRUE(
        calmora_test::waitFor([&] { return missed() > before + 20; }, std::chrono::seconds(60)));
    keys({"key", "Escape"});
    ASSERT_TRUE(demo.wait(std::chrono::seconds(30))) << "still running after ESC";
    EXPECT_EQ(demo.exitCode(), 0) << demo.err();
    const std::string out = demo.out();
    const size_t pair = out.find("Created: " + dst + "\nCreated: " + mix + "\n");
    EXPECT_EQ(out.rfind(BANNER, 0), 0u);
    EXPECT_EQ(out.rfind("Created: "), pair + 10 + dst.size()) << out;  // no second pair
    EXPECT_EQ(dst.find(".avi"), 23u) << dst;
    cv::VideoCapture dstFile(dir.file(dst)), mixFile(dir.file(mix));
    cv::Mat result, both;
    int frames = 0;
    for (; dstFile.read(result) && mixFile.read(both); ++frames) {
        ASSERT_EQ(result.size(), size);
        ASSERT_EQ(both.size(), cv::Size(size.width, 2 * size.height));
        EXPECT_GE(calmora_test::indexOfImage(result), 0);
        EXPECT_EQ(calmora_test::indexOfImage(both.rowRange(size.height, both.rows)),
                  calmora_test::indexOfImage(result));
    }
    EXPECT_GT(frames, 5);
}
