// Tests of the demo's configuration code: one table of spoilt documents
// (accepted kinds, numbers that must fit, error texts, all-or-nothing
// reads), a round trip through a saved file, and the backup copy.

#include "DemoConfig.h"

#include <TempFolder.h>

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

using calmora_test::readFile;
using nlohmann::json;
using orl::demo::DemoParams;

static json paramsOf(const DemoParams& params) {
    json document;
    EXPECT_TRUE(orl::demo::writeDemoParams(document, params, ""));
    return document;
}

// Each row merges a patch into a valid document. An accepted row gives the
// record read as a patch of the defaults; a refused one the error text, and
// the caller's record must stay as it was.
TEST(DemoConfig, SpoiltDocumentsReadAllOrNothing) {
    const std::tuple<const char*, const char*> cases[] = {
        {R"({"Top":1,"Params":{"x":1,"videoSource":{"width":640.9,"height":-480.9,"fps":true,
            "logLevel":3,"custom3":-2.5,"source":"é","gain":9,"focusMode":-2147483648}}})",
         R"({"videoSource":{"width":640,"height":-480,"fps":1.0,"logLevel":3,"custom3":-2.5,
            "source":"é","focusMode":-2147483648}})"},
        {R"({"Params":{"videoStabiliser":{"scaleFactor":false,"xOffsetLimit":2147483647.9,
            "yOffsetLimit":-2147483648.9,"enable":false,"logMod":2147483647,
            "fps":3.4028234663852886e38}}})",
         R"({"videoStabiliser":{"scaleFactor":0,"xOffsetLimit":2147483647,"enable":false,
            "yOffsetLimit":-2147483648,"logMod":2147483647,"fps":3.4028234663852886e38}})"},
        {R"({"Params":{"videoStabiliser":{"enable":1}}})",
         "302] type must be boolean, but is number"},
        {R"({"Params":{"videoSource":{"source":0}}})", "302] type must be string, but is number"},
        {R"({"Params":{"videoSource":{"width":2147483648.0}}})",
         "406] number out of range for 'width'"},
        {R"({"Params":{"videoSource":{"height":-2147483649.0}}})", "range for 'height'"},
        {R"({"Params":{"videoSource":{"gainMode":2147483648}}})", "range for 'gainMode'"},
        {R"({"Params":{"videoStabiliser":{"logMod":-2147483649}}})", "range for 'logMod'"},
        {R"({"Params":{"videoSource":{"fps":3.5e38}}})", "range for 'fps'"},
        {R"({"Params":{"videoStabiliser":{"constAOffset":-1e300}}})", "range for 'constAOffset'"},
        {R"({"Params":{"videoStabiliser":{"logMod":null,"logMode":0}}})", "403] key 'logMod' not"},
        {R"({"Params":{"videoSource":{"width":"x","logLevel":null}}})", "key 'logLevel' not"},
        {R"({"Params":{"videoStabiliser":{"type":null},"videoSource":{"custom3":"x"}}})",
         "number, but is string"},
        {R"({"Params":{"videoSource":[]}})", "304] cannot use at() with array"},
        {R"({"Params":5})", "cannot use at() with number"},
        {R"({"Params":null})", "key 'Params' not found"},
        {"[1, 2]", "cannot use at() with array"},
    };
    DemoParams marked;
    marked.videoSource.source = "marked";
    marked.videoSource.gain = 4321;
    for (const auto& [patch, outcome] : cases) {
        SCOPED_TRACE(patch);
        json document = {{"Params", paramsOf(DemoParams{})}};
        document.merge_patch(json::parse(patch));
        DemoParams params = marked;
        testing::internal::CaptureStderr();
        const bool ok = orl::demo::readDemoParams(document, "Params", params);
        const std::string err = testing::internal::GetCapturedStderr();
        const bool accepted = *outcome == '{';
        EXPECT_EQ(ok, accepted) << err;
        json expected = paramsOf(accepted ? DemoParams{} : marked);
        expected.merge_patch(accepted ? json::parse(outcome) : json::object());
        EXPECT_EQ(paramsOf(params), expected);
        EXPECT_EQ(params.videoSource.gain, accepted ? 0 : 4321);  // whole records or nothing
        EXPECT_EQ(err.empty(), accepted) << err;
        if (!accepted) {
            EXPECT_EQ(err.rfind("[json.exception.", 0), 0u) << err;
            EXPECT_NE(err.find(outcome), std::string::npos) << err;
            EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
        }
    }
}

