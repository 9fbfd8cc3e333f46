#pragma once

#include <calmora/CameraPath.h>

#include <vector>

namespace orl::calmora {

/// Weights of the planned path's cost, per frame and per pixel; an angle
/// counts as the pixels it moves a point at the frame's half-diagonal.
struct PlannerWeights {
    double velocity{1.0};      ///< |first difference|: a still camera stays still
    double acceleration{3.0};  ///< |second difference|: a pan keeps its speed
    double jerk{300.0};        ///< |third difference|: speed changes ease in and out
    /// The pull towards the measured path: per pixel of |smoothed -
    /// measured|, half this below 1 pixel, this to 3, twice to 7, 4 times
    /// beyond (and growing from nothing over a shot's first and last 15
    /// frames, where the shake lies on one side only): holds the path in
    /// the middle of the shake, within the room the crop leaves.
    double fidelity{1.0};
};

/// How one shot is planned.
struct PlannerSettings {
    PlannerWeights weights;  ///< what the objective weighs
    int width{0};      ///< frame width, pixels (> 0 for a crop)
    int height{0};     ///< frame height, pixels
    double zoom{1.0};  ///< the crop: the frame scaled by 1 / zoom about its centre; <= 1: none
    PathPoint limits{150.0, 150.0, 10.0};  ///< largest |correction| per axis, pixels and radians
    /// Motion added to every correction as it is written (the constant
    /// offsets), pixels and radians: the crop is held for the sum.
    PathPoint constant;
    /// Shots longer than this plus `overlapFrames` are planned in windows of
    /// this many frames, each overlapping the next by `overlapFrames`; 0:
    /// always at once. An overlap of 400 frames keeps the plan within a few
    /// hundredths of a pixel of the shot planned at once; longer windows
    /// cost the interior-point method less (fewer frames planned twice) but
    /// a window is solved again whole when one of its frames misses the
    /// crop on its exact corners.
    int windowFrames{3000};
    int overlapFrames{400};  ///< frames each window shares with the next
};

/// A planned shot.
struct PlannedPath {
    std::vector<PathPoint> path;  ///< the smoothed path, one point per frame
    double cost{0.0};             ///< the weighted sum the planner minimised
    double smoothness{0.0};       ///< its part from the differences alone
    bool feasible{false};         ///< false: no path keeps the crop covered within the limits
};

/// The L1-optimal path of one shot (`measured`, the camera path from its
/// first frame): the least weighted sum of |first|, |second| and |third
/// differences| (x, y and angle together) and the pull to the measured path, with
/// every correction (smoothed - measured) within `limits` and, with a
/// zoom above 1, the crop rectangle covered by the corrected frame at every
/// frame (checked on its four corners without the angle's linearisation).
/// The path is piecewise: still, then constant speed, then eased, the way an
/// operator moves a camera. False, with `planned.feasible` false and the
/// measured path as the plan, when no path meets the constraints (a
/// constant offset the crop cannot hold) or the solver fails.
CALMORA_STABILISER_EXPORT bool planPath(const std::vector<PathPoint>& measured, const PlannerSettings& settings,
              PlannedPath& planned);

/// The cost planPath() minimises, of `path` against `measured` (same size);
/// `smoothness`, when given, receives its part from the differences alone.
CALMORA_STABILISER_EXPORT double plannedCost(const std::vector<PathPoint>& measured, const std::vector<PathPoint>& path,
                   const PlannerSettings& settings, double* smoothness = nullptr);

}  // namespace orl::calmora
