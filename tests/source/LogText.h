#pragma once

// Expected console lines of the video source, and captured output with the
// line numbers of the logging statements blanked out (they move whenever
// the source file is edited; everything else must match exactly).

#include <regex>
#include <string>

namespace calmora_test {

/// An error line as the console shows it: red, "[file][N] ERROR: ", the
/// text with a line end added when it has none, then the reset code.
inline std::string errorLine(const std::string& text) {
    const std::string end = !text.empty() && text.back() == '\n' ? "" : "\n";
    return "\x1b[31m[NexfeedOpenCv.cpp][N] ERROR: " + text + end + "\x1b[0m";
}

/// A notice line: green, "[file][N]: ", text, reset.
inline std::string noticeLine(const std::string& text) {
    const std::string end = !text.empty() && text.back() == '\n' ? "" : "\n";
    return "\x1b[32m[NexfeedOpenCv.cpp][N]: " + text + end + "\x1b[0m";
}

/// `output` with every "[<digits>]" that follows "]" replaced by "[N]".
inline std::string blankLineNumbers(const std::string& output) {
    static const std::regex number(R"(\]\[[0-9]+\])");
    return std::regex_replace(output, number, "][N]");
}

}  // namespace calmora_test
