// Tests of the demo's configuration code: accepted kinds per field, the
// library's error texts, all-or-nothing reads, dotted paths, strict loading,
// the exact saved text and the backup copy.

#include "DemoConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;
using orl::demo::DemoParams;

namespace {

// A fresh temporary folder, removed again with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "calmora_config_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

void writeText(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

std::string readText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// A document whose "Params" holds every key with the record defaults.
json validDocument() {
    json document;
    EXPECT_TRUE(orl::demo::writeDemoParams(document, DemoParams{}, "Params"));
    return document;
}

// readDemoParams with its standard error captured.
bool readCapturing(const json& document, const std::string& path, DemoParams& params,
                   std::string& err) {
    testing::internal::CaptureStderr();
    const bool ok = orl::demo::readDemoParams(document, path, params);
    err = testing::internal::GetCapturedStderr();
    return ok;
}

}  // namespace

// Each row replaces one value of a valid document and states what the read
// gives: the converted field, or the library's error text.
TEST(DemoConfig, AcceptedKindsPerField) {
    struct Case {
        const char* object;
        const char* key;
        json value;
        const char* error;  // nullptr: accepted
        std::function<bool(const DemoParams&)> check;
    };
    const Case cases[] = {
        {"videoSource", "width", 640.9, nullptr,
         [](const DemoParams& p) { return p.videoSource.width == 640; }},
        {"videoSource", "height", -480.9, nullptr,
         [](const DemoParams& p) { return p.videoSource.height == -480; }},
        {"videoSource", "width", true, nullptr,
         [](const DemoParams& p) { return p.videoSource.width == 1; }},
        {"videoSource", "logLevel", 3u, nullptr,
         [](const DemoParams& p) { return p.videoSource.logLevel == 3; }},
        {"videoSource", "fps", true, nullptr,
         [](const DemoParams& p) { return p.videoSource.fps == 1.0f; }},
        {"videoSource", "fps", 25, nullptr,
         [](const DemoParams& p) { return p.videoSource.fps == 25.0f; }},
        {"videoSource", "custom3", -2.5, nullptr,
         [](const DemoParams& p) { return p.videoSource.custom3 == -2.5f; }},
        {"videoSource", "source", "clip.avi", nullptr,
         [](const DemoParams& p) { return p.videoSource.source == "clip.avi"; }},
        {"videoSource", "fourcc", "NV12", nullptr,
         [](const DemoParams& p) { return p.videoSource.fourcc == "NV12"; }},
        {"videoStabiliser", "scaleFactor", false, nullptr,
         [](const DemoParams& p) { return p.videoStabiliser.scaleFactor == 0; }},
        {"videoStabiliser", "xOffsetLimit", 7.99, nullptr,
         [](const DemoParams& p) { return p.videoStabiliser.xOffsetLimit == 7; }},
        {"videoStabiliser", "aFilterCoeff", 0.25, nullptr,
         [](const DemoParams& p) { return p.videoStabiliser.aFilterCoeff == 0.25f; }},
        {"videoStabiliser", "enable", false, nullptr,
         [](const DemoParams& p) { return !p.videoStabiliser.enable; }},
        {"videoStabiliser", "transparentBorder", false, nullptr,
         [](const DemoParams& p) { return !p.videoStabiliser.transparentBorder; }},
        {"videoStabiliser", "logMod", 7, nullptr,
         [](const DemoParams& p) { return p.videoStabiliser.logMod == 7; }},
        {"videoStabiliser", "fps", 60.0, nullptr,
         [](const DemoParams& p) { return p.videoStabiliser.fps == 60.0f; }},
        // refused kinds
        {"videoStabiliser", "enable", 1, "type must be boolean, but is number", nullptr},
        {"videoStabiliser", "transparentBorder", "true", "type must be boolean, but is string",
         nullptr},
        {"videoSource", "source", 0, "type must be string, but is number", nullptr},
        {"videoSource", "fourcc", true, "type must be string, but is boolean", nullptr},
        {"videoSource", "width", "640", "type must be number, but is string", nullptr},
        {"videoSource", "fps", nullptr, "type must be number, but is null", nullptr},
        {"videoStabiliser", "type", json::array({2}), "type must be number, but is array", nullptr},
        {"videoStabiliser", "cutFrequencyHz", json::object(), "type must be number, but is object",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.object) + "." + c.key + " = " + c.value.dump());
        json document = validDocument();
        document["Params"][c.object][c.key] = c.value;
        DemoParams params;
        std::string err;
        const bool ok = readCapturing(document, "Params", params, err);
        if (c.error == nullptr) {
            EXPECT_TRUE(ok) << err;
            EXPECT_TRUE(c.check(params));
            EXPECT_EQ(err, "");
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(err.rfind("[json.exception.type_error.302] ", 0), 0u) << err;
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
            EXPECT_EQ(err.back(), '\n');
        }
    }
}

