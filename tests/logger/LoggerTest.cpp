#include <calmora/Logger.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using orl::logging::LogFileEntry;
using orl::logging::Logger;
using orl::logging::LoggerConfig;
using orl::logging::LogMode;
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// A fresh folder under the system temp folder, removed afterwards. File
// logging is switched off again so that no test leaks into the next.
class LoggerFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("calmora_logger_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        Logger::configure(LoggerConfig{});
        fs::remove_all(dir_);
    }

    static void writeFile(const fs::path& path, size_t bytes) {
        std::ofstream out(path, std::ios::binary);
        const std::string block(4096, 'x');
        for (size_t done = 0; done < bytes; done += block.size()) {
            out.write(block.data(),
                      static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
        }
    }

    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
};

Clock::time_point localTimePoint(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&tm));
}

constexpr size_t kMiB = 1024 * 1024;
const std::regex kFileLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.(0|[1-9]\d{0,5}) (.*)\n)");

}  // namespace

TEST(LoggerConsole, ColourCodeTextAndReset) {
    struct Case {
        int colour;
        std::string code;
    };
    const Case cases[] = {{0, "\x1b[0m"},  {1, "\x1b[31m"}, {2, "\x1b[32m"}, {3, "\x1b[33m"},
                          {4, "\x1b[34m"}, {5, "\x1b[35m"}, {6, "\x1b[36m"}, {7, "\x1b[37m"},
                          {9, ""},         {-1, ""}};
    for (const Case& c : cases) {
        ::testing::internal::CaptureStdout();
        Logger().print(c.colour, LogMode::CONSOLE)
            << "[x.cpp][" << 42 << "] ERROR: " << 1.5 << "\n";
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  c.code + "[x.cpp][42] ERROR: 1.5\n" + "\x1b[0m")
            << "colour " << c.colour;
    }
}

TEST(LoggerConsole, DisabledAndFileOnlyWriteNothingToConsole) {
    ::testing::internal::CaptureStdout();
    Logger().print(1, LogMode::DISABLED) << "hidden\n";
    Logger().print(1, LogMode::FILE) << "file only, and no file configured\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    // Both bits with no current file: the console line still appears.
    ::testing::internal::CaptureStdout();
    Logger().print(2, LogMode::CONSOLE_AND_FILE) << "shown\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\x1b[32mshown\n\x1b[0m");
}

TEST(LoggerFormat, TimeStampAndFileName) {
    const auto at = localTimePoint(2023, 8, 10, 14, 5, 9);
    EXPECT_EQ(Logger::timeStamp(at + std::chrono::microseconds(123)), "2023-08-10 14:05:09.123");
    EXPECT_EQ(Logger::timeStamp(at), "2023-08-10 14:05:09.0");
    EXPECT_EQ(Logger::timeStamp(at + std::chrono::microseconds(999999)),
              "2023-08-10 14:05:09.999999");

    LoggerConfig config;
    config.folder = "logs";
    config.filePrefix = "src";
    EXPECT_EQ(Logger::fileNameFor(config, at), fs::path("logs") / "src_2023.08.10_14.05.09.txt");
}

TEST_F(LoggerFiles, FileLinesCarryTimeStampAndText) {
    LoggerConfig config{"src", (dir_ / "logs").string(), 10, 100, true};
    ASSERT_TRUE(Logger::configure(config));  // creates the missing folder
    const fs::path file = Logger::currentFile();
    EXPECT_EQ(file.parent_path(), dir_ / "logs");
    EXPECT_TRUE(std::regex_match(file.filename().string(),
                                 std::regex(R"(src_\d{4}\.\d\d\.\d\d_\d\d\.\d\d\.\d\d\.txt)")));

    ::testing::internal::CaptureStdout();
    Logger().print(1, LogMode::FILE) << "first " << 7 << "\n";
    Logger().print(1, LogMode::DISABLED) << "never\n";
    Logger().print(2, LogMode::CONSOLE_AND_FILE) << "second\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\x1b[32msecond\n\x1b[0m");

    std::istringstream lines(readFile(file));
    std::string line;
    std::vector<std::string> texts;
    while (std::getline(lines, line)) {
        std::smatch m;
        const std::string withEnd = line + "\n";
        ASSERT_TRUE(std::regex_match(withEnd, m, kFileLine)) << line;
        texts.push_back(m[2]);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"first 7", "second"}));
}

