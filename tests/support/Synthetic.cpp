// Synthetic pictures, the pixel model of shifts and clips for the tests.
// - Clip colour code: blue steps by 16 over 12 values, green by 32 over 6,
//   red fixed; lossy codecs move a flat colour by a few levels at most, far
//   less than the steps. The index is drawn away from the top-left block
//   that indexOfImage reads.

#include "Synthetic.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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
    if (centre.x < 0)
        centre = {image.cols / 2.0, image.rows / 2.0};
    // source to destination: rotate and scale about the centre, then shift
    const double c = std::cos(angleRad) * scale, s = std::sin(angleRad) * scale;
    const cv::Mat m = (cv::Mat_<double>(2, 3) << c, -s, centre.x - c * centre.x + s * centre.y + dx,
                       s, c, centre.y - s * centre.x - c * centre.y + dy);
    cv::Mat out;
    cv::warpAffine(image, out, m, image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    return out;
}

cv::Mat view(const cv::Mat& scene, cv::Size size, cv::Point2d topLeft, double angleRad) {
    // the scene moved so that the crop's centre stays, turned back about it
    const cv::Point2d centre = topLeft + cv::Point2d(size.width / 2.0, size.height / 2.0);
    return moved(scene, -topLeft.x, -topLeft.y, -angleRad, 1.0, centre)(cv::Rect({0, 0}, size))
        .clone();
}

orl::video::Frame toFrame(const cv::Mat& bgr, uint32_t code) {
    CV_Assert(bgr.type() == CV_8UC3);
    const int w = bgr.cols, h = bgr.rows;
    const std::map<uint32_t, int> direct{
        {fcc::GRAY, cv::COLOR_BGR2GRAY},     {fcc::BGR3, -1},
        {fcc::RGB3, cv::COLOR_BGR2RGB},      {fcc::YUV3, cv::COLOR_BGR2YUV},
        {fcc::YU12, cv::COLOR_BGR2YUV_I420}, {fcc::YV12, cv::COLOR_BGR2YUV_YV12},
        {fcc::NV12, cv::COLOR_BGR2YUV_I420}, {fcc::NV21, cv::COLOR_BGR2YUV_I420},
        {fcc::YUYV, cv::COLOR_BGR2YUV},      {fcc::UYVY, cv::COLOR_BGR2YUV}};
    if (direct.count(code) == 0)
        throw std::invalid_argument("toFrame: not a raw pixel format");
    cv::Mat packed, yuv;
    if (direct.at(code) < 0)
        packed = bgr.clone();
    else
        cv::cvtColor(bgr, packed, direct.at(code));
    if (code == fcc::YUYV || code == fcc::UYVY) {
        // each pair of pixels shares the mean of its two chroma values
        yuv = packed;
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
        yuv = packed.clone();
        const size_t luma = static_cast<size_t>(w) * h, quarter = luma / 4;
        for (size_t i = 0; i < quarter; ++i) {
            packed.data[luma + 2 * i + (code == fcc::NV12 ? 0 : 1)] = yuv.data[luma + i];
            packed.data[luma + 2 * i + (code == fcc::NV12 ? 1 : 0)] = yuv.data[luma + quarter + i];
        }
    }
    orl::video::Frame frame(w, h, code);
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

constexpr int kColours = 72;

cv::Scalar indexColour(int i) {
    i = ((i % kColours) + kColours) % kColours;
    return cv::Scalar(40 + (i % 12) * 16, 40 + (i / 12) * 32, 100);
}

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
                    uint64_t seed, int movers, double noise) {
    const int margin = static_cast<int>(std::ceil(amplitude)) + 40;
    const cv::Mat scene = texturedScene(size.width + 2 * margin, size.height + 2 * margin, seed);
    const cv::Mat blocks =
        movers > 0 ? texturedScene(size.width, size.height, seed + 1) : cv::Mat();
    const cv::Size block(size.height / 2, size.height / 3);
    cv::RNG rng(seed * 7919 + 1);
    std::vector<cv::Point2d> at(static_cast<size_t>(movers)), step(at.size());
    for (size_t i = 0; i < at.size(); ++i) {
        at[i] = {rng.uniform(0.0, 1.0) * (scene.cols - block.width),
                 rng.uniform(0.0, 1.0) * (scene.rows - block.height)};
        step[i] = {rng.uniform(1.0, 4.0) * (i % 2 == 0 ? 1 : -1), rng.uniform(-1.0, 1.0)};
    }
    ShakyClip clip;
    for (int k = 0; k < count; ++k) {
        const cv::Point2d topLeft(margin + rng.uniform(-amplitude, amplitude),
                                  margin + rng.uniform(-amplitude, amplitude));
        const double angle =
            angleAmplitude > 0.0 ? rng.uniform(-angleAmplitude, angleAmplitude) : 0.0;
        cv::Mat seen = scene;
        clip.movers.emplace_back();
        if (movers > 0) {
            seen = scene.clone();
            const cv::Point2d room(scene.cols - block.width, scene.rows - block.height);
            for (size_t i = 0; i < at.size(); ++i) {  // across and back in again
                const cv::Point2d p = at[i] + step[i] * k;
                const cv::Point corner(cvRound(p.x - room.x * std::floor(p.x / room.x)),
                                       cvRound(p.y - room.y * std::floor(p.y / room.y)));
                blocks(cv::Rect({static_cast<int>(i) * 37 % (size.width - block.width), 0}, block))
                    .copyTo(seen(cv::Rect(corner, block)));
                clip.movers.back().emplace_back(corner, block);
            }
        }
        clip.frames.push_back(view(seen, size, topLeft, angle));
        if (noise > 0.0) {
            cv::Mat grain(size, CV_16SC3);
            rng.fill(grain, cv::RNG::NORMAL, 0.0, noise);
            cv::add(clip.frames.back(), grain, clip.frames.back(), cv::noArray(), CV_8U);
        }
        clip.topLeft.push_back(topLeft);
        clip.angle.push_back(angle);
    }
    return clip;
}

