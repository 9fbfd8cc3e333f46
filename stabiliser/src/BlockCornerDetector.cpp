// Block-corner detector.
//
// - Grid of 3 x 3 pixel block sums (16 bits, at most 2295); pixels beyond the
//   last whole cell are not used.
// - Segment test on every 3 x 3 window of cells: each neighbour of the centre
//   is darker, brighter or similar (difference of at most 45). Four pair
//   tests through the centre (TR-BL, TL-BR, TM-BM, ML-MR) are tried in order;
//   the first pair of equal, non-similar classes decides, and its branch
//   must confirm an arc of five equal neighbours. The response
//   |arc sum / 5 - centre| is stored at the window's top-left cell.
// - The outcome of the pair tests depends only on which neighbours are
//   brighter and which darker: it is tabulated once for all 2^16 such bit
//   sets, and a window looks its arc up.
// - Both grids are filled in stripes of rows over OpenCV's threads; each
//   stripe writes only its own rows, so the result is the same for any
//   number of threads.
// - The grid is cut into regions of about a seventh of each side (rounded to
//   a multiple of 3 plus one); the strongest response of each region becomes
//   the point (3c + 1, 3r + 1).

#include "BlockCornerDetector.h"

#include "Stripes.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace orl::calmora {

namespace {

constexpr int CELL = 3;
constexpr int REGIONS_PER_SIDE = 7;
constexpr int ARC = 5;

// Neighbours of the window's centre cell.
enum Place { TL, TM, TR, ML, MR, BL, BM, BR, PLACES };

// Row and column of each place inside the 3 x 3 window.
constexpr int PLACE_ROW[PLACES] = {0, 0, 0, 1, 1, 2, 2, 2};
constexpr int PLACE_COL[PLACES] = {0, 1, 2, 0, 2, 0, 1, 2};

constexpr int NONE = -1;

// One pair test: the pair, the branch key, and for each branch the places
// that must confirm and the arc of five whose mean gives the response.
struct PairTest {
    int first;
    int second;
    int key;
    int confirmWithKey[3];
    int arcWithKey[ARC];
    int confirmOtherwise[3];
    int arcOtherwise[ARC];
};

constexpr PairTest PAIR_TESTS[] = {
    {TR, BL, TL, {TM, ML, NONE}, {BL, ML, TL, TM, TR}, {BR, MR, BM}, {TR, MR, BR, BM, BL}},
    {TL, BR, BL, {ML, BM, NONE}, {BR, BM, BL, ML, TL}, {TR, TM, MR}, {TL, TM, TR, MR, BR}},
    {TM, BM, MR, {TR, BR, NONE}, {TM, TR, MR, BR, BM}, {ML, TL, BL}, {BM, BL, ML, TL, TM}},
    {ML, MR, BM, {BL, BR, NONE}, {MR, BR, BM, BL, ML}, {TM, TL, TR}, {ML, TL, TM, TR, MR}},
};

// Number of the arc that decides a window whose neighbours compare to the
// centre as `cls` says (-1 darker, +1 brighter, 0 similar): 1 + 2 t for the
// key branch of pair test t, 2 + 2 t for the other; 0 when it is no corner.
int cornerArc(const int (&cls)[PLACES]) {
    for (int t = 0; t < 4; ++t) {
        const PairTest& test = PAIR_TESTS[t];
        const int pairClass = cls[test.first];
        if (pairClass == 0 || cls[test.second] != pairClass) {
            continue;
        }
        // the first pair that holds decides
        const bool withKey = cls[test.key] == pairClass;
        const int* confirm = withKey ? test.confirmWithKey : test.confirmOtherwise;
        for (int i = 0; i < 3 && confirm[i] != NONE; ++i) {
            if (cls[confirm[i]] != pairClass) {
                return 0;
            }
        }
        return 1 + 2 * t + (withKey ? 0 : 1);
    }
    return 0;
}

// The places of arc number `arc` (1 .. 8).
const int* arcPlaces(int arc) {
    const PairTest& test = PAIR_TESTS[(arc - 1) / 2];
    return arc % 2 == 1 ? test.arcWithKey : test.arcOtherwise;
}

// A window's comparison code: bit p set when place p is brighter than the
// centre by more than the limit, bit 8 + p when darker.
constexpr int DARKER_SHIFT = 8;

// cornerArc() of every comparison code, worked out once.
class ArcTable {
  public:
    ArcTable() {
        for (int code = 0; code < (1 << 2 * PLACES); ++code) {
            int cls[PLACES];
            for (int p = 0; p < PLACES; ++p) {
                cls[p] = (code >> p & 1) != 0 ? 1 : (code >> (DARKER_SHIFT + p) & 1) != 0 ? -1 : 0;
            }
            arcs_[static_cast<size_t>(code)] = static_cast<uint8_t>(cornerArc(cls));
        }
    }
    int operator[](uint16_t code) const { return arcs_[code]; }

