#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace calmora_cli {

/// How a shaky sample clip is made: a camera that pans slowly across a
/// scene while a hand shakes it (translation and rotation).
struct SampleSettings {
    int width{640};  ///< frame size, pixels
    int height{360};
    int frames{240};
    double fps{30.0};
    double panPixels{160.0};     ///< wanted horizontal pan over the whole clip, pixels
    double shakePixels{6.0};     ///< hand-shake amplitude, pixels (about the RMS x 1.4)
    double shakeRadians{0.008};  ///< hand-shake rotation amplitude, radians
    uint64_t seed{2026};
    int cutAtFrame{-1};  ///< from this frame on, another scene (a shot cut); -1: none
};

/// The camera of one frame: where the frame centre looks in the scene and
/// how the frame is turned.
struct CameraPose {
    double x{0.0};  ///< scene pixels
    double y{0.0};
    double angle{0.0};  ///< radians
};

/// The poses of every frame: the wanted path (pan) plus the shake. The same
/// seed gives the same poses. `wanted` receives the pan alone when given.
std::vector<CameraPose> samplePath(const SampleSettings& clipSettings, const cv::Size& scene,
                                   std::vector<CameraPose>* wanted = nullptr);

/// The frame the camera sees at `pose` (bilinear, mirrored at the scene's
/// edges).
cv::Mat renderView(const cv::Mat& scene, const cv::Size& frame, const CameraPose& pose);

/// A scene big enough for the path: `photo` scaled up when needed, or a
/// drawn landscape of shapes when `photo` is empty.
cv::Mat sampleScene(const cv::Mat& photo, const SampleSettings& clipSettings);

/// The scene after a cut: another drawn landscape, its colours turned.
cv::Mat secondScene(const SampleSettings& clipSettings);

/// The frames of the clip in memory; from clipSettings.cutAtFrame on the camera
/// looks at `second` (same path).
std::vector<cv::Mat> renderClip(const cv::Mat& scene, const SampleSettings& clipSettings,
                                const cv::Mat& second = cv::Mat());

/// Writes the clip (MJPG). False when the file cannot be written.
bool writeSampleClip(const std::string& path, const cv::Mat& scene,
                     const SampleSettings& clipSettings, const cv::Mat& second = cv::Mat());

}  // namespace calmora_cli
