// Camera motion from what the tracked corners agree on.
//
// - A RANSAC fit follows the largest group of corners moving together,
//   within a loose threshold: before a still camera, corners of people
//   walking slowly fall inside it and pull the fit by a tenth of a pixel
//   every frame, which the path smoothing turns into a drift of the whole
//   picture; a head turning gives a rotation.
// - Refit: least squares on the pairs the fit explains within three times
//   their scatter (0.3 .. 1 pixels), three times over, so that the walkers
//   the loose threshold took in drop out.
// - Still: the pairs that did not move (within that tolerance, at most 0.5
//   pixels) are weighed against the refit's pairs that did, by number times
//   extent (a background spreads over the frame, walkers do not). When they
//   hold their own, the camera did not move, unless their own similarity
//   explains them significantly better than no motion does (an F test
//   against their scatter, floored at 0.02 pixels: motion below the
//   tracker's noise is no motion); then it moved as they did.
// - Rotation: only where its pairs explain the frame (half of all pairs,
//   spread over 0.8 of the extent of pairs spread evenly over the frame): a
//   close-up's corners all lie on the character, whose head turns. Then
//   shrunk by its variance. A rotation taken out is taken out about the
//   pairs' centroid, where the fit was measured; a fit that does not explain
//   the frame is not carried beyond its pairs.

#include "CornerConsensus.h"

#include <algorithm>
#include <cmath>

