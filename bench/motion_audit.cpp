// Shake before and after each mode, measured apart from the stabiliser.
// - Clips: video files, or clips drawn with the test helpers: "still-walkers"
//   (a still camera, three large textured blocks walking across a textured
//   background, grain), "shaken-walkers" (the same camera shaken by up to 3
//   pixels), "turned-walkers" (turned by up to 0.01 radians) and "shaky"
//   (shaken by 6 pixels and 0.008 radians, nothing walking).
// - Modes: live (CalmoraOpenCv), lookahead and offline, each configured from
//   the default settings, as every front end does, with the refinements off
//   and on.
// - Motion between consecutive frames: cv::findTransformECC (Euclidean) of
//   the central part of the previous grey picture within the current one at
//   a quarter of the size, then the translation ECC of 24 tiles of the
//   central 80 per cent at full size, the current picture brought back by
//   the first step, and a rigid fit to the tiles that agree (people walking
//   through move a few tiles, not the fit); the displacement of the frame
//   centre (pixels) and the angle. It shares no code with the stabiliser's
//   estimators. On drawn clips the tiles the walking blocks reach are left
//   out.
// - Shots: a pair of input frames that cannot be aligned (no convergence,
//   correlation below 0.6) ends a shot; that pair is left out of every
//   output too.
// - Shake: in each shot, the motion minus its centred Gaussian average
//   (sigma 5 frames), RMS over all pairs: the translation's length in
//   pixels, the angle in degrees. Jitter: the path (running sum of the
//   motion) minus its local-line smoothing (sigma 5), as the run report
//   gives it.
// Usage: motion_audit [--frames N] [--type 0|1|2] [--modes live,lookahead,offline] CLIP...

#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CameraPath.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace orl::calmora;
using orl::video::Frame;

constexpr double kMinCorrelation = 0.6;
constexpr double kSigmaFrames = 5.0;
constexpr double kDegrees = 57.29577951308232;

struct Step {
    double x{0.0}, y{0.0}, a{0.0};  // pixels, radians
    bool aligned{false};
};

// cv::findTransformECC of `templ` within `input` from `warp`; the
// correlation reached, -1 when it failed.
double ecc(const cv::Mat& templ, const cv::Mat& input, cv::Mat& warp, int motion) {
    try {
        return cv::findTransformECC(
            templ, input, warp, motion,
            cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-6),
            cv::noArray(), 5);
    } catch (const cv::Exception&) {
        return -1.0;
    }
}

// The rigid motion (rotation and translation) that takes the points `from`
// nearest to `to` in least squares, over those with keep[i]; false for
// fewer than three.
bool rigidFit(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to,
              const std::vector<bool>& keep, cv::Matx23d& m) {
    cv::Point2d cf, ct;
    int n = 0;
    for (size_t i = 0; i < from.size(); ++i)
        if (keep[i])
            cf += from[i], ct += to[i], ++n;
    if (n < 3)
        return false;
    cf *= 1.0 / n, ct *= 1.0 / n;
    double dot = 0.0, cross = 0.0;
    for (size_t i = 0; i < from.size(); ++i)
        if (keep[i]) {
            const cv::Point2d p = from[i] - cf, q = to[i] - ct;
            dot += p.dot(q), cross += p.x * q.y - p.y * q.x;
        }
    const double a = std::atan2(cross, dot), c = std::cos(a), s = std::sin(a);
    m = cv::Matx23d(c, -s, ct.x - (c * cf.x - s * cf.y), s, c, ct.y - (s * cf.x + c * cf.y));
    return true;
}

// rigidFit() again without the points it explains worst (beyond 0.1 pixels
// and three times the median), until they settle.
bool consensusFit(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to,
                  cv::Matx23d& m) {
    std::vector<bool> keep(from.size(), true);
    std::vector<double> distance(from.size()), kept;
    for (int round = 0; round < 6; ++round) {
        if (!rigidFit(from, to, keep, m))
            return false;
        kept.clear();
        for (size_t i = 0; i < from.size(); ++i) {
            const cv::Point2d p = from[i];
            distance[i] = cv::norm(cv::Point2d(m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2),
                                               m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)) -
                                   to[i]);
            if (keep[i])
                kept.push_back(distance[i]);
        }
        std::nth_element(kept.begin(), kept.begin() + kept.size() / 2, kept.end());
        const double limit = std::max(0.1, 3.0 * kept[kept.size() / 2]);
        for (size_t i = 0; i < from.size(); ++i)
            keep[i] = distance[i] <= limit;
    }
    return true;
}