int indexOfImage(const cv::Mat& bgr) {
    if (bgr.type() != CV_8UC3 || bgr.cols < 8 || bgr.rows < 8)
        return -1;
    const cv::Scalar mean = cv::mean(bgr(cv::Rect(0, 0, 8, 8)));
    int best = -1;
    double bestDistance = 6.0;
    for (int i = 0; i < kColours; ++i) {
        const cv::Scalar c = indexColour(i);
        const double distance = std::max(
            {std::abs(mean[0] - c[0]), std::abs(mean[1] - c[1]), std::abs(mean[2] - c[2])});
        if (distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

bool writeClip(const std::string& path, const std::string& codec, double fps, int frameCount,
               cv::Size size) {
    try {
        cv::VideoWriter writer;
        if (codec.size() != 4 ||
            !writer.open(path, cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]), fps,
                         size))
            return false;
        const double scale = size.height / 120.0;
        for (int i = 0; i < frameCount; ++i) {
            cv::Mat frame(size, CV_8UC3, indexColour(i));
            cv::putText(frame, std::to_string(i),
                        cv::Point(size.width / 2, size.height - static_cast<int>(10 * scale)),
                        cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255),
                        std::max(1, static_cast<int>(2 * scale)));
            writer.write(frame);
        }
    } catch (const cv::Exception&) {
        return false;
    }  // the writer has closed the file here
    std::error_code ec;
    return std::filesystem::file_size(path, ec) > 0 && !ec;
}

}  // namespace calmora_test

