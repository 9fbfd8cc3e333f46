// Logger.
// - print(): under the rotation lock, checks the size of the current log
//   file and starts a new one when it reached the limit; the LogLine it
//   returns carries a copy of the file path taken under that same lock.
// - ~LogLine(): under the output lock, writes colour code, text and reset
//   code to standard output, and/or appends "<stamp> <text>" to the file.
// - startNewFile(): creates the folder, trims it oldest-first to the folder
//   limit, names the new file after the local start time.
// The two locks are never held together, so a caller may log while holding
// a lock of its own, as long as it never takes that lock inside the Logger.

#include <calmora/Logger.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>

namespace orl::logging {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// Process-wide state. Function-local statics, so that a message logged
// during another object's static initialisation finds them ready.
struct State {
    std::mutex rotationMutex;  // size check, startNewFile, writes of currentFile
    std::mutex outputMutex;    // console output, colour table, file appends
    LoggerConfig config;
    std::string currentFile;
    std::map<int, std::string> colours;  // built on first use, under outputMutex
};

State& state() {
    static State s;
    return s;
}

const std::string& colourCode(std::map<int, std::string>& table, int index) {
    if (table.empty()) {
        table = {{0, "\x1b[0m"},  {1, "\x1b[31m"}, {2, "\x1b[32m"}, {3, "\x1b[33m"},
                 {4, "\x1b[34m"}, {5, "\x1b[35m"}, {6, "\x1b[36m"}, {7, "\x1b[37m"}};
    }
    return table[index];  // an unknown index gets an empty entry
}

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

// Runs with rotationMutex held. Returns false when the folder cannot be
// made; the current file is then left as it was.
bool startNewFile(State& s) {
    std::error_code ec;
    const fs::path folder(s.config.folder);
    if (!fs::exists(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec) {
            return false;
        }
    }
    Logger::trimFolder(Logger::listFolder(folder), s.config.maxFolderSizeMb);
    s.currentFile = Logger::fileNameFor(s.config, std::chrono::system_clock::now()).string();
    return true;
}

}  // namespace

LogLine::LogLine(int colour, LogMode mode, std::string currentFile)
    : colour_(colour), mode_(mode), currentFile_(std::move(currentFile)) {}

LogLine::LogLine(LogLine&& other) noexcept
    : text_(std::move(other.text_)),
      colour_(other.colour_),
      mode_(other.mode_),
      currentFile_(std::move(other.currentFile_)) {
    other.active_ = false;
}

LogLine::~LogLine() {
    if (!active_ || mode_ == LogMode::DISABLED) {
        return;
    }
    const auto bits = static_cast<unsigned>(mode_);
    State& s = state();
    const std::string text = text_.str();

    if (bits & static_cast<unsigned>(LogMode::CONSOLE)) {
        {
            std::lock_guard<std::mutex> lock(s.outputMutex);
            std::printf("%s", colourCode(s.colours, colour_).c_str());
            std::printf("%s", text.c_str());
            std::printf("%s", colourCode(s.colours, 0).c_str());
        }
        std::fflush(stdout);
    }
    if ((bits & static_cast<unsigned>(LogMode::FILE)) && !currentFile_.empty()) {
        const std::string stamp = Logger::timeStamp(std::chrono::system_clock::now());
        std::lock_guard<std::mutex> lock(s.outputMutex);
        if (std::FILE* file = std::fopen(currentFile_.c_str(), "a")) {
            std::fprintf(file, "%s %s", stamp.c_str(), text.c_str());
            std::fclose(file);
        }
    }
}

LogLine Logger::print(int colour, LogMode mode) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.rotationMutex);
    if (s.config.fileLoggingEnabled) {
        std::error_code ec;
        const uint64_t bytes = fs::file_size(s.currentFile, ec);
        if (!ec && bytes / kMiB >= s.config.maxFileSizeMb) {
            startNewFile(s);
        }
    }
    return LogLine(colour, mode, s.currentFile);
}

bool Logger::configure(const LoggerConfig& config) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.rotationMutex);
    s.config = config;
    s.currentFile.clear();
    if (!config.fileLoggingEnabled) {
        return true;
    }
    if (!startNewFile(s)) {
        s.config.fileLoggingEnabled = false;
        return false;
    }
    // Prove the folder takes writes before promising file output.
    if (std::FILE* file = std::fopen(s.currentFile.c_str(), "a")) {
        std::fclose(file);
        return true;
    }
    s.config.fileLoggingEnabled = false;
    s.currentFile.clear();
    return false;
}

LoggerConfig Logger::config() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.rotationMutex);
    return s.config;
}

std::string Logger::currentFile() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.rotationMutex);
    return s.currentFile;
}

fs::path Logger::fileNameFor(const LoggerConfig& config,
                             std::chrono::system_clock::time_point when) {
    const std::tm tm = localTime(std::chrono::system_clock::to_time_t(when));
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y.%m.%d_%H.%M.%S", &tm);
    return fs::path(config.folder) / (config.filePrefix + "_" + stamp + ".txt");
}

std::vector<LogFileEntry> Logger::listFolder(const fs::path& folder) {
    std::vector<LogFileEntry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entryEc;
        if (!it->is_regular_file(entryEc)) {
            continue;
        }
        LogFileEntry entry;
        entry.path = it->path();
        entry.sizeBytes = it->file_size(entryEc);
        if (entryEc) {
            continue;  // vanished while listing
        }
        entry.lastWrite = it->last_write_time(entryEc);
        if (!entryEc) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

size_t Logger::trimFolder(std::vector<LogFileEntry> entries, uint32_t limitMb) {
    uint64_t total = 0;
    for (const auto& e : entries) {
        total += e.sizeBytes;
    }
    if (total / kMiB <= limitMb) {
        return 0;
    }
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const LogFileEntry& a, const LogFileEntry& b) { return a.lastWrite < b.lastWrite; });
    size_t removed = 0;
    for (const auto& e : entries) {
        std::error_code ec;
        if (!fs::remove(e.path, ec) || ec) {
            continue;  // already gone or not removable: it no longer counts as freed
        }
        ++removed;
        total -= e.sizeBytes;
        if (total / kMiB <= limitMb) {
            break;
        }
    }
    return removed;
}

std::string Logger::timeStamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(when);
    const auto micros = duration_cast<microseconds>(when - secs).count();
    const std::tm tm = localTime(system_clock::to_time_t(secs));
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S.", &tm);
    return std::string(stamp) + std::to_string(micros);
}

}  // namespace orl::logging