  private:
    std::array<uint8_t, 1 << 2 * PLACES> arcs_{};
};

const ArcTable& arcTable() {
    static const ArcTable table;
    return table;
}

// Cell rows per stripe of the parallel passes: enough work per stripe to
// outweigh handing it to a thread.
constexpr int STRIPE_ROWS = 32;

int stripesFor(int rows) {
    return std::max(1, rows / STRIPE_ROWS);
}

// First cell row of `stripe` of `stripes` over `rows`.
int stripeStart(int rows, int stripe, int stripes) {
    return static_cast<int>(static_cast<long>(rows) * stripe / stripes);
}

// Region side for a grid side: a seventh, made a multiple of 3 or plus one.
int regionSide(int cells) {
    const int q = cells / REGIONS_PER_SIDE;
    return q % 3 == 0 ? q : q + 1;
}

}  // namespace

void BlockCornerDetector::resize(int width, int height) {
    if (width == width_ && height == height_) {
        return;
    }
    width_ = width;
    height_ = height;
    cols_ = std::max(0, width / CELL);
    rows_ = std::max(0, height / CELL);
    const size_t cells = static_cast<size_t>(cols_) * static_cast<size_t>(rows_);
    blockSums_.assign(cells, 0);
    blockSums_.shrink_to_fit();
    cornerResponse_.assign(cells, 0);
    cornerResponse_.shrink_to_fit();
}

uint16_t BlockCornerDetector::response(int row, int col) const {
    if (row < 0 || col < 0 || row >= rows_ || col >= cols_) {
        return 0;
    }
    return cornerResponse_[static_cast<size_t>(row) * cols_ + col];
}

void BlockCornerDetector::detect(const cv::Mat& image, std::vector<cv::Point2f>& points) {
    points.clear();
    if (image.type() != CV_8UC1 || !image.isContinuous() || image.cols < CELL * REGIONS_PER_SIDE ||
        image.rows < CELL * REGIONS_PER_SIDE) {
        return;
    }
    resize(image.cols, image.rows);
    // Every block sum is written again, and so is every response a window
    // starts at; the last two columns and rows of responses stay 0 since
    // resize().
    const int stripes = stripesFor(rows_);
    scratch_.resize(static_cast<size_t>(stripes) * static_cast<size_t>(CELL * cols_));
    forEachStripe(stripes, [&](int stripe) { sumBlocks(image, stripe, stripes); });
    forEachStripe(stripes, [&](int stripe) { segmentTest(stripe, stripes); });
    selectRegions(points);
}

void BlockCornerDetector::sumBlocks(const cv::Mat& image, int stripe, int stripes) {
    // The three rows of a cell row are added column by column first (a
    // contiguous loop the compiler vectorises), then in threes.
    const int used = CELL * cols_;
    uint16_t* column = &scratch_[static_cast<size_t>(stripe) * static_cast<size_t>(used)];
    const int end = stripeStart(rows_, stripe + 1, stripes);
    for (int r = stripeStart(rows_, stripe, stripes); r < end; ++r) {
        const uint8_t* a = image.ptr<uint8_t>(CELL * r);
        const uint8_t* b = image.ptr<uint8_t>(CELL * r + 1);
        const uint8_t* c = image.ptr<uint8_t>(CELL * r + 2);
        for (int x = 0; x < used; ++x) {
            column[x] = static_cast<uint16_t>(a[x] + b[x] + c[x]);
        }
        uint16_t* sums = &blockSums_[static_cast<size_t>(r) * cols_];
        for (int k = 0; k < cols_; ++k) {
            sums[k] = static_cast<uint16_t>(column[CELL * k] + column[CELL * k + 1] +
                                            column[CELL * k + 2]);
        }
    }
}

