// Source text and initialisation string.
// - splitInitString: walk the text, cutting at every ';' and keeping only
//   non-empty pieces.
// - parseDecimal: strtol-like scan done by hand (white space, sign, digits)
//   in 64-bit with an early stop, so that no exception and no errno are
//   involved; the error texts are the ones the messages carry.
// - classifySource: length first, then the stream markers before the file
//   extensions, so "cam_rtsp_1" is a stream even though it could be neither;
//   a text without a marker that names an existing regular file is taken
//   as a video file too (any container the capture may read), while device
//   nodes such as "/dev/video0" are no regular files and stay unknown.

#include "SourceText.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace orl::video {

std::vector<std::string> splitInitString(const std::string& initString) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    while (start <= initString.size()) {
        std::string::size_type end = initString.find(';', start);
        if (end == std::string::npos) {
            end = initString.size();
        }
        if (end > start) {
            fields.push_back(initString.substr(start, end - start));
        }
        start = end + 1;
    }
    return fields;
}

bool parseDecimal(const std::string& text, int& value, std::string& error) {
    std::size_t pos = 0;
    // white space as isspace() sees it, then one optional sign
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])) != 0) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // digits; the magnitude is capped just past the int range so that a
    // long run of digits cannot overflow the accumulator
    const int64_t limit = static_cast<int64_t>(INT_MAX) + 2;
    int64_t magnitude = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (magnitude < limit) {
            magnitude = magnitude * 10 + (text[pos] - '0');
        }
        ++pos;
        ++digits;
    }
    if (digits == 0) {
        error = "invalid stoi argument";
        return false;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX || signedValue < INT_MIN) {
        error = "stoi argument out of range";
        return false;
    }
    value = static_cast<int>(signedValue);
    return true;
}

namespace {

bool containsAny(const std::string& text, const std::string* begin, const std::string* end) {
    for (const std::string* marker = begin; marker != end; ++marker) {
        if (text.find(*marker) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

SourceType classifySource(const std::string& text) {
    static const std::array<std::string, 3> streamMarkers{"rtp", "rtsp", "http"};
    static const std::array<std::string, 14> fileMarkers{"mp4",  "avi", "mov",  "wmv", "flv",
                                                         "swf",  "f4v", "webm", "mkv", "mpg",
                                                         "mpeg", "m4v", "3gp",  "ogv"};
    if (text.size() >= 4) {
        if (containsAny(text, streamMarkers.data(), streamMarkers.data() + streamMarkers.size())) {
            return STREAM;
        }
        if (containsAny(text, fileMarkers.data(), fileMarkers.data() + fileMarkers.size())) {
            return VIDEO_FILE;
        }
        std::error_code error;
        if (std::filesystem::is_regular_file(text, error)) {
            return VIDEO_FILE;
        }
        return UNKNOWN;
    }
    // 1 to 3 characters: a device number, or a negative one
    int number = 0;
    std::string error;
    if (text.empty() || !parseDecimal(text, number, error)) {
        return UNKNOWN;
    }
    return number < 0 ? NUMBER_OUT_OF_RANGE : DEVICE;
}

}  // namespace orl::video
