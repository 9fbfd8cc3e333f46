// Offline mode's figures on clips whose intended view is known, beside a
// two-pass reference run by ffmpeg.
// - Four clips are drawn from a textured scene: a still view, an eased pan
//   with a slow bob (1280x720), a pan with a bob (1920x1080, 150 frames) and
//   an edited clip of three shots; each is shaken by a seeded sum of waves
//   of 1 to 7 Hz in x, y and angle, as a hand gives. Lossless (FFV1).
// - Each clip is stabilised by the run library in offline mode with the
//   automatic zoom and a black border, with the l1 and the gaussian smoother,
//   and by the reference: two ffmpeg filter chains given on the command
//   line, "{trf}" standing for the file the first pass writes.
// - Every output frame is registered against the intended frame of the same
//   instant by ECC (an affine map, on the central part, at most 400 pixels
//   wide), code that shares nothing with the stabiliser. The path error is
//   the RMS distance, in input pixels, of four points around the centre
//   from where the intended view puts them once the zoom is divided out;
//   the jitter is the RMS of the output's frame-to-frame motion (the centre's
//   and the angle's at the half-diagonal, from the same registration) minus
//   its centred Gaussian average of sigma 5 frames, shot by shot.
// - Uncovered pixels (black, which the scene never is) are counted.
// Usage: offline_figures FOLDER --pass1 CHAIN --pass2 CHAIN [--clips a,b]

#include "Synthetic.h"

#include <calmora/run/FileRun.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using orl::calmora::PathSmoother;
using orl::calmora::StabiliserMode;

constexpr double kPi = 3.141592653589793;
constexpr double kFps = 30.0;

struct Pose {
    double x, y, a;  // the frame centre in the scene, pixels; the turn, radians
};

struct Clip {
    std::string name;
    cv::Size size;
    int frames;
    std::vector<int> cuts;                 // frames that start a new shot
    std::function<Pose(int, int)> wanted;  // (frame, frame into its shot) -> pose
    double shakePixels, shakeRadians;
};

// A seeded sum of five waves of 1 to 7 Hz, as a hand shakes a camera.
struct Shake {
    double amplitude[5], hz[5], phase[5];
    Shake(cv::RNG& rng, double size) {
        const double weights[] = {0.55, 0.5, 0.4, 0.3, 0.2};
        for (int i = 0; i < 5; ++i) {
            amplitude[i] = size * weights[i];
            hz[i] = rng.uniform(1.0, 7.0);
            phase[i] = rng.uniform(0.0, 2 * kPi);
        }
    }
    double at(int frame) const {
        double v = 0.0;
        for (int i = 0; i < 5; ++i)
            v += amplitude[i] * std::sin(2 * kPi * hz[i] * frame / kFps + phase[i]);
        return v;
    }
};

double ease(double s) {
    s = std::clamp(s, 0.0, 1.0);
    return 0.5 - 0.5 * std::cos(kPi * s);
}

std::vector<Clip> clips() {
    return {
        {"still",
         {640, 360},
         240,
         {},
         [](int, int) {
             return Pose{0, 0, 0};
         },
         6.0,
         0.006},
        {"eased pan, bob (720p)",
         {1280, 720},
         240,
         {},
         [](int t, int) {
             return Pose{360 * ease((t - 40) / 160.0), 10 * std::sin(2 * kPi * t / 150.0), 0};
         },
         8.0,
         0.006},
        {"pan, bob (1080p)",
         {1920, 1080},
         150,
         {},
         [](int t, int) {
             return Pose{2.0 * t, 12 * std::sin(2 * kPi * t / 120.0), 0};
         },
         10.0,
         0.006},
        {"edited, 3 shots",
         {640, 360},
         270,
         {90, 180},
         [](int t, int k) {
             if (t < 90)
                 return Pose{0, 0, 0};
             if (t < 180)
                 return Pose{1.5 * k, 0.3 * k, 0};
             return Pose{-200 * ease((k - 15) / 60.0), 0, 0};
         },
         6.0,
         0.006},
    };
}

// The scene of a shot: textured, never black (the border is).
cv::Mat sceneOf(cv::Size size, int shot) {
    cv::Mat scene = calmora_test::texturedScene(size.width + 1400, size.height + 400,
                                                static_cast<uint64_t>(7 + shot));
    return cv::max(cv::min(scene, cv::Scalar::all(230)), cv::Scalar::all(25));
}

