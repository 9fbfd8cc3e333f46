// L1-optimal camera paths with the crop as a constraint.
// - Unknowns are the corrections u = smoothed - measured, per frame and
//   axis, each a sum of segments of rising cost, each segment split into a
//   positive and a negative part: the pull towards the measured path, a
//   convex function of |u| that the optimum fills in order. Bounded by the
//   offset limits as column bounds.
// - Each |k-th difference| of the smoothed path (k = 1, 2, 3) is a pair of
//   non-negative columns on an equality row: D u - e+ + e- = -D measured.
//   A sum of absolute values becomes a linear programme whose optimum has
//   most differences exactly zero: still, straight and eased stretches.
// - The crop: each corner of the output reads the source at
//   R(-a) (c0 + (o - c0) / zoom - t); with cos a = 1 and sin a = a, and the
//   product of the angle with the shift dropped, each corner coordinate is
//   a ranged row in (u.x, u.a) or (u.y, u.a). The dropped terms are checked
//   afterwards on the exact corners, and a frame found short widens the
//   margin and the window is solved again.
// - The programme is solved by BandedProgramme, an interior-point method
//   whose every step is one band system in the corrections: some 20 to 30
//   steps of linear cost, where the dual simplex of COIN-OR CLP pivots
//   about seven times per frame and axis, each pivot dearer as the window
//   grows (an 18,000-frame shot: 0.9 s against 15 s of CPU; the same path
//   within 1e-6 pixel). CLP's dual simplex (on the rows' sparse bands it
//   stays fast where GLPK's primal simplex slows with the size) takes over
//   when the method does not converge, as on a crop no path keeps, and
//   says whether the programme has a solution.
// - A long shot is planned in overlapping windows (which bound what a
//   fall back to the simplex costs): each window starts with
//   the last three planned frames of the one before held fixed, so every
//   difference across the seam is costed as at once, and only its first
//   part is kept; the tail it throws away is planned again with what
//   follows.

#include <calmora/PathPlanner.h>

#include "BandedProgramme.h"

#include <ClpSimplex.hpp>
#include <CoinPackedMatrix.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <tuple>

