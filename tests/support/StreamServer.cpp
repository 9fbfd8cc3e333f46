// Stream server fixture.
// - Port: bind a socket to 127.0.0.1:0, read the port the kernel chose,
//   close it; ffmpeg binds it again right after.
// - Ready: /proc/net/tcp lists the port in state LISTEN (0A).

#include "StreamServer.h"
#include "TempFolder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

StreamServer::StreamServer(const std::string& clipPath) : port_(freeLocalPort()) {
    if (port_ != 0)
        server_ = std::make_unique<ChildProcess>(ChildOptions{
            {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
             clipPath, "-an", "-c:v", "copy", "-f", "mpjpeg", "-listen", "1", url()},
            "",
            {},
            {}});
}

std::string StreamServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/stream.mjpg";
}

bool StreamServer::waitReady(std::chrono::milliseconds limit) {
    char listening[32];
    std::snprintf(listening, sizeof(listening), ":%04X 00000000:0000 0A", port_);
    return started() &&
           waitFor(
               [&] {
                   return !server_->running() ||
                          readFile("/proc/net/tcp").find(listening) != std::string::npos;
               },
               limit) &&
           server_->running();
}

void StreamServer::stop() {
    if (server_ != nullptr)
        server_->terminate(std::chrono::milliseconds(2000));
}

}  // namespace calmora_test
