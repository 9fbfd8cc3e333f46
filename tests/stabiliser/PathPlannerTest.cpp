// The planner on shaken paths with known answers: a still camera, a steady
// pan and an eased move come back; the crop is covered on the exact corners;
// a long shot planned in windows has no seam; a crop no path keeps is said.

#include <calmora/PathPlanner.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using namespace orl::calmora;

namespace {

constexpr double kPi = 3.141592653589793;

// `intended` plus a hand's shake: fast waves (2 to 7 cycles a second at 30
// frames a second) of `pixels` and pixels / 400 radians.
std::vector<PathPoint> shaken(const std::function<PathPoint(int)>& intended, int n, double pixels) {
    std::vector<PathPoint> path;
    for (int t = 0; t < n; ++t) {
        const auto wave = [&](double phase) {
            return 0.6 * std::sin(0.42 * t + phase) + 0.4 * std::sin(1.37 * t + 2 * phase);
        };
        const PathPoint p = intended(t);
        path.push_back(
            {p.x + pixels * wave(0.3), p.y + pixels * wave(1.9), p.a + pixels / 400 * wave(4.1)});
    }
    return path;
}

double distance(const PathPoint& p, const PathPoint& q) {
    return std::hypot(p.x - q.x, p.y - q.y);
}

}  // namespace

TEST(PathPlannerTest, StillPanAndEasedMovesComeBackThroughTheShake) {
    const int n = 240;
    const struct {
        const char* name;
        std::function<PathPoint(int)> intended;
        double tolerance;  // pixels from the intended path
    } table[] = {
        {"still", [](int) { return PathPoint{}; }, 0.3},  // and constant, below
        {"pan",
         [](int t) {
             return PathPoint{1.5 * t, -0.4 * t, 0.0};
         },
         0.4},
        {"eased",
         [](int t) {
             const double s = std::clamp((t - 40) / 160.0, 0.0, 1.0);  // still, move, still
             return PathPoint{120.0 * (1 - std::cos(kPi * s)) / 2, 0.0, 0.0};
         },
         1.0},
    };
    PlannerSettings settings;
    std::tie(settings.width, settings.height) = std::tuple(640, 360);
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        PlannedPath planned;
        ASSERT_TRUE(planPath(shaken(row.intended, n, 5.0), settings, planned));
        ASSERT_TRUE(planned.feasible);
        double worst = 0.0, lo = INFINITY, hi = -INFINITY;  // inside: the ends see one side
        for (int t = 30; t < n - 30; ++t) {
            const PathPoint& p = planned.path[static_cast<size_t>(t)];
            worst = std::max(worst, distance(p, row.intended(t)));
            std::tie(lo, hi) = std::tuple(std::min(lo, p.x + p.y), std::max(hi, p.x + p.y));
        }
        EXPECT_LT(worst, row.tolerance);
        EXPECT_TRUE(std::string(row.name) != "still" || hi - lo < 0.05) << hi - lo;  // constant
    }
}

TEST(PathPlannerTest, CropIsCoveredOnTheExactCornersAndAnImpossibleOneIsSaid) {
    const auto pan = [](int t) { return PathPoint{1.0 * t, 0.2 * t, 0.0}; };
    const std::vector<PathPoint> measured = shaken(pan, 150, 8.0);
    PlannerSettings settings;
    std::tie(settings.width, settings.height, settings.zoom) = std::tuple(320, 180, 1.03);
    settings.constant = {2.0, -1.0, 0.002};  // the constant offsets, moved with every frame
    PlannedPath free, cropped;
    PlannerSettings none = settings;
    none.zoom = 1.0;
    ASSERT_TRUE(planPath(measured, none, free));
    ASSERT_TRUE(planPath(measured, settings, cropped));
    int uncoveredFree = 0;
    for (size_t t = 0; t < measured.size(); ++t) {
        const auto applied = [&](const PlannedPath& plan) {
            const PathPoint &p = plan.path[t], &m = measured[t], &c = settings.constant;
            return Correction{p.x - m.x + c.x, p.y - m.y + c.y, p.a - m.a + c.a, 1.0};
        };
        EXPECT_TRUE(coversFrame(applied(cropped), settings.zoom, 320, 180)) << t;
        uncoveredFree += coversFrame(applied(free), settings.zoom, 320, 180) ? 0 : 1;
    }
    EXPECT_GT(uncoveredFree, 10);        // the crop did bind
    EXPECT_GT(cropped.cost, free.cost);  // and cost something
    // a constant shift beyond the 4.7 pixels a 3% crop leaves, corrections held within 2
    std::tie(settings.constant, settings.limits) =
        std::tuple(PathPoint{12, 0, 0}, PathPoint{2, 2, 1});
    EXPECT_FALSE(planPath(measured, settings, cropped));
    EXPECT_FALSE(cropped.feasible);
}

TEST(PathPlannerTest, WindowsLeaveNoSeam) {
    const auto wander = [](int t) {
        return PathPoint{40 * std::sin(t / 37.0) + 0.5 * t, 15 * std::cos(t / 23.0), 0.0};
    };
    const PlannerSettings defaults;
    const struct {
        int frames, window, overlap;
    } table[] = {{1000, 400, 200},  // 3 seams
                 {6500, defaults.windowFrames, defaults.overlapFrames}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.window);
        const std::vector<PathPoint> measured = shaken(wander, row.frames, 6.0);
        PlannerSettings whole, windowed;
        std::tie(whole.width, whole.height, whole.zoom, whole.windowFrames) =
            std::tuple(640, 360, 1.05, 0);
        windowed = whole;
        std::tie(windowed.windowFrames, windowed.overlapFrames) =
            std::tuple(row.window, row.overlap);
        PlannedPath once, pieces;
        ASSERT_TRUE(planPath(measured, whole, once));
        ASSERT_TRUE(planPath(measured, windowed, pieces));
        double worst = 0.0;  // the angle as it moves a corner
        for (size_t t = 0; t < measured.size(); ++t)
            worst = std::max({worst, distance(once.path[t], pieces.path[t]),
                              367 * std::fabs(once.path[t].a - pieces.path[t].a)});
        EXPECT_LT(worst, 0.1);
    }
}
