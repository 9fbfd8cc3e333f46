// Everything the stabiliser hands back for a fixed synthetic sequence, as
// text: two builds whose files compare equal (cmp) give the same offsets,
// measurements and output pixels frame for frame.
// - The sequence: a camera panning over a textured scene with shake and a
//   slow rotation, a cut to another scene, a few uniform grey frames, a
//   change of brightness and letterboxed stretches; made once per size from
//   fixed seeds.
// - Live mode for types 0, 1 and 2 on "BGR3" and "NV12" at 1280x720 (every
//   frame), at 1920x1080 (a shorter stretch, scale factors 1 and 2), and
//   every other raw format for a short stretch; lookahead mode for each type
//   on "BGR3" and "NV12".
// - Per frame: the published offsets and measurement in hexadecimal floating
//   point (exact), and a 64-bit FNV-1a digest of the output frame's bytes.
// Usage: output_digest [file [threads]]: standard output without a file;
// `threads` is given to cv::setNumThreads (the outputs must not depend on it).

#include "Synthetic.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using orl::calmora::CalmoraOpenCv;
using orl::calmora::CalmoraParams;
using orl::calmora::LookaheadStabiliser;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

uint64_t digestOf(const Frame& f) {
    uint64_t h = 1469598103934665603ull;
    for (uint32_t i = 0; i < f.size; ++i) {
        h = (h ^ f.data[i]) * 1099511628211ull;
    }
    return h ^ (static_cast<uint64_t>(f.width) << 32 | f.height) ^ f.fourcc;
}

std::string fourccText(uint32_t code) {
    return std::string(reinterpret_cast<const char*>(&code), 4);
}

// The camera's pictures in BGR: pan, shake, rotation, a cut, grey, brightness.
std::vector<cv::Mat> cameraPictures(cv::Size size, int count) {
    const int margin = size.width / 8;
    const cv::Size sceneSize(size.width + 2 * margin + count * 2, size.height + 2 * margin + count);
    const cv::Mat sceneA = calmora_test::texturedScene(sceneSize.width, sceneSize.height, 21);
    const cv::Mat sceneB = calmora_test::texturedScene(sceneSize.width, sceneSize.height, 22);
    cv::RNG rng(7);
    std::vector<cv::Mat> pictures;
    const int cut = count * 3 / 5;
    for (int i = 0; i < count; ++i) {
        const bool second = i >= cut;
        const int k = second ? i - cut : i;
        const double shake = i % 17 < 9 ? 5.0 : 1.5;
        const cv::Point2d topLeft(margin + (second ? 0.5 : 2.0) * k + rng.uniform(-shake, shake),
                                  margin + (second ? 1.5 : 0.3) * k + rng.uniform(-shake, shake));
        const double angle = (second ? 0.0004 * k : 0.0) + rng.uniform(-0.012, 0.012);
        cv::Mat picture = calmora_test::view(second ? sceneB : sceneA, size, topLeft, angle);
        if (i >= cut - 4 && i < cut) {
            picture.setTo(cv::Scalar::all(100 + i % 3));
        }
        if (i >= cut + 20 && i < cut + 30) {
            picture.convertTo(picture, -1, 1.0, 3.0 * (i - cut - 20));
        }
        if (i % 50 >= 30 && i % 50 < 40) {  // letterboxed: black bands top and bottom
            picture.rowRange(0, size.height / 8).setTo(cv::Scalar::all(0));
            picture.rowRange(size.height - size.height / 8, size.height).setTo(cv::Scalar::all(0));
        }
        pictures.push_back(picture);
    }
    return pictures;
}

struct Run {
    const char* mode;
    int type;
    uint32_t code;
    int scaleFactor;
    float filterCoeff;
    int frames;  // taken from the start of the pictures
};

