// The interior-point method on a sum of convex piecewise-linear terms.
// - Each term r, f_r(z) = max_p (slope_p z + intercept_p) of z = a_r.u + b_r,
//   is an epigraph unknown tau_r with one inequality per piece,
//   slope_p z + intercept_p - tau_r + s_p = 0, s_p >= 0; each box a pair
//   u_k - hi_k + s = 0 and lo_k - u_k + s = 0, each range alike on its
//   linear form (a term with no epigraph value). Minimised: sum of tau_r.
// - The Newton system of the central path, with W = lambda / s per
//   inequality, is eliminated term by term down to the unknowns:
//   H = sum_r gamma_r a_r a_r' + diag(W of the boxes), gamma_r the
//   W-weighted variance of the term's slopes. A term's unknowns lie within
//   `band` of each other, so H is a band matrix and its Cholesky factor too.
// - A pivot that vanishes (a direction no term curves in) is made huge:
//   the step leaves that unknown where it is, as interior-point codes do;
//   a hair of regularisation on the diagonal keeps that rare.
// - Converged: the gap and the primal residuals vanish, relative to the
//   objective and to the linear forms' offsets. The multipliers' residual
//   on the unknowns stalls near 1e-7 of the slopes once pivots vanish, and
//   is only held to 1e-5 of them: the unknowns are what is asked for, and
//   they agree with the dual simplex's to 1e-6 there.
// - A programme with no room (ranges the box cannot meet) never converges:
//   false after kMaxIterations steps.

#include "BandedProgramme.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace orl::calmora {

namespace {

constexpr int kMaxIterations = 120;
constexpr double kStepShare = 0.995;     // of the way to the boundary
constexpr double kTolerance = 1e-10;     // relative gap and residuals at the optimum
constexpr double kDualTolerance = 1e-5;  // of the largest slope times coefficient
constexpr double kHugePivot = 1e64;
// added to H's diagonal, of its largest entry: on long programmes under
// many ranges, pivots vanishing one after another left the multipliers'
// residual growing and the method stalled; this keeps it converging
// (19,500 unknowns: 42 steps) and moves the unknowns by 1e-7 at most
constexpr double kRegularisation = 1e-15;

// The largest step along `d` that keeps `x` + step d >= 0.
double stepTo(const std::vector<double>& x, const std::vector<double>& d) {
    double step = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < x.size(); ++i)
        if (d[i] < 0.0)
            step = std::min(step, -x[i] / d[i]);
    return step;
}

double dot(const std::vector<double>& a, const std::vector<double>& b, double step_a = 0.0,
           const std::vector<double>* da = nullptr, double step_b = 0.0,
           const std::vector<double>* db = nullptr) {
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (a[i] + (da ? step_a * (*da)[i] : 0.0)) * (b[i] + (db ? step_b * (*db)[i] : 0.0));
    return sum;
}

