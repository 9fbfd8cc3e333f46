#pragma once

// Well-spread trackable points from a segment test on 3 x 3 block sums.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace orl::calmora {

/// Block-corner detector. Sums 3 x 3 pixel cells into a grid, marks a cell
/// as a corner when five consecutive of its eight neighbour cells are all
/// brighter or all darker by more than 45, and keeps the strongest corner of
/// each of about 7 x 7 regions. Owns its two 16-bit grids, re-sized only when
/// the image size changes; not thread-safe (it splits its own work over
/// OpenCV's threads, with the same result for any number of them).
class BlockCornerDetector {
  public:
    /// Difference of two cell sums (nine pixels each) that still counts as
    /// similar.
    static constexpr int SIMILAR_LIMIT = 45;

    /// Sizes the grids for `width` x `height` images (one entry per 3 x 3
    /// cell). Does nothing when the size is unchanged.
    void resize(int width, int height);

    /// Writes into `points` (cleared first; its capacity is reused) at most
    /// one point per region, in region order, in analysed pixels: the centre
    /// pixel (3c + 1, 3r + 1) of the top-left cell of the strongest corner
    /// window of the region, the first of equal maxima. `image` is 8-bit,
    /// one channel, continuous. Images below 21 x 21 pixels, or of another
    /// type, give no points. Re-sizes the grids when the size changed.
    void detect(const cv::Mat& image, std::vector<cv::Point2f>& points);

    /// Corner response of grid cell (row, col) from the last detect(): 0 for
    /// no corner, else |sum of arc / 5 - centre sum| >= 46, stored at the
    /// window's top-left cell.
    uint16_t response(int row, int col) const;

    /// Cells per grid row (width / 3).
    int gridCols() const { return cols_; }
    /// Grid rows (height / 3).
    int gridRows() const { return rows_; }

  private:
    /// Fills the block sums of the cell rows of `stripe` (of `stripes`,
    /// each with its own part of the scratch) from `image`.
    void sumBlocks(const cv::Mat& image, int stripe, int stripes);
    /// Fills the corner responses of the window rows of `stripe` from the
    /// block sums.
    void segmentTest(int stripe, int stripes);
    /// Appends the strongest corner of each region to `points`.
    void selectRegions(std::vector<cv::Point2f>& points) const;

    int width_{0};
    int height_{0};
    int cols_{0};  // n: whole cells per row
    int rows_{0};  // m: whole cell rows
    std::vector<uint16_t> blockSums_;
    std::vector<uint16_t> cornerResponse_;
    // Per stripe, 3 * cols_ entries: one cell row's three image rows added
    // per column, later (as bytes) whether some neighbour of a window of a
    // row is far from the centre.
    std::vector<uint16_t> scratch_;
};

}  // namespace orl::calmora
