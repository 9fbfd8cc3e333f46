// FFT correlation estimator: Hann window values, textured images moved by
// known whole-pixel shifts (sign, scaling, limits, the N/2 wrap), the
// threshold, and the spectrum slots across frames and resets.

#include "FftEstimator.h"

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace orl::calmora {
namespace {

constexpr int N = 256;

cv::Mat greyScene(uint64_t seed) {
    cv::Mat grey;
    cv::cvtColor(calmora_test::texturedScene(N, N, seed), grey, cv::COLOR_BGR2GRAY);
    return grey;
}

cv::Mat shifted(const cv::Mat& grey, int dx, int dy) {
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    cv::Mat out;
    cv::cvtColor(calmora_test::moved(bgr, dx, dy), out, cv::COLOR_BGR2GRAY);
    return out;
}

// Runs `previous` then `current` through a freshly reset estimator, the way
// the analysed image pair alternates its slots.
Motion measure(FftEstimator& fft, const cv::Mat& previous, const cv::Mat& current, double scaleX,
               double scaleY, const MotionLimits& limits) {
    fft.reset();
    const Motion first = fft.estimate({previous, previous, 0, scaleX, scaleY}, limits);
    EXPECT_EQ(first.x, 0.0);  // previous spectrum is zero after a reset
    EXPECT_EQ(first.y, 0.0);
    return fft.estimate({previous, current, 1, scaleX, scaleY}, limits);
}

TEST(FftEstimatorTest, HannWindowEdgesAndCentre) {
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const cv::Mat& w = fft.window();
    for (int k = 0; k < N; ++k) {
        EXPECT_EQ(w.at<float>(0, k), 0.0f);
        EXPECT_EQ(w.at<float>(k, 0), 0.0f);
    }
    // the 6.283186 constant leaves about 1.2e-13 on the last row and column
    EXPECT_NEAR(w.at<float>(N - 1, N / 2), 1.2e-13, 0.1e-13);
    EXPECT_NEAR(w.at<float>(N / 2, N - 1), 1.2e-13, 0.1e-13);
    EXPECT_GT(w.at<float>(N / 2, N / 2), 0.9999f);
    EXPECT_LE(w.at<float>(N / 2, N / 2), 1.0f);
    // separable: element = row weight * column weight
    EXPECT_FLOAT_EQ(w.at<float>(40, 90),
                    w.at<float>(40, N / 2) * w.at<float>(N / 2, 90) / w.at<float>(N / 2, N / 2));
}

TEST(FftEstimatorTest, KnownShiftsGiveSignedScaledLimitedMotion) {
    struct Case {
        int dx, dy;
        double scaleX, scaleY;
        double limitX, limitY;
        double expectedX, expectedY;
    };
    const Case cases[] = {
        {0, 0, 1.0, 1.0, 150, 150, 0.0, 0.0},
        {5, 0, 2.5, 1.875, 150, 150, 12.5, 0.0},
        {-5, 0, 2.5, 1.875, 150, 150, -12.5, 0.0},
        {0, 7, 2.5, 1.875, 150, 150, 0.0, 13.125},
        {-3, -4, 1.0, 1.0, 150, 150, -3.0, -4.0},
        {5, 0, 2.5, 1.875, 10, 150, 10.0, 0.0},
        {-5, 0, 2.5, 1.875, 10, 150, -10.0, 0.0},
        {5, -7, 2.5, 1.875, 12.5, 13.125, 12.5, -13.125},  // at the limit: kept
        {0, -7, 1.0, 1.0, 150, 2, 0.0, -2.0},
    };
    const cv::Mat previous = greyScene(11);
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    for (const Case& c : cases) {
        const Motion m = measure(fft, previous, shifted(previous, c.dx, c.dy), c.scaleX, c.scaleY,
                                 {c.limitX, c.limitY, 0.2});
        EXPECT_DOUBLE_EQ(m.x, c.expectedX) << "shift " << c.dx << "," << c.dy;
        EXPECT_DOUBLE_EQ(m.y, c.expectedY) << "shift " << c.dx << "," << c.dy;
        EXPECT_EQ(m.a, 0.0);
    }
}

TEST(FftEstimatorTest, PeakAtHalfSizeWrapsToNegative) {
    // A bright blob on mid grey moved by exactly N/2 columns: the peak lies
    // at column N/2, which is reported as -N/2.
    cv::Mat previous(N, N, CV_8UC1, cv::Scalar(128));
    cv::Mat current = previous.clone();
    previous(cv::Rect(60, 124, 9, 9)).setTo(255);
    current(cv::Rect(60 + N / 2, 124, 9, 9)).setTo(255);
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const Motion m = measure(fft, previous, current, 2.5, 1.0, {1000, 1000, 0.2});
    EXPECT_DOUBLE_EQ(m.x, -N / 2 * 2.5);
    EXPECT_DOUBLE_EQ(m.y, 0.0);
}

TEST(FftEstimatorTest, UniformImagesPeakAtOriginAboveThreshold) {
    const cv::Mat grey(N, N, CV_8UC1, cv::Scalar(128));
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const Motion m = measure(fft, grey, grey, 1.0, 1.0, {150, 150, 0.2});
    EXPECT_EQ(m.x, 0.0);
    EXPECT_EQ(m.y, 0.0);
    double maxValue = 0.0;
    cv::Point maxAt;
    cv::minMaxLoc(fft.surface(), nullptr, &maxValue, nullptr, &maxAt);
    EXPECT_EQ(maxAt, cv::Point(0, 0));
    EXPECT_NEAR(maxValue, 0.035, 0.003);
    EXPECT_GT(maxValue, FftEstimator::PEAK_THRESHOLD);
}

TEST(FftEstimatorTest, SpectraAreKeptPerSlotAndClearedByReset) {
    const cv::Mat a = greyScene(3);
    const cv::Mat b = shifted(a, 4, 0);
    const cv::Mat c = shifted(a, 9, 0);
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    fft.estimate({a, a, 0, 1.0, 1.0}, {});
    EXPECT_GT(cv::norm(fft.spectrum(0)), 0.0);
    EXPECT_EQ(cv::norm(fft.spectrum(1)), 0.0);
    // b against a (slot 0), then c against b (slot 1): each frame reuses the
    // previous frame's spectrum
    EXPECT_DOUBLE_EQ(fft.estimate({a, b, 1, 1.0, 1.0}, {}).x, 4.0);
    EXPECT_DOUBLE_EQ(fft.estimate({b, c, 0, 1.0, 1.0}, {}).x, 5.0);
    fft.reset();
    EXPECT_EQ(cv::norm(fft.spectrum(0)), 0.0);
    EXPECT_EQ(cv::norm(fft.spectrum(1)), 0.0);
    const Motion afterReset = fft.estimate({c, a, 1, 1.0, 1.0}, {});
    EXPECT_EQ(afterReset.x, 0.0);
    EXPECT_EQ(afterReset.y, 0.0);
}

TEST(FftEstimatorTest, ImageOfAnotherSizeGivesZeroMotion) {
    FftEstimator fft;
    fft.create(cv::Size(N, N));
    const cv::Mat small(128, 128, CV_8UC1, cv::Scalar(50));
    const Motion m = fft.estimate({small, small, 1, 1.0, 1.0}, {});
    EXPECT_EQ(m.x, 0.0);
    EXPECT_EQ(m.y, 0.0);
}

}  // namespace
}  // namespace orl::calmora
