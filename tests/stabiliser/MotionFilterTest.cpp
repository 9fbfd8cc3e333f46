// Motion filter: known sequences for fixed and adaptive coefficients and
// the path bound.

#include "MotionFilter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace orl::calmora {
namespace {

using Ring = std::array<double, MotionFilter::HISTORY_SIZE>;

TEST(MotionFilterTest, SingleShakeDecaysGeometricallyWithFixedCoefficient) {
    MotionFilter filter;
    const FilterCoeffs coeffs{0.9f, 0.9f, 0.9f};
    // +10 then zeros: -10, then the smoothed value 1 decays by 0.9 each frame
    Offsets o = filter.update({10.0, -4.0, 0.02}, coeffs);
    EXPECT_DOUBLE_EQ(o.x, -10.0);
    EXPECT_DOUBLE_EQ(o.y, 4.0);
    EXPECT_DOUBLE_EQ(o.a, -0.02);
    const double c = static_cast<double>(0.9f);
    double expected = -10.0;
    for (int frame = 0; frame < 6; ++frame) {
        o = filter.update({}, coeffs);
        expected *= c;
        EXPECT_NEAR(o.x, expected, 1e-9) << "frame " << frame;
    }
    EXPECT_NEAR(o.x, -10.0 * std::pow(c, 6), 1e-9);  // about -5.3
}

TEST(MotionFilterTest, ConstantMotionDrivesOffsetToMotionOverOneMinusCoeff) {
    MotionFilter filter;
    Offsets o;
    for (int frame = 0; frame < 300; ++frame) {
        o = filter.update({2.0, 0.0, 0.0}, {0.9f, 0.9f, 0.9f});
    }
    EXPECT_NEAR(o.x, -20.0, 0.01);
    EXPECT_NEAR(o.y, 0.0, 1e-12);
}

TEST(MotionFilterTest, AdaptiveCoefficientFollowsRingDeviation) {
    struct Case {
        const char* name;
        std::vector<double> pattern;  // repeated over the ring
        double fullScale;
        double expected;
    };
    const Case cases[] = {
        {"still", {0.0}, 30.0, 0.8},
        {"alternating +-30", {30.0, -30.0}, 30.0, 0.98},
        {"beyond full scale", {100.0, -100.0}, 30.0, 0.98},
        {"sigma 15", {15.0, -15.0}, 30.0, 0.89},
        {"constant offset has no deviation", {7.0}, 30.0, 0.8},
        {"rotation sigma 0.05", {0.05, -0.05}, 0.1, 0.89},
        {"rotation sigma 0.1", {0.1, -0.1}, 0.1, 0.98},
    };
    for (const Case& c : cases) {
        Ring ring{};
        for (size_t i = 0; i < ring.size(); ++i) {
            ring[i] = c.pattern[i % c.pattern.size()];
        }
        EXPECT_NEAR(MotionFilter::adaptiveCoeff(ring, c.fullScale), c.expected, 1e-12) << c.name;
    }
}

TEST(MotionFilterTest, ZeroCoefficientUsesAdaptiveValuePerAxis) {
    // A ring of zeros plus one 64: mean 1, variance (63 + 63^2) / 64 = 63,
    // so x uses 0.8 + 0.18 * sqrt(63) / 30 while y (fixed 0.5) does not.
    MotionFilter filter;
    const FilterCoeffs coeffs{0.0f, 0.5f, 0.0f};
    filter.update({64.0, 64.0, 0.0}, coeffs);
    const double cx = 0.8 + 0.18 * std::sqrt(63.0) / 30.0;
    EXPECT_NEAR(filter.smoothed().x, (1.0 - cx) * 64.0, 1e-9);
    EXPECT_NEAR(filter.smoothed().y, 0.5 * 64.0, 1e-9);
    EXPECT_DOUBLE_EQ(filter.smoothed().a, 0.0);  // still ring: 0.8, path 0
}

TEST(MotionFilterTest, CoefficientOneHoldsPictureStill) {
    MotionFilter filter;
    double path = 0.0;
    const double motions[] = {3.0, -1.5, 7.25, 0.5};
    for (double m : motions) {
        path += m;
        const Offsets o = filter.update({0.0, m, 0.0}, {0.9f, 1.0f, 0.9f});
        EXPECT_DOUBLE_EQ(o.y, -path);
    }
    EXPECT_DOUBLE_EQ(filter.smoothed().y, 0.0);
}

TEST(MotionFilterTest, BoundMovesPathAndSmoothedWithoutOffsetJump) {
    // A steady pan of +50 per frame: the smoothed path passes 10000 and both
    // values drop together; the offset keeps its steady value.
    for (const double pan : {50.0, -50.0}) {
        MotionFilter filter;
        Offsets o;
        Offsets previous;
        bool bounded = false;
        for (int frame = 0; frame < 400; ++frame) {
            o = filter.update({pan, 0.0, 0.0}, {0.5f, 0.5f, 0.5f});
            if (frame > 60) {  // after the start-up transient
                EXPECT_NEAR(o.x, previous.x, 1e-6) << "frame " << frame;
            }
            previous = o;
            bounded = bounded || std::fabs(filter.path().x) < std::fabs(pan) * frame - 1.0;
            EXPECT_LE(std::fabs(filter.smoothed().x), MotionFilter::PATH_BOUND);
        }
        EXPECT_TRUE(bounded) << "pan " << pan;
        EXPECT_NEAR(o.x, -pan / (1.0 - 0.5), 1e-6);  // steady offset: -motion / (1 - c)
    }
}

TEST(MotionFilterTest, ResetClearsPathRingsAndPosition) {
    MotionFilter filter;
    for (int i = 0; i < 10; ++i) {
        filter.update({30.0 * (i % 2 ? 1 : -1), 5.0, 0.1}, {0.0f, 0.0f, 0.0f});
    }
    filter.reset();
    EXPECT_DOUBLE_EQ(filter.path().x, 0.0);
    EXPECT_DOUBLE_EQ(filter.smoothed().y, 0.0);
    // after a reset the ring is still: a +10 shake behaves as on a new filter
    MotionFilter fresh;
    const Offsets a = filter.update({10.0, 0.0, 0.0}, {0.0f, 0.0f, 0.0f});
    const Offsets b = fresh.update({10.0, 0.0, 0.0}, {0.0f, 0.0f, 0.0f});
    EXPECT_DOUBLE_EQ(a.x, b.x);
    EXPECT_DOUBLE_EQ(filter.update({}, {}).x, fresh.update({}, {}).x);
}

}  // namespace
}  // namespace orl::calmora