namespace orl::calmora {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// coversFrame keeps the corners this far inside the frame
constexpr double kEdge = 1.0 / 16.0;
constexpr int kFixedFrames = 3;
constexpr int kMarginTries = 4;
constexpr double kEndFrames = 15.0;
// The pull towards the measured path grows with the distance, in segments
// of these widths (pixels; the last reaches the offset limit) at these
// shares of its weight: convex like a square, so that a path between two
// shaken positions settles in the middle, where a plain absolute value is
// as content with either end.
constexpr int kPullSegments = 4;
constexpr double kPullWidths[kPullSegments - 1] = {1.0, 2.0, 4.0};
constexpr double kPullShares[kPullSegments] = {0.5, 1.0, 2.0, 4.0};

double axisOf(const PathPoint& p, int axis) {
    return axis == 0 ? p.x : axis == 1 ? p.y : p.a;
}

double& axisOf(PathPoint& p, int axis) {
    return axis == 0 ? p.x : axis == 1 ? p.y : p.a;
}

// Pixels an angle counts as in the cost.
double angleScale(const PlannerSettings& s) {
    return s.width > 0 && s.height > 0 ? 0.5 * std::hypot(s.width, s.height) : 500.0;
}

// Binomial weights of the k-th difference, newest first.
const std::vector<double>& differenceWeights(int order) {
    static const std::vector<double> weights[] = {{1, -1}, {1, -2, 1}, {1, -3, 3, -1}};
    return weights[order - 1];
}

bool hasCrop(const PlannerSettings& s) {
    return s.zoom > 1.0 && s.width > 0 && s.height > 0;
}

// The pull towards the measured path at a distance of `pixels`, per unit
// of the fidelity weight.
double pull(double pixels) {
    double cost = 0.0, start = 0.0;
    for (int i = 0; i < kPullSegments; ++i) {
        const double width = i + 1 < kPullSegments ? kPullWidths[i] : kInf;
        cost += kPullShares[i] * std::clamp(pixels - start, 0.0, width);
        start += width;
    }
    return cost;
}

// A weight of 1 to 1.01 that varies from frame to frame of a shot without
// a pattern. The L1 fit to the measured path is a median, and a median of
// equally weighted points can lie anywhere between the middle two: with
// unequal weights the optimum is one path, the same whichever window
// plans it.
double tieBreak(int frame) {
    const double golden = 0.6180339887498949;
    const double share = frame * golden - std::floor(frame * golden);
    return 1.0 + 0.01 * share;
}

// One window's linear programme in CLP's column form.
class Programme {
  public:
    int addColumn(double lo, double hi, double cost) {
        colLo_.push_back(lo);
        colHi_.push_back(hi);
        cost_.push_back(cost);
        return static_cast<int>(cost_.size()) - 1;
    }
    int addRow(double lo, double hi) {
        rowLo_.push_back(lo);
        rowHi_.push_back(hi);
        return static_cast<int>(rowLo_.size()) - 1;
    }
    void set(int row, int column, double value) {
        rows_.push_back(row);
        columns_.push_back(column);
        values_.push_back(value);
    }
    // The optimal column values; false when infeasible or unsolved.
    bool solve(std::vector<double>& solution) const {
        CoinPackedMatrix matrix(true, rows_.data(), columns_.data(), values_.data(),
                                static_cast<CoinBigIndex>(values_.size()));
        matrix.setDimensions(static_cast<int>(rowLo_.size()), static_cast<int>(cost_.size()));
        ClpSimplex model;
        model.setLogLevel(0);
        model.loadProblem(matrix, colLo_.data(), colHi_.data(), cost_.data(), rowLo_.data(),
                          rowHi_.data());
        model.dual();
        if (!model.isProvenOptimal())
            return false;
        const double* values = model.primalColumnSolution();
        solution.assign(values, values + cost_.size());
        return true;
    }

  private:
    std::vector<double> colLo_, colHi_, cost_, rowLo_, rowHi_, values_;
    std::vector<int> rows_, columns_;
};

// The frames of one window: `count` measured points from `measured`, the
// first `fixed` of which keep the corrections in `held`.
struct Window {
    const PathPoint* measured;
    int count;
    int fixed;
    const PathPoint* held;
    bool endsShot;
    int first;  // the shot's frame at t = 0

