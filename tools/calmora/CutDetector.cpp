// Shot-cut detection.
// - Each frame is reduced to 96 x 54 pixels (nearest neighbour: a sample
//   of the picture is all a histogram needs) and counted into an
//   8 x 8 x 8-bin B, G, R histogram, normalised to unit sum.
// - A frame is a cut when the correlation of its histogram with the previous
//   frame's falls below the threshold.

#include "CutDetector.h"

#include <opencv2/imgproc.hpp>

namespace calmora_cli {

CutDetector::CutDetector(double threshold) : threshold_(threshold) {}

void CutDetector::reset() {
    previous_.release();
    lastCorrelation_ = 1.0;
}

bool CutDetector::isCut(const cv::Mat& bgr) {
    if (bgr.empty() || bgr.type() != CV_8UC3) {
        return false;
    }
    cv::resize(bgr, small_, cv::Size(96, 54), 0, 0, cv::INTER_NEAREST);
    const int channels[] = {0, 1, 2};
    const int bins[] = {8, 8, 8};
    const float range[] = {0.0f, 256.0f};
    const float* ranges[] = {range, range, range};
    cv::calcHist(&small_, 1, channels, cv::Mat(), histogram_, 3, bins, ranges);
    cv::normalize(histogram_, histogram_, 1.0, 0.0, cv::NORM_L1);

    bool cut = false;
    lastCorrelation_ = 1.0;
    if (!previous_.empty()) {
        lastCorrelation_ = cv::compareHist(previous_, histogram_, cv::HISTCMP_CORREL);
        cut = lastCorrelation_ < threshold_;
    }
    histogram_.copyTo(previous_);
    return cut;
}

}  // namespace calmora_cli
