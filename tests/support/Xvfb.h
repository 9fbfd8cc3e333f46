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
    /// Starts Xvfb with a screen of `width` x `height` x 24 on a display
    /// number the server picks itself, and waits at most 10 s until it
    /// accepts clients. ok() tells whether it runs.
    explicit XvfbServer(int width = 1280, int height = 1024);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    /// Stops the server now; its clients lose their display and end.
    void stop();
    bool ok() const;
    /// The display name for DISPLAY, e.g. ":93"; empty when not started.
    const std::string& display() const { return display_; }
    /// Runs an X client (xdotool, ...) on this display to its end.
    ChildResult run(const std::vector<std::string>& argv, int timeoutMs = 10000) const;

  private:
    std::unique_ptr<ChildProcess> server_;
    std::string display_;
};

}  // namespace calmora_test
