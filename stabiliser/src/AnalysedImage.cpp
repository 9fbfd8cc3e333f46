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

#include "AnalysedImage.h"

#include <opencv2/imgproc.hpp>

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

}  // namespace orl::calmora
