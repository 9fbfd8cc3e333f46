#pragma once

// A rolling shutter's motion within the frame: measured per band of rows
// from the tracked corners, and the camera path in time rebuilt from it.

#include "Motion.h"

#include <calmora/Correction.h>
#include <calmora/MotionMeasurer.h>

#include <opencv2/core.hpp>

#include <vector>

namespace orl::calmora {

/// Frames on either side of a frame whose band motions rebuild its path in
/// time: enough for the bands' constants, few enough that the running sums
/// do not wander.
constexpr int BAND_WINDOW_FRAMES = 8;

/// One frame's motion against the previous one per band of rows: the
/// displacement of each band's centre (centre column, centre row of band b
/// of RowShifts::BANDS), frame pixels.
struct BandMotion {
    double x[RowShifts::BANDS]{};
    double y[RowShifts::BANDS]{};
};

/// The band motions of `m`: its bands when it has them, otherwise its
/// translation in every band (zero when not measured).
BandMotion bandMotionOf(const Measurement& m);

/// Fits the displacement of every band of a `size` analysed image from the
/// corner pairs (`previous[i]`, `current[i]`, analysed pixels) on top of
/// `motion` (frame pixels and radians about the top-left corner; `scaleX`,
/// `scaleY` frame pixels per analysed pixel): a smooth curve over the row,
/// pairs far from it left out. Writes m.bandX, m.bandY and sets m.banded;
/// leaves `m` as it is, false, with fewer than 16 pairs.
bool measureBands(const std::vector<cv::Point2f>& previous, const std::vector<cv::Point2f>& current,
                  const Motion& motion, cv::Size size, double scaleX, double scaleY,
                  Measurement& m);

/// Rebuilds the camera path in time from `count` consecutive frames' band
/// motions (`motions[j]`: frame j against frame j - 1; motions[0] is not
/// read) for a sensor of readout `readout` (frame intervals): row y of
/// frame j is exposed at j + readout (y / H - 1/2), every band's positions
/// are the running sums of its motions up to a constant of its own, and the
/// path is the smooth curve (a cubic spline of four knots a frame, its bend
/// penalised) through them, the constants fitted with it. With `shifts`,
/// writes the displacement of each band of frame `index` from the frame's
/// mean position, pixels. Returns the penalised misfit of the fit (pixels
/// squared), which the true readout makes least; 0 for fewer than 2 frames.
double fitBandPath(const BandMotion* motions, int count, double readout, int index,
                   RowShifts* shifts);

/// The readout, 0 .. 1, that best explains the band motions of `motions`
/// (one per frame, as fitBandPath takes them) in windows of a second that
/// do not cross a frame of `starts` (frames that begin a new shot,
/// ascending): the least summed misfit over a grid of readouts, refined
/// between its neighbours.
double estimateReadout(const std::vector<BandMotion>& motions, const std::vector<int>& starts);

}  // namespace orl::calmora