// Consecutive grey pictures aligned in two steps: a Euclidean ECC of the
// central three quarters at a quarter of the size, then, with the current
// picture brought back by it, the translation ECC of each of 6 x 4 tiles of
// the central 80 per cent at full size, and a rigid fit to the tiles that
// agree. Something walking moves its tiles, not the fit.
class TileMeter {
  public:
    // `still` (frame size, 8-bit, may be empty): where the picture is known
    // to hold only the scene; tiles reaching outside it are not used.
    Step measure(const cv::Mat& bgr, const cv::Mat& still) {
        cv::Mat grey, coarse;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, coarse, {}, 0.25, 0.25, cv::INTER_AREA);
        grey.convertTo(grey, CV_32F);
        coarse.convertTo(coarse, CV_32F);
        Step step;
        cv::Matx23d rough, fine;
        if (!grey_.empty() && grey_.size() == grey.size() && roughly(coarse, rough) &&
            tiled(grey, rough, still, fine)) {
            // previous -> brought back (fine) -> current (rough), at the centre
            const cv::Matx33d r(rough(0, 0), rough(0, 1), rough(0, 2), rough(1, 0), rough(1, 1),
                                rough(1, 2), 0, 0, 1);
            const cv::Matx33d f(fine(0, 0), fine(0, 1), fine(0, 2), fine(1, 0), fine(1, 1),
                                fine(1, 2), 0, 0, 1);
            const cv::Matx33d m = r * f;
            const cv::Point2d c(grey.cols / 2.0, grey.rows / 2.0);
            step = {m(0, 0) * c.x + m(0, 1) * c.y + m(0, 2) - c.x,
                    m(1, 0) * c.x + m(1, 1) * c.y + m(1, 2) - c.y, std::atan2(m(1, 0), m(0, 0)),
                    true};
        }
        grey_ = grey;
        coarse_ = coarse;
        return step;
    }

  private:
    // The whole-picture map previous to current at full size, from the
    // coarse pictures.
    bool roughly(const cv::Mat& coarse, cv::Matx23d& m) const {
        const cv::Rect centre(coarse_.cols / 8, coarse_.rows / 8, coarse_.cols * 3 / 4,
                              coarse_.rows * 3 / 4);
        cv::Mat w = (cv::Mat_<float>(2, 3) << 1, 0, centre.x, 0, 1, centre.y);
        if (ecc(coarse_(centre), coarse, w, cv::MOTION_EUCLIDEAN) < kMinCorrelation)
            return false;
        // q = R (p - o) + t on the template's pixels, four times larger
        const double c = w.at<float>(0, 0), s = w.at<float>(1, 0);
        m = cv::Matx23d(c, -s, 4 * (w.at<float>(0, 2) - (c * centre.x - s * centre.y)), s, c,
                        4 * (w.at<float>(1, 2) - (s * centre.x + c * centre.y)));
        return true;
    }

    // What is left between the previous picture and the current one
    // brought back by `rough`: previous to brought-back positions.
    bool tiled(const cv::Mat& grey, const cv::Matx23d& rough, const cv::Mat& still,
               cv::Matx23d& m) const {
        cv::Mat back;
        cv::warpAffine(grey, back, rough, grey.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        const cv::Rect central(grey.cols / 10, grey.rows / 10, grey.cols * 4 / 5,
                               grey.rows * 4 / 5);
        const int w = central.width / kTilesX, h = central.height / kTilesY;
        std::vector<cv::Point2d> from, to;
        for (int i = 0; i < kTilesX * kTilesY; ++i) {
            const cv::Rect area(central.x + i % kTilesX * w, central.y + i / kTilesX * h, w, h);
            const cv::Rect tile(area.x + kMargin, area.y + kMargin, w - 2 * kMargin,
                                h - 2 * kMargin);
            if (!still.empty() && cv::countNonZero(still(area)) < area.area())
                continue;
            cv::Mat shift = (cv::Mat_<float>(2, 3) << 1, 0, kMargin, 0, 1, kMargin);
            if (ecc(grey_(tile), back(area), shift, cv::MOTION_TRANSLATION) < kTileCorrelation)
                continue;
            const cv::Point2d centre(tile.x + tile.width / 2.0, tile.y + tile.height / 2.0);
            from.push_back(centre);
            to.push_back(centre + cv::Point2d(shift.at<float>(0, 2) - kMargin,
                                              shift.at<float>(1, 2) - kMargin));
        }
        return consensusFit(from, to, m);
    }

    static constexpr int kTilesX = 8, kTilesY = 6, kMargin = 6;
    static constexpr double kTileCorrelation = 0.8;
    cv::Mat grey_, coarse_;
};

