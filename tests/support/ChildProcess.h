#pragma once

// Child processes for tests that run real programs (the demo, the command
// line, Xvfb, xdotool, ffmpeg): own process group, output captured in
// files, bounded waits, and a destructor that always kills the group.

#include <sys/types.h>

#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace calmora_test {

/// What to run and where.
struct ChildOptions {
    std::vector<std::string> argv;  ///< program (looked up in PATH) and arguments
    std::string workDir;            ///< working folder; empty: the caller's
    std::vector<std::pair<std::string, std::string>> setEnv;  ///< variables set or replaced
    std::vector<std::string> unsetEnv;                        ///< variables removed
};

/// A running program in its own process group, killed with it when the
/// test program dies. Standard input is /dev/null; standard output and
/// error go to temporary files that can be read at any time.
class ChildProcess {
  public:
    explicit ChildProcess(const ChildOptions& options);
    /// Kills the process group, reaps the child, removes the files.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    /// Waits at most `timeout` for the end; true when the program has ended.
    bool wait(std::chrono::milliseconds timeout);
    bool running();
    /// Exit status 0..255, minus the signal number after a signal, INT_MIN
    /// while running or when it never started.
    int exitCode() const { return exitCode_; }
    std::string out() const;
    std::string err() const;
    /// SIGKILL to the whole group, then reaps the child.
    void kill();
    /// SIGTERM to the group, at most `grace` to end, then kill().
    void terminate(std::chrono::milliseconds grace);

  private:
    void reap(bool block);

    pid_t pid_{-1};
    bool ended_{false};
    int exitCode_{INT_MIN};
    std::string outPath_;
    std::string errPath_;
};

/// Result of a program run to its end.
struct ChildResult {
    int exitCode{INT_MIN};  ///< as ChildProcess::exitCode(); INT_MIN on time-out
    bool timedOut{false};
    std::string out;
    std::string err;
};

/// Runs a program to its end, killing it after `timeout`.
ChildResult runChild(const ChildOptions& options, std::chrono::milliseconds timeout);

/// Full path of `name` found in PATH, or empty text.
std::string findProgram(const std::string& name);

/// Calls `done` every 20 ms until it returns true or `limit` passes; the
/// result of its last call. For waiting on something observable.
template <typename Done>
bool waitFor(Done done, std::chrono::milliseconds limit);

}  // namespace calmora_test

#include <thread>

template <typename Done>
bool calmora_test::waitFor(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
