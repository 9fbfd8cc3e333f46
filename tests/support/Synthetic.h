#pragma once

// Synthetic pictures with known answers for the tests: a textured scene,
// the same scene moved by a known shift, rotation or zoom, conversion of a
// BGR picture into a Frame of any raw pixel format, the pixel model of the
// whole-pixel shifts, and short video clips whose every frame tells its
// index by its colour (which frame came back after pacing, skipping or a
// restart).

#include <calmora/Frame.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace calmora_test {

/// A BGR scene of random rectangles, circles and fine noise: plenty of
/// corners and no periodic structure. The same seed gives the same picture.
cv::Mat texturedScene(int width, int height, uint64_t seed = 1);

/// `image` moved by (dx, dy) pixels, rotated by `angleRad` (from +x towards
/// +y, about `centre`) and scaled by `scale` about `centre`. Content that
/// enters from outside is mirrored, so no black border appears.
/// Positive dx and dy move the content right and down.
cv::Mat moved(const cv::Mat& image, double dx, double dy, double angleRad = 0.0, double scale = 1.0,
              cv::Point2d centre = {-1, -1});

/// The crop of `scene` of size `size` whose top-left corner is at `topLeft`
/// (non-integer positions are resampled bilinearly), rotated by `angleRad`
/// about the crop centre: a camera looking at a larger scene.
cv::Mat view(const cv::Mat& scene, cv::Size size, cv::Point2d topLeft, double angleRad = 0.0);

/// A frame of format `fourcc` holding `bgr` (8-bit, 3 channels; even width
/// and height for the chroma-subsampled formats).
orl::video::Frame toFrame(const cv::Mat& bgr, uint32_t fourcc);

/// The luma (or grey) plane of a frame as an 8-bit image, copied.
cv::Mat lumaOf(const orl::video::Frame& frame);

/// A BGR picture of a "BGR3" frame, copied.
cv::Mat bgrOf(const orl::video::Frame& frame);

/// The bytes a destination frame must hold after a whole-pixel shift of
/// `src` by (dx, dy) pixels, modelled byte by byte: `dstBefore` is the
/// destination before the call, whose bytes stay where nothing is moved
/// in. The 4:2:2 and semi-planar formats move by even steps (odd shifts
/// one further from zero, vertically too for the semi-planar ones), the
/// planar 4:2:0 chroma by half the luma shift; a shift of half the frame
/// or more on either axis gives a plain copy of `src`.
std::vector<uint8_t> shiftModel(const orl::video::Frame& src, const std::vector<uint8_t>& dstBefore,
                                int dx, int dy);

/// A camera held by a shaky hand over a larger textured scene: frame k is
/// view(scene, size, topLeft[k], angle[k]). The camera wobbles by up to
/// `amplitude` pixels and `angleAmplitude` radians about a fixed position,
/// independently each frame (fixed seed). With `movers`, as many textured
/// blocks a third of the frame high walk across the scene, each its own
/// way at 1 to 4 pixels a frame; `noise` adds grain of that standard
/// deviation (grey levels) to every frame.
struct ShakyClip {
    std::vector<cv::Mat> frames;                ///< BGR, `size` each
    std::vector<cv::Point2d> topLeft;           ///< camera position in the scene, pixels
    std::vector<double> angle;                  ///< camera rotation, radians
    std::vector<std::vector<cv::Rect>> movers;  ///< per frame, the blocks (scene pixels)
};

/// A shaky clip of `count` frames of `size` (see ShakyClip).
ShakyClip shakyClip(cv::Size size, int count, double amplitude, double angleAmplitude = 0.0,
                    uint64_t seed = 5, int movers = 0, double noise = 0.0);

/// A camera over a larger textured scene whose sensor exposes its rows one
/// after another: row y of frame k shows the scene as the camera saw it at
/// time k + readout (y / H - 1/2) (frame intervals). The camera pans slowly,
/// shakes by hand (a few pixels at 0.3 to 1.5 Hz) and vibrates at 7 and
/// 11 Hz (30 frames a second), each from a fixed seed.
struct RollingShutterClip {
    cv::Mat scene;
    cv::Size size;
    std::vector<cv::Mat> frames;  ///< BGR, `size` each
    double amplitude;             ///< hand shake, pixels
    double vibration;             ///< vibration, pixels
    double phase[8];              ///< the motions' phases, radians

    /// Top-left corner of the camera's view in the scene at time t, pixels;
    /// `shake` false leaves the slow pan alone: the intended view.
    cv::Point2d cameraAt(double t, bool shake = true) const;
    /// The scene as a global shutter sees it at time t.
    cv::Mat viewAt(double t, bool shake = true) const;
};

/// A clip of `count` frames of `size` with readout `readout` (0: a global
/// shutter); `vibration` pixels of vibration on top of the hand's shake;
/// `grid` draws white lines 40 pixels apart over the scene, for a person
/// to see them bend.
RollingShutterClip rollingShutterClip(cv::Size size, int count, double readout,
                                      double vibration = 1.5, uint64_t seed = 7,
                                      bool grid = false);

/// What a per-frame similarity leaves of a clip, from cells 64 pixels wide
/// 32 apart (a margin of 40 left out), each found by template matching and
/// gradient steps (code of the tests' own, not the stabiliser's): `wobble`,
/// the RMS distance of the cells from the similarity fitted between each
/// frame and the camera's view at its time, matched again once the frame is
/// turned back by it (the distortion within the frame); `shake`, the RMS of
/// the similarity's translation against the intended view, less its mean
/// over 15 frames (what the frame as a whole still shakes). Frames
/// [first, end) of `out` against `clip`, pixels.
struct Wobble {
    double wobble{0.0};
    double shake{0.0};
};
Wobble measureWobble(const RollingShutterClip& clip, const std::vector<cv::Mat>& out, int first,
                     int end);

/// The index (0 .. 71) whose fill colour is nearest to the mean of the
/// 8 x 8 block at the top left of `bgr` (8-bit, 3 channels), or -1 when no
/// colour lies within 6 levels per channel (a black or foreign picture).
int indexOfImage(const cv::Mat& bgr);

/// Writes `frameCount` frames of `size` at `fps` frames per second to
/// `path` with the four-character codec `codec` ("MJPG" for .avi, "mp4v"
/// for .mp4): frame i filled with the colour of index i % 72 and the index
/// drawn for a person looking at it. False when the writer cannot be
/// opened with that codec or the file is not there afterwards.
bool writeClip(const std::string& path, const std::string& codec, double fps, int frameCount,
               cv::Size size);

}  // namespace calmora_test
