// Optical-flow estimator (translation, rotation).
//
// - Points: block corners of the previous analysed image (at most one per
//   region); fewer than 16 give zero motion.
// - Tracking: pyramidal Lucas-Kanade, 21 x 21 window, 3 levels, 30 iterations
//   or 0.01; only pairs with status 1 are kept, again at least 16.
// - The pyramids are built here exactly as the tracker would build them
//   itself, one per slot of the pair, and kept: the current image's pyramid
//   serves again when that image is the previous one of the next frame. A
//   pyramid is reused only while its level 0 still equals the image, so an
//   image rewritten in place (a reset) is never tracked on a stale pyramid.
// - The tracker reads the derivatives of the previous image only inside the
//   window about each point on each level; they are computed there alone
//   (with the tracker's own integer formula, so the same values) instead of
//   over the whole pyramid.
// - Fit: RANSAC similarity (threshold 3, 2000 iterations, confidence 0.99,
//   10 refinements), M = [s cos a, -s sin a, tx; s sin a, s cos a, ty].
// - a = atan2(M10, M00), s = M00 / cos a; the translation loses the share of
//   the scaling about the image centre, (W, H) (1 - s) / 2, not the share of
//   the rotation; it is converted to frame pixels and limited, like a.
// - Confidence: the share of detected points that the fit explains within
//   the RANSAC threshold; two unrelated pictures leave few of them.
// - cameraMotion() re-reads the same pairs through CornerConsensus: a still
//   camera before moving objects gives no motion, a rotation only where the
//   pairs that carry it explain the frame.

#include "OpticalFlowEstimator.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orl::calmora {

