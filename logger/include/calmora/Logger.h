#pragma once

#include <calmora/LoggerExport.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace orl::logging {

/// Where one message goes; tested bit by bit (1 console, 2 file).
enum class LogMode : uint8_t {
    CONSOLE = 1,
    FILE = 2,
    CONSOLE_AND_FILE = 3,
    DISABLED = 4,
};

/// Process-wide file-logging settings.
struct LoggerConfig {
    std::string filePrefix;          ///< start of every log file name
    std::string folder;              ///< folder holding the log files
    uint32_t maxFileSizeMb{0};       ///< a file of this many whole MiB is closed off
    uint32_t maxFolderSizeMb{0};     ///< folder trimmed to this many MiB on a new file
    bool fileLoggingEnabled{false};  ///< whether the size check runs at all
};

/// One log file found in the folder.
struct LogFileEntry {
    std::filesystem::path path;                 ///< the file
    uint64_t sizeBytes{0};                      ///< its size in bytes
    std::filesystem::file_time_type lastWrite;  ///< its last modification
};

/// Collects one message and emits it when destroyed. Create it with
/// Logger::print, insert the whole message and let it go in one statement:
///   logger.print(1, mode) << "[" << file << "][" << line << "] ERROR: " << text;
class CALMORA_LOGGER_EXPORT LogLine {
  public:
    /// A line in ANSI colour `colour` for `mode`; a file line goes to
    /// `currentFile` (Logger::print passes the current log file).
    LogLine(int colour, LogMode mode, std::string currentFile);
    /// Takes over the other line's text; `other` then emits nothing.
    LogLine(LogLine&& other) noexcept;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    LogLine& operator=(LogLine&&) = delete;
    ~LogLine();

    /// Appends text or a number; ignored in mode DISABLED.
    template <typename T>
    LogLine& operator<<(const T& value) {
        if (mode_ != LogMode::DISABLED) {
            text_ << value;
        }
        return *this;
    }

  private:
    std::ostringstream text_;
    int colour_;
    LogMode mode_;
    std::string currentFile_;  // copy taken under the rotation lock
    bool active_{true};        // false once moved from
};

/// Colour console and time-stamped file logging. All state is
/// process-wide; a Logger object carries no data. Thread-safe: any thread
/// may log. No call throws on file-system trouble: a file that cannot be
/// written loses its line, and the console output is unaffected.
class CALMORA_LOGGER_EXPORT Logger {
  public:
    /// Runs the size check of the current log file (starting a new file
    /// when it has reached maxFileSizeMb) and returns a LogLine.
    /// `colour` 0..7 selects an ANSI colour code (1 red, 2 green, ...);
    /// any other index writes no code before the text.
    LogLine print(int colour, LogMode mode);

    /// Sets the file-logging configuration and, when enabled, starts the
    /// first log file (creating the folder and trimming it). Returns false,
    /// leaving file logging disabled, when the folder cannot be created or
    /// written.
    static bool configure(const LoggerConfig& config);

    /// The current configuration and log-file path (empty when none).
    static LoggerConfig config();
    /// The path of the log file being written; empty when none.
    static std::string currentFile();

    /// Log file name for a start at `when`: folder / prefix_%Y.%m.%d_%H.%M.%S.txt
    static std::filesystem::path fileNameFor(const LoggerConfig& config,
                                             std::chrono::system_clock::time_point when);

    /// Regular files directly inside `folder`, in directory order. An
    /// unreadable folder gives an empty list.
    static std::vector<LogFileEntry> listFolder(const std::filesystem::path& folder);

    /// Removes files oldest first until the total of the remaining ones is
    /// at most `limitMb` whole MiB; nothing is removed when it already is.
    /// Returns the number of files removed.
    static size_t trimFolder(std::vector<LogFileEntry> entries, uint32_t limitMb);

    /// The "%Y-%m-%d %H:%M:%S.<microseconds>" stamp of a file line.
    static std::string timeStamp(std::chrono::system_clock::time_point when);
};

}  // namespace orl::logging