CalmoraParams paramsOf(const Run& run, const CalmoraParams& base) {
    CalmoraParams p = base;
    p.type = run.type;
    p.scaleFactor = run.scaleFactor;
    p.xFilterCoeff = p.yFilterCoeff = p.aFilterCoeff = run.filterCoeff;
    return p;
}

void play(std::FILE* out, const Run& run, const std::vector<cv::Mat>& pictures) {
    std::fprintf(out, "# %s type %d %s %dx%d scale %d coeff %a\n", run.mode, run.type,
                 fourccText(run.code).c_str(), pictures[0].cols, pictures[0].rows, run.scaleFactor,
                 static_cast<double>(run.filterCoeff));
    std::vector<Frame> frames;
    for (int i = 0; i < run.frames; ++i) {
        frames.push_back(calmora_test::toFrame(pictures[static_cast<size_t>(i)], run.code));
    }
    Frame dst;
    if (std::string(run.mode) == "live") {
        CalmoraOpenCv stab;
        stab.init(paramsOf(run, stab.getParams()));
        for (int i = 0; i < run.frames; ++i) {
            if (i == run.frames / 3) {
                stab.executeCommand(orl::calmora::RESET);
            }
            stab.stabilise(frames[static_cast<size_t>(i)], dst);
            float x = 0.0f, y = 0.0f, a = 0.0f;
            stab.getOffsets(x, y, a);
            const orl::calmora::Measurement m = stab.lastMeasurement();
            std::fprintf(out, "%d %a %a %a | %a %a %a %d %a %a %d | %016llx\n", i,
                         static_cast<double>(x), static_cast<double>(y), static_cast<double>(a),
                         m.x, m.y, m.a, m.measured ? 1 : 0, m.confidence, m.residual,
                         m.restarted ? 1 : 0, static_cast<unsigned long long>(digestOf(dst)));
        }
        return;
    }
    LookaheadStabiliser stab(8);
    stab.init(paramsOf(run, stab.getParams()));
    int written = 0;
    const auto line = [&] {
        const orl::calmora::Correction c = stab.lastCorrection();
        std::fprintf(out, "%d %a %a %a %a | %016llx\n", written++, c.x, c.y, c.a, c.zoom,
                     static_cast<unsigned long long>(digestOf(dst)));
    };
    for (int i = 0; i < run.frames; ++i) {
        if (i == run.frames / 2) {
            stab.cut();
        }
        if (stab.stabilise(frames[static_cast<size_t>(i)], dst)) {
            line();
        }
    }
    while (stab.drain(dst)) {
        line();
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    if (argc > 2) {
        cv::setNumThreads(std::atoi(argv[2]));
    }
    const std::vector<cv::Mat> hd = cameraPictures({1280, 720}, 200);
    for (const uint32_t code : {fcc::BGR3, fcc::NV12}) {
        for (int type = 0; type <= 2; ++type) {
            play(out, {"live", type, code, 1, 0.0f, 200}, hd);
            play(out, {"live", type, code, 2, 0.9f, 60}, hd);
            play(out, {"lookahead", type, code, 1, 0.0f, 120}, hd);
        }
    }
    for (const uint32_t code :
         {fcc::GRAY, fcc::RGB3, fcc::YUV3, fcc::YUYV, fcc::UYVY, fcc::NV21, fcc::YU12, fcc::YV12}) {
        for (int type = 0; type <= 2; ++type) {
            play(out, {"live", type, code, 1, 0.9f, 24}, hd);
            play(out, {"live", type, code, 3, 0.0f, 16}, hd);
        }
    }
    const std::vector<cv::Mat> full = cameraPictures({1920, 1080}, 60);
    for (const uint32_t code : {fcc::BGR3, fcc::NV12}) {
        for (int type = 0; type <= 2; ++type) {
            play(out, {"live", type, code, 1, 0.0f, 60}, full);
            play(out, {"live", type, code, 2, 0.9f, 30}, full);
        }
    }
    if (out != stdout) {
        std::fclose(out);
    }
    return 0;
}
