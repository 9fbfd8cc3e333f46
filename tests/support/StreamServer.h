#pragma once

// ffmpeg as a child process that serves a clip over HTTP on 127.0.0.1, for
// the network-stream tests. Nothing listens on any other address.

#include "ChildProcess.h"

#include <chrono>
#include <memory>
#include <string>

namespace calmora_test {

class StreamServer {
  public:
    /// Serves the MJPEG clip at `clipPath` (writeClip with "MJPG") in a
    /// loop at its frame rate, as multipart JPEG on a free port, to one
    /// client; ffmpeg ends when that client goes.
    explicit StreamServer(const std::string& clipPath);
    ~StreamServer() { stop(); }
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    bool started() const { return server_ != nullptr && server_->started(); }
    /// Waits at most `limit` until ffmpeg listens; false when it did not or
    /// ended first. Reads the kernel's socket table instead of connecting,
    /// since the server accepts one connection only.
    bool waitReady(std::chrono::milliseconds limit);
    /// Ends ffmpeg (SIGTERM, 2 s grace, SIGKILL); safe to call again.
    void stop();
    /// "http://127.0.0.1:PORT/stream.mjpg".
    std::string url() const;
    int port() const { return port_; }

  private:
    std::unique_ptr<ChildProcess> server_;
    int port_{0};
};

}  // namespace calmora_test
