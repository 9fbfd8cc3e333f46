#pragma once

// Reading the source text and the initialisation string: pure functions,
// kept apart from the capture so they can be tested (and fuzzed) alone.

#include <calmora/Nexfeed.h>

#include <string>
#include <vector>

namespace orl::video {

/// The non-empty ";"-separated fields of `initString`, in order (no white
/// space trimmed). Empty fields are dropped before counting, so
/// ";;0;;640;480" gives {"0", "640", "480"}. All fields are returned; the
/// caller uses the first three.
std::vector<std::string> splitInitString(const std::string& initString);

/// Reads a decimal int the way the initialisation string expects: leading
/// white space and one sign allowed, stopping at the first non-digit.
/// On failure returns false and sets `error` to "invalid stoi argument" (no
/// digits) or "stoi argument out of range" (outside int); `value` is then
/// untouched. Never throws.
bool parseDecimal(const std::string& text, int& value, std::string& error);

/// Kind of source named by `text` (case-sensitive substring tests):
/// 4+ characters containing "rtp", "rtsp" or "http" -> STREAM; else 4+
/// containing a video file extension ("mp4", "avi", "mov", "wmv", "flv",
/// "swf", "f4v", "webm", "mkv", "mpg", "mpeg", "m4v", "3gp", "ogv") or
/// naming an existing regular file -> VIDEO_FILE; other 4+ -> UNKNOWN; 1 to 3
/// characters -> DEVICE when the decimal value is 0..999,
/// NUMBER_OUT_OF_RANGE when it is negative, and UNKNOWN when the text is
/// not a number at all ("cam") or is empty.
SourceType classifySource(const std::string& text);

}  // namespace orl::video