    // The share of the fidelity weight at frame t. At a shot's ends the
    // shake lies on one side only, and a full pull there bends the path
    // toward the last few shaken frames: it eases in over kEndFrames.
    double fidelityShare(int t) const {
        const double fromStart = fixed == 0 ? (t + 1.0) / kEndFrames : 1.0;
        const double fromEnd = endsShot ? static_cast<double>(count - t) / kEndFrames : 1.0;
        return std::min({1.0, fromStart, fromEnd}) * tieBreak(first + t);
    }
};

// The corner rows of a frame: `addRow(lo, hi, axis, angle)` adds the row
// lo <= angle * u.a - u.axis <= hi in the frame's corrections, the angle's
// in units of 1 / `angleUnit` radians.
void addCropRows(const PlannerSettings& s, double margin, double angleUnit,
                 const std::function<void(double, double, int, double)>& addRow) {
    const double cx = s.width / 2, cy = s.height / 2;  // the warp's whole-pixel centre
    const double lo = kEdge + margin;
    const double hiX = s.width - 1.0 - kEdge - margin, hiY = s.height - 1.0 - kEdge - margin;
    const PathPoint& m = s.constant;
    for (const double ox : {0.0, s.width - 1.0})
        for (const double oy : {0.0, s.height - 1.0}) {
            const double kx = cx + (ox - cx) / s.zoom, ky = cy + (oy - cy) / s.zoom;
            // px = kx - (u.x + m.x) + (u.a + m.a) ky, within [lo, hiX]
            addRow(lo - kx + m.x - m.a * ky, hiX - kx + m.x - m.a * ky, 0, ky / angleUnit);
            addRow(lo - ky + m.y + m.a * kx, hiY - ky + m.y + m.a * kx, 1, -kx / angleUnit);
        }
}

// Plans the corrections of `axes` (0 x, 1 y, 2 angle) over one window,
// into those axes of `corrections`; with all three and a zoom, under the
// crop. False when infeasible.
bool solveWindow(const Window& w, const PlannerSettings& s, const std::vector<int>& axes,
                 const std::vector<double>& margins, std::vector<PathPoint>& corrections) {
    Programme lp;
    // every column in pixels, the angle too: radians would put the angle's
    // differences near the solver's tolerances
    const double unit[3] = {1.0, 1.0, angleScale(s)};
    const double limit[3] = {s.limits.x, s.limits.y, s.limits.a};
    const double orderWeight[3] = {s.weights.velocity, s.weights.acceleration, s.weights.jerk};
    const int m = static_cast<int>(axes.size());
    // frame t's correction on axes[j] is the sum of segments from column
    // 2 K (m t + j): each a positive part, then a negative one
    const auto column = [m](int t, int j) { return 2 * kPullSegments * (m * t + j); };
    const auto addU = [&](int row, int t, int j, double coefficient) {
        for (int i = 0; i < kPullSegments; ++i) {
            lp.set(row, column(t, j) + 2 * i, coefficient);
            lp.set(row, column(t, j) + 2 * i + 1, -coefficient);
        }
    };
    for (int t = 0; t < w.count; ++t)
        for (const int k : axes) {
            const double u = axisOf(w.held[t], k) * unit[k];
            const double lim = std::max(0.0, limit[k]) * unit[k];
            double reached = 0.0;
            for (int i = 0; i < kPullSegments; ++i) {
                const double width = i + 1 < kPullSegments ? kPullWidths[i] : lim;
                const double cost = s.weights.fidelity * kPullShares[i] * w.fidelityShare(t);
                if (t < w.fixed) {  // held: the first segment takes the planned value
                    lp.addColumn(i == 0 ? std::max(u, 0.0) : 0.0, i == 0 ? std::max(u, 0.0) : 0.0,
                                 0.0);
                    lp.addColumn(i == 0 ? std::max(-u, 0.0) : 0.0, i == 0 ? std::max(-u, 0.0) : 0.0,
                                 0.0);
                } else {
                    const double room = std::max(0.0, std::min(width, lim - reached));
                    lp.addColumn(0.0, room, cost);
                    lp.addColumn(0.0, room, cost);
                }
                reached += width;
            }
        }
    for (int order = 1; order <= 3; ++order) {
        const std::vector<double>& d = differenceWeights(order);
        for (int j = 0; j < m; ++j)
            for (int t = std::max(order, w.fixed); t < w.count; ++t) {
                // D u - e+ + e- = -D measured
                const int k = axes[static_cast<size_t>(j)];
                double measuredDifference = 0.0;
                for (int i = 0; i <= order; ++i)
                    measuredDifference +=
                        d[static_cast<size_t>(i)] * axisOf(w.measured[t - i], k) * unit[k];
                const int row = lp.addRow(-measuredDifference, -measuredDifference);
                for (int i = 0; i <= order; ++i)
                    addU(row, t - i, j, d[static_cast<size_t>(i)]);
                const double cost = orderWeight[order - 1];
                lp.set(row, lp.addColumn(0.0, kInf, cost), -1.0);
                lp.set(row, lp.addColumn(0.0, kInf, cost), 1.0);
            }
    }
    if (hasCrop(s) && m == 3)
        for (int t = w.fixed; t < w.count; ++t)
            addCropRows(s, margins[static_cast<size_t>(t)], unit[2],
                        [&](double lo, double hi, int axis, double angle) {
                            const int row = lp.addRow(lo, hi);
                            addU(row, t, axis, -1.0);
                            addU(row, t, 2, angle);
                        });
    std::vector<double> solution;
    if (!lp.solve(solution))
        return false;
    for (int t = 0; t < w.count; ++t)
        for (int j = 0; j < m; ++j) {
            double u = 0.0;
            for (int i = 0; i < 2 * kPullSegments; ++i)
                u += (i % 2 == 0 ? 1 : -1) * solution[static_cast<size_t>(column(t, j) + i)];
            axisOf(corrections[static_cast<size_t>(t)], axes[static_cast<size_t>(j)]) =
                u / unit[axes[static_cast<size_t>(j)]];
        }
    return true;
}

// The pull towards the measured path and every |difference| of the
// unknowns' axes as terms of `lp`; unknown m (t - fixed) + j is frame t's
// correction on axes[j], in pixels (`unit` per axis). `u` holds the held
// frames' corrections.
void addTerms(BandedProgramme& lp, const Window& w, const PlannerSettings& s,
              const std::vector<int>& axes, const double* unit, const std::vector<double>& u) {
    const int m = static_cast<int>(axes.size());
    const double orderWeight[3] = {s.weights.velocity, s.weights.acceleration, s.weights.jerk};
    const auto held = [&](int t, int j) { return u[static_cast<size_t>(m * t + j)]; };
    for (int t = w.fixed; t < w.count; ++t)
        for (int j = 0; j < m; ++j) {
            const double share = s.weights.fidelity * w.fidelityShare(t);
            lp.addTerm(0.0);
            lp.addCoefficient(m * (t - w.fixed) + j, 1.0);
            // pull(|z|) as the greatest of its segments' lines, both signs
            double start = 0.0, value = 0.0;
            for (int i = 0; i < kPullSegments; ++i) {
                for (const double sign : {1.0, -1.0})
                    lp.addPiece(sign * share * kPullShares[i],
                                share * (value - kPullShares[i] * start));
                if (i + 1 < kPullSegments) {
                    value += kPullShares[i] * kPullWidths[i];
                    start += kPullWidths[i];
                }
            }
        }
    for (int order = 1; order <= 3; ++order) {
        const std::vector<double>& d = differenceWeights(order);
        for (int j = 0; j < m; ++j)
            for (int t = std::max(order, w.fixed); t < w.count; ++t) {
                const int k = axes[static_cast<size_t>(j)];
                double offset = 0.0;
                for (int i = 0; i <= order; ++i)
                    offset +=
                        d[static_cast<size_t>(i)] * (axisOf(w.measured[t - i], k) * unit[k] +
                                                     (t - i < w.fixed ? held(t - i, j) : 0.0));
                lp.addTerm(offset);
                for (int i = 0; i <= order; ++i)
                    if (t - i >= w.fixed)
                        lp.addCoefficient(m * (t - i - w.fixed) + j, d[static_cast<size_t>(i)]);
                lp.addPiece(orderWeight[order - 1], 0.0);
                lp.addPiece(-orderWeight[order - 1], 0.0);
            }
    }
}

// solveWindow() by BandedProgramme: the same programme, in the corrections
// alone (the pull and the |differences| as its terms, the crop rows as its
// constraints). False when the method does not converge.
bool solveBanded(const Window& w, const PlannerSettings& s, const std::vector<int>& axes,
                 const std::vector<double>& margins, std::vector<PathPoint>& corrections) {
    const double unit[3] = {1.0, 1.0, angleScale(s)};
    const int m = static_cast<int>(axes.size()), free = w.count - w.fixed;
    std::vector<double> u(static_cast<size_t>(m * w.count), 0.0);
    for (int t = 0; t < w.fixed; ++t)
        for (int j = 0; j < m; ++j)
            u[static_cast<size_t>(m * t + j)] = axisOf(w.held[t], axes[static_cast<size_t>(j)]) *
                                                unit[axes[static_cast<size_t>(j)]];
    bool fixedAxis = false;  // no room: the correction is nought
    for (const int k : axes)
        fixedAxis = fixedAxis || !(axisOf(s.limits, k) > 0.0);
    if (fixedAxis && m > 1)
        return false;  // the simplex holds an axis at nought among the others
    if (!fixedAxis && free > 0) {
        BandedProgramme lp(m * free);
        for (int i = 0; i < m * free; ++i) {
            const int k = axes[static_cast<size_t>(i % m)];
            lp.bound(i, -axisOf(s.limits, k) * unit[k], axisOf(s.limits, k) * unit[k]);
        }
        addTerms(lp, w, s, axes, unit, u);
        if (hasCrop(s) && m == 3)
            for (int t = w.fixed; t < w.count; ++t)
                addCropRows(s, margins[static_cast<size_t>(t)], unit[2],
                            [&](double lo, double hi, int axis, double angle) {
                                lp.addRange(0.0, lo, hi);
                                lp.addCoefficient(3 * (t - w.fixed) + axis, -1.0);
                                lp.addCoefficient(3 * (t - w.fixed) + 2, angle);
                            });
        std::vector<double> solution;
        if (!lp.solve(solution))
            return false;
        std::copy(solution.begin(), solution.end(), u.begin() + m * w.fixed);
    }
    for (int t = 0; t < w.count; ++t)
        for (int j = 0; j < m; ++j) {
            const int k = axes[static_cast<size_t>(j)];
            axisOf(corrections[static_cast<size_t>(t)], k) =
                u[static_cast<size_t>(m * t + j)] / unit[k];
        }
    return true;
}

// How far the worst corner of `correction` (plus the constant motion)
// reads outside the frame, pixels, without linearising; 0 or less: inside.
double cornerShortfall(const PathPoint& correction, const PlannerSettings& s) {
    const double cx = s.width / 2, cy = s.height / 2;
    const PathPoint t{correction.x + s.constant.x, correction.y + s.constant.y,
                      correction.a + s.constant.a};
    const double cosA = std::cos(t.a), sinA = std::sin(t.a);
    double worst = -kInf;
    for (const double ox : {0.0, s.width - 1.0})
        for (const double oy : {0.0, s.height - 1.0}) {
            const double qx = cx + (ox - cx) / s.zoom - t.x, qy = cy + (oy - cy) / s.zoom - t.y;
            const double px = cosA * qx + sinA * qy, py = -sinA * qx + cosA * qy;
            worst = std::max({worst, kEdge - px, px - (s.width - 1.0 - kEdge), kEdge - py,
                              py - (s.height - 1.0 - kEdge)});
        }
    return worst;
}

// Plans one window. Without the crop the three axes are independent, and
// three small programmes solve much faster than one; when that plan
// already covers the crop it is also the optimum under it. Otherwise the
// axes are planned together under the crop, and each frame found short on
// its exact corners gets a wider margin until none is (frame by frame, so
// one frame's rounding does not move the plan of every other).
bool planWindow(const Window& w, const PlannerSettings& s, std::vector<PathPoint>& corrections) {
    std::vector<double> margins(static_cast<size_t>(w.count), 0.05);
    // each axis on its own thread: the programmes share nothing but the
    // corrections, of which each writes its own axis
    corrections.resize(static_cast<size_t>(w.count));
    bool solved[3] = {false, false, false};
    // the simplex only should the interior-point method not converge
    const auto one = [&](int k) {
        return solveBanded(w, s, {k}, margins, corrections) ||
               solveWindow(w, s, {k}, margins, corrections);
    };
    std::thread y([&] { solved[1] = one(1); });
    std::thread a([&] { solved[2] = one(2); });
    solved[0] = one(0);
    y.join();
    a.join();
    if (!(solved[0] && solved[1] && solved[2]))
        return false;
    for (int attempt = 0; hasCrop(s); ++attempt) {
        bool short_ = false;
        for (int t = w.fixed; t < w.count; ++t) {
            const double shortfall = cornerShortfall(corrections[static_cast<size_t>(t)], s);
            if (shortfall > 0.0 && attempt > 0)
                margins[static_cast<size_t>(t)] += shortfall + 0.05;
            short_ = short_ || shortfall > 0.0;
        }
        if (!short_)
            return true;
        if (attempt == kMarginTries || !(solveBanded(w, s, {0, 1, 2}, margins, corrections) ||
                                         solveWindow(w, s, {0, 1, 2}, margins, corrections)))
            return false;
    }
    return true;
}

}  // namespace

