// Child processes for tests.
// - Everything the child needs (argv, environment, file descriptors) is
//   prepared before fork, so the child only calls async-signal-safe
//   functions before exec.
// - The child leads its own process group, so a kill reaches whatever it
//   started in turn (a toolkit's helpers, a shell's children).
// - Output goes to temporary files rather than pipes: a test
//   that waits for a window never has to drain pipes to keep the child going.

#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace calmora_test {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// A new empty temporary file; its path goes to `path`, its descriptor is returned.
int makeCaptureFile(std::string& path) {
    std::string pattern = "/tmp/calmora_child_XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd >= 0)
        path = pattern;
    return fd;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
    if (options.argv.empty())
        return;
    // environment: the caller's, less the removed names, with the new values
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = false;
        for (const auto& n : options.unsetEnv)
            drop = drop || n == name;
        for (const auto& kv : options.setEnv)
            drop = drop || kv.first == name;
        if (!drop)
            env.push_back(entry);
    }
    for (const auto& kv : options.setEnv)
        env.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = options.argv;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string program = findProgram(args[0]).empty() ? args[0] : findProgram(args[0]);

    const int outFd = makeCaptureFile(outPath_);
    const int errFd = makeCaptureFile(errPath_);
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (outFd < 0 || errFd < 0 || nullFd < 0) {
        for (int fd : {outFd, errFd, nullFd})
            if (fd >= 0)
                close(fd);
        return;
    }
    const char* dir = options.workDir.empty() ? nullptr : options.workDir.c_str();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (dir != nullptr && chdir(dir) != 0)
            _exit(126);
        dup2(nullFd, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    close(nullFd);
    if (pid > 0) {
        setpgid(pid, pid);  // either side may run first; both set it
        pid_ = pid;
    }
}

ChildProcess::~ChildProcess() {
    kill();
    if (!outPath_.empty())
        unlink(outPath_.c_str());
    if (!errPath_.empty())
        unlink(errPath_.c_str());
}

void ChildProcess::reap(bool block) {
    if (pid_ <= 0 || ended_)
        return;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        ended_ = true;
        if (WIFEXITED(status))
            exitCode_ = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            exitCode_ = -WTERMSIG(status);
    } else if (r < 0) {
        ended_ = true;  // not our child any more; nothing to wait for
    }
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        reap(false);
        if (ended_ || pid_ <= 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool ChildProcess::running() {
    reap(false);
    return pid_ > 0 && !ended_;
}

std::string ChildProcess::out() const {
    return readAll(outPath_);
}

std::string ChildProcess::err() const {
    return readAll(errPath_);
}

void ChildProcess::kill() {
    if (pid_ <= 0)
        return;
    // the group may outlive its leader (helpers it started), so always send
    ::kill(-pid_, SIGKILL);
    if (!ended_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return;
    if (!ended_) {
        ::kill(-pid_, SIGTERM);
        wait(grace);
    }
    kill();
}

ChildResult runChild(const ChildOptions& options, std::chrono::milliseconds timeout) {
    ChildResult result;
    ChildProcess child(options);
    if (!child.started())
        return result;
    if (!child.wait(timeout)) {
        child.kill();
        result.timedOut = true;
    } else {
        result.exitCode = child.exitCode();
    }
    result.out = child.out();
    result.err = child.err();
    return result;
}

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        const std::string candidate = dir + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

}  // namespace calmora_test
