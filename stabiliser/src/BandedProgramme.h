#pragma once

#include <cstddef>
#include <vector>

namespace orl::calmora {

/// A linear programme in the shape of a smoothed path: the least sum of
/// convex piecewise-linear functions ("terms"), each of a linear form of
/// a few unknowns that lie close together, every unknown within a box.
/// Solved by a primal-dual interior-point method (Mehrotra's predictor and
/// corrector): each Newton step is one banded system in the unknowns, so a
/// step costs time in proportion to their number, where a simplex method
/// on the same programme spends thousands of pivots on a window of frames.
class BandedProgramme {
  public:
    explicit BandedProgramme(int unknowns);

    /// The box of an unknown; `lo` < `hi`. Unknowns start within [-1e9, 1e9].
    void bound(int unknown, double lo, double hi);
    /// Starts a term: its linear form is `offset` plus the coefficients
    /// added next; its function the greatest of the pieces added next.
    void addTerm(double offset);
    void addCoefficient(int unknown, double coefficient);
    /// A piece `slope` z + `intercept` of the last term, z its linear form.
    void addPiece(double slope, double intercept);
    /// Starts a constraint: its linear form, `offset` plus the coefficients
    /// added next, within [`lo`, `hi`]; it costs nothing.
    void addRange(double offset, double lo, double hi);

    /// The optimal unknowns, into `u`; false when the method does not
    /// converge (a programme with no optimum, no room within its
    /// constraints, or one too ill-conditioned).
    bool solve(std::vector<double>& u) const;

  private:
    struct Iterate;
    struct Step;
    // The Newton system of an iterate, factorised: one for the predictor and
    // the corrector both.
    struct Newton {
        std::vector<double> w;     // per inequality, multiplier / slack
        std::vector<double> h;     // the band matrix's Cholesky factor, by rows
        std::vector<double> mean;  // per term, the W-weighted mean of its slopes
        std::vector<double> sumW;  // per term, the sum of its pieces' W
    };
    // A term's coefficients [c0, c1) and pieces [p0, p1).
    struct Span {
        size_t c0, c1, p0, p1;
    };
    Span span(size_t term) const;
    void residuals(const Iterate& it, Step& r) const;
    void newtonMatrix(const Iterate& it, Newton& nm) const;
    void direction(const Iterate& it, const Step& r, const Newton& nm,
                   const std::vector<double>& complement, Step& d) const;
    void factorise(std::vector<double>& h) const;
    void backSolve(const std::vector<double>& l, std::vector<double>& x) const;

    int n_;
    int band_{0};
    std::vector<double> lo_, hi_;
    std::vector<int> coefStart_{0}, pieceStart_{0}, index_;
    std::vector<double> offset_, coefficient_, slope_, intercept_;
    std::vector<char> range_;  // per term: 1 for a constraint
};

}  // namespace orl::calmora