namespace calmora_test {

cv::Point2d RollingShutterClip::cameraAt(double t, bool shake) const {
    const double w = 2.0 * CV_PI / 30.0;  // radians per frame at 1 Hz
    cv::Point2d p(40.0 + 0.3 * t, 40.0 + 0.1 * t);
    if (!shake)
        return p;
    const double hand[3] = {0.3, 0.7, 1.5}, vib[2] = {7.0, 11.0};
    for (int i = 0; i < 3; ++i)
        p += amplitude / 2.0 * cv::Point2d(std::sin(w * hand[i] * t + phase[i]),
                                           std::cos(w * hand[i] * t + phase[i + 3]));
    for (int i = 0; i < 2; ++i)
        p += vibration / 2.0 * cv::Point2d(std::sin(w * vib[i] * t + phase[6 + i]),
                                           0.8 * std::cos(w * vib[i] * t + phase[7 - i]));
    return p;
}

cv::Mat RollingShutterClip::viewAt(double t, bool shake) const {
    return view(scene, size, cameraAt(t, shake));
}

RollingShutterClip rollingShutterClip(cv::Size size, int count, double readout, double vibration,
                                      uint64_t seed, bool grid) {
    RollingShutterClip clip{texturedScene(size.width + 120, size.height + 120, seed), size, {},
                            4.0, vibration, {}};
    cv::RNG rng(seed);
    // small shapes everywhere: every cell of measureWobble has detail
    for (size_t i = 0; i < clip.scene.total() / 100; ++i) {
        const cv::Point p(rng.uniform(0, clip.scene.cols), rng.uniform(0, clip.scene.rows));
        cv::circle(clip.scene, p, rng.uniform(2, 7), cv::Scalar::all(rng.uniform(0, 256)), cv::FILLED);
    }
    for (int at = 20; grid && at < std::max(clip.scene.cols, clip.scene.rows); at += 40) {
        cv::line(clip.scene, {at, 0}, {at, clip.scene.rows}, cv::Scalar::all(255), 2);
        cv::line(clip.scene, {0, at}, {clip.scene.cols, at}, cv::Scalar::all(255), 2);
    }
    cv::GaussianBlur(clip.scene, clip.scene, {0, 0}, 0.8);
    for (double& p : clip.phase)
        p = rng.uniform(0.0, 2.0 * CV_PI);
    cv::Mat mapX(size, CV_32F), mapY(size, CV_32F);
    for (int k = 0; k < count; ++k) {
        for (int y = 0; y < size.height; ++y) {
            const cv::Point2d at = clip.cameraAt(k + readout * (double(y) / size.height - 0.5));
            for (int x = 0; x < size.width; ++x) {
                mapX.at<float>(y, x) = static_cast<float>(at.x + x);
                mapY.at<float>(y, x) = static_cast<float>(at.y + y);
            }
        }
        cv::Mat frame;
        cv::remap(clip.scene, frame, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_REFLECT);
        clip.frames.push_back(frame);
    }
    return clip;
}

namespace {

// Per cell centre of `a`, where it lies in `b` (within 12 pixels): the best
// whole-pixel match, then a few gradient steps to the sub-pixel position.
void matchCells(const cv::Mat& a, const cv::Mat& b, std::vector<cv::Point2d>& from,
                std::vector<cv::Point2d>& to) {
    constexpr int cell = 64, step = 32, margin = 40;
    cv::Mat ga, gb, gx, gy;
    cv::cvtColor(a, ga, cv::COLOR_BGR2GRAY);
    cv::cvtColor(b, gb, cv::COLOR_BGR2GRAY);
    ga.convertTo(ga, CV_32F);
    gb.convertTo(gb, CV_32F);
    cv::GaussianBlur(ga, ga, {0, 0}, 1.5);  // resampling blurs the finest detail unevenly
    cv::GaussianBlur(gb, gb, {0, 0}, 1.5);
    cv::Sobel(ga, gx, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(ga, gy, CV_32F, 0, 1, 3, 1.0 / 8);
    from.clear();
    to.clear();
    cv::Mat moved;
    for (int y = margin; y + cell <= a.rows - margin; y += step)
        for (int x = margin; x + cell <= a.cols - margin; x += step) {
            const cv::Rect r(x, y, cell, cell);
            const int reach = 12;
            const cv::Rect search = cv::Rect(x - reach, y - reach, cell + 2 * reach, cell + 2 * reach) &
                                    cv::Rect(0, 0, gb.cols, gb.rows);
            cv::Mat score;
            cv::matchTemplate(gb(search), ga(r), score, cv::TM_CCOEFF_NORMED);
            double best = 0.0;
            cv::Point at;
            cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
            if (best < 0.5)
                continue;  // no clear match
            cv::Point2d d(search.x + at.x - x, search.y + at.y - y);
            const cv::Point2f centre(x + (cell - 1) / 2.0f, y + (cell - 1) / 2.0f);
            const cv::Matx22d normal(gx(r).dot(gx(r)), gx(r).dot(gy(r)), gx(r).dot(gy(r)),
                                     gy(r).dot(gy(r)));
            for (int i = 0; i < 4; ++i) {
                cv::getRectSubPix(gb, {cell, cell}, centre + cv::Point2f(d), moved, CV_32F);
                const cv::Mat e = ga(r) - moved;
                d += cv::Point2d(normal.inv() * cv::Vec2d(gx(r).dot(e), gy(r).dot(e)));
            }
            from.emplace_back(centre);
            to.push_back(from.back() + d);
        }
}

// Least-squares similarity from `p` to `q`: q = centre + [a -b; b a] (p -
// from); fitted again without the cells four times the median distance away
// (at least 2 pixels): a cell matched to the wrong place.
struct Similarity {
    double a{1.0}, b{0.0}, rms{0.0};
    cv::Point2d from, centre;
};

Similarity similarityFit(std::vector<cv::Point2d>& p, std::vector<cv::Point2d>& q,
                         bool again = true) {
    Similarity m{0.0, 0.0, 0.0, {}, {}};
    for (size_t i = 0; i < p.size(); ++i) {
        m.from += p[i] / double(p.size());
        m.centre += q[i] / double(p.size());
    }
    double norm = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        const cv::Point2d u = p[i] - m.from, v = q[i] - m.centre;
        m.a += u.x * v.x + u.y * v.y;
        m.b += u.x * v.y - u.y * v.x;
        norm += u.dot(u);
    }
    m.a /= norm;
    m.b /= norm;
    std::vector<double> distance;
    for (size_t i = 0; i < p.size(); ++i) {
        const cv::Point2d u = p[i] - m.from;
        distance.push_back(cv::norm(m.centre + cv::Point2d(m.a * u.x - m.b * u.y, m.b * u.x + m.a * u.y) - q[i]));
        m.rms += distance.back() * distance.back() / double(p.size());
    }
    m.rms = std::sqrt(m.rms);
    if (!again)
        return m;
    std::vector<double> sorted = distance;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double limit = std::max(2.0, 4.0 * sorted[sorted.size() / 2]);
    size_t kept = 0;
    for (size_t i = 0; i < p.size(); ++i)
        if (distance[i] <= limit) {
            p[kept] = p[i];
            q[kept++] = q[i];
        }
    p.resize(kept);
    q.resize(kept);
    return similarityFit(p, q, false);
}

// What a similarity leaves of `out` against `reference`: the cells matched,
// `out` turned back by their similarity (a turned cell would bias its
// match), matched again. The first fit's translation into `shift`.
double distortion(const cv::Mat& reference, const cv::Mat& out, cv::Point2d& shift) {
    std::vector<cv::Point2d> from, to;
    matchCells(reference, out, from, to);
    const Similarity m = similarityFit(from, to);
    shift = m.centre - m.from;
    // out(q) read at q = centre + S (p - from)
    const cv::Mat back = (cv::Mat_<double>(2, 3) << m.a, -m.b, m.centre.x - m.a * m.from.x + m.b * m.from.y,
                          m.b, m.a, m.centre.y - m.b * m.from.x - m.a * m.from.y);
    cv::Mat aligned;
    cv::warpAffine(out, aligned, back, out.size(), cv::INTER_CUBIC | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
    matchCells(reference, aligned, from, to);
    return similarityFit(from, to).rms;
}

}  // namespace

Wobble measureWobble(const RollingShutterClip& clip, const std::vector<cv::Mat>& out, int first,
                     int end) {
    std::vector<cv::Point2d> shifts;
    double wobble = 0.0;
    for (int k = first; k < end; ++k) {
        const double rms = distortion(clip.viewAt(k), out[static_cast<size_t>(k)], shifts.emplace_back());
        wobble += rms * rms;
        distortion(clip.viewAt(k, false), out[static_cast<size_t>(k)], shifts.back());
    }
    double shake = 0.0;
    const int n = end - first;
    for (int i = 0; i < n; ++i) {
        cv::Point2d mean;
        const int lo = std::max(0, i - 7), hi = std::min(n - 1, i + 7);
        for (int j = lo; j <= hi; ++j)
            mean += shifts[static_cast<size_t>(j)] / double(hi - lo + 1);
        const cv::Point2d d = shifts[static_cast<size_t>(i)] - mean;
        shake += d.dot(d);
    }
    return {std::sqrt(wobble / n), std::sqrt(shake / n)};
}

}  // namespace calmora_test