double plannedCost(const std::vector<PathPoint>& measured, const std::vector<PathPoint>& path,
                   const PlannerSettings& s, double* smoothness) {
    const double unit[3] = {1.0, 1.0, angleScale(s)};
    const double orderWeight[3] = {s.weights.velocity, s.weights.acceleration, s.weights.jerk};
    const size_t n = std::min(measured.size(), path.size());
    double fidelity = 0.0, differences = 0.0;
    for (int k = 0; k < 3; ++k) {
        for (size_t t = 0; t < n; ++t) {
            const double share = std::min({1.0, (t + 1.0) / kEndFrames, (n - t) / kEndFrames}) *
                                 tieBreak(static_cast<int>(t));
            fidelity += s.weights.fidelity * share *
                        pull(unit[k] * std::fabs(axisOf(path[t], k) - axisOf(measured[t], k)));
            for (int order = 1; order <= 3 && static_cast<size_t>(order) <= t; ++order) {
                double difference = 0.0;
                for (int j = 0; j <= order; ++j)
                    difference += differenceWeights(order)[static_cast<size_t>(j)] *
                                  axisOf(path[t - static_cast<size_t>(j)], k);
                differences += orderWeight[order - 1] * unit[k] * std::fabs(difference);
            }
        }
    }
    if (smoothness != nullptr)
        *smoothness = differences;
    return fidelity + differences;
}

