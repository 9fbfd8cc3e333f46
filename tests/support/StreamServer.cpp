// Stream server fixture.
// - Port: bind a socket to 127.0.0.1:0, read the port the kernel chose,
//   close it; ffmpeg binds it again right after.
// - Start: fork + exec (argv prepared before the fork so the child only
//   makes async-signal-safe calls); the child asks for SIGKILL when the
//   test program dies, so no server outlives a crashed test.
// - Ready: /proc/net/tcp shows the port in state LISTEN (0A). Connecting
//   to probe would use up the single client that -listen 1 serves.
// - Stop: SIGTERM, a bounded wait, SIGKILL, waitpid.

#include "StreamServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

namespace calmora_test {

int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

StreamServer::StreamServer(const std::string& clipPath) : port_(freeLocalPort()) {
    if (port_ == 0) {
        return;
    }
    const std::string address = url();
    std::vector<std::string> args{
        "ffmpeg", "-nostdin", "-loglevel", "error", "-re",  "-stream_loop",
        "-1",     "-i",       clipPath,    "-an",   "-c:v", "copy",
        "-f",     "mpjpeg",   "-listen",   "1",     address};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // child
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(126);
        }
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        ::execvp("ffmpeg", argv.data());
        ::_exit(127);
    }
    pid_ = pid > 0 ? pid : -1;
}

StreamServer::~StreamServer() {
    stop();
}

std::string StreamServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/stream.mjpg";
}

bool StreamServer::waitReady(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return false;
    }
    char local[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", port_);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // ended before it listened
            return false;
        }
        std::ifstream table("/proc/net/tcp");
        std::string line;
        while (std::getline(table, line)) {
            // "  sl  local_address rem_address   st ..."
            char localAddress[64] = {};
            char remoteAddress[64] = {};
            unsigned state = 0;
            int slot = 0;
            if (std::sscanf(line.c_str(), " %d: %63s %63s %x", &slot, localAddress, remoteAddress,
                            &state) == 4 &&
                std::string(localAddress) == local && state == 0x0A) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void StreamServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

}  // namespace calmora_test
