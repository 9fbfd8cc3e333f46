// The interior-point method on programmes with known optima: a weighted
// median, the same held by a box and by a range, a chain pulled to one
// value, and a pair of ranges with no room between them.

#include "BandedProgramme.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace orl::calmora;

namespace {

// weight |u_0 - target| as a term
void absolute(BandedProgramme& lp, int unknown, double target, double weight) {
    lp.addTerm(-target);
    lp.addCoefficient(unknown, 1.0);
    lp.addPiece(weight, 0.0);
    lp.addPiece(-weight, 0.0);
}

}  // namespace

TEST(BandedProgrammeTest, KnownOptimaAndNoRoomSaid) {
    // |u - 1| + 2 |u - 5| + |u - 9|: the weighted median 5, unless held off it
    const struct {
        const char* name;
        double lo, hi;            // the box
        double rangeLo, rangeHi;  // a range on 2u + 1
        double expected;          // NAN: no room
    } table[] = {
        {"free", -100, 100, -1e9, 1e9, 5.0},
        {"box", 6, 10, -1e9, 1e9, 6.0},
        {"range", -100, 100, -1e9, 7.0, 3.0},  // 2u + 1 <= 7
        {"range below", -100, 100, 19.0, 1e9, 9.0},
        {"no room", -10, 10, 30.0, 1e9, NAN},  // u >= 14.5, outside the box
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        BandedProgramme lp(1);
        lp.bound(0, row.lo, row.hi);
        for (const auto& [target, weight] : {std::pair(1.0, 1.0), {5.0, 2.0}, {9.0, 1.0}})
            absolute(lp, 0, target, weight);
        lp.addRange(1.0, row.rangeLo, row.rangeHi);
        lp.addCoefficient(0, 2.0);
        std::vector<double> u;
        ASSERT_EQ(lp.solve(u), !std::isnan(row.expected));
        if (!std::isnan(row.expected)) {
            EXPECT_NEAR(u[0], row.expected, 1e-6);
        }
    }
}

TEST(BandedProgrammeTest, AChainIsHeldTogetherAtItsMedian) {
    // sum |u_t - m_t| + 10 sum |u_t - u_t-1|: one value, the median of m
    const std::vector<double> measured{0, 4, 0, 1, 0, 3, 9};
    BandedProgramme lp(static_cast<int>(measured.size()));
    for (size_t t = 0; t < measured.size(); ++t) {
        absolute(lp, static_cast<int>(t), measured[t], 1.0);
        if (t > 0) {
            lp.addTerm(0.0);
            lp.addCoefficient(static_cast<int>(t), 1.0);
            lp.addCoefficient(static_cast<int>(t) - 1, -1.0);
            lp.addPiece(10.0, 0.0);
            lp.addPiece(-10.0, 0.0);
        }
    }
    std::vector<double> u;
    ASSERT_TRUE(lp.solve(u));
    for (const double v : u)
        EXPECT_NEAR(v, 1.0, 1e-6);
}
