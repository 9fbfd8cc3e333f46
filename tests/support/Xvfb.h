#pragma once

// An Xvfb server of its own for a test that needs a display, stopped again
// when the object goes, also when the test fails.

#include "ChildProcess.h"

#include <memory>
#include <string>
#include <vector>

namespace calmora_test {

class XvfbServer {
  public:
    /// Starts `Xvfb :N -screen 0 <width>x<height>x24 -nolisten tcp -noreset` on the
    /// first display number N without a socket or lock file, trying the
    /// next one when another server takes it first; waits at most 10 s for
    /// the server's socket. ok() tells whether it runs.
    explicit XvfbServer(int width = 1280, int height = 1024);

    /// Stops the server (SIGTERM, then SIGKILL after 3 s).
    ~XvfbServer();

    /// Stops the server now; its clients lose their display and end.
    void stop();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    /// True while the server runs.
    bool ok() const;

    /// The display name for DISPLAY, e.g. ":93"; empty when not started.
    const std::string& display() const { return display_; }

    /// Runs an X client program (xdotool, import, ...) on this display to
    /// its end, at most `timeoutMs`.
    ChildResult run(const std::vector<std::string>& argv, int timeoutMs = 10000) const;

  private:
    std::unique_ptr<ChildProcess> server_;
    std::string display_;
};

}  // namespace calmora_test