// Missing keys and objects: the first failing row in table order is the one
// reported, and the caller's record is never half-filled.
TEST(DemoConfig, FailedReadsReportFirstErrorAndKeepRecord) {
    struct Case {
        const char* name;
        std::function<void(json&)> spoil;
        const char* error;
    };
    const Case cases[] = {
        {"logMode instead of logMod",
         [](json& d) {
             d["Params"]["videoStabiliser"].erase("logMod");
             d["Params"]["videoStabiliser"]["logMode"] = 0;
         },
         "[json.exception.out_of_range.403] key 'logMod' not found"},
        {"source row order: logLevel before width",
         [](json& d) {
             d["Params"]["videoSource"]["width"] = "x";
             d["Params"]["videoSource"].erase("logLevel");
         },
         "key 'logLevel' not found"},
        {"videoSource before videoStabiliser",
         [](json& d) {
             d["Params"]["videoStabiliser"].erase("scaleFactor");
             d["Params"]["videoSource"]["custom3"] = "x";
         },
         "type must be number, but is string"},
        {"no videoStabiliser", [](json& d) { d["Params"].erase("videoStabiliser"); },
         "key 'videoStabiliser' not found"},
        {"videoSource not an object", [](json& d) { d["Params"]["videoSource"] = json::array(); },
         "cannot use at() with array"},
        {"Params not an object", [](json& d) { d["Params"] = 5; }, "cannot use at() with number"},
        {"no Params",
         [](json& d) {
             d = json{{"Other", 1}};
         },
         "key 'Params' not found"},
        {"top level not an object",
         [](json& d) {
             d = json::array({1, 2});
         },
         "cannot use at() with array"},
        {"null document", [](json& d) { d = json(); }, "cannot use at() with null"},
    };
    DemoParams marked;
    marked.videoSource.source = "marker";
    marked.videoSource.gain = 4321;
    marked.videoStabiliser.xOffsetLimit = 77;
    marked.videoStabiliser.processingTimeMks = 99;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json document = validDocument();
        c.spoil(document);
        DemoParams params = marked;
        std::string err;
        EXPECT_FALSE(readCapturing(document, "Params", params, err));
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line expected: " << err;
        EXPECT_EQ(params.videoSource.source, "marker");
        EXPECT_EQ(params.videoSource.gain, 4321);
        EXPECT_EQ(params.videoStabiliser.xOffsetLimit, 77);
        EXPECT_EQ(params.videoStabiliser.processingTimeMks, 99);
    }
}

// A successful read replaces the whole records: fields without a key go back
// to the record defaults; other members at any level are ignored.
TEST(DemoConfig, SuccessfulReadReplacesWholeRecords) {
    json document = validDocument();
    document["Params"]["videoSource"]["gain"] = 1000;  // no such key in the file format
    document["Params"]["extra"] = true;
    document["Top"] = "kept";
    document["Params"]["videoSource"]["source"] = "a.avi";
    DemoParams params;
    params.videoSource.gain = 4321;
    params.videoSource.isOpen = true;
    params.videoStabiliser.processingTimeMks = 99;
    params.videoStabiliser.instantAOffset = 1.5f;
    std::string err;
    ASSERT_TRUE(readCapturing(document, "Params", params, err)) << err;
    EXPECT_EQ(params.videoSource.source, "a.avi");
    EXPECT_EQ(params.videoSource.gain, 0);
    EXPECT_FALSE(params.videoSource.isOpen);
    EXPECT_EQ(params.videoStabiliser.processingTimeMks, 0);
    EXPECT_EQ(params.videoStabiliser.instantAOffset, 0.0f);
}

