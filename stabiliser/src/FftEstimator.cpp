// FFT correlation estimator (translation only).
//
// - Window: g / 255 - 0.5 times a 2-D Hann window, in single precision.
// - Forward transform of the windowed current image into its spectrum slot;
//   cross spectrum conj(previous) * current, not normalised, so the surface
//   is the plain circular cross-correlation of the windowed images.
// - Inverse transform scaled by 1 / (W * H); peak search row by row, first
//   of equal maxima wins, start at the centre with value 0.
// - Peak below 0.001: zero motion. Otherwise the peak position, wrapped to
//   -N/2 .. N/2 - 1, times the scales, limited. Rotation is always 0.
// - Confidence: how far the peak stands above the best value outside its
//   neighbourhood; the surface of two unrelated pictures has many peaks of
//   similar height.

#include "FftEstimator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace orl::calmora {

namespace {

// Slightly below 2 pi on purpose: the window's first row and column are then
// exactly 0 and its last ones about 1.2e-13, the values the tuning used.
constexpr double WINDOW_TWO_PI = 6.283186;

// Hann weights (1 - cos(i * 2pi / (n - 1))) / 2 for i = 0 .. n - 1.
void hannWeights(int n, float* out) {
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<float>((1.0 - std::cos(i * WINDOW_TWO_PI / (n - 1))) * 0.5);
    }
}

// Circular distance of a and b on a ring of n.
int ringDistance(int a, int b, int n) {
    const int d = std::abs(a - b);
    return std::min(d, n - d);
}

}  // namespace

void FftEstimator::create(cv::Size size) {
    for (cv::Mat& spectrum : spectra_) {
        spectrum.release();
        spectrum = cv::Mat::zeros(size, CV_32FC2);
    }
    windowedImage_.release();
    windowedImage_ = cv::Mat::zeros(size, CV_32FC1);
    hannWindow_.release();
    hannWindow_ = cv::Mat::zeros(size, CV_32FC1);
    crossSpectrum_.release();
    crossSpectrum_ = cv::Mat::zeros(size, CV_32FC2);
    correlationSurface_.release();
    correlationSurface_ = cv::Mat::zeros(size, CV_32FC1);

    // window: outer product of row and column weights
    cv::Mat rows(1, size.height, CV_32FC1);
    cv::Mat cols(1, size.width, CV_32FC1);
    hannWeights(size.height, rows.ptr<float>());
    hannWeights(size.width, cols.ptr<float>());
    for (int i = 0; i < size.height; ++i) {
        const float r = rows.at<float>(i);
        float* w = hannWindow_.ptr<float>(i);
        const float* c = cols.ptr<float>();
        for (int j = 0; j < size.width; ++j) {
            w[j] = r * c[j];
        }
    }
}

void FftEstimator::reset() {
    for (cv::Mat& spectrum : spectra_) {
        if (!spectrum.empty()) {
            spectrum.setTo(cv::Scalar::all(0));
        }
    }
    if (!windowedImage_.empty()) {
        windowedImage_.setTo(cv::Scalar::all(0));
    }
}

Motion FftEstimator::estimate(const AnalysedPair& pair, const MotionLimits& limits) {
    const cv::Mat& current = pair.current;
    if (current.empty() || current.size() != hannWindow_.size() || current.type() != CV_8UC1 ||
        !current.isContinuous()) {
        return {};
    }
    const int width = current.cols;
    const int height = current.rows;
    const int slot = pair.currentSlot & 1;
    confidence_ = 0.0;
    shift_ = cv::Point();

    // normalise and window
    const size_t count = current.total();
    const uint8_t* g = current.ptr<uint8_t>();
    const float* w = hannWindow_.ptr<float>();
    float* windowed = windowedImage_.ptr<float>();
    for (size_t k = 0; k < count; ++k) {
        windowed[k] = (static_cast<float>(g[k]) / 255.0f - 0.5f) * w[k];
    }

    // spectrum of the current image into its slot
    cv::dft(windowedImage_, spectra_[slot], cv::DFT_COMPLEX_OUTPUT);

    // cross spectrum conj(previous) * current
    const float* p = spectra_[1 - slot].ptr<float>();
    const float* c = spectra_[slot].ptr<float>();
    float* x = crossSpectrum_.ptr<float>();
    for (size_t k = 0; k < count; ++k) {
        const float pr = p[2 * k];
        const float pi = p[2 * k + 1];
        const float cr = c[2 * k];
        const float ci = c[2 * k + 1];
        x[2 * k] = pr * cr + pi * ci;
        x[2 * k + 1] = pr * ci - pi * cr;
    }

    // correlation surface
    cv::idft(crossSpectrum_, correlationSurface_, cv::DFT_SCALE | cv::DFT_REAL_OUTPUT);

    // peak search
    float best = 0.0f;
    int bestCol = width / 2;
    int bestRow = height / 2;
    for (int r = 0; r < height; ++r) {
        const float* s = correlationSurface_.ptr<float>(r);
        for (int col = 0; col < width; ++col) {
            if (s[col] > best) {
                best = s[col];
                bestCol = col;
                bestRow = r;
            }
        }
    }
    if (best < PEAK_THRESHOLD) {
        return {};
    }

    // next best peak (a local maximum) outside the neighbourhood
    float second = 0.0f;
    for (int r = 0; r < height; ++r) {
        const float* above = correlationSurface_.ptr<float>((r + height - 1) % height);
        const float* s = correlationSurface_.ptr<float>(r);
        const float* below = correlationSurface_.ptr<float>((r + 1) % height);
        const bool nearRow = ringDistance(r, bestRow, height) <= PEAK_NEIGHBOURHOOD;
        for (int col = 0; col < width; ++col) {
            const float v = s[col];
            if (v <= second ||
                (nearRow && ringDistance(col, bestCol, width) <= PEAK_NEIGHBOURHOOD)) {
                continue;
            }
            const int left = (col + width - 1) % width;
            const int right = (col + 1) % width;
            if (v >= s[left] && v >= s[right] && v >= above[col] && v >= below[col] &&
                v >= above[left] && v >= above[right] && v >= below[left] && v >= below[right]) {
                second = v;
            }
        }
    }
    confidence_ = 1.0 - static_cast<double>(second) / best;

    // signed shift, scaled to frame pixels, limited
    const int sx = bestCol < width / 2 ? bestCol : bestCol - width;
    const int sy = bestRow < height / 2 ? bestRow : bestRow - height;
    shift_ = cv::Point(sx, sy);
    Motion motion;
    motion.x = limited(sx * pair.scaleX, limits.x);
    motion.y = limited(sy * pair.scaleY, limits.y);
    motion.a = 0.0;
    return motion;
}

}  // namespace orl::calmora