// Gives the next picture of a clip into its argument; false at the end.
using Reader = std::function<bool(cv::Mat&)>;

struct Clip {
    std::string name;
    std::function<Reader()> open;  // each pass reads from the start
    // For a drawn clip, frame k's pixels that show the still scene in
    // frames k - 1 and k (the walking blocks widened by 16 pixels left out,
    // room for any correction); empty for a file.
    std::function<cv::Mat(size_t)> still;
};

Clip clipNamed(const std::string& name, int frames) {
    const auto drawn = [&](double shake, double turn, int movers) {
        auto clip = std::make_shared<calmora_test::ShakyClip>(
            calmora_test::shakyClip({640, 360}, frames, shake, turn, 5, movers, 2.0));
        const auto open = [clip] {
            auto next = std::make_shared<size_t>(0);
            return Reader([clip, next](cv::Mat& out) {
                if (*next >= clip->frames.size())
                    return false;
                out = clip->frames[(*next)++];
                return true;
            });
        };
        const auto still = [clip](size_t k) {
            cv::Mat mask(clip->frames[k].size(), CV_8U, cv::Scalar(255));
            const cv::Point at(cvRound(clip->topLeft[k].x), cvRound(clip->topLeft[k].y));
            for (const size_t j : {k > 0 ? k - 1 : k, k})
                for (const cv::Rect& r : clip->movers[j])
                    cv::rectangle(mask,
                                  {r.x - at.x - 16, r.y - at.y - 16, r.width + 32, r.height + 32},
                                  0, cv::FILLED);
            return mask;
        };
        return Clip{name, open, still};
    };
    if (name == "still-walkers")
        return drawn(0.0, 0.0, 3);
    if (name == "shaken-walkers")
        return drawn(3.0, 0.0, 3);
    if (name == "turned-walkers")
        return drawn(0.0, 0.01, 3);
    if (name == "shaky")
        return drawn(6.0, 0.008, 0);
    const auto open = [name, frames] {
        auto capture = std::make_shared<cv::VideoCapture>(name);
        auto read = std::make_shared<int>(0);
        return Reader([capture, read, frames](cv::Mat& out) {
            return (*read)++ < frames && capture->read(out) && !out.empty();
        });
    };
    return Clip{name, open, [](size_t) { return cv::Mat(); }};
}

// The motion of every consecutive pair of pictures handed to add().
struct Track {
    explicit Track(const Clip& c) : clip(c) {}
    const Clip& clip;
    TileMeter meter;
    std::vector<Step> steps;
    void add(const cv::Mat& bgr) {
        const Step s = meter.measure(bgr, clip.still(added));
        if (added++ > 0)
            steps.push_back(s);
    }
    void add(const Frame& f) {
        add(cv::Mat(static_cast<int>(f.height), static_cast<int>(f.width), CV_8UC3, f.data));
    }

  private:
    size_t added{0};
};

std::vector<Step> playLive(const Clip& clip, const ModeSettings& settings) {
    CalmoraOpenCv live;
    live.configure(settings);
    Track track(clip);
    const Reader read = clip.open();
    Frame dst;
    for (cv::Mat picture; read(picture);) {
        live.stabilise(calmora_test::toFrame(picture, orl::video::fourcc::BGR3), dst);
        track.add(dst);
    }
    return track.steps;
}

std::vector<Step> playLookahead(const Clip& clip, const ModeSettings& settings) {
    LookaheadStabiliser lookahead;
    lookahead.configure(settings);
    Track track(clip);
    const Reader read = clip.open();
    Frame dst;
    for (cv::Mat picture; read(picture);)
        if (lookahead.stabilise(calmora_test::toFrame(picture, orl::video::fourcc::BGR3), dst))
            track.add(dst);
    while (lookahead.drain(dst))
        track.add(dst);
    return track.steps;
}

std::vector<Step> playOffline(const Clip& clip, const ModeSettings& settings) {
    OfflineStabiliser offline;
    offline.configure(settings);
    Reader read = clip.open();
    for (cv::Mat picture; read(picture);)
        offline.add(calmora_test::toFrame(picture, orl::video::fourcc::BGR3));
    offline.plan();
    Track track(clip);
    read = clip.open();
    Frame dst;
    int index = 0;
    for (cv::Mat picture; read(picture);) {
        offline.apply(index++, calmora_test::toFrame(picture, orl::video::fourcc::BGR3), dst);
        track.add(dst);
    }
    return track.steps;
}

std::vector<Step> playInput(const Clip& clip) {
    Track track(clip);
    const Reader read = clip.open();
    for (cv::Mat picture; read(picture);)
        track.add(picture);
    return track.steps;
}

