// Shot-cut detection from the motion measurer's evidence and the tones.
// - Residual jump: the frame's residual after its measured motion against
//   the median of the last few residuals of the shot. Shake and pans are
//   taken out by the measured motion and lighting drift by the residual's
//   removal of the mean brightness change, so within a shot the residual
//   stays near its median; a new picture leaves a large one.
// - A jump alone can also be a sudden blur or a flash, so a cut also needs
//   the estimator to disagree with itself (few corners explained, or a
//   correlation peak no higher than the next) or the tones to change: a
//   32-bin histogram of a small grey picture (about 64 pixels wide, any
//   raw format) correlating poorly with the previous frame's.
// - After a cut the history starts again with the new shot.

#include <calmora/CutDetector.h>

#include "AnalysedImage.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>

namespace orl::calmora {

namespace {

constexpr double JUMP_RATIO = 3.0;        // residual against the shot's median
constexpr double MIN_RESIDUAL = 5.0;      // grey levels; below it nothing is a jump
constexpr double WEAK_CONFIDENCE = 0.3;   // estimator evidence of a new picture
constexpr double TONE_CORRELATION = 0.8;  // histogram correlation of a new picture
constexpr size_t HISTORY = 9;             // residuals of the shot kept
constexpr uint32_t TONE_WIDTH = 64;       // pixels of the small grey picture
constexpr int TONE_BINS = 32;

}  // namespace

struct CutDetector::State {
    std::array<double, HISTORY> residuals{};
    size_t count{0};  // residuals held, up to HISTORY
    size_t next{0};   // slot of the next residual
    AnalysedImage tones;
    cv::Mat histogram;
    cv::Mat previousHistogram;

    // Median of the residuals held; MIN_RESIDUAL when there are none, so a
    // shot without a history needs JUMP_RATIO times that.
    double median() const {
        if (count == 0) {
            return MIN_RESIDUAL;
        }
        std::array<double, HISTORY> sorted = residuals;
        std::nth_element(sorted.begin(), sorted.begin() + count / 2, sorted.begin() + count);
        return sorted[count / 2];
    }

    void forget() {
        count = 0;
        next = 0;
    }

    void remember(double residual) {
        residuals[next] = residual;
        next = (next + 1) % HISTORY;
        count = std::min(count + 1, HISTORY);
    }

    // Correlation of the frame's tone histogram with the previous frame's;
    // 1 when either is missing (nothing to compare is no evidence).
    double toneCorrelation(const video::Frame& frame) {
        const int scale = static_cast<int>(std::max(1u, frame.width / TONE_WIDTH));
        tones.adopt(AnalysedImage::geometryFor(frame.width, frame.height, scale, 1));
        if (tones.size().area() == 0 || !tones.convert(frame)) {
            previousHistogram.release();
            return 1.0;
        }
        const cv::Mat grey = tones.pair().current;
        const int channels[] = {0};
        const int bins[] = {TONE_BINS};
        const float range[] = {0.0f, 256.0f};
        const float* ranges[] = {range};
        cv::calcHist(&grey, 1, channels, cv::Mat(), histogram, 1, bins, ranges);
        double correlation = 1.0;
        if (!previousHistogram.empty()) {
            correlation = cv::compareHist(previousHistogram, histogram, cv::HISTCMP_CORREL);
        }
        histogram.copyTo(previousHistogram);
        return correlation;
    }
};

CutDetector::CutDetector() : state_(std::make_unique<State>()) {}

CutDetector::~CutDetector() = default;

void CutDetector::reset() {
    state_->forget();
    state_->previousHistogram.release();
}

bool CutDetector::isCut(const video::Frame& frame, const Measurement& m) {
    State& s = *state_;
    const double tone = s.toneCorrelation(frame);
    if (m.restarted) {
        s.forget();
    }
    if (!m.measured) {
        return false;
    }
    const bool jump = m.residual >= MIN_RESIDUAL && m.residual >= JUMP_RATIO * s.median();
    const bool newPicture = m.confidence < WEAK_CONFIDENCE || tone < TONE_CORRELATION;
    if (jump && newPicture) {
        s.forget();  // the residual across the cut belongs to neither shot
        return true;
    }
    s.remember(m.residual);
    return false;
}

}  // namespace orl::calmora
