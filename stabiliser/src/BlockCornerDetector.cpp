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
// - The grid is cut into regions of about a seventh of each side (rounded to
//   a multiple of 3 plus one); the strongest response of each region becomes
//   the point (3c + 1, 3r + 1).

#include "BlockCornerDetector.h"

#include <algorithm>

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

// -1 darker, +1 brighter, 0 similar.
int classOf(int centre, int value) {
    if (centre - value > BlockCornerDetector::SIMILAR_LIMIT) {
        return -1;
    }
    if (value - centre > BlockCornerDetector::SIMILAR_LIMIT) {
        return 1;
    }
    return 0;
}

// Response of one window, 0 when it is no corner.
int windowResponse(int centre, const int (&value)[PLACES]) {
    int cls[PLACES];
    for (int p = 0; p < PLACES; ++p) {
        cls[p] = classOf(centre, value[p]);
    }
    for (const PairTest& test : PAIR_TESTS) {
        const int pairClass = cls[test.first];
        if (pairClass == 0 || cls[test.second] != pairClass) {
            continue;
        }
        // the first pair that holds decides
        const bool withKey = cls[test.key] == pairClass;
        const int* confirm = withKey ? test.confirmWithKey : test.confirmOtherwise;
        const int* arc = withKey ? test.arcWithKey : test.arcOtherwise;
        for (int i = 0; i < 3 && confirm[i] != NONE; ++i) {
            if (cls[confirm[i]] != pairClass) {
                return 0;
            }
        }
        int sum = 0;
        for (int i = 0; i < ARC; ++i) {
            sum += value[arc[i]];
        }
        return std::abs(sum / ARC - centre);
    }
    return 0;
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
    std::fill(blockSums_.begin(), blockSums_.end(), 0);
    std::fill(cornerResponse_.begin(), cornerResponse_.end(), 0);
    sumBlocks(image);
    segmentTest();
    selectRegions(points);
}

void BlockCornerDetector::sumBlocks(const cv::Mat& image) {
    // The three rows of a cell row are added column by column first (a
    // contiguous loop the compiler vectorises), then in threes.
    const int used = CELL * cols_;
    columnSums_.resize(static_cast<size_t>(used));
    uint16_t* column = columnSums_.data();
    for (int r = 0; r < rows_; ++r) {
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

void BlockCornerDetector::segmentTest() {
    // First, for a whole row of windows at once (a loop the compiler
    // vectorises), whether any neighbour differs from the centre by more
    // than the limit; most windows lie in smooth areas and stop there.
    // Only the others go through the pair tests.
    const int windows = cols_ - 2;
    if (windows <= 0) {
        return;
    }
    busy_.resize(static_cast<size_t>(windows));
    int value[PLACES];
    for (int i = 0; i + 2 < rows_; ++i) {
        const uint16_t* top = &blockSums_[static_cast<size_t>(i) * cols_];
        const uint16_t* mid = top + cols_;
        const uint16_t* bottom = mid + cols_;
        uint8_t* busy = busy_.data();
        for (int k = 0; k < windows; ++k) {
            const int c = mid[k + 1];
            const auto far = [c](int v) {
                return (v - c > SIMILAR_LIMIT) | (c - v > SIMILAR_LIMIT);
            };
            busy[k] = static_cast<uint8_t>(far(top[k]) | far(top[k + 1]) | far(top[k + 2]) |
                                           far(mid[k]) | far(mid[k + 2]) | far(bottom[k]) |
                                           far(bottom[k + 1]) | far(bottom[k + 2]));
        }
        uint16_t* response = &cornerResponse_[static_cast<size_t>(i) * cols_];
        for (int k = 0; k < windows; ++k) {
            if (busy[k] == 0) {
                response[k] = 0;
                continue;
            }
            for (int p = 0; p < PLACES; ++p) {
                value[p] =
                    blockSums_[static_cast<size_t>(i + PLACE_ROW[p]) * cols_ + k + PLACE_COL[p]];
            }
            response[k] = static_cast<uint16_t>(windowResponse(mid[k + 1], value));
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
