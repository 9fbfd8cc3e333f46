// Clip writer.
// - Colour code: blue steps by 16 over 12 values, green by 32 over 6, red
//   fixed; lossy codecs move a flat colour by a few levels at most, far
//   less than the steps.
// - The index is drawn away from the top-left block that indexOfImage reads.

#include "ClipWriter.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>

namespace calmora_test {

namespace {

constexpr int kColours = 72;

cv::Scalar indexColour(int i) {
    i = ((i % kColours) + kColours) % kColours;
    return cv::Scalar(40 + (i % 12) * 16, 40 + (i / 12) * 32, 100);
}

}  // namespace

int indexOfImage(const cv::Mat& bgr) {
    if (bgr.type() != CV_8UC3 || bgr.cols < 8 || bgr.rows < 8)
        return -1;
    const cv::Scalar mean = cv::mean(bgr(cv::Rect(0, 0, 8, 8)));
    int best = -1;
    double bestDistance = 6.0;
    for (int i = 0; i < kColours; ++i) {
        const cv::Scalar c = indexColour(i);
        const double distance = std::max(
            {std::abs(mean[0] - c[0]), std::abs(mean[1] - c[1]), std::abs(mean[2] - c[2])});
        if (distance <= bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

bool writeClip(const std::string& path, const std::string& codec, double fps, int frameCount,
               cv::Size size) {
    try {
        cv::VideoWriter writer;
        if (codec.size() != 4 ||
            !writer.open(path, cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]), fps,
                         size))
            return false;
        const double scale = size.height / 120.0;
        for (int i = 0; i < frameCount; ++i) {
            cv::Mat frame(size, CV_8UC3, indexColour(i));
            cv::putText(frame, std::to_string(i),
                        cv::Point(size.width / 2, size.height - static_cast<int>(10 * scale)),
                        cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255),
                        std::max(1, static_cast<int>(2 * scale)));
            writer.write(frame);
        }
    } catch (const cv::Exception&) {
        return false;
    }  // the writer has closed the file here
    std::error_code ec;
    return std::filesystem::file_size(path, ec) > 0 && !ec;
}

}  // namespace calmora_test
