// Fuzzer for the demo's configuration file, loaded and read as at start-up:
// a failed read keeps the record; a good one survives store, save and load.

#include "DemoConfig.h"

#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <tuple>

using nlohmann::json;

static auto fields(const orl::demo::DemoParams& params) {
    const auto& s = params.videoSource;
    const auto& t = params.videoStabiliser;
    return std::make_tuple(s.logLevel, s.source, s.fourcc, s.width, s.height, s.gainMode,
                           s.exposureMode, s.focusMode, s.fps, s.custom1, s.custom2, s.custom3,
                           t.scaleFactor, t.xOffsetLimit, t.yOffsetLimit, t.aOffsetLimit,
                           t.xFilterCoeff, t.yFilterCoeff, t.aFilterCoeff, t.enable,
                           t.transparentBorder, t.constXOffset, t.constYOffset, t.constAOffset,
                           t.type, t.cutFrequencyHz, t.fps, t.logMod);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/demo_config_fuzz." + std::to_string(getpid());
    std::cout.setstate(std::ios::badbit);  // the library's messages
    std::cerr.setstate(std::ios::badbit);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    json document, again;
    orl::demo::DemoParams marked, back;
    marked.videoSource.source = "marked";
    orl::demo::DemoParams params = marked;
    if (!orl::demo::loadJsonFile(path, document) ||
        !orl::demo::readDemoParams(document, "Params", params)) {
        if (fields(params) != fields(marked))
            std::abort();  // a failed read changed the record
        return 0;
    }
    if (!orl::demo::writeDemoParams(document, params, "Params") ||
        !orl::demo::saveJsonFile(document, path) || !orl::demo::loadJsonFile(path, again) ||
        again != document || !orl::demo::readDemoParams(again, "Params", back) ||
        fields(back) != fields(params))
        std::abort();  // what was read did not survive the saved file
    return 0;
}
