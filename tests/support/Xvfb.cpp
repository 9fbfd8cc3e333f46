// Xvfb fixture for tests.
// - A display number is free when neither /tmp/.X11-unix/X<N> nor the lock
//   file /tmp/.X<N>-lock exists. Tests run in parallel, so two may pick the
//   same number: the loser's server exits at once and the next number is
//   tried.
// - Readiness is the server's socket appearing while the server still runs,
//   then a client's first answered request.
// - -noreset: by default an X server resets whenever its last client leaves,
//   and a test's short-lived clients (xdotool, xdpyinfo) would make it reset
//   between steps, refusing connections for a moment each time.

#include "Xvfb.h"

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace calmora_test {

namespace {

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

}  // namespace

XvfbServer::XvfbServer(int width, int height) {
    if (findProgram("Xvfb").empty())
        return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // start the search at a number that depends on the process, so that
    // parallel tests rarely meet
    const int first = 100 + static_cast<int>(getpid() % 200);
    for (int n = first; n < first + 40; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        if (exists(socket) || exists("/tmp/.X" + std::to_string(n) + "-lock"))
            continue;
        auto server = std::make_unique<ChildProcess>(
            ChildOptions{{"Xvfb", ":" + std::to_string(n), "-screen", "0", screen, "-nolisten",
                          "tcp", "-noreset"},
                         "",
                         {},
                         {}});
        if (!server->started())
            return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server->running() && !exists(socket) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (server->running() && exists(socket)) {
            server_ = std::move(server);
            display_ = ":" + std::to_string(n);
            // ready when a client gets an answer (xdpyinfo, where installed)
            if (!findProgram("xdpyinfo").empty()) {
                for (int i = 0; i < 50 && server_->running(); ++i) {
                    if (run({"xdpyinfo"}, 5000).exitCode == 0)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            return;
        }
        // taken by another server meanwhile, or too slow: next number
    }
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::stop() {
    // SIGTERM first: a killed server leaves its socket and lock behind, and
    // later runs would have to skip that display number
    if (server_ != nullptr)
        server_->terminate(std::chrono::milliseconds(3000));
}

bool XvfbServer::ok() const {
    return server_ != nullptr && server_->running();
}

ChildResult XvfbServer::run(const std::vector<std::string>& argv, int timeoutMs) const {
    return runChild(ChildOptions{argv, "", {{"DISPLAY", display_}}, {}},
                    std::chrono::milliseconds(timeoutMs));
}

}  // namespace calmora_test
