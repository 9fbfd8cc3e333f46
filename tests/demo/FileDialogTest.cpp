// Tests of the open-file dialog without and with a display: no display gives
// empty text at once and prints nothing; under Xvfb the zenity dialog
// returns a typed path without its line end, and empty text on cancel.

#include "FileDialog.h"

#include <ChildProcess.h>
#include <TempFolder.h>
#include <Xvfb.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

namespace {

// Sets (or, for nullptr, removes) an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    bool had_{false};
    std::string old_;
};

// The first visible window titled "OPEN VIDEO FILE", waited for at most 20 s.
std::string waitForDialog(const calmora_test::XvfbServer& x) {
    for (int i = 0; i < 100; ++i) {
        const auto r = x.run({"xdotool", "search", "--onlyvisible", "--name", "OPEN VIDEO FILE"});
        if (r.exitCode == 0 && !r.out.empty())
            return r.out.substr(0, r.out.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return {};
}

// Stops the X server when a block is left before the dialog's answer came,
// so that the dialog ends and the waiting future does not block forever.
struct StopUnlessAnswered {
    calmora_test::XvfbServer& x;
    std::future<std::string>& answer;
    ~StopUnlessAnswered() {
        if (answer.valid() && answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            x.stop();
    }
};

}  // namespace

// Without a usable display nothing is started and nothing printed.
TEST(FileDialog, NoDisplayGivesEmptyTextAtOnce) {
    struct Case {
        const char* display;
        const char* wayland;
        bool available;
    };
    const Case cases[] = {
        {nullptr, nullptr, false},
        {"", "", false},
        {":4000", nullptr, false},  // names a server that is not there
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("DISPLAY=") + (c.display ? c.display : "(unset)"));
        ScopedEnv display("DISPLAY", c.display);
        ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
        EXPECT_EQ(orl::demo::displayAvailable(), c.available);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(orl::demo::openFileDialog(), "");
        EXPECT_EQ(orl::demo::openFileDialogZenity(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// The zenity dialog under a real X server: a typed path comes back whole
// (blanks and non-ASCII letters included) without the line end; Escape
// gives empty text.
TEST(FileDialog, ZenityDialogReturnsTypedPathOrNothing) {
    if (calmora_test::findProgram("Xvfb").empty() || calmora_test::findProgram("xdotool").empty() ||
        calmora_test::findProgram("zenity").empty())
        GTEST_SKIP() << "needs Xvfb, xdotool and zenity";
    calmora_test::XvfbServer x;
    ASSERT_TRUE(x.ok());
    ScopedEnv display("DISPLAY", x.display().c_str());
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    ASSERT_TRUE(orl::demo::displayAvailable());

    calmora_test::TempFolder folder;
    const std::string path = folder.file("my clip é.avi");
    std::ofstream(path) << "not a video, the dialog does not care";

    // chosen
    {
        auto answer =
            std::async(std::launch::async, [] { return orl::demo::openFileDialogZenity(); });
        StopUnlessAnswered guard{x, answer};
        const std::string dialog = waitForDialog(x);
        ASSERT_FALSE(dialog.empty()) << "no dialog window";
        // Ctrl+L opens GTK's location entry, which takes a typed path. A
        // dialog still busy starting up may miss keys, so a few attempts.
        for (int attempt = 0; attempt < 3; ++attempt) {
            x.run({"xdotool", "windowfocus", dialog});
            x.run({"xdotool", "key", "ctrl+l"});
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            x.run({"xdotool", "key", "ctrl+a"});
            x.run({"xdotool", "type", "--delay", "20", path});
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            x.run({"xdotool", "key", "Return"});
            if (answer.wait_for(std::chrono::seconds(8)) == std::future_status::ready)
                break;
        }
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(answer.get(), path);
    }
    // cancelled
    {
        auto answer =
            std::async(std::launch::async, [] { return orl::demo::openFileDialogZenity(); });
        StopUnlessAnswered guard{x, answer};
        const std::string dialog = waitForDialog(x);
        ASSERT_FALSE(dialog.empty()) << "no dialog window";
        for (int attempt = 0; attempt < 3; ++attempt) {
            x.run({"xdotool", "windowfocus", dialog});
            x.run({"xdotool", "key", "Escape"});
            if (answer.wait_for(std::chrono::seconds(6)) == std::future_status::ready)
                break;
        }
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(answer.get(), "");
    }
}