namespace {

constexpr int TRACK_WINDOW = 21;
constexpr int TRACK_LEVELS = 3;
constexpr int TRACK_ITERATIONS = 30;
constexpr double TRACK_EPSILON = 0.01;
constexpr double TRACK_MIN_EIGEN = 1e-4;
constexpr double FIT_THRESHOLD = 3.0;
constexpr size_t FIT_ITERATIONS = 2000;
constexpr double FIT_CONFIDENCE = 0.99;
constexpr size_t FIT_REFINEMENTS = 10;
constexpr size_t POINT_RESERVE = 64;  // more than the detector's regions

// Pixels about each tracking window that get derivatives too: the tracker
// reads its window and the pixel after it (bilinear weights); the margin
// covers any rounding of where the window falls.
constexpr int WINDOW_MARGIN = 2;

// True when level 0 of `pyramid` is `image`.
bool holds(const std::vector<cv::Mat>& pyramid, const cv::Mat& image) {
    if (pyramid.empty() || pyramid[0].size() != image.size() || pyramid[0].type() != image.type()) {
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(image.cols) * image.elemSize();
    for (int r = 0; r < image.rows; ++r) {
        if (std::memcmp(pyramid[0].ptr(r), image.ptr(r), rowBytes) != 0) {
            return false;
        }
    }
    return true;
}

// The tracker's derivatives of row y of the 8-bit `level`, columns x0 ..
// x1 - 1 (inside the level), into `deriv` (16-bit pairs dx, dy): a 3-10-3
// smoothing across the difference of the two neighbours, rows and columns
// beyond the edge reflected about the edge pixel; integers, exactly what the
// tracker computes for the whole image. `smooth` and `difference` hold
// level.cols + 2 entries, column x at x + 1.
void scharrDerivatives(const cv::Mat& level, int y, int x0, int x1, int* smooth, int* difference,
                       cv::Mat& deriv) {
    const int rows = level.rows;
    const int cols = level.cols;
    const uint8_t* above = level.ptr<uint8_t>(y > 0 ? y - 1 : rows > 1 ? 1 : 0);
    const uint8_t* row = level.ptr<uint8_t>(y);
    const uint8_t* below = level.ptr<uint8_t>(y < rows - 1 ? y + 1 : rows > 1 ? rows - 2 : 0);
    // vertically: the columns x0 - 1 .. x1 that lie inside, then those
    // beyond an edge as the reflected column inside
    const int first = std::max(x0 - 1, 0);
    const int last = std::min(x1, cols - 1);
    for (int x = first; x <= last; ++x) {
        smooth[x + 1] = (above[x] + below[x]) * 3 + row[x] * 10;
        difference[x + 1] = below[x] - above[x];
    }
    if (x0 == 0) {
        smooth[0] = smooth[cols > 1 ? 2 : 1];
        difference[0] = difference[cols > 1 ? 2 : 1];
    }
    if (x1 == cols) {
        smooth[cols + 1] = smooth[cols > 1 ? cols - 1 : cols];
        difference[cols + 1] = difference[cols > 1 ? cols - 1 : cols];
    }
    // horizontally
    int16_t* out = deriv.ptr<int16_t>(y);
    for (int x = x0; x < x1; ++x) {
        out[2 * x] = static_cast<int16_t>(smooth[x + 2] - smooth[x]);
        out[2 * x + 1] =
            static_cast<int16_t>((difference[x + 2] + difference[x]) * 3 + difference[x + 1] * 10);
    }
}

// The motion a fitted similarity `m` stands for (see estimate()); false
// when it is degenerate (cos a = 0, not finite).
bool motionOf(const cv::Matx23d& m, const AnalysedPair& pair, bool withRotation, Motion& motion) {
    const double angle = std::atan2(m(1, 0), m(0, 0));
    const double cosine = std::cos(angle);
    if (cosine == 0.0) {
        return false;
    }
    const double scale = m(0, 0) / cosine;
    const double width = pair.current.cols;
    const double height = pair.current.rows;
    motion.x = (m(0, 2) - width * (1.0 - scale) * 0.5) * pair.scaleX;
    motion.y = (m(1, 2) - height * (1.0 - scale) * 0.5) * pair.scaleY;
    motion.a = withRotation ? angle : 0.0;
    return std::isfinite(motion.x) && std::isfinite(motion.y) && std::isfinite(motion.a);
}

}  // namespace

void OpticalFlowEstimator::create(cv::Size size) {
    detector_.resize(size.width, size.height);
    for (auto* list : {&detected_, &tracked_, &keptPrevious_, &keptCurrent_}) {
        list->reserve(POINT_RESERVE);
    }
    status_.reserve(POINT_RESERVE);
    error_.reserve(POINT_RESERVE);
}

const std::vector<cv::Mat>& OpticalFlowEstimator::pyramidOf(const cv::Mat& image, int slot) {
    std::vector<cv::Mat>& pyramid = pyramids_[slot];
    if (!holds(pyramid, image)) {
        // the tracker's own pyramid of an image, derivatives apart
        cv::buildOpticalFlowPyramid(image, pyramid, cv::Size(TRACK_WINDOW, TRACK_WINDOW),
                                    TRACK_LEVELS, false);
    }
    return pyramid;
}

const std::vector<cv::Mat>& OpticalFlowEstimator::withDerivatives(
    const std::vector<cv::Mat>& pyramid, const std::vector<cv::Point2f>& points) {
    const size_t levels = pyramid.size();
    derivatives_.resize(levels);
    tracking_.resize(2 * levels);
    const cv::Point2f halfWindow((TRACK_WINDOW - 1) * 0.5f, (TRACK_WINDOW - 1) * 0.5f);
    for (size_t level = 0; level < levels; ++level) {
        const cv::Mat& image = pyramid[level];
        cv::Mat& deriv = derivatives_[level];
        if (deriv.size() != image.size()) {
            // zero beyond the picture, as the tracker pads them
            deriv = cv::Mat::zeros(
                image.rows + 2 * TRACK_WINDOW, image.cols + 2 * TRACK_WINDOW,
                CV_16SC2)(cv::Rect(TRACK_WINDOW, TRACK_WINDOW, image.cols, image.rows));
        }
        // the tracker places each window where these points fall on this
        // level; each row is computed once over the union of the windows
        const cv::Rect inside(0, 0, image.cols, image.rows);
        const float toLevel = static_cast<float>(1. / (1 << level));
        boxes_.clear();
        for (const cv::Point2f& point : points) {
            const cv::Point2f corner = point * toLevel - halfWindow;
            const cv::Rect box =
                cv::Rect(cvFloor(corner.x) - WINDOW_MARGIN, cvFloor(corner.y) - WINDOW_MARGIN,
                         TRACK_WINDOW + 1 + 2 * WINDOW_MARGIN,
                         TRACK_WINDOW + 1 + 2 * WINDOW_MARGIN) &
                inside;
            if (!box.empty()) {
                boxes_.push_back(box);
            }
        }
        smooth_.resize(static_cast<size_t>(image.cols) + 2);
        difference_.resize(static_cast<size_t>(image.cols) + 2);
        for (int y = 0; y < image.rows; ++y) {
            spans_.clear();
            for (const cv::Rect& box : boxes_) {
                if (y >= box.y && y < box.y + box.height) {
                    spans_.emplace_back(box.x, box.x + box.width);
                }
            }
            std::sort(spans_.begin(), spans_.end());
            for (size_t i = 0; i < spans_.size();) {
                const int x0 = spans_[i].first;
                int x1 = spans_[i].second;
                for (++i; i < spans_.size() && spans_[i].first <= x1; ++i) {
                    x1 = std::max(x1, spans_[i].second);
                }
                scharrDerivatives(image, y, x0, x1, smooth_.data(), difference_.data(), deriv);
            }
        }
        tracking_[2 * level] = image;
        tracking_[2 * level + 1] = deriv;
    }
    return tracking_;
}

Motion OpticalFlowEstimator::estimate(const AnalysedPair& pair, const MotionLimits& limits,
                                      bool withRotation) {
    keptPrevious_.clear();
    keptCurrent_.clear();
    confidence_ = 0.0;
    fit_ = cv::Matx23d(1, 0, 0, 0, 1, 0);
    const cv::Mat& previous = pair.previous;
    const cv::Mat& current = pair.current;
    if (previous.empty() || previous.size() != current.size() || previous.type() != CV_8UC1 ||
        current.type() != CV_8UC1) {
        return {};
    }

    // find correspondences
    detector_.detect(previous, detected_);
    if (detected_.size() < MIN_POINTS) {
        return {};
    }
    const std::vector<cv::Mat>& previousPyramid =
        withDerivatives(pyramidOf(previous, 1 - (pair.currentSlot & 1)), detected_);
    const std::vector<cv::Mat>& currentPyramid = pyramidOf(current, pair.currentSlot & 1);
    cv::calcOpticalFlowPyrLK(previousPyramid, currentPyramid, detected_, tracked_, status_, error_,
                             cv::Size(TRACK_WINDOW, TRACK_WINDOW), TRACK_LEVELS,
                             cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS,
                                              TRACK_ITERATIONS, TRACK_EPSILON),
                             0, TRACK_MIN_EIGEN);
    for (size_t i = 0; i < detected_.size() && i < status_.size(); ++i) {
        if (status_[i] == 1) {
            keptPrevious_.push_back(detected_[i]);
            keptCurrent_.push_back(tracked_[i]);
        }
    }
    if (keptPrevious_.size() < MIN_POINTS) {
        return {};
    }