cv::Mat render(const cv::Mat& scene, cv::Size size, const Pose& p) {
    const double c = std::cos(p.a), s = std::sin(p.a);
    const double hx = size.width / 2.0, hy = size.height / 2.0;
    const double x = scene.cols / 2.0 + p.x - 500, y = scene.rows / 2.0 + p.y;
    const cv::Matx23d m(c, -s, x - c * hx + s * hy, s, c, y - s * hx - c * hy);
    cv::Mat view;
    cv::warpAffine(scene, view, m, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REFLECT);
    return view;
}

int shotOf(const Clip& clip, int t) {
    int shot = 0;
    for (const int cut : clip.cuts)
        shot += t >= cut ? 1 : 0;
    return shot;
}

int intoShot(const Clip& clip, int t) {
    int begin = 0;
    for (const int cut : clip.cuts)
        begin = t >= cut ? cut : begin;
    return t - begin;
}

// The intended pose and the shaken one of every frame.
void poses(const Clip& clip, std::vector<Pose>& wanted, std::vector<Pose>& shaken) {
    cv::RNG rng(2026);
    const Shake sx(rng, clip.shakePixels), sy(rng, clip.shakePixels), sa(rng, clip.shakeRadians);
    for (int t = 0; t < clip.frames; ++t) {
        const Pose w = clip.wanted(t, intoShot(clip, t));
        wanted.push_back(w);
        shaken.push_back({w.x + sx.at(t), w.y + sy.at(t), w.a + sa.at(t)});
    }
}

bool writeClip(const Clip& clip, const std::vector<Pose>& shaken, const std::string& path) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), kFps, clip.size);
    if (!writer.isOpened())
        return false;
    std::vector<cv::Mat> scenes;
    for (int t = 0; t < clip.frames; ++t) {
        const int shot = shotOf(clip, t);
        while (static_cast<int>(scenes.size()) <= shot)
            scenes.push_back(sceneOf(clip.size, static_cast<int>(scenes.size())));
        writer.write(
            render(scenes[static_cast<size_t>(shot)], clip.size, shaken[static_cast<size_t>(t)]));
    }
    return true;
}

struct Figures {
    double jitter{NAN}, pathError{NAN}, zoom{NAN};
    long long uncovered{0};
};

// The output's map onto the intended frame (output pixel -> intended
// pixel) by ECC on the central part, from `warp` as the first guess.
bool registerFrame(const cv::Mat& output, const cv::Mat& intended, cv::Mat& warp) {
    cv::Mat mask = cv::Mat::zeros(output.size(), CV_8U);
    mask(cv::Rect(output.cols / 6, output.rows / 6, output.cols * 2 / 3, output.rows * 2 / 3))
        .setTo(255);
    try {
        cv::findTransformECC(output, intended, warp, cv::MOTION_AFFINE,
                             {cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 60, 1e-5}, mask, 3);
    } catch (const cv::Exception&) {
        return false;
    }
    return true;
}

// An affine scaling by `s` about the centre of a `size` picture.
cv::Mat zoomAbout(cv::Size size, double s) {
    const double cx = size.width / 2.0, cy = size.height / 2.0;
    return (cv::Mat_<float>(2, 3) << s, 0, cx - s * cx, 0, s, cy - s * cy);
}

double jitterOf(const std::vector<cv::Vec3d>& motion, const std::vector<int>& shot) {
    double sum = 0.0;
    int count = 0;
    const int n = static_cast<int>(motion.size());
    for (int t = 1; t < n; ++t) {
        if (shot[static_cast<size_t>(t)] != shot[static_cast<size_t>(t - 1)])
            continue;
        cv::Vec3d mean;
        double weights = 0.0;
        for (int k = -15; k <= 15; ++k) {
            const int i = t + k;
            if (i < 1 || i >= n || shot[static_cast<size_t>(i)] != shot[static_cast<size_t>(t)] ||
                shot[static_cast<size_t>(i - 1)] != shot[static_cast<size_t>(t)])
                continue;
            const double w = std::exp(-k * k / 50.0);
            mean += w * motion[static_cast<size_t>(i)];
            weights += w;
        }
        const cv::Vec3d left = motion[static_cast<size_t>(t)] - mean / weights;
        sum += left.dot(left);
        ++count;
    }
    return count > 0 ? std::sqrt(sum / count) : 0.0;
}

