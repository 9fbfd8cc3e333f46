// Linked into every source test program and the command-line test (whose
// children inherit it), before OpenCV reads its back-end list: with no
// camera, OpenCV's gphoto2 and GStreamer back-ends leak at start-up (not our
// leaks, but they fail the sanitizer build). V4L2 and FFmpeg stay.

#include <cstdlib>

namespace {

const bool backendsChosen = [] {
    setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0);
    setenv("OPENCV_VIDEOIO_PRIORITY_GSTREAMER", "0", 0);
    return true;
}();

}  // namespace
