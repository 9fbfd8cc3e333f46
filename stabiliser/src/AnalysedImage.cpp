// Analysed image: one small 8-bit grey picture per frame.
//
// - Type 0 (Fourier estimator) analyses a power-of-two square, 512 when the
//   frame height over scaleFactor reaches 512, else 256, whatever the aspect.
//   The optical-flow types analyse the frame divided by scaleFactor.
// - The frame buffer is wrapped, never copied: frames already of the analysis
//   size are converted directly, others are first down-scaled with nearest
//   neighbours (into the scratch image for multi-channel formats).
// - Grey is the luma plane for the planar formats and "GRAY", the Y byte for
//   "YUV3", and cv::cvtColor for RGB, BGR and the packed 4:2:2 formats.
// - The two images are written alternately; after a conversion the
//   write index points at the previous frame's image.
// - The residual of a measured transform samples the previous image on a
//   sparse grid (a 1080p analysed image in well under a millisecond), counts
//   the differences to the current pixels the samples map to in a histogram,
//   and takes the mean and the spread about it from the histogram.

#include "AnalysedImage.h"

#include "Stripes.h"

#include <opencv2/imgproc.hpp>

#include <array>
#include <cmath>
#include <cstring>

namespace orl::calmora {

namespace fcc = video::fourcc;

namespace {

constexpr int LARGE_FFT_SIZE = 512;
constexpr int SMALL_FFT_SIZE = 256;
constexpr uint8_t RESET_GREY = 128;

// How a format is viewed and turned into grey.
enum class GreyPath { NONE, LUMA_PLANE, CVT_COLOR, Y_OF_YUV3 };

struct FormatView {
    GreyPath path{GreyPath::NONE};
    int channels{0};
    int cvtCode{0};
};

FormatView viewOf(uint32_t code) {
    switch (code) {
        case fcc::GRAY:
        case fcc::NV12:
        case fcc::NV21:
        case fcc::YU12:
        case fcc::YV12:
            return {GreyPath::LUMA_PLANE, 1, 0};
        case fcc::RGB3:
            return {GreyPath::CVT_COLOR, 3, cv::COLOR_RGB2GRAY};
        case fcc::BGR3:
            return {GreyPath::CVT_COLOR, 3, cv::COLOR_BGR2GRAY};
        case fcc::YUYV:
            return {GreyPath::CVT_COLOR, 2, cv::COLOR_YUV2GRAY_YUY2};
        case fcc::UYVY:
            return {GreyPath::CVT_COLOR, 2, cv::COLOR_YUV2GRAY_UYVY};
        case fcc::YUV3:
            return {GreyPath::Y_OF_YUV3, 3, 0};
        default:
            return {};
    }
}

// dst byte i = src byte 3i (the Y byte of packed Y, U, V pixels).
void takeFirstOfThree(const cv::Mat& src, cv::Mat& dst) {
    const uint8_t* s = src.ptr<uint8_t>();
    uint8_t* d = dst.ptr<uint8_t>();
    const size_t count = dst.total();
    for (size_t i = 0; i < count; ++i) {
        d[i] = s[3 * i];
    }
}

// Counts of the differences current - previous, offset by 255.
using Histogram = std::array<long, 2 * 255 + 1>;

// Stripes of sample rows counted apart in residualAfter().
constexpr int RESIDUAL_STRIPES = 4;

// Adds to `counts` the differences of the samples of rows y0 .. y1 - 1 (y0 a
// multiple of RESIDUAL_STEP) that `m` maps inside the current image.
void countDifferences(const AnalysedPair& pair, const cv::Matx23d& m, int y0, int y1,
                      Histogram& counts) {
    const cv::Mat& previous = pair.previous;
    const cv::Mat& current = pair.current;
    const double lastX = current.cols - 0.5;
    const double lastY = current.rows - 0.5;
    for (int y = y0; y < y1; y += RESIDUAL_STEP) {
        const uint8_t* row = previous.ptr<uint8_t>(y);
        double cx = m(0, 1) * y + m(0, 2);
        double cy = m(1, 1) * y + m(1, 2);
        for (int x = 0; x < previous.cols; x += RESIDUAL_STEP) {
            // nearest pixel; the test in double keeps every value in range
            if (cx >= -0.5 && cy >= -0.5 && cx < lastX && cy < lastY) {
                const uint8_t now =
                    current.ptr<uint8_t>(static_cast<int>(cy + 0.5))[static_cast<int>(cx + 0.5)];
                ++counts[static_cast<size_t>(now - row[x] + 255)];
            }
            cx += m(0, 0) * RESIDUAL_STEP;
            cy += m(1, 0) * RESIDUAL_STEP;
        }
    }
}

}  // namespace

AnalysisGeometry AnalysedImage::geometryFor(uint32_t width, uint32_t height, int scaleFactor,
                                            int type) {
    AnalysisGeometry g;
    const uint32_t divisor = scaleFactor < 1 ? 1u : static_cast<uint32_t>(scaleFactor);
    if (type == 0) {
        const int n = height / divisor >= static_cast<uint32_t>(LARGE_FFT_SIZE) ? LARGE_FFT_SIZE
                                                                                : SMALL_FFT_SIZE;
        g.size = cv::Size(n, n);
        g.scaleX = static_cast<double>(width) / n;
        g.scaleY = static_cast<double>(height) / n;
    } else {
        g.size = cv::Size(static_cast<int>(width / divisor), static_cast<int>(height / divisor));
        g.scaleX = static_cast<double>(divisor);
        g.scaleY = static_cast<double>(divisor);
    }
    return g;
}

bool AnalysedImage::measurable(const AnalysisGeometry& geometry) {
    return geometry.size.width >= MIN_SIZE && geometry.size.height >= MIN_SIZE;
}

bool AnalysedImage::adopt(const AnalysisGeometry& geometry) {
    scaleX_ = geometry.scaleX;
    scaleY_ = geometry.scaleY;
    if (geometry.size == size_) {
        return false;
    }
    size_ = geometry.size;
    for (cv::Mat& image : grey_) {
        image.release();
        image = cv::Mat::zeros(size_, CV_8UC1);
    }
    scaledFrame_.release();
    scaledFrame_ = cv::Mat::zeros(size_, CV_8UC3);
    writeIndex_ = 0;
    return true;
}

bool AnalysedImage::convert(const video::Frame& frame) {
    const FormatView view = viewOf(frame.fourcc);
    uint32_t capacity = 0;
    if (view.path == GreyPath::NONE || size_.area() == 0 || frame.data == nullptr ||
        !video::frameCapacity(frame.width, frame.height, frame.fourcc, capacity) ||
        frame.size < capacity || capacity == 0) {
        return false;
    }
    const int w = static_cast<int>(frame.width);
    const int h = static_cast<int>(frame.height);
    // The first h rows: the whole packed picture, or the luma plane.
    const cv::Mat src(h, w, CV_8UC(view.channels), frame.data);
    cv::Mat& dst = grey_[writeIndex_];
    const bool direct = src.size() == size_;

    switch (view.path) {
        case GreyPath::LUMA_PLANE:
            if (direct) {
                std::memcpy(dst.data, frame.data, dst.total());
            } else {
                cv::resize(src, dst, size_, 0, 0, cv::INTER_NEAREST);
            }
            break;
        case GreyPath::CVT_COLOR:
            if (direct) {
                cv::cvtColor(src, dst, view.cvtCode);
            } else {
                cv::resize(src, scaledFrame_, size_, 0, 0, cv::INTER_NEAREST);
                cv::cvtColor(scaledFrame_, dst, view.cvtCode);
            }
            break;
        case GreyPath::Y_OF_YUV3:
            if (direct) {
                takeFirstOfThree(src, dst);
            } else {
                cv::resize(src, scaledFrame_, size_, 0, 0, cv::INTER_NEAREST);
                takeFirstOfThree(scaledFrame_, dst);
            }
            break;
        case GreyPath::NONE:
            return false;
    }
    writeIndex_ = 1 - writeIndex_;
    return true;
}

void AnalysedImage::reset() {
    if (size_.area() > 0) {
        for (cv::Mat& image : grey_) {
            image.setTo(cv::Scalar::all(RESET_GREY));
        }
    }
    writeIndex_ = 0;
}

AnalysedPair AnalysedImage::pair() const {
    return AnalysedPair{grey_[writeIndex_], grey_[1 - writeIndex_], 1 - writeIndex_, scaleX_,
                        scaleY_};
}

double residualAfter(const AnalysedPair& pair, const cv::Matx23d& m) {
    const cv::Mat& previous = pair.previous;
    const cv::Mat& current = pair.current;
    if (previous.empty() || previous.size() != current.size() || previous.type() != CV_8UC1 ||
        current.type() != CV_8UC1) {
        return 0.0;
    }
    // count the differences current - previous (offset by 255) of the samples
    // that map inside; positions advance by a fixed step along each row.
    // Stripes of sample rows count on their own, over OpenCV's threads, and
    // their counts are added: the same totals for any number of threads.
    std::array<Histogram, RESIDUAL_STRIPES> stripeCounts{};
    const int sampleRows = (previous.rows + RESIDUAL_STEP - 1) / RESIDUAL_STEP;
    forEachStripe(RESIDUAL_STRIPES, [&](int stripe) {
        countDifferences(pair, m, sampleRows * stripe / RESIDUAL_STRIPES * RESIDUAL_STEP,
                         sampleRows * (stripe + 1) / RESIDUAL_STRIPES * RESIDUAL_STEP,
                         stripeCounts[static_cast<size_t>(stripe)]);
    });
    Histogram counts{};
    for (const Histogram& part : stripeCounts) {
        for (size_t i = 0; i < counts.size(); ++i) {
            counts[i] += part[i];
        }
    }

    // mean absolute difference about the mean difference
    long count = 0;
    double sum = 0.0;
    for (size_t i = 0; i < counts.size(); ++i) {
        count += counts[i];
        sum += static_cast<double>(counts[i]) * (static_cast<double>(i) - 255.0);
    }
    if (count == 0) {
        return 0.0;
    }
    const double mean = sum / static_cast<double>(count);
    double spread = 0.0;
    for (size_t i = 0; i < counts.size(); ++i) {
        spread += static_cast<double>(counts[i]) * std::abs(static_cast<double>(i) - 255.0 - mean);
    }
    return spread / static_cast<double>(count);
}

}  // namespace orl::calmora
