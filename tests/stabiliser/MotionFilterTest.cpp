// Motion filter: known sequences for fixed, adaptive and unit coefficients,
// the adaptive coefficient itself and the path bound.

#include "MotionFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace orl::calmora {
namespace {

TEST(MotionFilterTest, KnownSequences) {
    const double c9 = static_cast<double>(0.9f), c9to6 = std::pow(c9, 6);
    // one 32 (or 64) among 63 zeros: variance 15.75 (or 63)
    const double cx = 0.8 + 0.18 * std::sqrt(15.75) / 30.0,
                 cy = 0.8 + 0.18 * std::sqrt(63.0) / 30.0;
    struct Case {
        const char* name;
        FilterCoeffs coeffs;
        Motion first, rest;  // the first measurement, then every later one
        int frames;
        Offsets last;
    };
    const Case cases[] = {
        // a single shake decays geometrically: -10, -9, -8.1, ...
        {"shake",
         {0.9f, 0.9f, 0.9f},
         {10, -4, 0.02},
         {},
         7,
         {-10 * c9to6, 4 * c9to6, -0.02 * c9to6}},
        // steady motion: the offset tends to -motion / (1 - c)
        {"steady", {0.9f, 0.9f, 0.9f}, {2, 0, 0}, {2, 0, 0}, 300, {-2 / (1 - c9), 0, 0}},
        // coefficient 1 holds the picture still: the offset is minus the path
        {"frozen", {0.9f, 1.0f, 0.9f}, {0, 3, 0}, {0, -1.25, 0}, 5, {0, -3 + 4 * 1.25, 0}},
        // coefficient 0 is adaptive, from each axis's own ring
        {"adaptive", {0.0f, 0.0f, 0.5f}, {32, 64, 0.02}, {}, 2, {-32 * cx, -64 * cy, -0.01}},
    };
    for (const Case& c : cases) {
        MotionFilter filter;
        Offsets o;
        for (int k = 0; k < c.frames; ++k) {
            o = filter.update(k == 0 ? c.first : c.rest, c.coeffs);
        }
        EXPECT_NEAR(o.x, c.last.x, 1e-9) << c.name;
        EXPECT_NEAR(o.y, c.last.y, 1e-9) << c.name;
        EXPECT_NEAR(o.a, c.last.a, 1e-9) << c.name;
    }
}

TEST(MotionFilterTest, AdaptiveCoefficientFollowsTheRingsDeviation) {
    struct Case {
        std::vector<double> pattern;  // repeated over the ring
        double fullScale, expected;
    };
    const Case cases[] = {{{0.0}, 30, 0.8},        {{30, -30}, 30, 0.98},
                          {{100, -100}, 30, 0.98}, {{15, -15}, 30, 0.89},
                          {{7.0}, 30, 0.8},        {{0.05, -0.05}, 0.1, 0.89},
                          {{0.1, -0.1}, 0.1, 0.98}};
    for (const Case& c : cases) {
        std::array<double, MotionFilter::HISTORY_SIZE> ring{};
        for (size_t i = 0; i < ring.size(); ++i) {
            ring[i] = c.pattern[i % c.pattern.size()];
        }
        EXPECT_NEAR(MotionFilter::adaptiveCoeff(ring, c.fullScale), c.expected, 1e-12)
            << c.pattern[0] << " of " << c.fullScale;
    }
}

TEST(MotionFilterTest, BoundMovesPathAndSmoothedTogetherWithoutAJump) {
    for (const double pan : {50.0, -50.0}) {
        MotionFilter filter;
        Offsets o;
        for (int frame = 0; frame < 400; ++frame) {
            o = filter.update({pan, 0.0, 0.0}, {0.5f, 0.5f, 0.5f});
            EXPECT_LE(std::fabs(filter.smoothed().x), MotionFilter::PATH_BOUND);
            if (frame > 60) {  // after the start-up transient: -motion / (1 - c)
                EXPECT_NEAR(o.x, -2 * pan, 1e-6) << "frame " << frame;
            }
        }
        EXPECT_LT(std::fabs(filter.path().x), 10000 + 2 * std::fabs(pan)) << pan;
    }
}

}  // namespace
}  // namespace orl::calmora
