// Fuzzer for the demo's configuration file.
// - Writes the input bytes as the configuration file, loads it and reads
//   the "Params" object, as the demo does at start-up.
// - When that read succeeds, stores the records back into the document,
//   saves it to a second file and loads and reads that: both must succeed,
//   the records must be equal (floats bit for bit), and so must the two
//   documents, since saving must not lose or change anything it keeps.
// - A failed first read must leave the caller's record untouched.
// - The library's error texts go to std::cout / std::cerr; both are
//   silenced here (libFuzzer reports through C stdio, not through them).

#include "DemoConfig.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>

using nlohmann::json;
using orl::demo::DemoParams;

namespace {

// Swallows everything written to it.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

NullBuffer nullBuffer;
std::string inputPath;
std::string savedPath;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "demo_config_fuzz finding: %s\n", what);
    std::abort();
}

bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameParams(const DemoParams& a, const DemoParams& b) {
    const auto& s = a.videoSource;
    const auto& t = b.videoSource;
    const bool source = s.logLevel == t.logLevel && s.source == t.source && s.fourcc == t.fourcc &&
                        s.width == t.width && s.height == t.height && s.gainMode == t.gainMode &&
                        s.exposureMode == t.exposureMode && s.focusMode == t.focusMode &&
                        sameFloat(s.fps, t.fps) && sameFloat(s.custom1, t.custom1) &&
                        sameFloat(s.custom2, t.custom2) && sameFloat(s.custom3, t.custom3);
    const auto& p = a.videoStabiliser;
    const auto& q = b.videoStabiliser;
    const bool stabiliser =
        p.scaleFactor == q.scaleFactor && p.xOffsetLimit == q.xOffsetLimit &&
        p.yOffsetLimit == q.yOffsetLimit && sameFloat(p.aOffsetLimit, q.aOffsetLimit) &&
        sameFloat(p.xFilterCoeff, q.xFilterCoeff) && sameFloat(p.yFilterCoeff, q.yFilterCoeff) &&
        sameFloat(p.aFilterCoeff, q.aFilterCoeff) && p.enable == q.enable &&
        p.transparentBorder == q.transparentBorder && p.constXOffset == q.constXOffset &&
        p.constYOffset == q.constYOffset && sameFloat(p.constAOffset, q.constAOffset) &&
        p.type == q.type && sameFloat(p.cutFrequencyHz, q.cutFrequencyHz) &&
        sameFloat(p.fps, q.fps) && p.logMod == q.logMod;
    return source && stabiliser;
}

// A record no file can produce: every field away from its default.
DemoParams sentinel() {
    DemoParams p;
    p.videoSource.source = "sentinel";
    p.videoSource.width = -77;
    p.videoSource.custom2 = -7.5f;
    p.videoStabiliser.scaleFactor = -77;
    p.videoStabiliser.fps = -7.5f;
    p.videoStabiliser.logMod = -77;
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.rdbuf(&nullBuffer);
    std::cerr.rdbuf(&nullBuffer);
    const std::string stem = "/tmp/calmora_demo_config_fuzz." + std::to_string(getpid());
    inputPath = stem + ".json";
    savedPath = stem + ".saved.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream file(inputPath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!file) {
            return 0;  // the temporary folder is full; nothing to test
        }
    }

    // first load and read, as at start-up
    json document;
    if (!orl::demo::loadJsonFile(inputPath, document)) {
        if (!document.is_null()) {
            finding("a failed load changed the document");
        }
        return 0;
    }
    DemoParams params = sentinel();
    if (!orl::demo::readDemoParams(document, "Params", params)) {
        if (!sameParams(params, sentinel())) {
            finding("a failed read changed the record");
        }
        return 0;
    }

    // store, save, load and read again
    json stored = document;
    if (!orl::demo::writeDemoParams(stored, params, "Params")) {
        finding("writing back a record that was just read failed");
    }
    if (!orl::demo::saveJsonFile(stored, savedPath)) {
        finding("saving a document that was just loaded failed");
    }
    json reloaded;
    if (!orl::demo::loadJsonFile(savedPath, reloaded)) {
        finding("a saved file does not load");
    }
    DemoParams again = sentinel();
    if (!orl::demo::readDemoParams(reloaded, "Params", again)) {
        finding("a saved file does not read");
    }
    if (!sameParams(params, again)) {
        finding("values changed on the way through the saved file");
    }
    if (reloaded != stored) {
        finding("the saved document loads back different");
    }
    return 0;
}
