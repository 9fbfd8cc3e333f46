// Independent global-motion measurement for reports.
// - Each frame is reduced to a grey picture `reducedWidth` wide (area
//   interpolation) and its central 70 per cent is kept.
// - Translation: phase correlation against the previous reduced picture
//   with a Hann window, scaled back to frame pixels.
// - Rotation: Shi-Tomasi corners of the previous picture tracked with
//   pyramidal optical flow, then a RANSAC similarity fit; its angle.
// - Jitter of a path: the path minus its centred Gaussian average, as RMS.

#include <calmora/run/MotionMeter.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <cmath>

namespace orl::calmora::run {

namespace {
constexpr double kCentralShare = 0.7;  // of each dimension, measured
constexpr int kReferenceFrames = 10;   // frames measured against one reference
}  // namespace

MotionMeter::MotionMeter(int reducedWidth) : reducedWidth_(std::max(32, reducedWidth)) {}

void MotionMeter::reset() {
    frameSize_ = cv::Size();
    previous_.release();
}

GlobalMotion MotionMeter::measure(const cv::Mat& bgr) {
    GlobalMotion motion;
    if (bgr.empty()) {
        reset();
        return motion;
    }
    if (bgr.size() != frameSize_) {
        reset();
        frameSize_ = bgr.size();
        const int width = std::min(reducedWidth_, bgr.cols);
        scale_ = static_cast<double>(bgr.cols) / width;
        const int height = std::max(8, static_cast<int>(std::lround(bgr.rows / scale_)));
        const cv::Size central(std::max(8, static_cast<int>(width * kCentralShare)),
                               std::max(8, static_cast<int>(height * kCentralShare)));
        cv::createHanningWindow(window_, central, CV_32F);
        grey_.create(height, width, CV_8UC1);
    }

    // reduce and keep the centre
    cv::Mat small;
    if (bgr.channels() == 3) {
        cv::Mat grey;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, small, grey_.size(), 0, 0, cv::INTER_AREA);
    } else {
        cv::resize(bgr, small, grey_.size(), 0, 0, cv::INTER_AREA);
    }
    const cv::Rect centre((small.cols - window_.cols) / 2, (small.rows - window_.rows) / 2,
                          window_.cols, window_.rows);
    cv::Mat current = small(centre).clone();
    current.convertTo(current32_, CV_32F);

    if (!previous_.empty()) {
        // translation: position against the reference, then the step
        const cv::Point2d shift = phaseShift(reference32_, current32_, window_);
        const cv::Point2d position = referencePosition_ + shift * scale_;
        motion.x = position.x - lastPosition_.x;
        motion.y = position.y - lastPosition_.y;
        lastPosition_ = position;
        const double far = 0.2 * std::min(window_.cols, window_.rows);
        if (++sinceReference_ >= kReferenceFrames || std::fabs(shift.x) > far ||
            std::fabs(shift.y) > far) {
            current32_.copyTo(reference32_);
            referencePosition_ = position;
            sinceReference_ = 0;
        }

        // rotation
        cv::goodFeaturesToTrack(previous_, corners_, 200, 0.01, 6.0);
        if (corners_.size() >= 8) {
            cv::calcOpticalFlowPyrLK(previous_, current, corners_, tracked_, status_, error_);
            keptPrev_.clear();
            keptCurr_.clear();
            for (size_t i = 0; i < corners_.size(); ++i) {
                if (status_[i]) {
                    keptPrev_.push_back(corners_[i]);
                    keptCurr_.push_back(tracked_[i]);
                }
            }
            if (keptPrev_.size() >= 8) {
                const cv::Mat m = cv::estimateAffinePartial2D(keptPrev_, keptCurr_, cv::noArray(),
                                                              cv::RANSAC, 1.0);
                if (!m.empty()) {
                    motion.a = std::atan2(m.at<double>(1, 0), m.at<double>(0, 0));
                }
            }
        }
    }
    if (previous_.empty()) {
        current32_.copyTo(reference32_);
        referencePosition_ = lastPosition_ = cv::Point2d();
        sinceReference_ = 0;
    }
    previous_ = current;
    return motion;
}

cv::Point2d phaseShift(const cv::Mat& previous, const cv::Mat& current, const cv::Mat& window) {
    cv::Mat a, b, spectrumA, spectrumB, cross, surface;
    cv::multiply(previous, window, a);
    cv::multiply(current, window, b);
    cv::dft(a, spectrumA, cv::DFT_COMPLEX_OUTPUT);
    cv::dft(b, spectrumB, cv::DFT_COMPLEX_OUTPUT);
    cv::mulSpectrums(spectrumB, spectrumA, cross, 0, true);  // B * conj(A)

    // normalise to unit magnitude: only the phase carries the shift
    std::vector<cv::Mat> parts;
    cv::split(cross, parts);
    cv::Mat magnitude;
    cv::magnitude(parts[0], parts[1], magnitude);
    magnitude += 1e-9f;
    cv::divide(parts[0], magnitude, parts[0]);
    cv::divide(parts[1], magnitude, parts[1]);
    cv::merge(parts, cross);
    cv::idft(cross, surface, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);

    cv::Point peak;
    cv::minMaxLoc(surface, nullptr, nullptr, nullptr, &peak);
    const int w = surface.cols, h = surface.rows;
    auto at = [&](int x, int y) { return surface.at<float>((y + h) % h, (x + w) % w); };
    // Sub-pixel position from the peak and its larger neighbour, as for a
    // sinc-shaped peak: a parabola would pull small shifts toward whole
    // pixels, which matters for slow, smooth motion.
    auto vertex = [](double l, double c, double r) {
        l = std::max(l, 0.0);
        r = std::max(r, 0.0);
        if (!(c > 0.0)) {
            return 0.0;
        }
        return r >= l ? r / (r + c) : -l / (l + c);
    };
    const double dx = vertex(at(peak.x - 1, peak.y), at(peak.x, peak.y), at(peak.x + 1, peak.y));
    const double dy = vertex(at(peak.x, peak.y - 1), at(peak.x, peak.y), at(peak.x, peak.y + 1));
    const double sx = peak.x < w / 2 ? peak.x : peak.x - w;
    const double sy = peak.y < h / 2 ? peak.y : peak.y - h;
    return {sx + dx, sy + dy};
}

double rmsTranslation(const std::vector<GlobalMotion>& residual) {
    if (residual.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const GlobalMotion& r : residual) {
        sum += r.x * r.x + r.y * r.y;
    }
    return std::sqrt(sum / static_cast<double>(residual.size()));
}

double rmsRotation(const std::vector<GlobalMotion>& residual) {
    if (residual.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const GlobalMotion& r : residual) {
        sum += r.a * r.a;
    }
    return std::sqrt(sum / static_cast<double>(residual.size()));
}

}  // namespace orl::calmora::run