    // estimate motion
    const cv::Mat m =
        cv::estimateAffinePartial2D(keptPrevious_, keptCurrent_, cv::noArray(), cv::RANSAC,
                                    FIT_THRESHOLD, FIT_ITERATIONS, FIT_CONFIDENCE, FIT_REFINEMENTS);
    if (m.rows != 2 || m.cols != 3 || m.type() != CV_64F) {
        return {};
    }
    Motion motion;
    if (!motionOf(cv::Matx23d(m.ptr<double>()), pair, withRotation, motion)) {
        return {};
    }

    // confidence
    fit_ = cv::Matx23d(m.ptr<double>());
    size_t explained = 0;
    for (size_t i = 0; i < keptPrevious_.size(); ++i) {
        const cv::Point2d p = keptPrevious_[i];
        const cv::Point2d q(fit_(0, 0) * p.x + fit_(0, 1) * p.y + fit_(0, 2),
                            fit_(1, 0) * p.x + fit_(1, 1) * p.y + fit_(1, 2));
        if (cv::norm(q - cv::Point2d(keptCurrent_[i])) <= FIT_THRESHOLD) {
            ++explained;
        }
    }
    confidence_ = static_cast<double>(explained) / static_cast<double>(detected_.size());

    // limit
    motion.x = limited(motion.x, limits.x);
    motion.y = limited(motion.y, limits.y);
    motion.a = limited(motion.a, limits.a);
    return motion;
}

Motion OpticalFlowEstimator::cameraMotion(const AnalysedPair& pair, const MotionLimits& limits,
                                          bool withRotation) {
    if (confidence_ == 0.0) {
        return {};  // nothing was fitted
    }
    fit_ =
        consensus_.cameraFit(keptPrevious_, keptCurrent_, fit_, pair.current.size(), withRotation);
    Motion motion;
    if (!motionOf(fit_, pair, withRotation, motion)) {
        fit_ = cv::Matx23d(1, 0, 0, 0, 1, 0);
        return {};
    }
    motion.x = limited(motion.x, limits.x);
    motion.y = limited(motion.y, limits.y);
    motion.a = limited(motion.a, limits.a);
    return motion;
}

}  // namespace orl::calmora
