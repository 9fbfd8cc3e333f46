// The real demo program, each start in a fresh folder; one run under Xvfb.

#include "Process.h"
#include "Synthetic.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/videoio.hpp>

#include <cctype>
#include <fstream>

namespace fs = std::filesystem;
using nlohmann::json;

const std::string BANNER =
    "##########################################\n#                                        #\n"
    "#   CalmoraOpenCv v4.0.1 demo app    #\n#                                        #\n"
    "##########################################\n\n";
const json DEFAULTS = json::parse(R"({"Params": {"videoSource": {"custom1": -1.0, "custom2": -1.0,
    "custom3": -1.0, "exposureMode": 1, "focusMode": 1, "fourcc": "BGR24", "fps": 0.0,
    "gainMode": 1, "height": 1080, "logLevel": 0, "source": "file dialog", "width": 1920},
    "videoStabiliser": {"aFilterCoeff": 0.0, "aOffsetLimit": 0.20000000298023224,
    "constAOffset": 0.0, "constXOffset": 0, "constYOffset": 0, "cutFrequencyHz": 0.0,
    "enable": true, "fps": 0.0, "logMod": 0, "scaleFactor": 1, "transparentBorder": true,
    "type": 2, "xFilterCoeff": 0.0, "xOffsetLimit": 150, "yFilterCoeff": 0.0,
    "yOffsetLimit": 150}}})");
const std::string CONFIG = "CalmoraOpenCvDemo.json", BACKUP = CONFIG + ".bak";

static std::string with(const std::string& source) {
    json document = DEFAULTS;
    document["Params"]["videoSource"]["source"] = source;
    return document.dump();
}

// The demo on an X display (":n") or a Wayland name; zenity notes a call.
static calmora_test::ChildOptions demoIn(const calmora_test::TempFolder& dir, const char* display) {
    std::ofstream(dir.file("zenity")) << "#!/bin/sh\ntouch asked\necho /no/such.avi\n";
    fs::permissions(dir.file("zenity"), fs::perms::owner_all);
    const std::string path = dir.path().string();
    return {{CALMORA_DEMO_EXE},
            path,
            {{"ASAN_OPTIONS", "detect_leaks=0"},
             {"OPENCV_LOG_LEVEL", "SILENT"},
             {"PATH", path + ":" + std::getenv("PATH")},
             {display[0] == ':' ? "DISPLAY" : "WAYLAND_DISPLAY", display}},
            {"DISPLAY", "WAYLAND_DISPLAY"}};
}

// Rows: file ("": none, "/": a folder), Wayland name, output after the banner, stderr and
// "asked" after a dialog. An unusable file is kept as .bak, its "Params" made default.
TEST(DemoProgram, ConfigurationCasesWithoutDisplay) {
    const std::string open = "ERROR: Can't open config file\n", e = "[json.exception.",
                      source = "ERROR: Can't init video source\n";
    const std::string kept = "The old config file is kept as " + BACKUP + "\n";
    const std::string read = "ERROR: Can't read params from file\n" + kept;
    const std::tuple<std::string, const char*, std::string, std::string> cases[] = {
        {"", "", open, ""},
        {DEFAULTS.dump(4) + "\n", "", source, ""},
        {"// mine\n", "", e + "parse_error.101]\n" + open + kept, ""},
        {"/", "",
         "basic_filebuf::underflow error reading the file: Is a directory\n" + open +
             "ERROR: Can't keep a copy of the config file as " + BACKUP +
             ", the file is left unchanged\n",
         ""},
        {R"({"Extra": "é", "Params": {"videoSource": {}}})", "", read,
         e + "out_of_range.403] key 'logLevel' not found\n"},
        {"[1, 2]", "", read,
         e + "type_error.304] cannot use at() with array\n" + e +
             "type_error.305] cannot use operator[] with a string argument with array\n"},
        {with("clip.avi"), "", "ERROR: No display available\n", ""},
        {with("dialog"), "w-0", source, "asked"},
        {with("file dialog"), "w-0", source, "asked"},
        {with("Dialog"), "w-0", source, ""},
    };
    for (const auto& [content, wayland, tail, err] : cases) {
        SCOPED_TRACE(content.substr(0, 60));
        const calmora_test::TempFolder dir;
        ASSERT_TRUE(calmora_test::writeClip(dir.file("clip.avi"), "MJPG", 25.0, 5, {64, 48}));
        if (content == "/")
            fs::create_directories(dir.file(CONFIG + "/inside"));
        else if (!content.empty())
            std::ofstream(dir.file(CONFIG)) << content;
        const auto r = calmora_test::runChild(demoIn(dir, wayland), calmora_test::Ms(60000));
        EXPECT_EQ(r.exitCode, 255);
        std::string out = r.out;  // the parser's own words cut after its error number
        const size_t parse = out.find("parse_error.101]");
        if (parse != std::string::npos)
            out.erase(parse + 16, out.find('\n', parse) - parse - 16);
        EXPECT_EQ(out, BANNER + tail);
        EXPECT_EQ(r.err + (fs::exists(dir.file("asked")) ? "asked" : ""), err);
        const bool replaced = tail == open || tail.find(kept) != std::string::npos;
        EXPECT_EQ(calmora_test::readFile(dir.file(BACKUP)), replaced ? content : "");
        json expected = json::parse(content, nullptr, false);
        expected.merge_patch(DEFAULTS);
        EXPECT_EQ(calmora_test::readFile(dir.file(CONFIG)),
                  replaced ? expected.dump(4) + "\n" : content.substr(content == "/"));
    }
}