struct Shake {
    double px{0.0}, deg{0.0}, jitterPx{0.0};
};

// Shake of `steps` over the shots the input's unaligned pairs delimit.
Shake shakeOf(const std::vector<Step>& steps, const std::vector<Step>& input) {
    double squares[3] = {0.0, 0.0, 0.0};
    size_t count = 0;
    size_t begin = 0;
    while (begin < input.size()) {
        size_t end = begin;
        while (end < input.size() && input[end].aligned && end < steps.size())
            ++end;
        const int n = static_cast<int>(end - begin);
        CameraPath path;
        for (int i = 0; i < n; ++i) {
            const Step& s = steps[begin + static_cast<size_t>(i)];
            double sum[3] = {0.0, 0.0, 0.0}, weights = 0.0;
            for (int k = std::max(0, i - 15); k < std::min(n, i + 16); ++k) {
                const double w = std::exp(-0.5 * (k - i) * (k - i) / (kSigmaFrames * kSigmaFrames));
                const Step& t = steps[begin + static_cast<size_t>(k)];
                sum[0] += w * t.x, sum[1] += w * t.y, sum[2] += w * t.a, weights += w;
            }
            const double dx = s.x - sum[0] / weights, dy = s.y - sum[1] / weights;
            squares[0] += dx * dx + dy * dy;
            squares[1] += std::pow(s.a - sum[2] / weights, 2);
            path.add(s.x, s.y, s.a, false);
        }
        const std::vector<PathPoint> smooth = smoothPath(path, kSigmaFrames);
        for (size_t i = 0; i < smooth.size(); ++i)
            squares[2] += std::pow(path.points[i].x - smooth[i].x, 2) +
                          std::pow(path.points[i].y - smooth[i].y, 2);
        count += static_cast<size_t>(n);
        begin = end + 1;  // the unaligned pair belongs to no shot
    }
    const double n = std::max<size_t>(count, 1);
    return {std::sqrt(squares[0] / n), std::sqrt(squares[1] / n) * kDegrees,
            std::sqrt(squares[2] / n)};
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 1 << 30;
    std::string modes = "live,lookahead,offline";
    int type = 2;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--frames" && i + 1 < argc)
            frames = std::atoi(argv[++i]);
        else if (std::string(argv[i]) == "--modes" && i + 1 < argc)
            modes = argv[++i];
        else if (std::string(argv[i]) == "--type" && i + 1 < argc)
            type = std::atoi(argv[++i]);
        else
            names.emplace_back(argv[i]);
    }
    if (names.empty()) {
        std::fprintf(
            stderr,
            "usage: %s [--frames N] [--type 0|1|2] [--modes live,lookahead,offline] CLIP...\n",
            argv[0]);
        return 2;
    }
    std::printf("%-16s %-9s %-4s | %8s %8s | %8s %8s | %8s %8s | pairs shots\n", "clip", "mode",
                "ref", "px in", "px out", "deg in", "deg out", "jit in", "jit out");
    for (const std::string& name : names) {
        const Clip clip = clipNamed(name, name.find('.') == std::string::npos ? 150 : frames);
        const std::vector<Step> input = playInput(clip);
        const Shake before = shakeOf(input, input);
        size_t shots = 1;
        for (const Step& s : input)
            shots += s.aligned ? 0 : 1;
        std::printf("%-16s %-9s %-4s | %8.4f %8s | %8.4f %8s | %8.4f %8s | %zu %zu\n",
                    name.substr(name.find_last_of('/') + 1).c_str(), "input", "", before.px, "",
                    before.deg, "", before.jitterPx, "", input.size(), shots);
        for (const StabiliserMode mode :
             {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
            if (modes.find(modeName(mode)) == std::string::npos)
                continue;
            for (const bool refinements : {false, true}) {
                ModeSettings settings;
                settings.mode = mode;
                settings.refinements = refinements;
                settings.params.type = type;
                const std::vector<Step> out =
                    mode == StabiliserMode::LIVE        ? playLive(clip, settings)
                    : mode == StabiliserMode::LOOKAHEAD ? playLookahead(clip, settings)
                                                        : playOffline(clip, settings);
                const Shake after = shakeOf(out, input);
                std::printf("%-16s %-9s %-4s | %8.4f %8.4f | %8.4f %8.4f | %8.4f %8.4f | %zu %zu\n",
                            name.substr(name.find_last_of('/') + 1).c_str(), modeName(mode),
                            refinements ? "on" : "off", before.px, after.px, before.deg, after.deg,
                            before.jitterPx, after.jitterPx, input.size(), shots);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
