#include "Synthetic.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
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
    cv::Mat packed;
    switch (code) {
        case fcc::GRAY:
            cv::cvtColor(bgr, packed, cv::COLOR_BGR2GRAY);
            break;
        case fcc::BGR3:
            packed = bgr.clone();
            break;
        case fcc::RGB3:
            cv::cvtColor(bgr, packed, cv::COLOR_BGR2RGB);
            break;
        case fcc::YUV3:
            cv::cvtColor(bgr, packed, cv::COLOR_BGR2YUV);
            break;
        case fcc::YUYV:
        case fcc::UYVY: {
            cv::Mat yuv;
            cv::cvtColor(bgr, yuv, cv::COLOR_BGR2YUV);
            packed.create(h, w, CV_8UC2);
            const bool yFirst = code == fcc::YUYV;
            for (int y = 0; y < h; ++y) {
                const uint8_t* s = yuv.ptr<uint8_t>(y);
                uint8_t* d = packed.ptr<uint8_t>(y);
                for (int x = 0; x + 1 < w; x += 2) {
                    const uint8_t y0 = s[3 * x], y1 = s[3 * x + 3];
                    const uint8_t u = static_cast<uint8_t>((s[3 * x + 1] + s[3 * x + 4]) / 2);
                    const uint8_t v = static_cast<uint8_t>((s[3 * x + 2] + s[3 * x + 5]) / 2);
                    uint8_t* q = d + 2 * x;
                    if (yFirst) {
                        q[0] = y0, q[1] = u, q[2] = y1, q[3] = v;
                    } else {
                        q[0] = u, q[1] = y0, q[2] = v, q[3] = y1;
                    }
                }
            }
            break;
        }
        case fcc::YU12:
            cv::cvtColor(bgr, packed, cv::COLOR_BGR2YUV_I420);
            break;
        case fcc::YV12:
            cv::cvtColor(bgr, packed, cv::COLOR_BGR2YUV_YV12);
            break;
        case fcc::NV12:
        case fcc::NV21: {
            cv::Mat i420;
            cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
            packed.create(h + h / 2, w, CV_8UC1);
            std::memcpy(packed.data, i420.data, static_cast<size_t>(w) * h);
            const uint8_t* u = i420.data + static_cast<size_t>(w) * h;
            const uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
            uint8_t* uv = packed.data + static_cast<size_t>(w) * h;
            const bool uFirst = code == fcc::NV12;
            for (size_t i = 0; i < static_cast<size_t>(w / 2) * (h / 2); ++i) {
                uv[2 * i] = uFirst ? u[i] : v[i];
                uv[2 * i + 1] = uFirst ? v[i] : u[i];
            }
            break;
        }
        default:
            throw std::invalid_argument("toFrame: not a raw pixel format");
    }
    CV_Assert(packed.isContinuous());
    CV_Assert(packed.total() * packed.elemSize() == frame.size);
    std::memcpy(frame.data, packed.data, frame.size);
    return frame;
}

cv::Mat lumaOf(const orl::video::Frame& frame) {
    const int w = static_cast<int>(frame.width);
    const int h = static_cast<int>(frame.height);
    cv::Mat out;
    switch (frame.fourcc) {
        case fcc::BGR3:
            cv::cvtColor(cv::Mat(h, w, CV_8UC3, frame.data), out, cv::COLOR_BGR2GRAY);
            return out;
        case fcc::RGB3:
            cv::cvtColor(cv::Mat(h, w, CV_8UC3, frame.data), out, cv::COLOR_RGB2GRAY);
            return out;
        case fcc::YUV3: {
            cv::Mat planes[3];
            cv::split(cv::Mat(h, w, CV_8UC3, frame.data), planes);
            return planes[0];
        }
        case fcc::YUYV:
            cv::cvtColor(cv::Mat(h, w, CV_8UC2, frame.data), out, cv::COLOR_YUV2GRAY_YUY2);
            return out;
        case fcc::UYVY:
            cv::cvtColor(cv::Mat(h, w, CV_8UC2, frame.data), out, cv::COLOR_YUV2GRAY_UYVY);
            return out;
        default:
            return cv::Mat(h, w, CV_8UC1, frame.data).clone();
    }
}

cv::Mat bgrOf(const orl::video::Frame& frame) {
    CV_Assert(frame.fourcc == fcc::BGR3);
    return cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                   frame.data)
        .clone();
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
