// The open-file dialog with a stand-in zenity on PATH that notes its
// arguments and answers as zenity does: without a usable display it never
// starts; with one its path comes back without the line end, a cancel gives
// empty text, and nothing is printed either way.

#include "FileDialog.h"

#include <TempFolder.h>

#include <gtest/gtest.h>

#include <fstream>

TEST(FileDialog, AsksZenityOnlyWithADisplay) {
    const std::tuple<const char*, const char*, const char*, int, const char*> cases[] = {
        // DISPLAY, WAYLAND_DISPLAY, zenity's answer and status, path given
        {nullptr, nullptr, "/x.avi\n", 0, nullptr},
        {"", "", "/x.avi\n", 0, nullptr},
        {":4000", "w-0", "/x.avi\n", 0, nullptr},  // an X display that is not there
        {nullptr, "w-0", "/tmp/my clip é.avi\n", 0, "/tmp/my clip é.avi"},
        {nullptr, "w-0", "/x.avi\n\n", 0, "/x.avi\n"},
        {nullptr, "w-0", "/x.avi\n", 1, ""},  // cancelled
    };
    calmora_test::TempFolder dir;
    setenv("PATH", (dir.path().string() + ":" + std::getenv("PATH")).c_str(), 1);
    for (const auto& [display, wayland, answer, status, path] : cases) {
        SCOPED_TRACE(answer);
        std::ofstream(dir.file("zenity"))
            << "#!/bin/sh\nprintf '%s|' \"$@\" >>'" << dir.file("args")
            << "'\necho noise >&2\nprintf '" << answer << "'\nexit " << status << "\n";
        std::filesystem::permissions(dir.file("zenity"), std::filesystem::perms::owner_all);
        std::filesystem::remove(dir.file("args"));
        display != nullptr ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
        wayland != nullptr ? setenv("WAYLAND_DISPLAY", wayland, 1) : unsetenv("WAYLAND_DISPLAY");
        EXPECT_EQ(orl::demo::displayAvailable(), path != nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(orl::demo::openFileDialog(), path != nullptr ? path : "");
        EXPECT_EQ(orl::demo::openFileDialogZenity(), path != nullptr ? path : "");
        EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(),
                  "");
        const std::string once = "--file-selection|--title=OPEN VIDEO FILE|";
        EXPECT_EQ(calmora_test::readFile(dir.file("args")), path != nullptr ? once + once : "");
    }
}
