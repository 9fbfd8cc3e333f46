#pragma once

// Keys as the user typed them, and the process's Qt application object that
// the window, the key watch and the open-file dialog share.

namespace orl::demo {

/// With Qt: makes the process's one QApplication unless there is one
/// (OpenCV's highgui windows reuse it), with Qt's own messages silenced
/// while it starts. Needs a reachable X display; the caller checks that
/// first, since Qt aborts the process without one. False when the program
/// is built without Qt.
bool ensureQtApplication();

/// Starts watching key presses in the process's windows (once; needs
/// ensureQtApplication()). Without Qt it does nothing.
void watchKeys();

/// The key code of cv::waitKey as typed: OpenCV's Qt windows report the
/// letter key r as 114 also with Shift or Caps Lock, so 114 becomes 82
/// ("R") when the watched key press produced an upper-case R. Any other
/// code comes back unchanged.
int typedKey(int code);

}  // namespace orl::demo