// Registers every frame of `output` against the intended frames.
Figures measure(const Clip& clip, const std::vector<Pose>& wanted, const std::string& output) {
    Figures f;
    cv::VideoCapture capture(output);
    const double reduce = std::min(1.0, 400.0 / clip.size.width);
    const cv::Size small(static_cast<int>(clip.size.width * reduce),
                         static_cast<int>(clip.size.height * reduce));
    const double radius = 0.5 * std::hypot(clip.size.width, clip.size.height);
    std::vector<cv::Mat> scenes;
    std::vector<cv::Vec3d>
        position;  // the output's centre in the scene, pixels; its turn at radius
    std::vector<int> shot;
    double squared = 0.0, scale = 0.0;
    cv::Mat warp, frame, grey, outSmall, intendedSmall;
    for (int t = 0; t < clip.frames && capture.read(frame); ++t) {
        const int s = shotOf(clip, t);
        while (static_cast<int>(scenes.size()) <= s)
            scenes.push_back(sceneOf(clip.size, static_cast<int>(scenes.size())));
        cv::Mat black;
        cv::inRange(frame, cv::Scalar::all(0), cv::Scalar::all(8), black);
        f.uncovered += cv::countNonZero(black);
        const Pose& p = wanted[static_cast<size_t>(t)];
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, outSmall, small, 0, 0, cv::INTER_AREA);
        cv::cvtColor(render(scenes[static_cast<size_t>(s)], clip.size, p), grey,
                     cv::COLOR_BGR2GRAY);
        cv::resize(grey, intendedSmall, small, 0, 0, cv::INTER_AREA);
        if (warp.empty()) {  // the zoom is unknown: the best of a few first guesses
            double best = -1.0;
            for (const double z : {1.0, 0.97, 0.94, 0.9, 0.85}) {
                cv::Mat tried = zoomAbout(small, z);
                if (!registerFrame(outSmall, intendedSmall, tried))
                    continue;
                cv::Mat back;
                cv::warpAffine(intendedSmall, back, tried, small,
                               cv::INTER_LINEAR | cv::WARP_INVERSE_MAP);
                const double score = cv::norm(back, outSmall, cv::NORM_L1);
                if (best < 0 || score < best)
                    std::tie(best, warp) = std::tuple(score, tried);
            }
        } else if (!registerFrame(outSmall, intendedSmall, warp)) {
            warp = cv::Mat();
            continue;
        }
        // four points about the centre against where the zoom alone puts them
        cv::Matx23d w;
        cv::Mat(warp).convertTo(cv::Mat(2, 3, CV_64F, w.val), CV_64F);
        const double zoomed = std::sqrt(std::fabs(w(0, 0) * w(1, 1) - w(0, 1) * w(1, 0)));
        const cv::Point2d c(small.width / 2.0, small.height / 2.0);
        double err = 0.0;
        for (const cv::Point2d d : {cv::Point2d(1, 1), {1, -1}, {-1, 1}, {-1, -1}}) {
            const cv::Point2d q = c + cv::Point2d(d.x * small.width / 4, d.y * small.height / 4);
            const cv::Point2d mapped(w(0, 0) * q.x + w(0, 1) * q.y + w(0, 2),
                                     w(1, 0) * q.x + w(1, 1) * q.y + w(1, 2));
            const cv::Point2d off = (mapped - (c + zoomed * (q - c))) / reduce;
            err += off.dot(off) / 4;
        }
        squared += err;
        scale += zoomed;
        // the output's centre and turn in the scene's terms
        const cv::Point2d centre((w(0, 0) * c.x + w(0, 1) * c.y + w(0, 2) - c.x) / reduce,
                                 (w(1, 0) * c.x + w(1, 1) * c.y + w(1, 2) - c.y) / reduce);
        const double turn = p.a + std::atan2(w(1, 0), w(0, 0));
        position.emplace_back(p.x + std::cos(p.a) * centre.x - std::sin(p.a) * centre.y,
                              p.y + std::sin(p.a) * centre.x + std::cos(p.a) * centre.y,
                              turn * radius);
        shot.push_back(s);
    }
    const int n = static_cast<int>(position.size());
    std::vector<cv::Vec3d> motion(position.size());
    for (int t = 1; t < n; ++t)
        motion[static_cast<size_t>(t)] =
            position[static_cast<size_t>(t)] - position[static_cast<size_t>(t - 1)];
    f.pathError = n > 0 ? std::sqrt(squared / n) : NAN;
    f.jitter = jitterOf(motion, shot);
    f.zoom = n > 0 ? n / scale : NAN;
    return f;
}

