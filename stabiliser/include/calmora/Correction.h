#pragma once

#include <calmora/Frame.h>
#include <calmora/StabiliserExport.h>

namespace orl::calmora {

/// A correction of one frame in the stabiliser's own terms: the picture is
/// turned by `a` radians about its top-left corner and moved by (x, y)
/// pixels (positive right and down), then scaled by `zoom` about the frame
/// centre. A frame's correction in live mode is minus its camera motion
/// since the smoothed path: what getOffsets() reports.
struct Correction {
    double x{0.0};     ///< pixels, right positive
    double y{0.0};     ///< pixels, down positive
    double a{0.0};     ///< radians, about the top-left corner
    double zoom{1.0};  ///< factor about the frame centre
};

/// The part of a correction that differs from row to row, for a sensor that
/// exposes its rows one after another: band b of BANDS equal horizontal
/// bands (its centre row (b + 0.5) H / BANDS of a frame H rows high) holds
/// the picture displaced by (x[b], y[b]) pixels from where the frame as a
/// whole puts it; rows between band centres take the shift interpolated
/// linearly, rows beyond the outer centres that of the nearest. The warp
/// moves every row back by its shift before the frame's own correction.
struct RowShifts {
    static constexpr int BANDS = 8;  ///< bands of rows, top to bottom
    double x[BANDS]{};  ///< pixels, right positive
    double y[BANDS]{};  ///< pixels, down positive

    /// True when some band is shifted (a NaN counts as shifted).
    bool any() const {
        for (int b = 0; b < BANDS; ++b) {
            if (!(x[b] == 0.0 && y[b] == 0.0)) {
                return true;
            }
        }
        return false;
    }
};

/// Writes `src` corrected by `correction` into `dst` with the stabiliser's
/// own compensation, as it does for type 2: a bilinear warp for "GRAY" and
/// the packed 24-bit formats (sub-pixel shifts included), a whole-pixel shift
/// by the truncated translation for the chroma-subsampled formats (no
/// rotation, no zoom). A correction of all zeros and zoom 1 is a plain copy.
/// Pixels the moved picture
/// does not cover keep `dst`'s previous content when `transparentBorder` is
/// true and become zero bytes otherwise. `dst` is re-created with src's
/// geometry when it differs. Returns false, leaving `dst` a plain copy of
/// `src`, when the correction is not finite or the format cannot be moved.
/// `src` and `dst` must be different frames.
CALMORA_STABILISER_EXPORT bool applyCorrection(const video::Frame& src, video::Frame& dst,
                                               const Correction& correction,
                                               bool transparentBorder);

}  // namespace orl::calmora
