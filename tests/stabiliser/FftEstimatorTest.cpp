// FFT correlation estimator: pictures moved by known whole-pixel shifts
// (sign, scales, limits, the wrap at N/2, a texture one grey level deep),
// spectra carried from frame to frame, and the Hann window.

#include "FftEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <tuple>

namespace orl::calmora {
namespace {

constexpr int N = 256;
enum Kind { MOVED, ROLLED, FAINT };

// A grey picture moved by (dx, dy): the textured scene (MOVED), white noise
// rolled round as the correlation surface is (ROLLED), or the scene's
// one-bit shadow in grey 127 and 128 (FAINT).
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

TEST(FftEstimatorTest, KnownShiftsGiveSignedScaledLimitedMotion) {
    // picture, shift (analysed pixels), scales, limits, motion (frame pixels)
    using Case = std::tuple<Kind, int, int, double, double, double, double, double, double>;
    const Case cases[] = {
        {MOVED, 5, -7, 2.5, 1.875, 150, 150, 12.5, -13.125},
        {MOVED, 5, -7, 2.5, 1.875, 10, 150, 10.0, -13.125},
        {MOVED, -5, 7, 2.5, 1.875, 150, 10, -12.5, 10.0},
        {ROLLED, 127, -127, 1.0, 1.0, 1000, 1000, 127.0, -127.0},
        {ROLLED, 128, 0, 2.5, 1.0, 1000, 1000, -320.0, 0.0},  // N/2 wraps to -N/2
        {ROLLED, -20, 128, 1.0, 1.0, 1000, 1000, -20.0, -128.0},
        {FAINT, 3, -2, 1.0, 1.0, 150, 150, 3.0, -2.0},
        {MOVED, -3, 4, 1.0, 1.0, 150, 150, -3.0, 4.0},
    };
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    for (const auto& [kind, dx, dy, scaleX, scaleY, limitX, limitY, x, y] : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << dx << "," << dy);
        const MotionLimits limits{limitX, limitY, 0.2};
        const cv::Mat previous = picture(kind, 0, 0);
        // right after a reset the first picture has no spectrum to match
        fft.reset();
        const Motion first = fft.estimate({previous, previous, 0, scaleX, scaleY}, limits);
        EXPECT_TRUE(first.x == 0.0 && first.y == 0.0);
        const Motion m = fft.estimate({previous, picture(kind, dx, dy), 1, scaleX, scaleY}, limits);
        EXPECT_DOUBLE_EQ(m.x, x);
        EXPECT_DOUBLE_EQ(m.y, y);
    }
    // the last current spectrum is the previous one of the next frame
    const Motion next = fft.estimate({picture(MOVED, -3, 4), picture(MOVED, 2, 2), 0, 1, 1}, {});
    EXPECT_DOUBLE_EQ(next.x, 5.0);
    EXPECT_DOUBLE_EQ(next.y, -2.0);
}

TEST(FftEstimatorTest, HannWindowFromZeroToOne) {
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const cv::Mat& w = fft.window();
    EXPECT_EQ(cv::countNonZero(w.row(0)) + cv::countNonZero(w.col(0)), 0);
    // 6.283186 stops short of 2 pi: about 1.2e-13 on the last row and column
    EXPECT_NEAR(w.at<float>(N - 1, N / 2) + w.at<float>(N / 2, N - 1), 2.4e-13, 0.2e-13);
    EXPECT_NEAR(w.at<float>(N / 2, N / 2), 1.0, 1e-4);
    EXPECT_NEAR(w.at<float>(N / 4, N / 4), 0.253, 1e-3);  // row weight times column weight
}

}  // namespace
}  // namespace orl::calmora