namespace orl::calmora {

namespace {

constexpr double FIT_THRESHOLD = 3.0;                // the RANSAC fit's, analysed pixels
constexpr double SCATTER_PER_MEDIAN = 1.0 / 1.1774;  // 2-D Gaussian: median distance 1.1774 sigma
constexpr double TOLERANCE_PER_SCATTER = 3.0;
constexpr int REFITS = 3;
constexpr double NOISE_FLOOR = 0.02;     // analysed pixels: no tracking is finer
constexpr double STILL_TOLERANCE = 0.5;  // analysed pixels: noisier pairs never count as unmoved
constexpr double DOMINANCE = 0.8;        // still pairs' weight against the moved ones' that holds
constexpr double SIGNIFICANCE = 4.0;     // F ratio (4 parameters) above which motion is measured
constexpr double PAIR_SHARE = 0.5;       // of the pairs that explain the frame
constexpr double EXTENT_SHARE = 0.8;     // of the extent of pairs spread evenly over it
constexpr double SHRINK = 8.0;           // standard deviations of the angle that halve it

cv::Point2d apply(const cv::Matx23d& m, cv::Point2d p) {
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

double distanceOf(const cv::Matx23d& m, cv::Point2f previous, cv::Point2f current) {
    return cv::norm(apply(m, previous) - cv::Point2d(current));
}

// A subset of the pairs: how many, the centroid of their previous positions
// and the sum of squared distances from it.
struct Subset {
    size_t count{0};
    cv::Point2d centre;
    double spread{0.0};

    // number times extent
    double weight() const { return std::sqrt(static_cast<double>(count) * spread); }
    // RMS distance from the centroid
    double extent() const {
        return count > 0 ? std::sqrt(spread / static_cast<double>(count)) : 0.0;
    }
};

// The pairs i with member[i].
Subset subsetOf(const std::vector<cv::Point2f>& points, const std::vector<uint8_t>& member) {
    Subset s;
    for (size_t i = 0; i < points.size(); ++i) {
        if (member[i] != 0) {
            s.centre += cv::Point2d(points[i]);
            ++s.count;
        }
    }
    if (s.count == 0) {
        return s;
    }
    s.centre *= 1.0 / static_cast<double>(s.count);
    for (size_t i = 0; i < points.size(); ++i) {
        if (member[i] != 0) {
            const cv::Point2d d = cv::Point2d(points[i]) - s.centre;
            s.spread += d.dot(d);
        }
    }
    return s;
}

// Least-squares similarity from previous to current over the members
// described by `from` (at least two, not all at one place).
cv::Matx23d similarityOf(const std::vector<cv::Point2f>& previous,
                         const std::vector<cv::Point2f>& current,
                         const std::vector<uint8_t>& member, const Subset& from) {
    const Subset to = subsetOf(current, member);
    double dot = 0.0, cross = 0.0;
    for (size_t i = 0; i < previous.size(); ++i) {
        if (member[i] != 0) {
            const cv::Point2d p = cv::Point2d(previous[i]) - from.centre;
            const cv::Point2d q = cv::Point2d(current[i]) - to.centre;
            dot += p.dot(q);
            cross += p.x * q.y - p.y * q.x;
        }
    }
    const double c = dot / from.spread, s = cross / from.spread;
    return {c, -s, to.centre.x - (c * from.centre.x - s * from.centre.y),
            s, c,  to.centre.y - (s * from.centre.x + c * from.centre.y)};
}

// Sum of squared distances between `m` of the previous and the current
// positions of the members.
double squaredError(const cv::Matx23d& m, const std::vector<cv::Point2f>& previous,
                    const std::vector<cv::Point2f>& current, const std::vector<uint8_t>& member) {
    double sum = 0.0;
    for (size_t i = 0; i < previous.size(); ++i) {
        if (member[i] != 0) {
            const double d = distanceOf(m, previous[i], current[i]);
            sum += d * d;
        }
    }
    return sum;
}

// Scatter per coordinate left by `error` over `count` pairs fitted with a
// similarity (4 parameters), at least the floor.
double scatterOf(double error, size_t count) {
    const double freedom = 2.0 * static_cast<double>(count) - 4.0;
    return std::max(NOISE_FLOOR, freedom > 0.0 ? std::sqrt(error / freedom) : 0.0);
}

}  // namespace

double CornerConsensus::toleranceOf(const cv::Matx23d& m, const std::vector<cv::Point2f>& previous,
                                    const std::vector<cv::Point2f>& current, double within) {
    scratch_.clear();
    for (size_t i = 0; i < previous.size(); ++i) {
        const double d = distanceOf(m, previous[i], current[i]);
        if (d <= within) {
            scratch_.push_back(d);
        }
    }
    if (scratch_.empty()) {
        return MIN_TOLERANCE;
    }
    std::nth_element(scratch_.begin(), scratch_.begin() + scratch_.size() / 2, scratch_.end());
    const double scatter =
        std::max(NOISE_FLOOR, scratch_[scratch_.size() / 2] * SCATTER_PER_MEDIAN);
    return std::clamp(TOLERANCE_PER_SCATTER * scatter, MIN_TOLERANCE, MAX_TOLERANCE);
}

cv::Matx23d CornerConsensus::refit(const std::vector<cv::Point2f>& previous,
                                   const std::vector<cv::Point2f>& current,
                                   const cv::Matx23d& ransac, double& tolerance) {
    const size_t n = previous.size();
    fitted_.assign(n, 0);
    tolerance = toleranceOf(ransac, previous, current, FIT_THRESHOLD);
    cv::Matx23d m = ransac;
    for (int round = 0;; ++round) {
        for (size_t i = 0; i < n; ++i) {
            fitted_[i] = distanceOf(m, previous[i], current[i]) <= tolerance ? 1 : 0;
        }
        const Subset fitted = subsetOf(previous, fitted_);
        if (round == REFITS || fitted.count < MIN_SUPPORT) {
            return m;
        }
        m = similarityOf(previous, current, fitted_, fitted);
        tolerance = toleranceOf(m, previous, current, tolerance);
    }
}

bool CornerConsensus::stillOrSlow(const std::vector<cv::Point2f>& previous,
                                  const std::vector<cv::Point2f>& current, double tolerance,
                                  cv::Matx23d& m) {
    // the pairs that did not move, and the fit's pairs that did
    const size_t n = previous.size();
    unmoved_.assign(n, 0);
    moved_.assign(n, 0);
    double unmovedError = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double moved = cv::norm(cv::Point2d(current[i]) - cv::Point2d(previous[i]));
        unmoved_[i] = moved <= std::min(tolerance, STILL_TOLERANCE) ? 1 : 0;
        moved_[i] = fitted_[i] != 0 && unmoved_[i] == 0 ? 1 : 0;
        unmovedError += unmoved_[i] != 0 ? moved * moved : 0.0;
    }
    const Subset unmoved = subsetOf(previous, unmoved_);
    if (unmoved.count < MIN_SUPPORT ||
        unmoved.weight() < DOMINANCE * subsetOf(previous, moved_).weight()) {
        return false;
    }

