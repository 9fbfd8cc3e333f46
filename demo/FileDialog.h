#pragma once

// The demo's only platform-bound piece: asking the user for a video file.

#include <string>

namespace orl::demo {

/// Asks the user for one existing file with the desktop's open-file dialog
/// titled "OPEN VIDEO FILE" and blocks until it is closed. Returns the full
/// path in the platform's narrow encoding without a line end, or empty text
/// when the user cancels, when there is no display or when anything fails.
/// Never throws and prints nothing. Uses a Qt dialog in this process when
/// the program is built with Qt and an X display opens (the Qt application
/// object it creates stays for OpenCV's windows); otherwise zenity.
std::string openFileDialog();

/// The same dialog run as a zenity child process; empty text when zenity
/// is missing, is cancelled or fails, or when there is no display.
std::string openFileDialogZenity();

/// True when a window can be shown: DISPLAY names an X display that
/// accepts a connection, or, without DISPLAY, WAYLAND_DISPLAY is set.
bool displayAvailable();

/// True when DISPLAY is set and that X display accepts a connection. The
/// first successful connection is kept open until the process ends, so the
/// server cannot reset between this check and the toolkit's connection.
bool x11DisplayAvailable();

}  // namespace orl::demo
