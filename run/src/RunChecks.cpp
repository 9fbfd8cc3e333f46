// Checks of a run before anything is opened, shared by every front end.
// - The settings go through validate() in the mode they name, so a front
//   end refuses exactly what the mode classes would.
// - Two paths name one file when the file system says so (links, hard
//   links, "./" and "a/../b" spellings); a path that does not exist yet is
//   compared by its weakly canonical form, which resolves the part that
//   does exist. The input is never written over, by any of the outputs,
//   and no two outputs are one file.

#include <calmora/run/FileRun.h>

#include <calmora/NexfeedOpenCv.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

namespace orl::calmora::run {

namespace {

namespace fs = std::filesystem;

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) {
        return fs::equivalent(a, b, ec);
    }
    const fs::path ca = fs::weakly_canonical(a, ec);
    if (ec) {
        return a == b;
    }
    const fs::path cb = fs::weakly_canonical(b, ec);
    return ec ? a == b : ca == cb;
}

Refusal refused(const std::string& message) {
    return {RunResult::REFUSED, message};
}
Refusal failed(const std::string& message) {
    return {RunResult::FAILED, message};
}

// The settings, the codec and whether the mode can read the input.
Refusal checkSettings(const RunOptions& options) {
    if (const std::string error = validate(options.settings); !error.empty()) {
        return refused(error);
    }
    const std::string codec = codecFor(options.output, options.codec);
    if (codec.size() != 4) {
        return refused("codec: '" + codec + "' is not four characters");
    }
    if (options.settings.mode == StabiliserMode::OFFLINE && isLiveInput(options.input)) {
        return refused(
            "offline mode reads the input twice and needs a file, not the camera or "
            "stream " +
            options.input + "; lookahead mode reads it once");
    }
    return {};
}

Refusal checkInput(const RunOptions& options) {
    const std::string& input = options.input;
    if (isLiveInput(input)) {
        return {};
    }
    std::error_code ec;
    if (!fs::exists(input, ec)) {
        return failed("input not found: " + input);
    }
    if (fs::is_directory(input, ec)) {
        return failed("input is a folder, not a video: " + input);
    }
    return {};
}

Refusal checkOutputs(const RunOptions& options) {
    if (options.output.empty()) {
        return refused("no output file given");
    }
    std::vector<std::string> outputs{options.output, options.sideBySide};
    outputs.insert(outputs.end(), options.otherOutputs.begin(), options.otherOutputs.end());
    outputs.erase(std::remove(outputs.begin(), outputs.end(), ""), outputs.end());
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (samePath(outputs[i], options.input)) {
            return refused("refusing to write " + outputs[i] + " over the input");
        }
        for (size_t j = 0; j < i; ++j) {
            if (samePath(outputs[i], outputs[j])) {
                return refused(outputs[i] + " and " + outputs[j] +
                               " are one file: each output needs its own");
            }
        }
    }
    for (const std::string& out : outputs) {
        const fs::path folder = fs::path(out).parent_path();
        std::error_code ec;
        if (!folder.empty() && !fs::is_directory(folder, ec)) {
            return failed("output folder does not exist: " + folder.string());
        }
    }
    return {};
}

}  // namespace

bool isLiveInput(const std::string& input) {
    const orl::video::SourceType type = orl::video::NexfeedOpenCv::classify(input);
    return type == orl::video::STREAM || type == orl::video::DEVICE ||
           type == orl::video::NUMBER_OUT_OF_RANGE;
}

std::string codecFor(const std::string& output, const std::string& requested) {
    if (!requested.empty()) {
        return requested;
    }
    std::string ext = output.substr(std::min(output.size(), output.rfind('.') + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "mp4" || ext == "mov" || ext == "m4v") {
        return "mp4v";
    }
    return "MJPG";
}

Refusal checkRun(const RunOptions& options) {
    for (Refusal (*check)(const RunOptions&) : {checkSettings, checkInput, checkOutputs}) {
        if (Refusal refusal = check(options); refusal.status != RunResult::DONE) {
            return refusal;
        }
    }
    return {};
}

}  // namespace orl::calmora::run
