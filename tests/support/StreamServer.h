#pragma once

// ffmpeg as a child process that serves a clip over HTTP on 127.0.0.1, for
// the network-stream tests. Nothing listens on any other address.

#include <sys/types.h>
#include <chrono>
#include <string>

namespace calmora_test {

class StreamServer {
  public:
    /// Starts `ffmpeg -re -stream_loop -1 -i clipPath -c:v copy -f mpjpeg
    /// -listen 1 http://127.0.0.1:PORT/stream.mjpg` on a free port. The clip
    /// must hold MJPEG (writeClip with "MJPG"). ffmpeg serves one client
    /// and ends when that client goes. Check started() / waitReady().
    explicit StreamServer(const std::string& clipPath);

    /// Stops the server (stop()).
    ~StreamServer();

    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    /// True when the child process was created.
    bool started() const { return pid_ > 0; }

    /// Waits at most `limit` for ffmpeg to listen on its port; false when it
    /// did not (or ended before), without touching the port, since the
    /// server accepts one connection only.
    bool waitReady(std::chrono::milliseconds limit);

    /// Ends ffmpeg: SIGTERM, up to 2 s grace, then SIGKILL; always reaps it.
    /// Safe to call more than once.
    void stop();

    /// The stream's address, "http://127.0.0.1:PORT/stream.mjpg".
    std::string url() const;

    /// The TCP port.
    int port() const { return port_; }

  private:
    pid_t pid_{-1};
    int port_{0};
};

/// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and
/// released), or 0 when no socket could be made.
int freeLocalPort();

}  // namespace calmora_test
