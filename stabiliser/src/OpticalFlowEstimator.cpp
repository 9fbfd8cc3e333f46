// Optical-flow estimator (translation, rotation).
//
// - Points: block corners of the previous analysed image (at most one per
//   region); fewer than 16 give zero motion.
// - Tracking: pyramidal Lucas-Kanade, 21 x 21 window, 3 levels, 30 iterations
//   or 0.01; only pairs with status 1 are kept, again at least 16.
// - Fit: RANSAC similarity (threshold 3, 2000 iterations, confidence 0.99,
//   10 refinements), M = [s cos a, -s sin a, tx; s sin a, s cos a, ty].
// - a = atan2(M10, M00), s = M00 / cos a; the translation loses the share of
//   the scaling about the image centre, (W, H) (1 - s) / 2, not the share of
//   the rotation; it is converted to frame pixels and limited, like a.
// - Confidence: the share of detected points that the fit explains within
//   the RANSAC threshold; two unrelated pictures leave few of them.

#include "OpticalFlowEstimator.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/video/tracking.hpp>

#include <cmath>

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

}  // namespace

void OpticalFlowEstimator::create(cv::Size size) {
    detector_.resize(size.width, size.height);
    for (auto* list : {&detected_, &tracked_, &keptPrevious_, &keptCurrent_}) {
        list->reserve(POINT_RESERVE);
    }
    status_.reserve(POINT_RESERVE);
    error_.reserve(POINT_RESERVE);
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
    cv::calcOpticalFlowPyrLK(previous, current, detected_, tracked_, status_, error_,
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
    const double angle = std::atan2(m.at<double>(1, 0), m.at<double>(0, 0));
    const double cosine = std::cos(angle);
    if (cosine == 0.0) {
        return {};
    }
    const double scale = m.at<double>(0, 0) / cosine;
    const double width = current.cols;
    const double height = current.rows;
    Motion motion;
    motion.x = (m.at<double>(0, 2) - width * (1.0 - scale) * 0.5) * pair.scaleX;
    motion.y = (m.at<double>(1, 2) - height * (1.0 - scale) * 0.5) * pair.scaleY;
    motion.a = withRotation ? angle : 0.0;
    if (!std::isfinite(motion.x) || !std::isfinite(motion.y) || !std::isfinite(motion.a)) {
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

}  // namespace orl::calmora