bool planPath(const std::vector<PathPoint>& measured, const PlannerSettings& s,
              PlannedPath& planned) {
    const int n = static_cast<int>(measured.size());
    planned = PlannedPath{measured, 0.0, false};
    std::vector<PathPoint> corrections(measured.size()), window;
    const int length = s.windowFrames > 0 ? std::max(s.windowFrames, 4 * kFixedFrames) : n;
    const int overlap = std::clamp(s.overlapFrames, 0, length - 2 * kFixedFrames);
    // frames [begin, begin + count) are planned; all before `begin + fixed` are kept
    for (int begin = 0, fixed = 0; begin < n;) {
        // a short remainder joins the last window, which then ends the shot
        const int count = n - begin <= length + overlap ? n - begin : length;
        const Window w{measured.data() + begin, count, fixed, corrections.data() + begin,
                       begin + count == n,      begin};
        if (!planWindow(w, s, window))
            return false;
        const bool last = begin + count == n;
        const int keep = last ? count : count - overlap;
        std::copy(window.begin() + fixed, window.begin() + keep,
                  corrections.begin() + begin + fixed);
        if (last)
            break;
        begin += keep - kFixedFrames;
        fixed = kFixedFrames;
    }
    for (int t = 0; t < n; ++t) {
        const PathPoint &m = measured[static_cast<size_t>(t)],
                        &u = corrections[static_cast<size_t>(t)];
        planned.path[static_cast<size_t>(t)] = {m.x + u.x, m.y + u.y, m.a + u.a};
    }
    planned.cost = plannedCost(measured, planned.path, s, &planned.smoothness);
    planned.feasible = true;
    return true;
}

}  // namespace orl::calmora