Figures runCalmora(const Clip& clip, const std::vector<Pose>& wanted, const std::string& input,
                   const std::string& output, PathSmoother smoother) {
    orl::calmora::run::RunOptions options;
    options.input = input;
    options.output = output;
    options.codec = "FFV1";
    options.settings.mode = StabiliserMode::OFFLINE;
    options.settings.smoother = smoother;
    options.settings.zoomAuto = true;
    options.settings.params.transparentBorder = false;
    const std::atomic<bool> stop{false};
    const auto run = orl::calmora::run::runFile(options, stop, nullptr);
    if (run.status != orl::calmora::run::RunResult::DONE) {
        std::fprintf(stderr, "%s: %s\n", clip.name.c_str(), run.error.c_str());
        return {};
    }
    Figures f = measure(clip, wanted, output);
    f.zoom = run.zoom;
    return f;
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

Figures runReference(const Clip& clip, const std::vector<Pose>& wanted, const std::string& input,
                     const std::string& output, const std::string& pass1,
                     const std::string& pass2) {
    const std::string trf = output + ".trf";
    const std::string first = "ffmpeg -v error -y -i '" + input + "' -vf '" +
                              replaced(pass1, "{trf}", trf) + "' -f null -";
    const std::string second = "ffmpeg -v error -y -i '" + input + "' -vf '" +
                               replaced(pass2, "{trf}", trf) + "' -c:v ffv1 '" + output + "'";
    if (std::system(first.c_str()) != 0 || std::system(second.c_str()) != 0) {
        std::fprintf(stderr, "%s: the reference failed\n", clip.name.c_str());
        return {};
    }
    return measure(clip, wanted, output);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: offline_figures FOLDER --pass1 CHAIN --pass2 CHAIN\n");
        return 2;
    }
    const std::string folder = argv[1];
    std::string pass1, pass2, only;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        (option == "--pass1" ? pass1 : option == "--pass2" ? pass2 : only) = argv[i + 1];
    }
    std::printf(
        "| clip | jitter l1 | jitter gaussian | jitter reference | path error l1 | "
        "path error gaussian | path error reference | zoom l1 | zoom gaussian | "
        "zoom reference | uncovered l1 / gaussian / reference |\n|---|---|---|---|---|---|"
        "---|---|---|---|---|\n");
    int index = 0;
    for (const Clip& clip : clips()) {
        const std::string stem = folder + "/clip" + std::to_string(index++);
        if (!only.empty() && only.find(std::to_string(index - 1)) == std::string::npos)
            continue;
        std::vector<Pose> wanted, shaken;
        poses(clip, wanted, shaken);
        if (!writeClip(clip, shaken, stem + ".mkv"))
            return 1;
        const Figures l1 =
            runCalmora(clip, wanted, stem + ".mkv", stem + "_l1.mkv", PathSmoother::L1);
        const Figures gauss =
            runCalmora(clip, wanted, stem + ".mkv", stem + "_gaussian.mkv", PathSmoother::GAUSSIAN);
        const Figures ref = pass1.empty() ? Figures{}
                                          : runReference(clip, wanted, stem + ".mkv",
                                                         stem + "_reference.mkv", pass1, pass2);
        std::printf(
            "| %s | %.3f | %.3f | %.3f | %.2f | %.2f | %.2f | %.1f%% | %.1f%% | %.1f%% | "
            "%lld / %lld / %lld |\n",
            clip.name.c_str(), l1.jitter, gauss.jitter, ref.jitter, l1.pathError, gauss.pathError,
            ref.pathError, 100 * (l1.zoom - 1), 100 * (gauss.zoom - 1), 100 * (ref.zoom - 1),
            l1.uncovered, gauss.uncovered, ref.uncovered);
        std::fflush(stdout);
    }
    return 0;
}
