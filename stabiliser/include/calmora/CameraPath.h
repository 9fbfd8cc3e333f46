#pragma once

#include <calmora/Calmora.h>
#include <calmora/Correction.h>
#include <calmora/ModeSettings.h>
#include <calmora/StabiliserExport.h>

#include <vector>

namespace orl::calmora {

/// A point of the camera path: where the picture has moved since the start
/// of its shot, pixels (right, down) and radians.
struct PathPoint {
    double x{0.0};  ///< pixels, right positive
    double y{0.0};  ///< pixels, down positive
    double a{0.0};  ///< radians
};

/// The camera path of a clip, shot by shot: the running sum of the
/// measured motions, starting again at 0 on every cut.
struct CALMORA_STABILISER_EXPORT CameraPath {
    std::vector<PathPoint> points;  ///< one per frame
    std::vector<int> cuts;          ///< frames that start a new shot, ascending, > 0

    /// Appends the frame measured as (x, y, a) against the previous one;
    /// `cut` starts a new shot at it (its point is 0).
    void add(double x, double y, double a, bool cut);
};

/// The path averaged about every frame by a line fitted with Gaussian
/// weights of `sigmaFrames` over the frames within 3 sigma, taken at that
/// frame: a steady pan is kept exactly, also near the ends where the
/// window is one-sided, and shake is averaged away.
CALMORA_STABILISER_EXPORT std::vector<PathPoint> localLineSmooth(const std::vector<PathPoint>& path,
                                                                 double sigmaFrames);

/// localLineSmooth's value at `index` (0 .. count - 1) of the `count`
/// points at `path`, which must hold at least one; allocates nothing.
CALMORA_STABILISER_EXPORT PathPoint localLineAt(const PathPoint* path, int count, int index,
                                                double sigmaFrames);

/// localLineSmooth of every shot of `path` on its own: nothing is carried
/// across a cut.
CALMORA_STABILISER_EXPORT std::vector<PathPoint> smoothPath(const CameraPath& path,
                                                            double sigmaFrames);

/// Per frame, the correction that moves the picture from the measured path
/// onto the smoothed one (smoothed minus measured), zoom 1.
CALMORA_STABILISER_EXPORT std::vector<Correction> pathCorrections(
    const std::vector<PathPoint>& measured, const std::vector<PathPoint>& smoothed);

/// True when, under `correction` zoomed by `zoom` about the centre, every
/// output pixel of a `width` x `height` frame reads from inside the frame.
CALMORA_STABILISER_EXPORT bool coversFrame(const Correction& correction, double zoom, int width,
                                           int height);

/// `correction` held within the offset limits of `params`: |x| up to
/// xOffsetLimit, |y| up to yOffsetLimit (pixels), |a| up to aOffsetLimit
/// (radians); a negative or NaN limit holds that axis at 0.
CALMORA_STABILISER_EXPORT Correction limitedCorrection(const Correction& correction,
                                                       const CalmoraParams& params);

/// Writes `src` moved by `correction` into `dst` as the live stabiliser
/// writes its output under `params`: types 0 and 1 shift by whole pixels,
/// type 2 warps (as does any zoom other than 1), the constant offsets are
/// added, uncovered pixels follow transparentBorder, and a correction of
/// zeros with zoom 1 is a plain copy. With `refinements` the
/// chroma-subsampled formats are warped too. False, leaving a plain copy, as
/// applyCorrection. `rows`, when given with some band shifted, moves each
/// row back by its shift in the same warp (a rolling shutter's correction
/// within the frame; the chroma-subsampled formats only with
/// `refinements`). `src` and `dst` must be different frames.
CALMORA_STABILISER_EXPORT bool writeCorrected(const video::Frame& src, video::Frame& dst,
                                              const Correction& correction,
                                              const CalmoraParams& params,
                                              bool refinements = false,
                                              const RowShifts* rows = nullptr);

/// The smallest zoom about the frame centre (1 .. `maxZoom`) under which no
/// output pixel is left uncovered by any of `corrections`.
CALMORA_STABILISER_EXPORT double autoZoom(const std::vector<Correction>& corrections, int width,
                                          int height, double maxZoom = MAX_ZOOM);

}  // namespace orl::calmora
