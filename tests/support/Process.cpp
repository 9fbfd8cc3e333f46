// Processes and servers for tests.
// - Everything a child needs is prepared before fork, so the child only
//   makes async-signal-safe calls before exec; env(1) sets its folder and
//   variables and finds the program.
// - A child leads its own process group, so a kill reaches whatever it
//   started in turn, and asks for SIGKILL when the test program dies.
// - Output goes to files rather than pipes, so a test that waits on a
//   window never has to drain pipes to keep the child going.
// - Xvfb -displayfd 1 takes a free display number itself and writes it once
//   it accepts connections: no race for a number, and the number doubles as
//   the ready signal. -noreset: a server resets whenever its last client
//   leaves, and short-lived clients (xdotool) would meet it refusing.
// - The stream server's port: bound to 127.0.0.1:0, read and released;
//   ffmpeg binds it right after. Ready when /proc/net/tcp lists it in state
//   LISTEN (0A): a probe connection would use up the one client it serves.

#include "Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace calmora_test {

namespace {

// A TCP port on 127.0.0.1 that was free a moment ago, or 0.
int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

int captureFile(std::string& path) {
    std::string pattern = "/tmp/calmora_child_XXXXXX";
    const int fd = mkstemp(pattern.data());
    path = fd >= 0 ? pattern : "";
    return fd;
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
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
    const bool ready = !options.argv.empty() && fds[0] >= 0 && fds[1] >= 0 && fds[2] >= 0;
    const pid_t pid = ready ? fork() : -1;
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
    if (pid > 0)
        setpgid(pid, pid);  // either side may run first; both set it
    pid_ = pid;
}

ChildProcess::~ChildProcess() {
    stop();
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

bool ChildProcess::running() {
    if (pid_ > 0 && !ended_) {
        int status = 0;
        pid_t r;
        do {
            r = waitpid(pid_, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid_)
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        ended_ = r != 0;  // ended, or not our child any more
    }
    return pid_ > 0 && !ended_;
}

bool ChildProcess::wait(Ms timeout) {
    return waitFor([this] { return !running(); }, timeout);
}

std::string ChildProcess::out() const {
    return readFile(outPath_);
}

std::string ChildProcess::err() const {
    return readFile(errPath_);
}

void ChildProcess::stop(int signal, Ms grace) {
    if (pid_ <= 0 || groupKilled_)
        return;
    if (running() && signal != SIGKILL) {
        ::kill(-pid_, signal);
        wait(grace);
    }
    // the group may outlive its leader (helpers it started), so always send
    ::kill(-pid_, SIGKILL);
    groupKilled_ = true;
    waitFor([this] { return !running(); }, Ms(5000));
}

ChildResult runChild(const ChildOptions& options, Ms timeout) {
    ChildProcess child(options);
    ChildResult result;
    result.timedOut = child.started() && !child.wait(timeout);
    child.stop();
    result.exitCode = result.timedOut ? INT_MIN : child.exitCode();
    result.out = child.out();
    result.err = child.err();
    return result;
}

std::string findProgram(const std::string& name) {
    const ChildResult found =
        runChild({{"sh", "-c", "command -v \"$0\"", name}, "", {}, {}}, Ms(5000));
    return found.exitCode == 0 ? found.out.substr(0, found.out.find('\n')) : "";
}

XvfbServer::XvfbServer(int width, int height)
    : server_({{"Xvfb", "-displayfd", "1", "-screen", "0",
                std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                "-noreset"},
               "",
               {},
               {}}) {
    const auto number = [this] { return server_.out().substr(0, server_.out().find('\n')); };
    if (waitFor([&] { return !server_.running() || server_.out().find('\n') != std::string::npos; },
                Ms(10000)) &&
        server_.running() && !number().empty())
        display_ = ":" + number();
}

StreamServer::StreamServer(const std::string& clipPath)
    : port_(freeLocalPort()),
      server_({{"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
                clipPath, "-an", "-c:v", "copy", "-f", "mpjpeg", "-listen", "1", url()},
               "",
               {},
               {}}) {}

bool StreamServer::waitReady(Ms limit) {
    char listening[32];
    std::snprintf(listening, sizeof(listening), ":%04X 00000000:0000 0A", port_);
    const auto listens = [&] {
        return readFile("/proc/net/tcp").find(listening) != std::string::npos;
    };
    return waitFor([&] { return !server_.running() || listens(); }, limit) && server_.running();
}

}  // namespace calmora_test