TEST_F(LoggerFiles, RotatesAtTheSizeLimitAndTrimsTheFolder) {
    const fs::path logs = dir_ / "logs";
    fs::create_directories(logs);
    // An old file that trimming must remove first once the folder is full.
    writeFile(logs / "old.txt", 2 * kMiB);
    fs::last_write_time(logs / "old.txt", fs::file_time_type::clock::now() - std::chrono::hours(5));

    LoggerConfig config{"rot", logs.string(), 1, 2, true};
    ASSERT_TRUE(Logger::configure(config));  // 2 MiB total is within the 2 MiB limit
    EXPECT_TRUE(fs::exists(logs / "old.txt"));
    const std::string first = Logger::currentFile();

    Logger().print(3, LogMode::FILE) << "line\n";
    writeFile(first, kMiB + 10);  // the current file has reached the 1 MiB limit

    // A new file takes the name of the current second: wait for the next one.
    const auto started = Clock::to_time_t(Clock::now());
    while (Clock::to_time_t(Clock::now()) == started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Logger().print(3, LogMode::FILE) << "after rotation\n";

    const std::string second = Logger::currentFile();
    EXPECT_NE(second, first);
    EXPECT_FALSE(fs::exists(logs / "old.txt")) << "oldest file should have been trimmed";
    EXPECT_TRUE(fs::exists(first));  // 1 MiB left, within the limit: kept
    EXPECT_TRUE(std::regex_match(readFile(second), kFileLine));
}

TEST_F(LoggerFiles, TrimRemovesOldestFirstAndStopsAtTheLimit) {
    struct LogFile {
        const char* name;
        size_t mib;
        int hoursAgo;
    };
    const LogFile files[] = {{"a.txt", 2, 1}, {"b.txt", 4, 4}, {"c.txt", 2, 2}, {"d.txt", 3, 3}};
    const auto now = fs::file_time_type::clock::now();
    for (const LogFile& f : files) {
        writeFile(dir_ / f.name, f.mib * kMiB);
        fs::last_write_time(dir_ / f.name, now - std::chrono::hours(f.hoursAgo));
    }
    fs::create_directory(dir_ / "subfolder");  // not a file: neither listed nor removed

    const auto entries = Logger::listFolder(dir_);
    ASSERT_EQ(entries.size(), 4u);

    EXPECT_EQ(Logger::trimFolder(entries, 11), 0u);  // 11 MiB is within 11
    EXPECT_EQ(Logger::trimFolder(entries, 10), 1u);  // 4 MiB (oldest) goes, 7 remain
    EXPECT_FALSE(fs::exists(dir_ / "b.txt"));
    EXPECT_TRUE(fs::exists(dir_ / "d.txt"));

    // From the remaining 7 MiB down to 2: d (3 MiB), then c (2 MiB) go.
    EXPECT_EQ(Logger::trimFolder(Logger::listFolder(dir_), 2), 2u);
    std::set<std::string> left;
    for (const auto& e : Logger::listFolder(dir_)) {
        left.insert(e.path.filename().string());
    }
    EXPECT_EQ(left, (std::set<std::string>{"a.txt"}));
    EXPECT_TRUE(fs::exists(dir_ / "subfolder"));

    // A listed file that vanished before trimming frees nothing and is skipped.
    std::vector<LogFileEntry> stale = Logger::listFolder(dir_);
    stale.push_back({dir_ / "gone.txt", 5 * kMiB, now - std::chrono::hours(9)});
    EXPECT_EQ(Logger::trimFolder(stale, 1), 1u);
    EXPECT_TRUE(Logger::listFolder(dir_).empty());
    EXPECT_TRUE(Logger::listFolder(dir_ / "missing").empty());
}

TEST_F(LoggerFiles, BadFoldersAndVanishedFilesAreHarmless) {
    // A folder path that runs through a regular file cannot be created.
    writeFile(dir_ / "plain", 10);
    LoggerConfig bad{"x", (dir_ / "plain" / "logs").string(), 1, 1, true};
    EXPECT_FALSE(Logger::configure(bad));
    EXPECT_FALSE(Logger::config().fileLoggingEnabled);
    EXPECT_EQ(Logger::currentFile(), "");

    // The log folder disappears while logging: lines are dropped, the
    // console still works, and later calls neither throw nor block.
    LoggerConfig good{"v", (dir_ / "logs").string(), 1, 1, true};
    ASSERT_TRUE(Logger::configure(good));
    Logger().print(1, LogMode::FILE) << "kept\n";
    fs::remove_all(dir_ / "logs");
    ::testing::internal::CaptureStdout();
    Logger().print(1, LogMode::CONSOLE_AND_FILE) << "still on console\n";
    Logger().print(1, LogMode::FILE) << "dropped\n";
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\x1b[31mstill on console\n\x1b[0m");
    EXPECT_FALSE(fs::exists(dir_ / "logs"));
}

TEST_F(LoggerFiles, ManyThreadsNeverInterleaveLines) {
    LoggerConfig config{"mt", dir_.string(), 100, 100, true};
    ASSERT_TRUE(Logger::configure(config));
    constexpr int kThreads = 8;
    constexpr int kLines = 200;

    ::testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Logger().print(1 + t % 7, LogMode::CONSOLE_AND_FILE)
                    << "thread " << t << " line " << i << " " << std::string(40, 'a' + t) << "\n";
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const std::string console = ::testing::internal::GetCapturedStdout();

    // Console: every message is colour code, whole text, reset code.
    const std::regex message(R"(\x1b\[3([1-7])mthread (\d) line (\d+) ([a-h]{40})\n\x1b\[0m)");
    std::set<std::string> seen;
    size_t consumed = 0;
    for (std::sregex_iterator it(console.begin(), console.end(), message), end; it != end; ++it) {
        ASSERT_EQ(static_cast<size_t>(it->position()), consumed) << "garbage between messages";
        consumed += static_cast<size_t>(it->length());
        const int t = std::stoi((*it)[2]);
        EXPECT_EQ(std::stoi((*it)[1]), 1 + t % 7);
        EXPECT_EQ((*it)[4], std::string(40, static_cast<char>('a' + t)));
        seen.insert(std::string((*it)[2]) + ":" + std::string((*it)[3]));
    }
    EXPECT_EQ(consumed, console.size());
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));

    // File: every line whole, none lost.
    std::istringstream lines(readFile(Logger::currentFile()));
    std::string line;
    int count = 0;
    const std::regex text(R"(thread (\d) line (\d+) ([a-h]{40}))");
    while (std::getline(lines, line)) {
        std::smatch m;
        const std::string withEnd = line + "\n";
        ASSERT_TRUE(std::regex_match(withEnd, m, kFileLine)) << line;
        const std::string body = m[2];
        std::smatch b;
        ASSERT_TRUE(std::regex_match(body, b, text)) << body;
        EXPECT_EQ(b[3], std::string(40, static_cast<char>('a' + std::stoi(b[1]))));
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
