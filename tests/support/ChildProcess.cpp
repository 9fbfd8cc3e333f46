// Child processes for tests.
// - Everything the child needs is prepared before fork, so the child only
//   makes async-signal-safe calls before exec; env(1) sets its folder and
//   variables.
// - The child leads its own process group, so a kill reaches whatever it
//   started in turn, and asks for SIGKILL when the test program dies.
// - Output goes to files rather than pipes, so a test that waits on a
//   window never has to drain pipes to keep the child going.

#include "ChildProcess.h"
#include "TempFolder.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace calmora_test {

namespace {

int captureFile(std::string& path) {
    std::string pattern = "/tmp/calmora_child_XXXXXX";
    const int fd = mkstemp(pattern.data());
    path = fd >= 0 ? pattern : "";
    return fd;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
    if (options.argv.empty())
        return;
    std::vector<std::string> args{"env"};
    if (!options.workDir.empty())
        args.insert(args.end(), {"-C", options.workDir});
    for (const auto& name : options.unsetEnv)
        args.insert(args.end(), {"-u", name});
    for (const auto& kv : options.setEnv)
        args.push_back(kv.first + "=" + kv.second);
    args.insert(args.end(), options.argv.begin(), options.argv.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const int fds[] = {open("/dev/null", O_RDONLY | O_CLOEXEC), captureFile(outPath_),
                       captureFile(errPath_)};
    const pid_t parent = getpid();
    const pid_t pid = fds[0] < 0 || fds[1] < 0 || fds[2] < 0 ? -1 : fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int i = 0; i < 3 && getppid() == parent; ++i)
            dup2(fds[i], i);
        if (getppid() == parent)
            execvp("env", argv.data());
        _exit(127);
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    if (pid > 0) {
        setpgid(pid, pid);  // either side may run first; both set it
        pid_ = pid;
    }
}

ChildProcess::~ChildProcess() {
    kill();
    for (const auto& path : {outPath_, errPath_})
        if (!path.empty())
            unlink(path.c_str());
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
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    } else if (r < 0) {
        ended_ = true;  // not our child any more; nothing to wait for
    }
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
    return waitFor([this] { return !running(); }, timeout);
}

bool ChildProcess::running() {
    reap(false);
    return pid_ > 0 && !ended_;
}

std::string ChildProcess::out() const {
    return readFile(outPath_);
}

std::string ChildProcess::err() const {
    return readFile(errPath_);
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
    if (pid_ > 0 && !ended_) {
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
    result.timedOut = !child.wait(timeout);
    child.kill();
    result.exitCode = result.timedOut ? INT_MIN : child.exitCode();
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
        const std::string candidate = dir + "/" + name;
        struct stat info {};
        if (!dir.empty() && stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

}  // namespace calmora_test