double largest(const std::vector<double>& v) {
    double m = 0.0;
    for (const double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

}  // namespace

// The unknowns, the terms' epigraph values, and per inequality (the
// pieces, then the upper boxes, then the lower ones) slack and multiplier.
struct BandedProgramme::Iterate {
    std::vector<double> u, tau, s, l;
};

// A direction, or the residuals laid out alike: u the dual residual of the
// unknowns, tau that of the epigraph values, s the primal one.
struct BandedProgramme::Step {
    std::vector<double> u, tau, s, l;
};

BandedProgramme::BandedProgramme(int unknowns)
    : n_(unknowns),
      lo_(static_cast<size_t>(unknowns), -1e9),
      hi_(static_cast<size_t>(unknowns), 1e9) {}

void BandedProgramme::bound(int unknown, double lo, double hi) {
    lo_[static_cast<size_t>(unknown)] = lo;
    hi_[static_cast<size_t>(unknown)] = hi;
}

void BandedProgramme::addTerm(double offset) {
    if (!offset_.empty()) {
        coefStart_.push_back(static_cast<int>(index_.size()));
        pieceStart_.push_back(static_cast<int>(slope_.size()));
    }
    offset_.push_back(offset);
    range_.push_back(0);
}

void BandedProgramme::addRange(double offset, double lo, double hi) {
    addTerm(offset);
    range_.back() = 1;
    addPiece(1.0, -hi);  // z - hi + s = 0
    addPiece(-1.0, lo);  // lo - z + s = 0
}

void BandedProgramme::addCoefficient(int unknown, double coefficient) {
    for (size_t i = static_cast<size_t>(coefStart_.back()); i < index_.size(); ++i)
        band_ = std::max(band_, std::abs(index_[i] - unknown));
    index_.push_back(unknown);
    coefficient_.push_back(coefficient);
}

void BandedProgramme::addPiece(double slope, double intercept) {
    slope_.push_back(slope);
    intercept_.push_back(intercept);
}

void BandedProgramme::residuals(const Iterate& it, Step& r) const {
    const size_t terms = offset_.size(), pieces = slope_.size(), n = static_cast<size_t>(n_);
    r.u.assign(n, 0.0);
    r.tau.assign(terms, 1.0);
    r.s.resize(pieces + 2 * n);
    for (size_t t = 0; t < terms; ++t) {
        const Span sp = span(t);
        double z = offset_[t], pull = 0.0;
        for (size_t c = sp.c0; c < sp.c1; ++c)
            z += coefficient_[c] * it.u[static_cast<size_t>(index_[c])];
        for (size_t p = sp.p0; p < sp.p1; ++p) {
            r.s[p] = slope_[p] * z + intercept_[p] - it.tau[t] + it.s[p];
            pull += it.l[p] * slope_[p];
            r.tau[t] -= it.l[p];
        }
        if (range_[t])
            r.tau[t] = 0.0;
        for (size_t c = sp.c0; c < sp.c1; ++c)
            r.u[static_cast<size_t>(index_[c])] += coefficient_[c] * pull;
    }
    for (size_t k = 0; k < n; ++k) {
        r.s[pieces + k] = it.u[k] - hi_[k] + it.s[pieces + k];
        r.s[pieces + n + k] = lo_[k] - it.u[k] + it.s[pieces + n + k];
        r.u[k] += it.l[pieces + k] - it.l[pieces + n + k];
    }
}

void BandedProgramme::factorise(std::vector<double>& h) const {
    const int b = band_, w = band_ + 1;
    const auto at = [&](int i, int j) -> double& { return h[static_cast<size_t>(i * w + i - j)]; };
    for (int i = 0; i < n_; ++i) {
        for (int j = std::max(0, i - b); j <= i; ++j) {
            double sum = at(i, j);
            for (int k = std::max(0, i - b); k < j; ++k)
                sum -= at(i, k) * at(j, k);
            if (j < i) {
                at(i, j) = sum / at(j, j);
            } else {
                const double scale = h[static_cast<size_t>(i * w)];
                at(i, i) = sum > 1e-13 * std::max(scale, 1e-300) ? std::sqrt(sum) : kHugePivot;
            }
        }
    }
}

void BandedProgramme::backSolve(const std::vector<double>& l, std::vector<double>& x) const {
    const int b = band_, w = band_ + 1;
    const auto at = [&](int i, int j) { return l[static_cast<size_t>(i * w + i - j)]; };
    for (int i = 0; i < n_; ++i) {
        double sum = x[static_cast<size_t>(i)];
        for (int k = std::max(0, i - b); k < i; ++k)
            sum -= at(i, k) * x[static_cast<size_t>(k)];
        x[static_cast<size_t>(i)] = sum / at(i, i);
    }
    for (int i = n_ - 1; i >= 0; --i) {
        double sum = x[static_cast<size_t>(i)];
        for (int k = i + 1; k <= std::min(n_ - 1, i + b); ++k)
            sum -= at(k, i) * x[static_cast<size_t>(k)];
        x[static_cast<size_t>(i)] = sum / at(i, i);
    }
}

BandedProgramme::Span BandedProgramme::span(size_t t) const {
    const bool last = t + 1 == offset_.size();
    return {static_cast<size_t>(coefStart_[t]),
            last ? index_.size() : static_cast<size_t>(coefStart_[t + 1]),
            static_cast<size_t>(pieceStart_[t]),
            last ? slope_.size() : static_cast<size_t>(pieceStart_[t + 1])};
}

void BandedProgramme::newtonMatrix(const Iterate& it, Newton& nm) const {
    const size_t terms = offset_.size(), pieces = slope_.size(), n = static_cast<size_t>(n_);
    const size_t w = static_cast<size_t>(band_) + 1;
    nm.w.resize(it.s.size());
    for (size_t i = 0; i < it.s.size(); ++i)
        nm.w[i] = it.l[i] / it.s[i];
    nm.h.assign(n * w, 0.0);
    nm.mean.resize(terms);
    nm.sumW.resize(terms);
    for (size_t k = 0; k < n; ++k)
        nm.h[k * w] = nm.w[pieces + k] + nm.w[pieces + n + k];
    for (size_t t = 0; t < terms; ++t) {
        const Span sp = span(t);
        double sw = 0.0, swa = 0.0;
        for (size_t p = sp.p0; p < sp.p1; ++p) {
            sw += nm.w[p];
            swa += nm.w[p] * slope_[p];
        }
        // a range has no epigraph value: its rows bear on the unknowns alone
        const double m = range_[t] ? 0.0 : swa / sw;
        double gamma = 0.0;
        for (size_t p = sp.p0; p < sp.p1; ++p)
            gamma += nm.w[p] * (slope_[p] - m) * (slope_[p] - m);
        nm.mean[t] = m;
        nm.sumW[t] = sw;
        for (size_t c = sp.c0; c < sp.c1; ++c) {
            const size_t i = static_cast<size_t>(index_[c]);
            for (size_t e = sp.c0; e < sp.c1; ++e) {
                const size_t j = static_cast<size_t>(index_[e]);
                if (j <= i)
                    nm.h[i * w + i - j] += gamma * coefficient_[c] * coefficient_[e];
            }
        }
    }
    double top = 0.0;
    for (size_t k = 0; k < n; ++k)
        top = std::max(top, nm.h[k * w]);
    for (size_t k = 0; k < n; ++k)
        nm.h[k * w] += kRegularisation * top;
    factorise(nm.h);
}

void BandedProgramme::direction(const Iterate& it, const Step& r, const Newton& nm,
                                const std::vector<double>& complement, Step& d) const {
    const size_t terms = offset_.size(), pieces = slope_.size(), n = static_cast<size_t>(n_);
    std::vector<double> q(it.s.size());
    for (size_t i = 0; i < q.size(); ++i)
        q[i] = (it.l[i] * r.s[i] - complement[i]) / it.s[i];
    d.u.resize(n);
    d.tau.resize(terms);
    for (size_t k = 0; k < n; ++k)
        d.u[k] = -r.u[k] - q[pieces + k] + q[pieces + n + k];
    for (size_t t = 0; t < terms; ++t) {
        const Span sp = span(t);
        double sq = 0.0, saq = 0.0;
        for (size_t p = sp.p0; p < sp.p1; ++p) {
            sq += q[p];
            saq += slope_[p] * q[p];
        }
        d.tau[t] = range_[t] ? 0.0 : -r.tau[t] + sq;
        for (size_t c = sp.c0; c < sp.c1; ++c)
            d.u[static_cast<size_t>(index_[c])] += coefficient_[c] * (nm.mean[t] * d.tau[t] - saq);
    }
    backSolve(nm.h, d.u);
    d.s.resize(it.s.size());
    d.l.resize(it.s.size());
    for (size_t t = 0; t < terms; ++t) {
        const Span sp = span(t);
        double dz = 0.0;
        for (size_t c = sp.c0; c < sp.c1; ++c)
            dz += coefficient_[c] * d.u[static_cast<size_t>(index_[c])];
        d.tau[t] = d.tau[t] / nm.sumW[t] + nm.mean[t] * dz;
        for (size_t p = sp.p0; p < sp.p1; ++p) {
            const double g = slope_[p] * dz - d.tau[t];
            d.s[p] = -r.s[p] - g;
            d.l[p] = q[p] + nm.w[p] * g;
        }
    }
    for (size_t k = 0; k < n; ++k)
        for (const auto& [i, g] :
             {std::pair(pieces + k, d.u[k]), std::pair(pieces + n + k, -d.u[k])}) {
            d.s[i] = -r.s[i] - g;
            d.l[i] = q[i] + nm.w[i] * g;
        }
}

bool BandedProgramme::solve(std::vector<double>& u) const {
    const size_t terms = offset_.size(), pieces = slope_.size(), n = static_cast<size_t>(n_);
    const size_t m = pieces + 2 * n;
    Iterate it{std::vector<double>(n), std::vector<double>(terms, 0.0), std::vector<double>(m, 1.0),
               std::vector<double>(m, 1.0)};
    for (size_t k = 0; k < n; ++k)
        it.u[k] =
            std::clamp(0.0, lo_[k] + 0.05 * (hi_[k] - lo_[k]), hi_[k] - 0.05 * (hi_[k] - lo_[k]));
    Step r, d, affine;
    Newton nm;
    residuals(it, r);  // with tau = 0 and s = 1: tau from the pieces' values
    for (size_t t = 0; t < terms; ++t) {
        const Span sp = span(t);
        double top = -std::numeric_limits<double>::infinity();
        for (size_t p = sp.p0; p < sp.p1; ++p)
            top = std::max(top, r.s[p] - 1.0);
        it.tau[t] = range_[t] ? 0.0 : top + 1.0;
        for (size_t p = sp.p0; p < sp.p1; ++p)
            it.s[p] = std::max(1.0, it.tau[t] - (r.s[p] - 1.0));
    }
    for (size_t k = 0; k < n; ++k) {
        it.s[pieces + k] = hi_[k] - it.u[k];
        it.s[pieces + n + k] = it.u[k] - lo_[k];
    }
    std::vector<double> complement(m);
    // the residuals' scales: of the linear forms' values, and of the
    // multipliers' pull on an unknown
    double scale = 1.0, slopes = largest(slope_) * std::max(1.0, largest(coefficient_));
    for (const double o : offset_)
        scale = std::max(scale, std::fabs(o));
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        residuals(it, r);
        const double gap = dot(it.l, it.s),
                     objective = std::accumulate(it.tau.begin(), it.tau.end(), 0.0);
        if (gap <= kTolerance * (1.0 + std::fabs(objective)) &&
            largest(r.s) <= kTolerance * scale && largest(r.u) <= kDualTolerance * slopes &&
            largest(r.tau) <= kDualTolerance) {
            u = it.u;
            return true;
        }
        const double mu = gap / static_cast<double>(m);
        for (size_t i = 0; i < m; ++i)
            complement[i] = it.l[i] * it.s[i];
        newtonMatrix(it, nm);
        direction(it, r, nm, complement, affine);
        const double ap = std::min(1.0, stepTo(it.s, affine.s));
        const double ad = std::min(1.0, stepTo(it.l, affine.l));
        const double muAffine =
            dot(it.s, it.l, ap, &affine.s, ad, &affine.l) / static_cast<double>(m);
        const double sigma = std::pow(muAffine / mu, 3.0);
        for (size_t i = 0; i < m; ++i)
            complement[i] = it.l[i] * it.s[i] + affine.s[i] * affine.l[i] - sigma * mu;
        direction(it, r, nm, complement, d);
        const double primal = std::min(1.0, kStepShare * stepTo(it.s, d.s));
        const double dual = std::min(1.0, kStepShare * stepTo(it.l, d.l));
        for (size_t k = 0; k < n; ++k)
            it.u[k] += primal * d.u[k];
        for (size_t t = 0; t < terms; ++t)
            it.tau[t] += primal * d.tau[t];
        for (size_t i = 0; i < m; ++i) {
            it.s[i] += primal * d.s[i];
            it.l[i] += dual * d.l[i];
        }
    }
    return false;
}

}  // namespace orl::calmora
