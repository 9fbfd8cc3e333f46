// Fuzzer for the video source's text handling and its parameter calls.
// - splitInitString against its contract: non-empty fields without ';'
//   whose concatenation is the text without its ';'.
// - parseDecimal against the C library's strtol (white space, one sign,
//   digits; out of int range refused with its own message).
// - classifySource against the rule table (length, stream markers before
//   file extensions, short texts as device numbers).
// - The property scales: every conversion defined for any float or int.
// - NexfeedOpenCv::open(initString) only for texts that the rules above
//   prove are refused before any device, file or network is touched (no
//   field, unknown kind, a size that is not a number); it must then refuse
//   and stay closed. setParam / getParam with any
//   identifier and value on a closed source.
// - Standard output is sent to /dev/null: the source's console messages
//   would only slow the run.

#include "PropertyScale.h"
#include "SourceText.h"

#include <calmora/NexfeedOpenCv.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace orl::video;

namespace {

[[noreturn]] void finding(const char* what, const std::string& text) {
    std::fprintf(stderr, "source_text_fuzz finding: %s for text of %zu bytes \"", what,
                 text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u < 127) {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02x", u);
        }
    }
    std::fprintf(stderr, "\"\n");
    std::abort();
}

std::vector<std::string> referenceSplit(const std::string& text) {
    std::vector<std::string> fields;
    std::string current;
    for (char c : text) {
        if (c == ';') {
            if (!current.empty()) {
                fields.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        fields.push_back(current);
    }
    return fields;
}

// 0 parsed, 1 no digits, 2 out of int range. strtol stops at the first NUL,
// as the hand-written scan stops at any non-digit.
int referenceParse(const std::string& text, int& value) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(start, &end, 10);
    if (end == start) {
        return 1;
    }
    if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
        return 2;
    }
    value = static_cast<int>(parsed);
    return 0;
}

SourceType referenceClassify(const std::string& text) {
    auto has = [&](const char* marker) { return text.find(marker) != std::string::npos; };
    if (text.size() >= 4) {
        if (has("rtp") || has("rtsp") || has("http")) {
            return STREAM;
        }
        for (const char* ext : {"mp4", "avi", "mov", "wmv", "flv", "swf", "f4v", "webm"}) {
            if (has(ext)) {
                return VIDEO_FILE;
            }
        }
        return UNKNOWN;
    }
    int value = 0;
    if (text.empty() || referenceParse(text, value) != 0) {
        return UNKNOWN;
    }
    return value < 0 ? NUMBER_OUT_OF_RANGE : DEVICE;
}

// True when open(initString) is refused before the capture is asked to
// open anything: no fields, a source of unknown kind, or a size field that
// is not a number. A negative device number is not among them: it is
// opened by name (a file called "-1" is a file).
bool refusedBeforeOpening(const std::string& initString) {
    std::vector<std::string> fields = referenceSplit(initString);
    if (fields.empty()) {
        return true;
    }
    const SourceType type = referenceClassify(fields[0]);
    if (type == UNKNOWN) {
        return true;
    }
    int value = 0;
    for (size_t i = 1; i < 3 && i < fields.size(); ++i) {
        if (referenceParse(fields[i], value) != 0) {
            return true;
        }
    }
    return false;
}

void checkText(const std::string& text) {
    // split
    const std::vector<std::string> fields = splitInitString(text);
    if (fields != referenceSplit(text)) {
        finding("splitInitString differs from the contract", text);
    }

    // parse
    int got = 12345;
    int want = 12345;
    std::string error;
    const bool parsed = parseDecimal(text, got, error);
    const int outcome = referenceParse(text, want);
    if (parsed != (outcome == 0)) {
        finding("parseDecimal accepts or refuses unlike strtol", text);
    }
    if (parsed && got != want) {
        finding("parseDecimal value differs from strtol", text);
    }
    if (!parsed) {
        const char* message = outcome == 1 ? "invalid stoi argument" : "stoi argument out of range";
        if (error != message || got != 12345) {
            finding("parseDecimal failure message or value wrong", text);
        }
    }

    // classify
    if (classifySource(text) != referenceClassify(text)) {
        finding("classifySource differs from the rule table", text);
    }
}