// Every field with its own value survives read, write at a dotted path
// that keeps its neighbours, save, load and read; floats are written as the
// values they hold, text as raw UTF-8. What cannot be written fails.
TEST(DemoConfig, RoundTripKeepsEveryValue) {
    const json record = json::parse(R"({"videoSource": {"logLevel": 3, "source": "/tmp/ünï.avi",
        "fourcc": "MJPG", "width": 1280, "height": 720, "gainMode": 2, "exposureMode": 0,
        "focusMode": 5, "fps": 29.5, "custom1": 0.8999999761581421, "custom2": -2.25,
        "custom3": 0.125}, "videoStabiliser": {"scaleFactor": 4, "xOffsetLimit": -12,
        "yOffsetLimit": 21, "aOffsetLimit": 0.20000000298023224, "xFilterCoeff": 0.75,
        "yFilterCoeff": 0.5, "aFilterCoeff": 1.0, "enable": false, "transparentBorder": true,
        "constXOffset": 6, "constYOffset": -7, "constAOffset": -0.0625, "type": 0,
        "cutFrequencyHz": 1024.75, "fps": 24.5, "logMod": 9}})");
    const calmora_test::TempFolder dir;
    const std::string name = dir.file("c.json");
    json document = {{"a", {{"keep", 1}, {"Params", 2}}}, {"z", 3}}, loaded;
    DemoParams params, back;
    ASSERT_TRUE(orl::demo::readDemoParams(record, "", params));
    ASSERT_TRUE(orl::demo::writeDemoParams(document, params, "a.Params"));
    ASSERT_TRUE(orl::demo::saveJsonFile(document, name));
    ASSERT_TRUE(orl::demo::loadJsonFile(name, loaded));
    EXPECT_EQ(loaded, (json{{"a", {{"keep", 1}, {"Params", record}}}, {"z", 3}}));
    ASSERT_TRUE(orl::demo::readDemoParams(loaded, "a.Params", back));
    EXPECT_EQ(paramsOf(back), record);
    EXPECT_NE(readFile(name).find("\"source\": \"/tmp/ünï.avi\""), std::string::npos);
    EXPECT_FALSE(orl::demo::saveJsonFile(json{{"k", std::string("\xff")}}, name));
    EXPECT_FALSE(orl::demo::saveJsonFile(document, "/dev/full"));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(orl::demo::writeDemoParams(document, params, "z.Params"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[json.exception.type_error.305]", 0), 0u) << err;
    EXPECT_EQ(document, loaded);
}

// The backup copy is byte-exact over several buffers and replaces nothing
// when it fails.
TEST(DemoConfig, CopyFileIsExact) {
    calmora_test::TempFolder dir;
    std::string binary;
    for (int i = 0; i < 200000; ++i)
        binary.push_back(static_cast<char>(i * 7 % 256));
    std::ofstream(dir.file("from"), std::ios::binary) << binary;
    std::ofstream(dir.file("to")) << "an older copy";
    ASSERT_TRUE(orl::demo::copyFile(dir.file("from"), dir.file("to")));
    EXPECT_TRUE(readFile(dir.file("to")) == binary);
    EXPECT_FALSE(orl::demo::copyFile(dir.file("missing"), dir.file("to")));
    EXPECT_FALSE(orl::demo::copyFile(dir.file("from"), dir.file("no/folder/to")));
    EXPECT_FALSE(orl::demo::copyFile(dir.path().string(), dir.file("to")));
    EXPECT_TRUE(readFile(dir.file("to")) == binary);
    EXPECT_FALSE(std::filesystem::exists(dir.file("to.part")));
}
