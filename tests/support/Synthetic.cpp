// Synthetic pictures and the pixel model of shifts for the tests.

#include "Synthetic.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace calmora_test {

namespace fcc = orl::video::fourcc;

cv::Mat texturedScene(int width, int height, uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat img(height, width, CV_8UC3);
    rng.fill(img, cv::RNG::UNIFORM, 60, 190);
    cv::GaussianBlur(img, img, cv::Size(0, 0), 6.0);
    const int shapes = std::max(40, width * height / 1500);
    for (int i = 0; i < shapes; ++i) {
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        const cv::Point p(rng.uniform(0, width), rng.uniform(0, height));
        const int r = rng.uniform(3, std::max(4, std::min(width, height) / 12));
        if (i % 2 == 0) {
            cv::rectangle(img, p, p + cv::Point(r, r * 2 / 3 + 1), colour, cv::FILLED);
        } else {
            cv::circle(img, p, r / 2 + 1, colour, cv::FILLED);
        }
    }
    cv::Mat noise(height, width, CV_8UC3);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 24);
    img += noise;
    cv::GaussianBlur(img, img, cv::Size(3, 3), 0.7);
    return img;
}

cv::Mat moved(const cv::Mat& image, double dx, double dy, double angleRad, double scale,
              cv::Point2d centre) {
    if (centre.x < 0) {
        centre = {image.cols / 2.0, image.rows / 2.0};
    }
    const double c = std::cos(angleRad) * scale;
    const double s = std::sin(angleRad) * scale;
    // Maps source to destination: rotate/scale about the centre, then shift.
    cv::Mat m = (cv::Mat_<double>(2, 3) << c, -s, centre.x - c * centre.x + s * centre.y + dx, s, c,
                 centre.y - s * centre.x - c * centre.y + dy);
    cv::Mat out;
    cv::warpAffine(image, out, m, image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    return out;
}

cv::Mat view(const cv::Mat& scene, cv::Size size, cv::Point2d topLeft, double angleRad) {
    const cv::Point2d centre(size.width / 2.0, size.height / 2.0);
    const double c = std::cos(angleRad);
    const double s = std::sin(angleRad);
    // Inverse map: output pixel -> scene position.
    cv::Mat m =
        (cv::Mat_<double>(2, 3) << c, -s, topLeft.x + centre.x - c * centre.x + s * centre.y, s, c,
         topLeft.y + centre.y - s * centre.x - c * centre.y);
    cv::Mat out;
    cv::warpAffine(scene, out, m, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REFLECT);
    return out;
}

orl::video::Frame toFrame(const cv::Mat& bgr, uint32_t code) {
    CV_Assert(bgr.type() == CV_8UC3);
    const int w = bgr.cols;
    const int h = bgr.rows;
    orl::video::Frame frame(w, h, code);
    cv::Mat packed, yuv;
    cv::cvtColor(bgr, yuv,
                 code == fcc::YU12 || code == fcc::NV12 || code == fcc::NV21
                     ? cv::COLOR_BGR2YUV_I420
                     : cv::COLOR_BGR2YUV);
    if (code == fcc::GRAY) {
        cv::cvtColor(bgr, packed, cv::COLOR_BGR2GRAY);
    } else if (code == fcc::BGR3) {
        packed = bgr.clone();
    } else if (code == fcc::RGB3) {
        cv::cvtColor(bgr, packed, cv::COLOR_BGR2RGB);
    } else if (code == fcc::YUV3) {
        packed = yuv;
    } else if (code == fcc::YV12) {
        cv::cvtColor(bgr, packed, cv::COLOR_BGR2YUV_YV12);
    } else if (code == fcc::YU12) {
        packed = yuv;
    } else if (code == fcc::YUYV || code == fcc::UYVY) {
        // each pair of pixels shares the mean of its two chroma values
        packed.create(h, w, CV_8UC2);
        const int yAt = code == fcc::YUYV ? 0 : 1;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x + 1 < w; x += 2) {
                const uint8_t* s = yuv.ptr<uint8_t>(y) + 3 * x;
                uint8_t* q = packed.ptr<uint8_t>(y) + 2 * x;
                q[yAt] = s[0], q[yAt + 2] = s[3];
                q[1 - yAt] = static_cast<uint8_t>((s[1] + s[4]) / 2);
                q[3 - yAt] = static_cast<uint8_t>((s[2] + s[5]) / 2);
            }
    } else if (code == fcc::NV12 || code == fcc::NV21) {
        // the I420 planes with U and V interleaved
        packed = yuv.clone();
        const size_t luma = static_cast<size_t>(w) * h, quarter = luma / 4;
        const bool uFirst = code == fcc::NV12;
        for (size_t i = 0; i < quarter; ++i) {
            packed.data[luma + 2 * i + (uFirst ? 0 : 1)] = yuv.data[luma + i];
            packed.data[luma + 2 * i + (uFirst ? 1 : 0)] = yuv.data[luma + quarter + i];
        }
    } else {
        throw std::invalid_argument("toFrame: not a raw pixel format");
    }
    CV_Assert(packed.isContinuous() && packed.total() * packed.elemSize() == frame.size);
    std::memcpy(frame.data, packed.data, frame.size);
    return frame;
}

