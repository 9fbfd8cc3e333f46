// Whole sequences through stabilise(): a camera shaking over a textured
// scene must come out steadier, measured independently of the stabiliser by
// phase correlation on the central part of consecutive output frames, also
// after a patch of black, repeated, faded and resized frames.

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
constexpr int FRAMES = 72;
constexpr size_t WARM_UP = 8;  // frames before the smoothing has a history

// Mean length of the frame-to-frame translation of the central region.
double meanMotion(const std::vector<Frame>& frames) {
    double sum = 0.0;
    cv::Mat previous;
    for (size_t k = WARM_UP; k < frames.size(); ++k) {
        cv::Mat current;
        calmora_test::lumaOf(frames[k])(cv::Rect(160, 90, 320, 180)).convertTo(current, CV_64F);
        if (!previous.empty()) {
            const cv::Point2d shift = cv::phaseCorrelate(previous, current);
            sum += std::hypot(shift.x, shift.y);
        }
        previous = current;
    }
    return sum / static_cast<double>(frames.size() - WARM_UP - 1);
}

TEST(EndToEndTest, ShakySequenceComesOutSteadierForEveryTypeAndFormat) {
    for (const int type : {0, 1, 2}) {
        for (const uint32_t format : {fcc::BGR3, fcc::NV12}) {
            const bool rotating = type == 2 && format == fcc::BGR3;  // NV12 is never rotated
            const calmora_test::ShakyClip clip =
                calmora_test::shakyClip(SIZE, FRAMES, 10.0, rotating ? 0.015 : 0.0, 31);
            CalmoraOpenCv s;
            ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
            std::vector<Frame> inputs, outputs;
            double residual = 0.0, jitter = 0.0;  // of the camera angle, squared
            Frame dst;
            for (size_t k = 0; k < clip.frames.size(); ++k) {
                inputs.push_back(calmora_test::toFrame(clip.frames[k], format));
                ASSERT_TRUE(s.stabilise(inputs.back(), dst));
                outputs.push_back(dst);
                float x = 0, y = 0, a = 0;
                s.getOffsets(x, y, a);
                if (k >= WARM_UP) {  // the angle's mean is 0 by construction
                    residual += (a - clip.angle[k]) * (a - clip.angle[k]);
                    jitter += clip.angle[k] * clip.angle[k];
                }
            }
            const std::string name = "type " + std::to_string(type) + " " + std::to_string(format);
            const double before = meanMotion(inputs), after = meanMotion(outputs);
            EXPECT_GT(before, 8.0) << name;  // the clip really shakes
            EXPECT_LT(after * 4.0, before) << name << ": residual " << after << " of " << before;
            if (rotating) {
                // offsetA follows the camera angle up to the smoothed path;
                // uncorrected the residual would equal the jitter
                EXPECT_LT(residual * 4.0, jitter) << residual << " of " << jitter;
            }
        }
    }
}

TEST(EndToEndTest, BadPatchesNeitherCrashNorDerail) {
    const calmora_test::ShakyClip clip = calmora_test::shakyClip(SIZE, FRAMES, 10.0, 0.0, 31);
    const cv::Mat black = cv::Mat::zeros(SIZE, CV_8UC3);
    std::vector<cv::Mat> patch(clip.frames.begin(), clip.frames.begin() + 12);
    patch.push_back(black);
    patch.insert(patch.end(), 6, clip.frames[13]);  // no motion: the offset only decays
    for (int k = 0; k <= 8; ++k) {
        patch.push_back(clip.frames[14 + k] * (1.0 - k / 8.0));  // fade out and in
    }
    for (int k = 0; k < 4; ++k) {
        patch.push_back(clip.frames[23 + k] * (k / 4.0));
    }
    cv::Mat small;
    cv::resize(clip.frames[27], small, cv::Size(320, 240));
    patch.insert(patch.end(), {small, clip.frames[28], calmora_test::texturedScene(200, 160, 3)});
    for (const int type : {0, 1, 2}) {
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
        Frame dst;
        std::vector<Frame> inputs, outputs;
        float previousX = 0.0f;
        for (size_t k = 0; k < patch.size() + FRAMES - 29; ++k) {
            const cv::Mat& bgr = k < patch.size() ? patch[k] : clip.frames[29 + k - patch.size()];
            const Frame src = calmora_test::toFrame(bgr, fcc::BGR3);
            ASSERT_TRUE(s.stabilise(src, dst));
            ASSERT_EQ(dst.width, src.width);
            float x = 0, y = 0, a = 0;
            s.getOffsets(x, y, a);
            const std::string where =
                "type " + std::to_string(type) + " frame " + std::to_string(k);
            // per-frame motion is limited to 150 and smoothed
            ASSERT_TRUE(std::fabs(x) < 320 && std::fabs(y) < 320 && std::fabs(a) < 0.5f) << where;
            if (k >= 14 && k < 19 && type != 0) {  // the repeated frames
                EXPECT_LE(std::fabs(x), std::fabs(previousX) + 0.05f) << where;
            }
            previousX = x;
            if (k >= patch.size()) {
                inputs.push_back(src);
                outputs.push_back(dst);
            }
        }
        const double before = meanMotion(inputs), after = meanMotion(outputs);
        EXPECT_LT(after * 3.0, before)
            << "type " << type << ": residual " << after << " of " << before;
    }
}

}  // namespace
}  // namespace orl::calmora
