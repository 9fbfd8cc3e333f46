// Open-file dialog for the demo on Linux.
// - No display (neither DISPLAY nor WAYLAND_DISPLAY, or an X display that
//   refuses the connection): empty text at once, because the toolkits abort
//   the whole process when they cannot reach a display.
// - With Qt and an X display: QFileDialog in this process. OpenCV's highgui
//   windows are Qt too and reuse the one application object created here.
//   Qt's messages are swallowed while the dialog runs, so nothing is printed.
// - Otherwise: zenity as a child process, its path read from a pipe, its
//   standard error sent to /dev/null.

#include "FileDialog.h"
#include "KeyInput.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef CALMORA_DEMO_HAVE_XCB
#include <xcb/xcb.h>
#endif

#ifdef CALMORA_DEMO_HAVE_QT
#include <QFile>
#include <QFileDialog>
#include <QString>
#endif

extern char** environ;

namespace orl::demo {

namespace {

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

#ifdef CALMORA_DEMO_HAVE_QT
// Drops Qt's chatter; a fatal message still shows, since Qt aborts after it
// and the reason would be lost otherwise.
void silentMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

std::string openWithQt() {
    try {
        if (!ensureQtApplication())
            return {};
        QtMessageHandler previous = qInstallMessageHandler(silentMessageHandler);
        const QString chosen =
            QFileDialog::getOpenFileName(nullptr, QStringLiteral("OPEN VIDEO FILE"));
        qInstallMessageHandler(previous);
        if (chosen.isEmpty())
            return {};
        return QFile::encodeName(chosen).toStdString();
    } catch (...) {
        return {};
    }
}
#endif

// Runs zenity and returns what it printed when it ended with status 0.
std::string runZenity() {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char program[] = "zenity";
    char mode[] = "--file-selection";
    char title[] = "--title=OPEN VIDEO FILE";
    char* argv[] = {program, mode, title, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return {};
    }
    std::string output;
    char buffer[4096];
    while (true) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return output;
}

}  // namespace

bool x11DisplayAvailable() {
    if (!envSet("DISPLAY"))
        return false;
#ifdef CALMORA_DEMO_HAVE_XCB
    // A set DISPLAY may still name a server that is gone or refuses us. The
    // connection that proves it stays open for the rest of the run: an X
    // server resets when its last client leaves (Xvfb does unless told
    // otherwise), and during the reset the toolkit's own connection would
    // fail, which Qt answers by aborting the process.
    static xcb_connection_t* probe = nullptr;
    if (probe != nullptr && xcb_connection_has_error(probe) == 0)
        return true;
    if (probe != nullptr) {
        xcb_disconnect(probe);
        probe = nullptr;
    }
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (connection == nullptr)
        return false;
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return false;
    }
    probe = connection;
    return true;
#else
    return true;
#endif
}

bool displayAvailable() {
    if (envSet("DISPLAY"))
        return x11DisplayAvailable();
    return envSet("WAYLAND_DISPLAY");
}

std::string openFileDialogZenity() {
    if (!displayAvailable())
        return {};
    std::string path;
    try {
        path = runZenity();
    } catch (...) {
        return {};
    }
    // zenity ends its answer with one line end that is not part of the path
    if (!path.empty() && path.back() == '\n')
        path.pop_back();
    return path;
}

std::string openFileDialog() {
#ifdef CALMORA_DEMO_HAVE_QT
    if (x11DisplayAvailable())
        return openWithQt();
#endif
    return openFileDialogZenity();
}

}  // namespace orl::demo
