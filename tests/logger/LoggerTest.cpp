// Logger: colours, time-stamped lines, rotation, trimming, whole lines from many threads.
#include "Process.h"

#include <calmora/Logger.h>

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace orl::logging;
using namespace std::chrono;
using calmora_test::readFile;
namespace fs = std::filesystem;

// The lines of a log file without their stamps, "<date> <time>.<microseconds
// without leading zeros> "; a line without a well-formed stamp stays whole
// behind a "!".
static std::vector<std::string> unstamped(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.";
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        bool ok = line.size() > shape.size();
        for (size_t i = 0; ok && i < shape.size(); ++i)
            ok = shape[i] == 'd' ? digit(line[i]) : line[i] == shape[i];
        size_t end = shape.size();
        while (ok && end < line.size() && digit(line[end]))
            ++end;
        const size_t digits = end - shape.size();
        ok = ok && digits >= 1 && digits <= 6 && (digits == 1 || line[shape.size()] != '0') &&
             end < line.size() && line[end] == ' ';
        lines.push_back(ok ? line.substr(end + 1) : "!" + line);
    }
    return lines;
}

static void writeFile(const fs::path& path, size_t mib, hours age = hours(0)) {
    std::ofstream(path, std::ios::binary) << std::string(mib << 20, 'x');
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

class LoggerFiles : public ::testing::Test {
  protected:
    void TearDown() override { Logger::configure(LoggerConfig{}); }
    calmora_test::TempFolder dir_;
};

TEST_F(LoggerFiles, TimeStampFileNameAndTrimmingOldestFirst) {
    std::tm tm{9, 5, 14, 10, 7, 123, 0, 0, -1, 0, nullptr};  // 14:05:09 on 10 August 2023
    const auto at = system_clock::from_time_t(std::mktime(&tm));
    EXPECT_EQ(Logger::timeStamp(at + microseconds(123)), "2023-08-10 14:05:09.123");
    EXPECT_EQ(Logger::fileNameFor({"src", "logs"}, at),
              fs::path("logs/src_2023.08.10_14.05.09.txt"));
    // name, MiB, hours old; a folder is neither listed nor removed
    for (const auto& [name, mib, age] :
         {std::tuple{"a", 2, 1}, {"b", 3, 4}, {"c", 4, 2}, {"d", 2, 3}})
        writeFile(dir_.path() / name, mib, hours(age));
    fs::create_directory(dir_.path() / "folder");
    EXPECT_EQ(Logger::trimFolder(Logger::listFolder(dir_.path()), 11), 0u);
    EXPECT_EQ(Logger::trimFolder(Logger::listFolder(dir_.path()), 10), 1u);
    EXPECT_FALSE(fs::exists(dir_.path() / "b"));
    // A listed file that is gone frees nothing: 13 MiB, then d goes, 11 left.
    auto entries = Logger::listFolder(dir_.path());
    entries.push_back({dir_.path() / "gone", 5 << 20, fs::file_time_type::min()});
    EXPECT_EQ(Logger::trimFolder(entries, 11), 1u);
    EXPECT_FALSE(fs::exists(dir_.path() / "d"));
    EXPECT_EQ(Logger::listFolder(dir_.path()).size(), 2u);
}

TEST_F(LoggerFiles, ColoursFileLinesRotationAndBadFolders) {
    // A folder that cannot be made: no file logging, the console still works.
    writeFile(dir_.path() / "plain", 0);
    EXPECT_FALSE(Logger::configure({"x", (dir_.path() / "plain" / "logs").string(), 1, 1, true}));
    EXPECT_FALSE(Logger::config().fileLoggingEnabled);
    const std::pair<int, std::string> colours[] = {
        {0, "\x1b[0m"},  {1, "\x1b[31m"}, {2, "\x1b[32m"}, {3, "\x1b[33m"}, {4, "\x1b[34m"},
        {5, "\x1b[35m"}, {6, "\x1b[36m"}, {7, "\x1b[37m"}, {9, ""},         {-1, ""}};
    for (const auto& [colour, code] : colours) {
        ::testing::internal::CaptureStdout();
        Logger().print(colour, LogMode::CONSOLE) << "[x.cpp][" << 42 << "] ERROR: " << 1.5 << "\n";
        Logger().print(colour, LogMode::FILE) << "no file\n";
        Logger().print(colour, LogMode::CONSOLE_AND_FILE) << "both\n";
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  code + "[x.cpp][42] ERROR: 1.5\n\x1b[0m" + code + "both\n\x1b[0m");
    }
    const fs::path logs = dir_.path() / "logs";
    ASSERT_TRUE(Logger::configure({"src", logs.string(), 1, 2, true}));  // creates the folder
    const fs::path first = Logger::currentFile();
    ::testing::internal::CaptureStdout();
    Logger().print(1, LogMode::FILE) << "first " << 7 << "\n";
    Logger().print(1, LogMode::DISABLED) << "never\n";
    Logger().print(2, LogMode::CONSOLE_AND_FILE) << "second\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\x1b[32msecond\n\x1b[0m");
    EXPECT_EQ(unstamped(readFile(first.string())), (std::vector<std::string>{"first 7", "second"}));
    // At 1 MiB the next line starts a new file; the folder (3 MiB) loses its oldest file.
    writeFile(logs / "old.txt", 2, hours(5));
    writeFile(first, 1);
    Logger().print(3, LogMode::FILE) << "after\n";
    EXPECT_FALSE(fs::exists(logs / "old.txt"));
    // within the same second the new file has the old one's name and continues it
    const std::string after = readFile(Logger::currentFile());
    EXPECT_EQ(unstamped(after.substr(after.rfind('x') + 1)), std::vector<std::string>{"after"});
}

TEST_F(LoggerFiles, ManyThreadsNeverInterleaveLines) {
    ASSERT_TRUE(Logger::configure({"mt", dir_.path().string(), 100, 100, true}));
    ::testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 1000; ++i)
                Logger().print(1 + t % 7, LogMode::CONSOLE_AND_FILE)
                    << "thread " << t << " line " << i << " of many threads\n";
        });
    }
    for (auto& thread : threads)
        thread.join();
    // every line once on the console (behind its colour) and once in the file
    std::multiset<std::string> expected, console, file;
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < 1000; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) +
                            " of many threads");
    std::istringstream in(::testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(in, line) && line != "\x1b[0m";) {
        if (line.rfind("\x1b[0m", 0) == 0)
            line.erase(0, 4);
        const bool coloured = line.size() > 5 && line.compare(0, 3, "\x1b[3") == 0 &&
                              line[3] >= '1' && line[3] <= '7' && line[4] == 'm';
        console.insert(coloured ? line.substr(5) : "!" + line);
    }
    for (const auto& line : unstamped(readFile(Logger::currentFile())))
        file.insert(line);
    EXPECT_TRUE(console == expected);
    EXPECT_TRUE(file == expected);
}