// Shift+R (no recording with Qt), SPACE, r, r; the clip runs dry, ESC still ends the
// program. Both recordings hold clip pictures at full size, the result below in the mix.
TEST(DemoProgram, ShowsRecordsAndEndsOnEscape) {
    if (calmora_test::findProgram("Xvfb").empty() || calmora_test::findProgram("xdotool").empty())
        GTEST_SKIP() << "needs Xvfb and xdotool";
    const calmora_test::XvfbServer x;
    ASSERT_TRUE(x.ok());
    const calmora_test::TempFolder dir;
    ASSERT_TRUE(calmora_test::writeClip(dir.file("my clip.avi"), "MJPG", 25.0, 50, {160, 120}));
    std::ofstream(dir.file(CONFIG)) << with(dir.file("my clip.avi"));
    calmora_test::ChildProcess demo(demoIn(dir, x.display().c_str()));
    const auto found =
        x.run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^CalmoraOpenCv v4.0.1$"},
              60000);
    ASSERT_EQ(found.exitCode, 0) << demo.out() << demo.err();
    auto keys = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"xdotool", "windowfocus", "--sync", found.out});
        x.run(args);
    };
    if (std::string(CALMORA_DEMO_DIALOG) == "qt")  // without Qt, R and r are one key
        keys({"keydown", "Shift_L", "key", "r", "keyup", "Shift_L"});
    keys({"key", "space", "r"});
    auto seen = [&](auto done) { return calmora_test::waitFor(done, calmora_test::Ms(60000)); };
    // one stamp for both names, printed before each file is made; empty until both are
    auto stampOf = [](const std::string& out) {
        const std::string shape = "dddd_dd_dd_dd_dd_dd";
        const size_t at = out.find("Created: dst_");
        std::string stamp = at == std::string::npos ? "" : out.substr(at + 13, shape.size());
        for (size_t i = 0; i < shape.size() && stamp.size() == shape.size(); ++i)
            if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(stamp[i]))
                                : stamp[i] != '_')
                stamp.clear();
        const std::string both = ".avi\nCreated: mix_" + stamp + ".avi\n";
        return stamp.empty() || out.compare(at + 32, both.size(), both) != 0 ? "" : stamp;
    };
    std::string out, stamp;
    ASSERT_TRUE(seen([&] {
        stamp = stampOf(out = demo.out());
        return !stamp.empty() &&
               calmora_test::readFile(dir.file("mix_" + stamp + ".avi")).size() > 50000;
    }));
    const std::string names[] = {"dst_" + stamp + ".avi", "mix_" + stamp + ".avi"};
    keys({"key", "r"});
    std::ofstream(dir.file("my clip.avi")) << "no longer a video";  // no frames, keys still heard
    ASSERT_TRUE(seen([&] { return demo.out().size() > out.size() + 400; }));
    keys({"key", "Escape"});
    ASSERT_TRUE(demo.wait(calmora_test::Ms(30000))) << "still running after ESC";
    EXPECT_EQ(demo.exitCode(), 0) << demo.err();
    EXPECT_EQ(out.find("Created"), out.rfind("Created") - 10 - names[0].length()) << out;
    cv::VideoCapture dstFile(dir.file(names[0])), mixFile(dir.file(names[1]));
    int frames = 0;
    for (cv::Mat result, both; dstFile.read(result) && mixFile.read(both); ++frames) {
        const int index = calmora_test::indexOfImage(result);
        ASSERT_EQ(std::make_pair(result.size(), both.size()),
                  std::make_pair(cv::Size(160, 120), cv::Size(160, 240)));
        EXPECT_EQ(std::make_pair(index >= 0, calmora_test::indexOfImage(both.rowRange(120, 240))),
                  std::make_pair(true, index));
    }
    EXPECT_GT(frames, 5);
}
