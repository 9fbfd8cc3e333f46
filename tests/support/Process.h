#pragma once

// Processes, files and servers for tests that run real programs (the demo,
// the command line, Xvfb, xdotool, ffmpeg): child processes in their own
// process group with output in files and bounded waits, a temporary folder,
// the one file reader, and Xvfb and stream-server fixtures. Everything is
// stopped or removed when its object goes, also when the test fails.

#include <sys/types.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace calmora_test {

using Ms = std::chrono::milliseconds;

/// The program and its arguments (looked up in PATH), the working folder
/// (empty: the caller's), variables set or replaced, variables removed.
struct ChildOptions {
    std::vector<std::string> argv;
    std::string workDir;
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
};

/// A running program in its own process group, killed with it when the
/// test program dies. Standard input is /dev/null; standard output and
/// error go to files that can be read at any time.
class ChildProcess {
  public:
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess();  ///< kills the group, reaps the child, removes the files
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running();
    /// Waits at most `timeout` for the end; true when the program has ended.
    bool wait(Ms timeout);
    /// Exit status 0..255, minus the signal number after a signal, INT_MIN
    /// while running or when it never started.
    int exitCode() const { return exitCode_; }
    std::string out() const;
    std::string err() const;
    /// Sends `signal` to the group, gives it `grace` to end, then kills the
    /// group and reaps the child.
    void stop(int signal = SIGKILL, Ms grace = Ms(0));

  private:
    pid_t pid_{-1};
    bool ended_{false};
    bool groupKilled_{false};
    int exitCode_{INT_MIN};
    std::string outPath_, errPath_;
};

/// A program run to its end: exit code (INT_MIN on time-out) and output.
struct ChildResult {
    int exitCode{INT_MIN};
    bool timedOut{false};
    std::string out, err;
};

/// Runs a program to its end, killing it after `timeout`.
ChildResult runChild(const ChildOptions& options, Ms timeout);

/// Full path of `name` found in PATH, or empty text.
std::string findProgram(const std::string& name);

/// Calls `done` every 20 ms until it returns true or `limit` passes; its
/// last result. For waiting on something observable.
template <typename Done>
bool waitFor(Done done, Ms limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done())
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        else
            std::this_thread::sleep_for(Ms(20));
    return true;
}

class TempFolder {
  public:
    /// A new, empty folder below the system's temporary folder (mkdtemp:
    /// parallel test programs never share one).
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "calmora-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    /// `name` inside the folder, as a string.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

/// The whole content of a file, byte for byte; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

/// An Xvfb server of its own for a test that needs a display, on a display
/// number the server picks itself; stopped when the object goes.
class XvfbServer {
  public:
    /// Starts Xvfb with a `width` x `height` x 24 screen and waits at most
    /// 10 s until it accepts clients.
    explicit XvfbServer(int width = 1280, int height = 1024);
    ~XvfbServer() { stop(); }
    /// Stops the server now; its clients lose their display and end.
    void stop() { server_.stop(SIGTERM, Ms(3000)); }
    bool ok() const { return !display_.empty() && server_.running(); }
    /// The name for DISPLAY, e.g. ":93"; empty when the server did not start.
    const std::string& display() const { return display_; }
    /// Runs an X client (xdotool, ...) on this display to its end.
    ChildResult run(const std::vector<std::string>& argv, int timeoutMs = 10000) const {
        return runChild({argv, "", {{"DISPLAY", display_}}, {}}, Ms(timeoutMs));
    }

  private:
    mutable ChildProcess server_;
    std::string display_;
};

/// ffmpeg serving the MJPEG clip at `clipPath` (writeClip with "MJPG") in
/// a loop at its frame rate, as multipart JPEG over HTTP on a free port of
/// 127.0.0.1, to one client; it ends when that client goes.
class StreamServer {
  public:
    explicit StreamServer(const std::string& clipPath);
    ~StreamServer() { stop(); }
    bool started() const { return server_.started(); }
    /// Waits at most `limit` until ffmpeg listens; false when it did not or
    /// ended first.
    bool waitReady(Ms limit);
    /// Ends ffmpeg (SIGTERM, 2 s grace, SIGKILL); safe to call again.
    void stop() { server_.stop(SIGTERM, Ms(2000)); }
    /// "http://127.0.0.1:PORT/stream.mjpg".
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/stream.mjpg"; }

  private:
    int port_;
    ChildProcess server_;
};

}  // namespace calmora_test
