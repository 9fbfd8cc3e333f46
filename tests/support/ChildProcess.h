#pragma once

// Child processes for tests that run real programs (the demo, Xvfb,
// xdotool): own process group, captured output, bounded waits, and a
// destructor that always kills the whole group.

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

/// A running program in its own process group. Standard input is /dev/null;
/// standard output and error go to temporary files that can be read at any
/// time. The destructor kills the group with SIGKILL and reaps the child.
class ChildProcess {
  public:
    /// Starts the program; started() tells whether that worked.
    explicit ChildProcess(const ChildOptions& options);

    /// Kills the process group (if still there), reaps, removes the files.
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// True when the program was started (it may have ended since).
    bool started() const { return pid_ > 0; }

    /// Process id (also the process group id), or -1.
    pid_t pid() const { return pid_; }

    /// Waits at most `timeout` for the end; true when the program has ended.
    bool wait(std::chrono::milliseconds timeout);

    /// True while the program runs.
    bool running();

    /// Exit status 0..255 after a normal end, minus the signal number after
    /// a signal, INT_MIN while running or when it never started.
    int exitCode() const { return exitCode_; }

    /// What the program wrote to standard output so far.
    std::string out() const;

    /// What the program wrote to standard error so far.
    std::string err() const;

    /// Kills the whole process group with SIGKILL and reaps the child.
    void kill();

    /// Asks the process group to end with SIGTERM (so that a server removes
    /// its lock and socket files), waits at most `grace`, then kill().
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
    bool timedOut{false};   ///< the program was killed after `timeout`
    std::string out;        ///< standard output
    std::string err;        ///< standard error
};

/// Runs a program to its end, killing it after `timeout`.
ChildResult runChild(const ChildOptions& options, std::chrono::milliseconds timeout);

/// Full path of `name` found in PATH, or empty text.
std::string findProgram(const std::string& name);

}  // namespace calmora_test
