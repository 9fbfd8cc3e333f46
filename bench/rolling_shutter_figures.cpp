// A rolling shutter's wobble before and after every mode, on the tests'
// synthetic clip (rows exposed over 0.85 of the frame interval, a hand's
// shake and a 7 and 11 Hz vibration), measured by the tests' own cell
// matcher (template matching and gradient steps, no code of the
// stabiliser's): the wobble a per-frame similarity cannot explain and the
// shake of the frame as a whole, for the input and each mode without and
// with the readout (offline also with it estimated). A global-shutter clip
// with the readout estimated is the control. With a path argument (or
// `--picture PATH`, the picture alone), writes a picture: the middle of one
// frame of a clip with a grid drawn over its scene, as it came in,
// stabilised without the readout, and with it.
// Nothing is asserted; the figures are for reading.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/OfflineStabiliser.h>

#include "Synthetic.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>

using namespace orl::calmora;
using namespace calmora_test;
namespace fcc = orl::video::fourcc;

namespace {

constexpr int FRAMES = 90;
const cv::Size SIZE{640, 360};

// Every frame of `clip` through `mode` with `readout` (negative: auto), in
// order; the readout used into `used`.
std::vector<cv::Mat> stabilised(const RollingShutterClip& clip, StabiliserMode mode,
                                double readout, double& used) {
    ModeSettings settings;
    settings.mode = mode;
    settings.rollingShutter = std::max(readout, 0.0);
    settings.rollingShutterAuto = readout < 0.0;
    std::vector<cv::Mat> out;
    orl::video::Frame dst;
    used = settings.rollingShutter;
    if (mode == StabiliserMode::OFFLINE) {
        OfflineStabiliser s;
        s.configure(settings);
        for (const cv::Mat& f : clip.frames)
            s.add(toFrame(f, fcc::BGR3));
        s.plan();
        for (size_t k = 0; k < clip.frames.size(); ++k) {
            s.apply(static_cast<int>(k), toFrame(clip.frames[k], fcc::BGR3), dst);
            out.push_back(bgrOf(dst));
        }
        used = s.readout();
    } else if (mode == StabiliserMode::LOOKAHEAD) {
        LookaheadStabiliser s;
        s.configure(settings);
        for (const cv::Mat& f : clip.frames)
            if (s.stabilise(toFrame(f, fcc::BGR3), dst))
                out.push_back(bgrOf(dst));
        while (s.drain(dst))
            out.push_back(bgrOf(dst));
    } else {
        CalmoraOpenCv s;
        s.configure(settings);
        for (const cv::Mat& f : clip.frames) {
            s.stabilise(toFrame(f, fcc::BGR3), dst);
            out.push_back(bgrOf(dst));
        }
    }
    return out;
}

void printTable(const char* title, const RollingShutterClip& clip, double truth) {
    const Wobble in = measureWobble(clip, clip.frames, 8, FRAMES - 8);
    std::printf("%s (readout %.2f)\n", title, truth);
    std::printf("  %-10s %-14s %8s %8s %8s\n", "mode", "readout", "wobble", "shake", "used");
    std::printf("  %-10s %-14s %8.3f %8.3f\n", "input", "", in.wobble, in.shake);
    for (const StabiliserMode mode :
         {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
        for (const double readout : {0.0, 0.85, -1.0}) {
            if (readout < 0.0 && mode != StabiliserMode::OFFLINE)
                continue;
            double used = 0.0;
            const Wobble w =
                measureWobble(clip, stabilised(clip, mode, readout, used), 8, FRAMES - 8);
            const std::string asked = readout < 0.0 ? "auto" : std::to_string(readout).substr(0, 4);
            std::printf("  %-10s %-14s %8.3f %8.3f %8.3f\n", modeName(mode), asked.c_str(),
                        w.wobble, w.shake, used);
        }
    }
}

// The middle of frame `k`: input, without the readout, with it (lookahead).
void writePicture(const std::string& path) {
    const RollingShutterClip clip = rollingShutterClip(SIZE, 40, 0.85, 5.0, 7, true);
    double used = 0.0;
    const std::vector<cv::Mat> without = stabilised(clip, StabiliserMode::LOOKAHEAD, 0.0, used);
    const std::vector<cv::Mat> with = stabilised(clip, StabiliserMode::LOOKAHEAD, 0.85, used);
    const int k = 24;
    const cv::Rect middle(192, 84, 256, 192);
    std::vector<cv::Mat> panels = {clip.frames[k](middle), without[k](middle), with[k](middle)};
    const char* names[] = {"input", "stabilised", "with readout 0.85"};
    for (size_t i = 0; i < panels.size(); ++i) {
        cv::cvtColor(panels[i], panels[i], cv::COLOR_BGR2GRAY);  // a small file: grey is enough
        cv::rectangle(panels[i], {0, 0}, {220, 24}, cv::Scalar::all(0), cv::FILLED);
        cv::putText(panels[i], names[i], {6, 17}, cv::FONT_HERSHEY_SIMPLEX, 0.55,
                    cv::Scalar::all(255), 1, cv::LINE_AA);
    }
    cv::Mat picture;
    cv::hconcat(panels, picture);
    cv::imwrite(path, picture);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--picture" && argc > 2) {
        writePicture(argv[2]);
        return 0;
    }
    printTable("rolling shutter, hand shake and vibration",
               rollingShutterClip(SIZE, FRAMES, 0.85, 5.0), 0.85);
    printTable("global shutter, the same motion", rollingShutterClip(SIZE, FRAMES, 0.0, 5.0), 0.0);
    if (argc > 1)
        writePicture(argv[1]);
    return 0;
}