cv::Mat lumaOf(const orl::video::Frame& frame) {
    const int w = static_cast<int>(frame.width);
    const int h = static_cast<int>(frame.height);
    const uint32_t code = frame.fourcc;
    cv::Mat out;
    if (code == fcc::BGR3 || code == fcc::RGB3)
        cv::cvtColor(cv::Mat(h, w, CV_8UC3, frame.data), out,
                     code == fcc::BGR3 ? cv::COLOR_BGR2GRAY : cv::COLOR_RGB2GRAY);
    else if (code == fcc::YUV3)
        cv::extractChannel(cv::Mat(h, w, CV_8UC3, frame.data), out, 0);
    else if (code == fcc::YUYV || code == fcc::UYVY)
        cv::extractChannel(cv::Mat(h, w, CV_8UC2, frame.data), out, code == fcc::YUYV ? 0 : 1);
    else
        out = cv::Mat(h, w, CV_8UC1, frame.data).clone();
    return out;
}

cv::Mat bgrOf(const orl::video::Frame& frame) {
    CV_Assert(frame.fourcc == fcc::BGR3);
    return cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                   frame.data)
        .clone();
}

namespace {

// Destination byte (x, y) of one plane takes source byte (x - mx, y - my)
// where that exists; with `span` >= 0 only the columns from max(0, mx) on,
// `span` of them, are written.
void movePlane(const uint8_t* src, std::vector<uint8_t>& out, long long offset, long long rowBytes,
               long long rows, long long mx, long long my, long long span = -1) {
    const long long first = std::max(0LL, mx);
    for (long long y = std::max(0LL, my); y < std::min(rows, rows + my); ++y)
        for (long long x = std::max(0LL, mx); x < std::min(rowBytes, rowBytes + mx); ++x)
            if (span < 0 || x < first + span)
                out[static_cast<size_t>(offset + y * rowBytes + x)] =
                    src[static_cast<size_t>(offset + (y - my) * rowBytes + x - mx)];
}

long long awayFromZeroEven(long long v) {
    return v % 2 == 0 ? v : v + (v > 0 ? 1 : -1);
}

}  // namespace

std::vector<uint8_t> shiftModel(const orl::video::Frame& src, const std::vector<uint8_t>& dstBefore,
                                int dx, int dy) {
    const long long w = src.width, h = src.height;
    const uint32_t code = src.fourcc;
    const bool semiPlanar = code == fcc::NV12 || code == fcc::NV21;
    const bool packed422 = code == fcc::YUYV || code == fcc::UYVY;
    const long long ex = semiPlanar || packed422 ? awayFromZeroEven(dx) : dx;
    const long long ey = semiPlanar ? awayFromZeroEven(dy) : dy;
    if (std::llabs(ex) >= w / 2 || std::llabs(ey) >= h / 2)
        return std::vector<uint8_t>(src.data, src.data + src.size);
    std::vector<uint8_t> out = dstBefore;
    const long long bytesPerPixel = code == fcc::RGB3 || code == fcc::BGR3 || code == fcc::YUV3 ? 3
                                    : packed422                                                 ? 2
                                                                                                : 1;
    movePlane(src.data, out, 0, bytesPerPixel * w, h, bytesPerPixel * ex, ey);
    if (semiPlanar) {
        movePlane(src.data, out, w * h, w, h / 2, ex, ey / 2);
    } else if (code == fcc::YU12 || code == fcc::YV12) {
        // chroma planes of (w / 2) x (h / 2) after a luma plane of 2 (w / 2) h
        // bytes; the half shift truncates toward zero
        const long long span = (w - std::llabs(ex)) / 2;
        for (long long plane : {2 * h, 2 * h + h / 2})
            movePlane(src.data, out, plane * (w / 2), w / 2, h / 2, ex / 2, ey / 2, span);
    }
    return out;
}

ShakyClip shakyClip(cv::Size size, int count, double amplitude, double angleAmplitude,
                    uint64_t seed) {
    const int margin = static_cast<int>(std::ceil(amplitude)) + 40;
    const cv::Mat scene = texturedScene(size.width + 2 * margin, size.height + 2 * margin, seed);
    cv::RNG rng(seed * 7919 + 1);
    ShakyClip clip;
    for (int k = 0; k < count; ++k) {
        const cv::Point2d topLeft(margin + rng.uniform(-amplitude, amplitude),
                                  margin + rng.uniform(-amplitude, amplitude));
        const double angle =
            angleAmplitude > 0.0 ? rng.uniform(-angleAmplitude, angleAmplitude) : 0.0;
        clip.frames.push_back(view(scene, size, topLeft, angle));
        clip.topLeft.push_back(topLeft);
        clip.angle.push_back(angle);
    }
    return clip;
}

}  // namespace calmora_test
