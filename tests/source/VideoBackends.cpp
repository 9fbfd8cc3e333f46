// Linked into every source test program and the command-line test (whose
// child processes inherit the setting). With no camera present, opening
// by device number makes OpenCV probe its gphoto2 back-end, which leaks
// libusb device lists, and by name its GStreamer back-end, whose start-up
// leaks in glib; neither is ours, and both would fail the leak check of the
// sanitizer build. Cameras (V4L2), files and streams (FFmpeg) keep their
// back-ends. Set before main, so before OpenCV reads its back-end list.

#include <cstdlib>

namespace {

const bool backendsChosen = [] {
    setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0);
    setenv("OPENCV_VIDEOIO_PRIORITY_GSTREAMER", "0", 0);
    return true;
}();

}  // namespace
