// FFT correlation estimator (translation only).
//
// - Window: g / 255 - 0.5 times a 2-D Hann window, in single precision.
// - Forward transform of the windowed current image into its spectrum slot;
//   cross spectrum conj(previous) * current, not normalised, so the surface
//   is the plain circular cross-correlation of the windowed images.
// - Inverse transform scaled by 1 / (W * H); peak search row by row, first
//   of equal maxima wins, start at the centre with value 0.
// - The 2-D transforms are done as cv::dft does them, rows then columns
//   forward (real rows packed, columns complex), columns then rows inverse,
//   but only on the columns 0 .. W/2 that a real picture's spectrum needs,
//   and in stripes over OpenCV's threads. For the power-of-two sizes
//   analysed, the scale 1 / H after the columns and 1 / W after the rows is
//   exact, so the surface is bit for bit the one of a whole 2-D transform.
// - Peak below 0.001: zero motion. Otherwise the peak position, wrapped to
//   -N/2 .. N/2 - 1, times the scales, limited. Rotation is always 0.
// - Confidence: how far the peak stands above the best value outside its
//   neighbourhood; the surface of two unrelated pictures has many peaks of
//   similar height.

#include "FftEstimator.h"

#include "Stripes.h"

#include <algorithm>
#include <array>
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

// Work is split into this many stripes of rows over OpenCV's threads; each
// stripe writes only its own rows and results, so any number of threads
// gives the same result.
constexpr int STRIPES = 8;

// First row of `stripe` when `rows` rows are cut into STRIPES stripes.
int stripeStart(int rows, int stripe) {
    return rows * stripe / STRIPES;
}

// Columns 0 .. width / 2 of a real picture's spectrum: the others are
// their complex conjugates.
int halfWidth(int width) {
    return width / 2 + 1;
}

// Element j (j < halfWidth(width)) of a row transformed with real output,
// whose packed layout is re 0, then re j, im j for j = 1, 2, ..., and for
// an even width the real element width / 2 last.
void unpack(const float* packed, int width, int j, float* out) {
    if (j == 0) {
        out[0] = packed[0];
        out[1] = 0.0f;
    } else if (2 * j == width) {
        out[0] = packed[width - 1];
        out[1] = 0.0f;
    } else {
        out[0] = packed[2 * j - 1];
        out[1] = packed[2 * j];
    }
}

// Row r of the spectrum whose columns 0 .. width / 2 are the rows of
// `columns`, in the packed layout of unpack(), into `packed`.
void pack(const cv::Mat& columns, int r, int width, float* packed) {
    packed[0] = columns.ptr<float>(0)[2 * r];
    for (int j = 1; 2 * j < width; ++j) {
        const float* element = columns.ptr<float>(j) + 2 * r;
        packed[2 * j - 1] = element[0];
        packed[2 * j] = element[1];
    }
    if (width % 2 == 0) {
        packed[width - 1] = columns.ptr<float>(width / 2)[2 * r];
    }
}

// Circular distance of a and b on a ring of n.
int ringDistance(int a, int b, int n) {
    const int d = std::abs(a - b);
    return std::min(d, n - d);
}

}  // namespace