    // no motion, unless their own similarity is significantly better
    const cv::Matx23d own = similarityOf(previous, current, unmoved_, unmoved);
    const double ownError = squaredError(own, previous, current, unmoved_);
    const double variance = std::pow(scatterOf(ownError, unmoved.count), 2);
    still_ = (unmovedError - ownError) / 4.0 <= SIGNIFICANCE * variance;
    m = still_ ? cv::Matx23d(1, 0, 0, 0, 1, 0) : own;
    fitted_ = unmoved_;
    return true;
}

double CornerConsensus::keptAngle(const std::vector<cv::Point2f>& previous,
                                  const std::vector<cv::Point2f>& current, const cv::Matx23d& m,
                                  cv::Size image) const {
    const Subset fitted = subsetOf(previous, fitted_);
    if (fitted.count < 2 || fitted.spread <= 0.0) {
        return 0.0;
    }
    // pairs spread evenly over a w x h frame lie sqrt((w^2 + h^2) / 12) from
    // its centre, as a root mean square
    const double even = std::sqrt((image.width * image.width + image.height * image.height) / 12.0);
    if (static_cast<double>(fitted.count) < PAIR_SHARE * static_cast<double>(previous.size()) ||
        fitted.extent() < EXTENT_SHARE * even) {
        return 0.0;
    }
    const double angle = std::atan2(m(1, 0), m(0, 0));
    const double variance =
        std::pow(scatterOf(squaredError(m, previous, current, fitted_), fitted.count), 2) /
        fitted.spread;
    return angle * angle * angle / (angle * angle + SHRINK * SHRINK * variance);
}

cv::Matx23d CornerConsensus::cameraFit(const std::vector<cv::Point2f>& previous,
                                       const std::vector<cv::Point2f>& current,
                                       const cv::Matx23d& ransac, cv::Size image,
                                       bool withRotation) {
    still_ = false;
    const size_t n = previous.size();
    if (n < MIN_SUPPORT || current.size() != n) {
        return ransac;
    }
    double tolerance = MIN_TOLERANCE;
    cv::Matx23d m = refit(previous, current, ransac, tolerance);
    if (stillOrSlow(previous, current, tolerance, m)) {
        if (still_) {
            return m;
        }
    } else if (subsetOf(previous, fitted_).count < MIN_SUPPORT) {
        // too few for a refit: the loose fit and its loose pairs
        m = ransac;
        for (size_t i = 0; i < n; ++i) {
            fitted_[i] = distanceOf(ransac, previous[i], current[i]) <= FIT_THRESHOLD ? 1 : 0;
        }
    }

    // the rotation as far as measured, the shift where it was measured kept
    const double kept = withRotation ? keptAngle(previous, current, m, image) : 0.0;
    const double scale = std::hypot(m(0, 0), m(1, 0));
    const cv::Point2d centre = subsetOf(previous, fitted_).centre;
    const cv::Point2d at = apply(m, centre);
    const double c = scale * std::cos(kept), s = scale * std::sin(kept);
    return {c, -s, at.x - (c * centre.x - s * centre.y),
            s, c,  at.y - (s * centre.x + c * centre.y)};
}

}  // namespace orl::calmora
