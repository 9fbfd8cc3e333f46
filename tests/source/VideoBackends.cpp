// Linked into the source and command-line tests (children inherit it): with
// no camera, OpenCV's gphoto2 and GStreamer back-ends leak at start-up.

#include <cstdlib>

[[maybe_unused]] static const bool backendsChosen =
    setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0) == 0 &&
    setenv("OPENCV_VIDEOIO_PRIORITY_GSTREAMER", "0", 0) == 0;