float anyFloat(FuzzedDataProvider& in) {
    const uint32_t bits = in.ConsumeIntegral<uint32_t>();
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void checkScales(FuzzedDataProvider& in) {
    const float f = anyFloat(in);
    uint64_t bits = in.ConsumeIntegral<uint64_t>();
    double d = 0.0;
    std::memcpy(&d, &bits, sizeof d);
    const int i1 = in.ConsumeIntegral<int>();
    const int i2 = in.ConsumeIntegral<int>();

    const int t = truncToInt(d);
    if (std::isnan(d) ? t != 0
                      : (std::trunc(d) >= INT_MAX   ? t != INT_MAX
                         : std::trunc(d) <= INT_MIN ? t != INT_MIN
                                                    : t != static_cast<int>(std::trunc(d)))) {
        finding("truncToInt is not saturating truncation", std::to_string(d));
    }
    (void)gainToDevice(f);
    const double focus = focusToDevice(f);
    if (std::fmod(focus, 5.0) != 0.0) {
        finding("focusToDevice is not a multiple of 5", std::to_string(f));
    }
    (void)gainFromDevice(d);
    (void)focusFromDevice(d);
    orl::logging::LogMode mode = orl::logging::LogMode::CONSOLE;
    if (logModeForLevel(i1, mode) != (i1 >= 0 && i1 <= 3)) {
        finding("logModeForLevel accepts a level outside 0..3", std::to_string(i1));
    }
    const int interval = frameIntervalFor(f, 33000);
    if (interval < 1) {
        finding("frameIntervalFor gives an interval below 1", std::to_string(f));
    }
    (void)missedFrames(i1, i2);
    if (framesWithinTimeout(i1, i2) < 0) {
        finding("framesWithinTimeout is negative", std::to_string(i1) + " " + std::to_string(i2));
    }
    const int bound = drainBound(i1, i2);
    if (bound < 1 || bound > kMaxDrainFrames) {
        finding("drainBound outside 1..256", std::to_string(i1) + " " + std::to_string(i2));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string text = in.ConsumeRandomLengthString(256);
    checkText(text);
    for (const std::string& field : splitInitString(text)) {
        checkText(field);
    }
    checkScales(in);

    NexfeedOpenCv source;
    if (refusedBeforeOpening(text)) {
        if (source.open(text) || source.isOpen()) {
            finding("open accepted an initialisation string it must refuse", text);
        }
        const std::vector<std::string> fields = referenceSplit(text);
        if (!fields.empty() && referenceClassify(fields[0]) != UNKNOWN &&
            source.getParams().source != fields[0]) {
            finding("open did not keep the source text it had converted", text);
        }
    }

    // parameter calls on a closed source
    while (in.remaining_bytes() > 0) {
        const int id = in.ConsumeIntegralInRange<int>(-1, 17);
        float value = 0.0f;
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                value = anyFloat(in);
                break;
            case 1:
                value = static_cast<float>(in.ConsumeIntegralInRange<int>(-2, 70000));
                break;
            default:
                value = static_cast<float>(in.ConsumeIntegral<int>());
                break;
        }
        const bool set = source.setParam(id, value);
        const bool logLevel = id == LOG_LEVEL && truncToInt(value) >= 0 && truncToInt(value) <= 3;
        if (set != logLevel) {
            finding("a closed source accepted a device parameter (or refused a log level)",
                    std::to_string(id) + " " + std::to_string(value));
        }
        const float got = source.getParam(in.ConsumeIntegralInRange<int>(-1, 17));
        (void)got;
        if (source.isOpen()) {
            finding("a parameter call opened the source", std::to_string(id));
        }
    }
    return 0;
}
