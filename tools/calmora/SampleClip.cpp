// Shaky sample clips.
// - The wanted camera path is a slow horizontal pan with a gentle vertical
//   drift; the shake is a seeded sum of sinusoids between 1 and 7 Hz with
//   random phases, in x, y and angle, as a hand holding a camera gives.
// - Each frame is the view of a camera centred at the pose, turned by the
//   pose's angle, sampled bilinearly from a scene that is larger than the
//   frame by the pan plus a margin for the shake.

#include "SampleClip.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>

namespace calmora_cli {

namespace {

constexpr double kTwoPi = 6.283185307179586;

struct Wave {
    double amplitude, hz, phase;
};

std::vector<Wave> shakeWaves(cv::RNG& rng, double amplitude) {
    // Relative weights of the bands; their sum of squares is about 1.
    const double weights[] = {0.55, 0.5, 0.4, 0.3, 0.2};
    std::vector<Wave> waves;
    for (double w : weights) {
        waves.push_back({amplitude * w, rng.uniform(1.0, 7.0), rng.uniform(0.0, kTwoPi)});
    }
    return waves;
}

double sum(const std::vector<Wave>& waves, double t) {
    double v = 0.0;
    for (const Wave& w : waves) {
        v += w.amplitude * std::sin(kTwoPi * w.hz * t + w.phase);
    }
    return v;
}

}  // namespace

std::vector<CameraPose> samplePath(const SampleSettings& clipSettings, const cv::Size& scene,
                                   std::vector<CameraPose>* wanted) {
    cv::RNG rng(clipSettings.seed);
    const auto wx = shakeWaves(rng, clipSettings.shakePixels);
    const auto wy = shakeWaves(rng, clipSettings.shakePixels);
    const auto wa = shakeWaves(rng, clipSettings.shakeRadians);
    std::vector<CameraPose> poses;
    if (wanted != nullptr) {
        wanted->clear();
    }
    const double startX = scene.width / 2.0 - clipSettings.panPixels / 2.0;
    for (int i = 0; i < clipSettings.frames; ++i) {
        const double t = i / clipSettings.fps;
        const double share =
            clipSettings.frames > 1 ? static_cast<double>(i) / (clipSettings.frames - 1) : 0.0;
        const CameraPose pan{
            startX + clipSettings.panPixels * share,
            scene.height / 2.0 + 0.1 * clipSettings.panPixels * std::sin(kTwoPi * 0.5 * share),
            0.0};
        if (wanted != nullptr) {
            wanted->push_back(pan);
        }
        poses.push_back({pan.x + sum(wx, t), pan.y + sum(wy, t), sum(wa, t)});
    }
    return poses;
}

cv::Mat renderView(const cv::Mat& scene, const cv::Size& frame, const CameraPose& pose) {
    const double c = std::cos(pose.angle), s = std::sin(pose.angle);
    const double hx = frame.width / 2.0, hy = frame.height / 2.0;
    // output pixel (u, v) -> scene position R * ((u, v) - half) + pose
    const cv::Matx23d m(c, -s, pose.x - c * hx + s * hy, s, c, pose.y - s * hx - c * hy);
    cv::Mat view;
    cv::warpAffine(scene, view, m, frame, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REFLECT);
    return view;
}

cv::Mat sampleScene(const cv::Mat& photo, const SampleSettings& clipSettings) {
    // Room for the pan, the shake and the corners of a turned frame.
    const double margin = 4.0 * clipSettings.shakePixels +
                          clipSettings.height * std::fabs(clipSettings.shakeRadians) * 3.0 + 16;
    const cv::Size needed(
        static_cast<int>(clipSettings.width + clipSettings.panPixels + 2 * margin),
        static_cast<int>(clipSettings.height + 0.2 * clipSettings.panPixels + 2 * margin));
    if (!photo.empty()) {
        const double grow = std::max({1.0, static_cast<double>(needed.width) / photo.cols,
                                      static_cast<double>(needed.height) / photo.rows});
        cv::Mat scene;
        cv::resize(photo, scene, cv::Size(), grow, grow,
                   grow > 1.0 ? cv::INTER_CUBIC : cv::INTER_AREA);
        return scene;
    }
    // a drawn landscape: sky gradient, hills, houses and trees
    cv::RNG rng(clipSettings.seed ^ 0x5EED);
    cv::Mat scene(needed, CV_8UC3);
    for (int y = 0; y < scene.rows; ++y) {
        const double t = static_cast<double>(y) / scene.rows;
        scene.row(y).setTo(cv::Scalar(230 - 90 * t, 200 - 60 * t, 150 - 40 * t));
    }
    for (int i = 0; i < scene.cols * scene.rows / 900; ++i) {
        const cv::Point p(rng.uniform(0, scene.cols), rng.uniform(scene.rows / 3, scene.rows));
        const cv::Scalar colour(rng.uniform(20, 200), rng.uniform(40, 220), rng.uniform(20, 200));
        const int size = rng.uniform(4, 30);
        if (i % 3 == 0) {
            cv::rectangle(scene, p, p + cv::Point(size, size * 2 / 3), colour, cv::FILLED);
        } else if (i % 3 == 1) {
            cv::circle(scene, p, size / 2, colour, cv::FILLED, cv::LINE_AA);
        } else {
            const cv::Point tri[] = {p, p + cv::Point(size, 0), p + cv::Point(size / 2, -size)};
            cv::fillConvexPoly(scene, tri, 3, colour, cv::LINE_AA);
        }
    }
    // fine grain, so that flat areas still have texture to track
    cv::Mat grain(scene.size(), CV_16SC3), wide;
    rng.fill(grain, cv::RNG::NORMAL, 0, 6);
    scene.convertTo(wide, CV_16SC3);
    wide += grain;
    wide.convertTo(scene, CV_8UC3);
    return scene;
}

cv::Mat secondScene(const SampleSettings& clipSettings) {
    SampleSettings other = clipSettings;
    other.seed = clipSettings.seed * 7919 + 17;
    cv::Mat planes[3];
    cv::split(sampleScene(cv::Mat(), other), planes);
    std::swap(planes[0], planes[2]);  // blue sky becomes a red one
    cv::Mat turned;
    cv::merge(planes, 3, turned);
    return turned;
}

std::vector<cv::Mat> renderClip(const cv::Mat& scene, const SampleSettings& clipSettings,
                                const cv::Mat& second) {
    std::vector<cv::Mat> frames;
    const std::vector<CameraPose> poses = samplePath(clipSettings, scene.size());
    for (size_t i = 0; i < poses.size(); ++i) {
        const bool after = clipSettings.cutAtFrame >= 0 &&
                           static_cast<int>(i) >= clipSettings.cutAtFrame && !second.empty();
        frames.push_back(renderView(after ? second : scene,
                                    cv::Size(clipSettings.width, clipSettings.height), poses[i]));
    }
    return frames;
}

bool writeSampleClip(const std::string& path, const cv::Mat& scene,
                     const SampleSettings& clipSettings, const cv::Mat& second) {
    cv::VideoWriter writer;
    if (!writer.open(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), clipSettings.fps,
                     cv::Size(clipSettings.width, clipSettings.height), true)) {
        return false;
    }
    writer.set(cv::VIDEOWRITER_PROP_QUALITY, 90);
    const std::vector<CameraPose> poses = samplePath(clipSettings, scene.size());
    for (size_t i = 0; i < poses.size(); ++i) {
        const bool after = clipSettings.cutAtFrame >= 0 &&
                           static_cast<int>(i) >= clipSettings.cutAtFrame && !second.empty();
        writer.write(renderView(after ? second : scene,
                                cv::Size(clipSettings.width, clipSettings.height), poses[i]));
    }
    writer.release();
    return true;
}

}  // namespace calmora_cli