void BlockCornerDetector::segmentTest(int stripe, int stripes) {
    // First, for a whole row of windows at once (a loop the compiler
    // vectorises), the comparison code of every window; most windows lie in
    // smooth areas, code 0, and stop there. The others look their arc up.
    const int windows = cols_ - 2;
    if (windows <= 0) {
        return;
    }
    const ArcTable& arcOf = arcTable();
    uint16_t* codes = &scratch_[static_cast<size_t>(stripe) * static_cast<size_t>(CELL * cols_)];
    const int end = std::min(stripeStart(rows_, stripe + 1, stripes), rows_ - 2);
    for (int i = stripeStart(rows_, stripe, stripes); i < end; ++i) {
        const uint16_t* top = &blockSums_[static_cast<size_t>(i) * cols_];
        const uint16_t* mid = top + cols_;
        const uint16_t* bottom = mid + cols_;
        for (int k = 0; k < windows; ++k) {
            // sums are at most 2295: 16-bit signed lanes hold every bound
            const int16_t c = static_cast<int16_t>(mid[k + 1]);
            const int16_t above = static_cast<int16_t>(c + SIMILAR_LIMIT);
            const int16_t below = static_cast<int16_t>(c - SIMILAR_LIMIT);
            const auto bits = [above, below](uint16_t value, int place) {
                const int16_t v = static_cast<int16_t>(value);
                return static_cast<uint16_t>((v > above ? 1 << place : 0) |
                                             (v < below ? 1 << (DARKER_SHIFT + place) : 0));
            };
            codes[k] = static_cast<uint16_t>(bits(top[k], TL) | bits(top[k + 1], TM) |
                                             bits(top[k + 2], TR) | bits(mid[k], ML) |
                                             bits(mid[k + 2], MR) | bits(bottom[k], BL) |
                                             bits(bottom[k + 1], BM) | bits(bottom[k + 2], BR));
        }
        uint16_t* response = &cornerResponse_[static_cast<size_t>(i) * cols_];
        for (int k = 0; k < windows; ++k) {
            const int arc = codes[k] == 0 ? 0 : arcOf[codes[k]];
            if (arc == 0) {
                response[k] = 0;
                continue;
            }
            const int* places = arcPlaces(arc);
            int sum = 0;
            for (int a = 0; a < ARC; ++a) {
                sum += blockSums_[static_cast<size_t>(i + PLACE_ROW[places[a]]) * cols_ + k +
                                  PLACE_COL[places[a]]];
            }
            response[k] = static_cast<uint16_t>(std::abs(sum / ARC - mid[k + 1]));
        }
    }
}

void BlockCornerDetector::selectRegions(std::vector<cv::Point2f>& points) const {
    const int bn = regionSide(cols_);
    const int bm = regionSide(rows_);
    const int colLimit = cols_ - bn - 2;
    const int rowLimit = rows_ - bm - 2;
    if (bn <= 0 || bm <= 0 || colLimit <= 0 || rowLimit <= 0) {
        return;
    }
    for (int r0 = 0; r0 < rowLimit; r0 += bm) {
        for (int c0 = 0; c0 < colLimit; c0 += bn) {
            int best = 0;
            int bestRow = r0;
            int bestCol = c0;
            for (int r = r0; r < r0 + bm; ++r) {
                const uint16_t* resp = &cornerResponse_[static_cast<size_t>(r) * cols_];
                for (int c = c0; c < c0 + bn; ++c) {
                    if (resp[c] > best) {
                        best = resp[c];
                        bestRow = r;
                        bestCol = c;
                    }
                }
            }
            if (best > 0) {
                points.emplace_back(static_cast<float>(CELL * bestCol + 1),
                                    static_cast<float>(CELL * bestRow + 1));
            }
        }
    }
}

}  // namespace orl::calmora