void FftEstimator::create(cv::Size size) {
    // spectra and the column transforms in between: one row per column
    // 0 .. width / 2 of the picture
    const cv::Size halfSize(size.height, halfWidth(size.width));
    for (cv::Mat& spectrum : spectra_) {
        spectrum.release();
        spectrum = cv::Mat::zeros(halfSize, CV_32FC2);
    }
    columns_.release();
    columns_ = cv::Mat::zeros(halfSize, CV_32FC2);
    crossSpectrum_.release();
    crossSpectrum_ = cv::Mat::zeros(halfSize, CV_32FC2);
    windowedImage_.release();
    windowedImage_ = cv::Mat::zeros(size, CV_32FC1);
    rowSpectra_.release();
    rowSpectra_ = cv::Mat::zeros(size, CV_32FC1);
    hannWindow_.release();
    hannWindow_ = cv::Mat::zeros(size, CV_32FC1);
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

float FftEstimator::secondPeak(int r0, int r1, int bestRow, int bestCol) const {
    const int width = correlationSurface_.cols;
    const int height = correlationSurface_.rows;
    float second = 0.0f;
    for (int r = r0; r < r1; ++r) {
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
    return second;
}

void FftEstimator::transformRows(const cv::Mat& current, int r0, int r1) {
    if (r0 == r1) {
        return;
    }
    const int width = current.cols;
    for (int r = r0; r < r1; ++r) {
        const uint8_t* g = current.ptr<uint8_t>(r);
        const float* w = hannWindow_.ptr<float>(r);
        float* windowed = windowedImage_.ptr<float>(r);
        for (int col = 0; col < width; ++col) {
            windowed[col] = (static_cast<float>(g[col]) / 255.0f - 0.5f) * w[col];
        }
    }
    cv::Mat out = rowSpectra_.rowRange(r0, r1);
    cv::dft(windowedImage_.rowRange(r0, r1), out, cv::DFT_ROWS);
}

void FftEstimator::correlateColumns(int slot, int j0, int j1) {
    if (j0 == j1) {
        return;
    }
    const int width = rowSpectra_.cols;
    const int height = rowSpectra_.rows;
    for (int r = 0; r < height; ++r) {
        const float* packed = rowSpectra_.ptr<float>(r);
        for (int j = j0; j < j1; ++j) {
            float* column = columns_.ptr<float>(j) + 2 * r;
            unpack(packed, width, j, column);
        }
    }
    cv::Mat spectrum = spectra_[slot].rowRange(j0, j1);
    cv::dft(columns_.rowRange(j0, j1), spectrum, cv::DFT_ROWS);

    // conj(previous) * current
    const float* p = spectra_[1 - slot].ptr<float>(j0);
    const float* c = spectrum.ptr<float>();
    float* x = crossSpectrum_.ptr<float>(j0);
    const size_t count = static_cast<size_t>(j1 - j0) * static_cast<size_t>(height);
    for (size_t k = 0; k < count; ++k) {
        const float pr = p[2 * k];
        const float pi = p[2 * k + 1];
        const float cr = c[2 * k];
        const float ci = c[2 * k + 1];
        x[2 * k] = pr * cr + pi * ci;
        x[2 * k + 1] = pr * ci - pi * cr;
    }
    cv::Mat inverse = columns_.rowRange(j0, j1);
    cv::dft(crossSpectrum_.rowRange(j0, j1), inverse,
            cv::DFT_ROWS | cv::DFT_INVERSE | cv::DFT_SCALE);
}

void FftEstimator::invertRows(int r0, int r1, float& stripeBest, int& stripeAt) {
    if (r0 == r1) {
        return;  // stripeBest is left as it was: no peak here
    }
    const int width = correlationSurface_.cols;
    for (int r = r0; r < r1; ++r) {
        pack(columns_, r, width, rowSpectra_.ptr<float>(r));
    }
    cv::Mat out = correlationSurface_.rowRange(r0, r1);
    cv::dft(rowSpectra_.rowRange(r0, r1), out,
            cv::DFT_ROWS | cv::DFT_INVERSE | cv::DFT_SCALE | cv::DFT_REAL_OUTPUT);
    float best = 0.0f;
    int at = -1;
    for (int r = r0; r < r1; ++r) {
        const float* s = correlationSurface_.ptr<float>(r);
        for (int col = 0; col < width; ++col) {
            if (s[col] > best) {
                best = s[col];
                at = r * width + col;
            }
        }
    }
    stripeBest = best;
    stripeAt = at;
}

float FftEstimator::surfacePeak(cv::Point& peak) {
    const int width = correlationSurface_.cols;
    const int height = correlationSurface_.rows;

    // the first highest value of each stripe, starting at 0
    std::array<float, STRIPES> stripeBest{};
    std::array<int, STRIPES> stripeAt{};
    forEachStripe(STRIPES, [&](int stripe) {
        const auto i = static_cast<size_t>(stripe);
        invertRows(stripeStart(height, stripe), stripeStart(height, stripe + 1), stripeBest[i],
                   stripeAt[i]);
    });

    // the first of equal maxima in row order, starting at the centre
    float best = 0.0f;
    peak = cv::Point(width / 2, height / 2);
    for (size_t stripe = 0; stripe < STRIPES; ++stripe) {
        if (stripeBest[stripe] > best) {
            best = stripeBest[stripe];
            peak = cv::Point(stripeAt[stripe] % width, stripeAt[stripe] / width);
        }
    }
    return best;
}

float FftEstimator::nextPeak(cv::Point peak) const {
    const int height = correlationSurface_.rows;
    std::array<float, STRIPES> stripeSecond{};
    forEachStripe(STRIPES, [&](int stripe) {
        stripeSecond[static_cast<size_t>(stripe)] = secondPeak(
            stripeStart(height, stripe), stripeStart(height, stripe + 1), peak.y, peak.x);
    });
    return *std::max_element(stripeSecond.begin(), stripeSecond.end());
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

    // rows: normalise, window and transform
    forEachStripe(STRIPES, [&](int stripe) {
        transformRows(current, stripeStart(height, stripe), stripeStart(height, stripe + 1));
    });

    // columns 0 .. width/2 (the rest mirrors them): transform into the
    // current slot, cross spectrum, inverse transform
    const int half = halfWidth(width);
    forEachStripe(STRIPES, [&](int stripe) {
        correlateColumns(slot, stripeStart(half, stripe), stripeStart(half, stripe + 1));
    });

    // rows back to real values: the correlation surface and its peak
    cv::Point peak;
    const float best = surfacePeak(peak);
    if (best < PEAK_THRESHOLD) {
        return {};
    }
    confidence_ = 1.0 - static_cast<double>(nextPeak(peak)) / best;

    // signed shift, scaled to frame pixels, limited
    const int sx = peak.x < width / 2 ? peak.x : peak.x - width;
    const int sy = peak.y < height / 2 ? peak.y : peak.y - height;
    shift_ = cv::Point(sx, sy);
    Motion motion;
    motion.x = limited(sx * pair.scaleX, limits.x);
    motion.y = limited(sy * pair.scaleY, limits.y);
    motion.a = 0.0;
    return motion;
}

}  // namespace orl::calmora
