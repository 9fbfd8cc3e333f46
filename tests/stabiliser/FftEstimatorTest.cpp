// FFT estimator: known whole-pixel shifts, spectra carried over, the Hann window.
#include "FftEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <tuple>

namespace orl::calmora {
namespace {

constexpr int N = 256;
enum Kind { MOVED, ROLLED, FAINT };

// Grey, moved by (dx, dy): the textured scene, white noise rolled round as the
// correlation surface is, or the scene's one-bit shadow in grey 127 and 128.
cv::Mat picture(Kind kind, int dx, int dy) {
    cv::Mat grey(N, N, CV_8UC1);
    if (kind == ROLLED) {
        cv::RNG(7).fill(grey, cv::RNG::UNIFORM, 0, 256);
        return cv::repeat(grey, 2, 2)(cv::Rect((N - dx) % N, (N - dy) % N, N, N)).clone();
    }
    cv::cvtColor(calmora_test::moved(calmora_test::texturedScene(N, N, 11), dx, dy), grey,
                 cv::COLOR_BGR2GRAY);
    return kind == FAINT ? cv::Mat((grey > 127) / 255 + 127) : grey;
}

const auto xy = [](const Motion& m) { return std::pair(m.x, m.y); };

TEST(FftEstimatorTest, KnownShiftsAndTheHannWindow) {
    // picture, shift (analysed pixels), scales, limits, motion (frame pixels)
    const std::tuple<Kind, int, int, double, double, MotionLimits, double, double> cases[] = {
        {MOVED, 5, -7, 2.5, 1.875, {10, 150}, 10.0, -13.125},
        {ROLLED, 127, -127, 1.0, 1.0, {1000, 1000}, 127.0, -127.0},
        {ROLLED, 128, 128, 2.5, 1.0, {1000, 1000}, -320.0, -128.0},  // N/2 wraps to -N/2
        {FAINT, 3, -2, 1.0, 1.0, {}, 3.0, -2.0},
        {MOVED, -5, 7, 2.5, 1.875, {150, 10}, -12.5, 10.0},
    };
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const cv::Mat& w = fft.window();
    // 6.283186 stops short of 2 pi: about 1.2e-13 on the last row and column
    EXPECT_NEAR(w.at<float>(N - 1, N / 2) + w.at<float>(N / 2, N - 1), 2.4e-13, 0.2e-13);
    EXPECT_NEAR(w.at<float>(N / 4, N / 4), 0.253, 1e-3);  // row weight times column weight
    for (const auto& [kind, dx, dy, scaleX, scaleY, limits, x, y] : cases) {
        const cv::Mat previous = picture(kind, 0, 0);
        fft.reset();  // the first picture after a reset has no spectrum to match
        EXPECT_EQ(xy(fft.estimate({previous, previous, 0, scaleX, scaleY}, limits)),
                  std::pair(0.0, 0.0));
        EXPECT_EQ(xy(fft.estimate({previous, picture(kind, dx, dy), 1, scaleX, scaleY}, limits)),
                  std::pair(x, y));
    }
    // the last current spectrum is the previous one of the next frame
    EXPECT_EQ(xy(fft.estimate({picture(MOVED, -5, 7), picture(MOVED, 2, 2), 0, 1, 1}, {})),
              std::pair(7.0, -5.0));
}

}  // namespace
}  // namespace orl::calmora
