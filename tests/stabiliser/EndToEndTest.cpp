// Whole sequences through stabilise(): a camera shaking over a textured
// scene must come out steadier, measured independently of the stabiliser by
// phase correlation on the central part of consecutive output frames.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <string>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;

const cv::Size SIZE(640, 360);
const cv::Rect CENTRE(160, 90, 320, 180);  // away from the uncovered borders
constexpr int FRAMES = 72;
constexpr int WARM_UP = 8;  // frames before the smoothing has a history

const calmora_test::ShakyClip& shaky(bool withRotation) {
    static const calmora_test::ShakyClip plain =
        calmora_test::shakyClip(SIZE, FRAMES, 10.0, 0.0, 31);
    static const calmora_test::ShakyClip rotating =
        calmora_test::shakyClip(SIZE, FRAMES, 10.0, 0.015, 32);
    return withRotation ? rotating : plain;
}

cv::Mat centreOf(const Frame& frame) {
    cv::Mat out;
    calmora_test::lumaOf(frame)(CENTRE).convertTo(out, CV_64F);
    return out;
}

// Mean length of the frame-to-frame translation of the central region.
double meanMotion(const std::vector<Frame>& frames, size_t from) {
    double sum = 0.0;
    size_t count = 0;
    cv::Mat previous = centreOf(frames[from]);
    for (size_t k = from + 1; k < frames.size(); ++k) {
        cv::Mat current = centreOf(frames[k]);
        const cv::Point2d shift = cv::phaseCorrelate(previous, current);
        sum += std::hypot(shift.x, shift.y);
        ++count;
        previous = current;
    }
    return sum / static_cast<double>(count);
}

struct Outcome {
    std::vector<Frame> outputs;
    std::vector<float> offsetsA;
};

Outcome stabiliseAll(CalmoraOpenCv& s, const std::vector<Frame>& inputs) {
    Outcome out;
    Frame dst;
    for (const Frame& src : inputs) {
        EXPECT_TRUE(s.stabilise(src, dst));
        out.outputs.push_back(dst);
        float x = 0, y = 0, a = 0;
        s.getOffsets(x, y, a);
        EXPECT_TRUE(std::isfinite(x) && std::isfinite(y) && std::isfinite(a));
        out.offsetsA.push_back(a);
    }
    return out;
}

double stddev(const std::vector<double>& v) {
    double mean = 0.0;
    for (double x : v) {
        mean += x;
    }
    mean /= static_cast<double>(v.size());
    double sq = 0.0;
    for (double x : v) {
        sq += (x - mean) * (x - mean);
    }
    return std::sqrt(sq / static_cast<double>(v.size()));
}

TEST(EndToEndTest, ShakySequenceComesOutSteadierForEveryTypeAndFormat) {
    for (const int type : {0, 1, 2}) {
        for (const uint32_t format : {fcc::BGR3, fcc::NV12}) {
            const bool rotating = type == 2 && format == fcc::BGR3;  // NV12 is never rotated
            const calmora_test::ShakyClip& clip = shaky(rotating);
            std::vector<Frame> inputs;
            for (const cv::Mat& bgr : clip.frames) {
                inputs.push_back(calmora_test::toFrame(bgr, format));
            }
            CalmoraOpenCv s;
            ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
            const Outcome out = stabiliseAll(s, inputs);

            const double before = meanMotion(inputs, WARM_UP);
            const double after = meanMotion(out.outputs, WARM_UP);
            const std::string name =
                "type " + std::to_string(type) + (format == fcc::NV12 ? " NV12" : " BGR3");
            EXPECT_GT(before, 8.0) << name;  // the clip really shakes
            EXPECT_LT(after * 4.0, before) << name << ": residual " << after << " of " << before;

            if (rotating) {
                // the camera angle is cancelled: offsetA follows +angle up to
                // the smoothed path (about a third of the jitter with the
                // adaptive coefficient); uncorrected the residual would equal
                // the jitter, with the wrong sign twice it
                std::vector<double> angle;
                std::vector<double> residual;
                for (size_t k = WARM_UP; k < clip.angle.size(); ++k) {
                    angle.push_back(clip.angle[k]);
                    residual.push_back(out.offsetsA[k] - clip.angle[k]);
                }
                EXPECT_LT(stddev(residual) * 2.0, stddev(angle))
                    << "rotation residual " << stddev(residual) << " of " << stddev(angle);
            }
        }
    }
}

