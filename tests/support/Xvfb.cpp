// Xvfb fixture.
// - -displayfd 1: the server takes a free display number itself and writes
//   it to standard output once it accepts connections, so parallel tests
//   never race for a number and the number doubles as the ready signal.
// - -noreset: an X server resets whenever its last client leaves, and a
//   test's short-lived clients (xdotool) would make it refuse connections
//   for a moment between steps.

#include "Xvfb.h"

namespace calmora_test {

XvfbServer::XvfbServer(int width, int height) {
    if (findProgram("Xvfb").empty())
        return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    server_ = std::make_unique<ChildProcess>(ChildOptions{
        {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
        "",
        {},
        {}});
    const bool ready = waitFor(
        [this] { return !server_->running() || server_->out().find('\n') != std::string::npos; },
        std::chrono::seconds(10));
    const std::string number = server_->out();
    if (ready && server_->running() && !number.empty())
        display_ = ":" + number.substr(0, number.find('\n'));
    else
        stop();
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::stop() {
    // SIGTERM first: a killed server leaves its socket and lock file behind
    if (server_ != nullptr)
        server_->terminate(std::chrono::milliseconds(3000));
}

bool XvfbServer::ok() const {
    return server_ != nullptr && !display_.empty() && server_->running();
}

ChildResult XvfbServer::run(const std::vector<std::string>& argv, int timeoutMs) const {
    return runChild(ChildOptions{argv, "", {{"DISPLAY", display_}}, {}},
                    std::chrono::milliseconds(timeoutMs));
}

}  // namespace calmora_test