// Dotted paths on reading and writing: "" is the top level, "a.b" nests,
// writing keeps sibling members and creates what is missing, and a path
// through a value that is neither object nor null fails without changes.
TEST(DemoConfig, DottedPaths) {
    DemoParams params;
    params.videoSource.source = "nested.avi";
    json document = {{"a", {{"keep", 1}}}, {"z", "top"}};
    ASSERT_TRUE(orl::demo::writeDemoParams(document, params, "a.b"));
    EXPECT_EQ(document["a"]["keep"], 1);
    EXPECT_EQ(document["z"], "top");
    EXPECT_EQ(document["a"]["b"]["videoSource"]["source"], "nested.avi");
    EXPECT_EQ(document["a"]["b"].size(), 2u);

    DemoParams back;
    std::string err;
    ASSERT_TRUE(readCapturing(document, "a.b", back, err)) << err;
    EXPECT_EQ(back.videoSource.source, "nested.avi");
    EXPECT_FALSE(readCapturing(document, "a", back, err));

    // the empty path: the top level itself, replaced whole
    json top = {{"gone", 1}};
    ASSERT_TRUE(orl::demo::writeDemoParams(top, params, ""));
    EXPECT_FALSE(top.contains("gone"));
    ASSERT_TRUE(readCapturing(top, "", back, err)) << err;

    // "Params" replaced whole: its unknown members are lost
    json withParams = {{"Params", {{"old", 1}}}, {"other", 2}};
    ASSERT_TRUE(orl::demo::writeDemoParams(withParams, params, "Params"));
    EXPECT_FALSE(withParams["Params"].contains("old"));
    EXPECT_EQ(withParams["other"], 2);

    // a number on the way
    json blocked = {{"a", 5}};
    const json before = blocked;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(orl::demo::writeDemoParams(blocked, params, "a.b"));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(blocked, before);
    EXPECT_EQ(err.rfind("[json.exception.type_error.305] ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');

    json array = json::array();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(orl::demo::writeDemoParams(array, params, "Params"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(array, json::array());
}

// Values written, saved, loaded and read again are the same values, floats
// included (widened to double on the way out, narrowed on the way in).
TEST(DemoConfig, RoundTripKeepsEveryValue) {
    TempDir dir;
    DemoParams params;
    auto& v = params.videoSource;
    v.logLevel = 3;
    v.source = "/tmp/ünïcode clip.avi";
    v.fourcc = "MJPG";
    v.width = 1280;
    v.height = 720;
    v.gainMode = 2;
    v.exposureMode = 0;
    v.focusMode = 5;
    v.fps = 29.97f;
    v.custom1 = 0.1f;
    v.custom2 = -3.4e38f;
    v.custom3 = 1e-7f;
    params.videoStabiliser.scaleFactor = 4;
    params.videoStabiliser.xOffsetLimit = -12;
    params.videoStabiliser.aOffsetLimit = 0.2f;
    params.videoStabiliser.xFilterCoeff = 0.9f;
    params.videoStabiliser.yFilterCoeff = 0.333333f;
    params.videoStabiliser.aFilterCoeff = 1.0f;
    params.videoStabiliser.enable = false;
    params.videoStabiliser.constAOffset = -0.017453292f;
    params.videoStabiliser.type = 0;
    params.videoStabiliser.cutFrequencyHz = 123456.79f;
    params.videoStabiliser.logMod = 2147483647;
    json document;
    ASSERT_TRUE(orl::demo::writeDemoParams(document, params, "Params"));
    ASSERT_TRUE(orl::demo::saveJsonFile(document, dir.file("c.json")));
    json loaded;
    ASSERT_TRUE(orl::demo::loadJsonFile(dir.file("c.json"), loaded));
    DemoParams back;
    std::string err;
    ASSERT_TRUE(readCapturing(loaded, "Params", back, err)) << err;
    const auto& s = back.videoSource;
    EXPECT_EQ(s.logLevel, 3);
    EXPECT_EQ(s.source, "/tmp/ünïcode clip.avi");
    EXPECT_EQ(s.fourcc, "MJPG");
    EXPECT_EQ(s.width, 1280);
    EXPECT_EQ(s.height, 720);
    EXPECT_EQ(s.gainMode, 2);
    EXPECT_EQ(s.exposureMode, 0);
    EXPECT_EQ(s.focusMode, 5);
    EXPECT_EQ(s.fps, 29.97f);
    EXPECT_EQ(s.custom1, 0.1f);
    EXPECT_EQ(s.custom2, -3.4e38f);
    EXPECT_EQ(s.custom3, 1e-7f);
    const auto& t = back.videoStabiliser;
    const auto& w = params.videoStabiliser;
    EXPECT_EQ(t.scaleFactor, w.scaleFactor);
    EXPECT_EQ(t.xOffsetLimit, w.xOffsetLimit);
    EXPECT_EQ(t.aOffsetLimit, w.aOffsetLimit);
    EXPECT_EQ(t.xFilterCoeff, w.xFilterCoeff);
    EXPECT_EQ(t.yFilterCoeff, w.yFilterCoeff);
    EXPECT_EQ(t.aFilterCoeff, w.aFilterCoeff);
    EXPECT_EQ(t.enable, w.enable);
    EXPECT_EQ(t.constAOffset, w.constAOffset);
    EXPECT_EQ(t.type, w.type);
    EXPECT_EQ(t.cutFrequencyHz, w.cutFrequencyHz);
    EXPECT_EQ(t.logMod, w.logMod);
    // the file shows the float's own value, not the decimal it was typed as
    const std::string text = readText(dir.file("c.json"));
    EXPECT_NE(text.find("\"xFilterCoeff\": 0.8999999761581421,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"source\": \"/tmp/ünïcode clip.avi\""), std::string::npos) << text;
}

// Numbers must fit their field (found by demo_config_fuzz: a real beyond
// the int range was converted with undefined behaviour, and a real beyond
// the float range read as infinity, which saves as null and then no longer
// reads). Accepted edge values read and survive a save; the others are
// refused with the record unchanged.
TEST(DemoConfig, NumbersMustFitTheirField) {
    struct Case {
        const char* object;
        const char* key;
        json value;
        bool accepted;
    };
    const Case cases[] = {
        {"videoSource", "width", 2147483647.9, true},
        {"videoSource", "width", -2147483648.9, true},
        {"videoSource", "width", 2147483647, true},
        {"videoSource", "height", json(int64_t{-2147483648}), true},
        {"videoSource", "fps", 3.4028234663852886e38, true},  // the largest float
        {"videoSource", "custom1", -1e-50, true},             // underflows to -0
        {"videoSource", "width", 1e30, false},
        {"videoSource", "width", 2147483648.0, false},
        {"videoSource", "width", -2147483649.0, false},
        {"videoSource", "height", json(uint64_t{2147483648u}), false},
        {"videoStabiliser", "xOffsetLimit", json(uint64_t{3000000000u}), false},
        {"videoStabiliser", "logMod", json(int64_t{-2147483649}), false},
        {"videoSource", "fps", 1e300, false},
        {"videoStabiliser", "constAOffset", -3.5e38, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.object) + "." + c.key + " = " + c.value.dump());
        json document = validDocument();
        document["Params"][c.object][c.key] = c.value;
        DemoParams params;
        params.videoSource.source = "kept";
        std::string err;
        const bool ok = readCapturing(document, "Params", params, err);
        EXPECT_EQ(ok, c.accepted) << err;
        if (!c.accepted) {
            EXPECT_EQ(err.rfind("[json.exception.out_of_range.406] ", 0), 0u) << err;
            EXPECT_NE(err.find(c.key), std::string::npos) << err;
            EXPECT_EQ(params.videoSource.source, "kept");
            continue;
        }
        // what was read survives a save and a reload unchanged
        TempDir dir;
        json saved = document;
        ASSERT_TRUE(orl::demo::writeDemoParams(saved, params, "Params"));
        ASSERT_TRUE(orl::demo::saveJsonFile(saved, dir.file("c.json")));
        json loaded;
        ASSERT_TRUE(orl::demo::loadJsonFile(dir.file("c.json"), loaded));
        DemoParams back;
        ASSERT_TRUE(readCapturing(loaded, "Params", back, err)) << err;
        EXPECT_EQ(back.videoSource.width, params.videoSource.width);
        EXPECT_EQ(back.videoSource.height, params.videoSource.height);
        EXPECT_EQ(back.videoSource.fps, params.videoSource.fps);
        EXPECT_EQ(back.videoSource.custom1, params.videoSource.custom1);
    }

    // truncation toward zero at both ends of the int range
    json document = validDocument();
    document["Params"]["videoSource"]["width"] = 2147483647.9;
    document["Params"]["videoSource"]["height"] = -2147483648.9;
    DemoParams params;
    std::string err;
    ASSERT_TRUE(readCapturing(document, "Params", params, err)) << err;
    EXPECT_EQ(params.videoSource.width, INT_MAX);
    EXPECT_EQ(params.videoSource.height, INT_MIN);
}

// Strict loading: comments and trailing text are errors reported on standard
// output; a missing file fails silently; a failure keeps the document.
TEST(DemoConfig, LoadingIsStrict) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* text;  // nullptr: no file
        bool ok;
        const char* message;
    };
    const Case cases[] = {
        {"valid", "{\"a\": [1, 2.5, \"x\"]}\n", true, ""},
        {"missing", nullptr, false, ""},
        {"comment", "// settings\n{\"a\": 1}\n", false,
         "[json.exception.parse_error.101] parse error at line 1, column 1"},
        {"trailing text", "{\"a\": 1} x\n", false, "[json.exception.parse_error.101]"},
        {"two values", "{} {}", false, "[json.exception.parse_error.101]"},
        {"empty", "", false, "[json.exception.parse_error.101]"},
        {"truncated", "{\"a\": ", false, "[json.exception.parse_error.101]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = dir.file(std::string(c.name) + ".json");
        if (c.text != nullptr)
            writeText(name, c.text);
        json document = {{"before", true}};
        testing::internal::CaptureStdout();
        const bool ok = orl::demo::loadJsonFile(name, document);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(document, json::parse(c.text));
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(document, (json{{"before", true}}));
            EXPECT_EQ(out.rfind(c.message, 0), 0u) << out;
            if (!out.empty()) {
                EXPECT_EQ(out.back(), '\n');
            }
        }
    }
}

// The saved text: sorted keys, four-space indent, shortest round-trip reals
// with ".0" on whole values, raw UTF-8, one final newline. A file that cannot
// be written is reported as a failure.
TEST(DemoConfig, SavedTextAndFailures) {
    TempDir dir;
    json document = {{"b", {{"zeta", 30.0}, {"Alpha", -1.0}, {"mid", static_cast<double>(0.2f)}}},
                     {"a", {true, "é"}},
                     {"C", 0}};
    ASSERT_TRUE(orl::demo::saveJsonFile(document, dir.file("s.json")));
    EXPECT_EQ(readText(dir.file("s.json")),
              "{\n"
              "    \"C\": 0,\n"
              "    \"a\": [\n"
              "        true,\n"
              "        \"é\"\n"
              "    ],\n"
              "    \"b\": {\n"
              "        \"Alpha\": -1.0,\n"
              "        \"mid\": 0.20000000298023224,\n"
              "        \"zeta\": 30.0\n"
              "    }\n"
              "}\n");
    // replacing a longer file leaves nothing of it behind
    writeText(dir.file("t.json"), std::string(5000, 'x'));
    ASSERT_TRUE(orl::demo::saveJsonFile(json{{"k", 1}}, dir.file("t.json")));
    EXPECT_EQ(readText(dir.file("t.json")), "{\n    \"k\": 1\n}\n");

    EXPECT_FALSE(orl::demo::saveJsonFile(document, dir.file("no/such/folder/s.json")));
    EXPECT_FALSE(orl::demo::saveJsonFile(document, dir.file("")));  // a folder
    if (fs::exists("/dev/full")) {                                  // opens, then every write fails
        EXPECT_FALSE(orl::demo::saveJsonFile(document, "/dev/full"));
    }
    // a string that is not UTF-8 cannot be written as JSON
    EXPECT_FALSE(orl::demo::saveJsonFile(json{{"k", std::string("\xff\xfe")}}, dir.file("u.json")));
}

// The backup copy is byte-exact, also for empty and binary files, and fails
// for a missing source or an unwritable target.
TEST(DemoConfig, CopyFileIsExact) {
    TempDir dir;
    std::string binary;
    for (int i = 0; i < 200000; ++i)
        binary.push_back(static_cast<char>(i * 7 % 256));
    for (const std::string& content : {std::string(), std::string("// my settings\n{"), binary}) {
        writeText(dir.file("from"), content);
        writeText(dir.file("to"), "old content that is longer than some of the sources");
        ASSERT_TRUE(orl::demo::copyFile(dir.file("from"), dir.file("to")));
        EXPECT_TRUE(readText(dir.file("to")) == content) << "size " << content.size();
    }
    EXPECT_FALSE(orl::demo::copyFile(dir.file("missing"), dir.file("to2")));
    EXPECT_FALSE(orl::demo::copyFile(dir.file("from"), dir.file("no/folder/to")));
    fs::create_directory(dir.file("folder"));
    writeText(dir.file("to3"), "an older copy");
    EXPECT_FALSE(orl::demo::copyFile(dir.file("folder"), dir.file("to3")));
    EXPECT_EQ(readText(dir.file("to3")), "an older copy");  // a failed copy replaces nothing
    EXPECT_FALSE(fs::exists(dir.file("to3.part")));
}