TEST(EndToEndTest, BadPatchesNeitherCrashNorDerail) {
    // black frames, repeated frames, a fade to black and back, frames of
    // other sizes: every call succeeds, offsets stay finite and within the
    // motion limits, and the clip after the patch is steadied again.
    const calmora_test::ShakyClip& clip = shaky(false);
    for (const int type : {0, 1, 2}) {
        std::vector<Frame> inputs;
        std::vector<std::string> what;
        auto add = [&](const cv::Mat& bgr, const char* label) {
            inputs.push_back(calmora_test::toFrame(bgr, fcc::BGR3));
            what.push_back(label);
        };
        for (int k = 0; k < 12; ++k) {
            add(clip.frames[k], "shaky");
        }
        add(cv::Mat::zeros(SIZE, CV_8UC3), "black");
        add(clip.frames[12], "shaky");
        for (int k = 0; k < 6; ++k) {
            add(clip.frames[13], "repeated");
        }
        for (int k = 0; k <= 8; ++k) {
            add(clip.frames[14 + k] * (1.0 - k / 8.0), "fade");
        }
        add(cv::Mat::zeros(SIZE, CV_8UC3), "black");
        for (int k = 0; k < 4; ++k) {
            add(clip.frames[23 + k] * (k / 4.0), "fade in");
        }
        cv::Mat small;
        cv::resize(clip.frames[27], small, cv::Size(320, 240));
        add(small, "other size");
        add(clip.frames[28], "shaky");
        add(calmora_test::texturedScene(200, 160, 3), "other size");
        const size_t recovery = inputs.size();
        for (int k = 29; k < FRAMES; ++k) {
            add(clip.frames[k], "shaky");
        }

        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
        Frame dst;
        std::vector<Frame> outputs;
        float previousX = 0.0f;
        for (size_t k = 0; k < inputs.size(); ++k) {
            ASSERT_TRUE(s.stabilise(inputs[k], dst)) << what[k];
            EXPECT_EQ(dst.width, inputs[k].width);
            EXPECT_EQ(dst.height, inputs[k].height);
            float x = 0, y = 0, a = 0;
            s.getOffsets(x, y, a);
            const std::string where =
                "type " + std::to_string(type) + " frame " + std::to_string(k) + " " + what[k];
            ASSERT_TRUE(std::isfinite(x) && std::isfinite(y) && std::isfinite(a)) << where;
            // offsets: per-frame motion is limited to 150 and smoothed
            EXPECT_LT(std::fabs(x), 320.0f) << where;
            EXPECT_LT(std::fabs(y), 320.0f) << where;
            EXPECT_LT(std::fabs(a), 0.5f) << where;
            if (what[k] == "repeated" && what[k - 1] == "repeated" && type != 0) {
                // no motion between identical frames: the offset only decays
                EXPECT_LE(std::fabs(x), std::fabs(previousX) + 0.05f) << where;
            }
            previousX = x;
            if (k >= recovery) {
                outputs.push_back(dst);
            }
        }
        std::vector<Frame> recoveredInputs(inputs.begin() + static_cast<long>(recovery),
                                           inputs.end());
        const double before = meanMotion(recoveredInputs, WARM_UP);
        const double after = meanMotion(outputs, WARM_UP);
        EXPECT_LT(after * 3.0, before)
            << "type " << type << ": residual " << after << " of " << before;
    }
}

}  // namespace
}  // namespace orl::calmora
