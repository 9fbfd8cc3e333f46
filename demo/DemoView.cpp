// Picture composition, overlays, timing and recording of the demo.
// - The mix picture stacks the source frame (top) over the stabilised frame
//   (bottom) row by row; it is made once and re-made only when the frame
//   size changes, so a new size can never overrun it.
// - Pictures taller than 960 rows are scaled down for the window only; the
//   recordings keep full size and carry no overlays.
// - Each overlay text is drawn twice, black first and then in colour one
//   pixel right and down, so it reads on any background.

#include "DemoView.h"

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <iostream>

namespace orl::demo {

namespace {

// True when the frame holds width x height packed 3-byte pixels.
bool packed24(const orl::video::Frame& frame) {
    const uint64_t bytes = 3ull * frame.width * frame.height;
    return frame.data != nullptr && bytes > 0 && frame.size >= bytes &&
           frame.width <= static_cast<uint32_t>(INT32_MAX / 3) &&
           frame.height <= static_cast<uint32_t>(INT32_MAX / 2);
}

void drawText(cv::Mat& image, const std::string& text, int y, const cv::Scalar& colour) {
    cv::putText(image, text, cv::Point(5, y), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 0, 0),
                1, cv::LINE_AA);
    cv::putText(image, text, cv::Point(6, y + 1), cv::FONT_HERSHEY_SIMPLEX, 0.6, colour, 1,
                cv::LINE_AA);
}

}  // namespace

bool composeMix(const orl::video::Frame& source, const orl::video::Frame& result, cv::Mat& mix) {
    if (!packed24(source) || !packed24(result) || source.width != result.width ||
        source.height != result.height)
        return false;
    const int width = static_cast<int>(result.width);
    const int height = static_cast<int>(result.height);
    // (re-)make the mix picture for this frame size
    if (mix.rows != 2 * height || mix.cols != width || mix.type() != CV_8UC3)
        mix = cv::Mat::zeros(2 * height, width, CV_8UC3);
    // copy rows: source on top, result below
    const size_t rowBytes = 3u * result.width;
    for (int i = 0; i < height; ++i) {
        std::memcpy(mix.ptr(i), source.data + static_cast<size_t>(i) * rowBytes, rowBytes);
        std::memcpy(mix.ptr(height + i), result.data + static_cast<size_t>(i) * rowBytes, rowBytes);
    }
    return true;
}

cv::Mat resultView(const orl::video::Frame& result) {
    if (!packed24(result))
        return {};
    return cv::Mat(static_cast<int>(result.height), static_cast<int>(result.width), CV_8UC3,
                   result.data);
}

cv::Size displaySize(cv::Size mixSize) {
    if (mixSize.height <= MAX_DISPLAY_ROWS)
        return mixSize;
    const float columns = static_cast<float>(mixSize.width) * static_cast<float>(MAX_DISPLAY_ROWS) /
                          static_cast<float>(mixSize.height);
    return {static_cast<int>(columns), MAX_DISPLAY_ROWS};
}

void makeDisplay(const cv::Mat& mix, cv::Mat& display) {
    if (mix.rows <= MAX_DISPLAY_ROWS)
        mix.copyTo(display);
    else
        cv::resize(mix, display, displaySize(mix.size()), 0.0, 0.0, cv::INTER_LINEAR);
}

void drawOverlays(cv::Mat& display, bool recording, float averageMs) {
    const cv::Scalar white(255, 255, 255);
    const cv::Scalar red(0, 0, 255);
    const int rows = display.rows;
    drawText(display, recording ? "RECORDING: R to stop" : "R to start recording", 20,
             recording ? red : white);
    drawText(display, "Processing time: " + std::to_string(static_cast<int>(averageMs)) + " msec",
             40, white);
    drawText(display, "SPACE to reset stabiliser", 60, white);
    drawText(display, "RESULT", rows - 10, white);
    drawText(display, "SOURCE", rows / 2 - 10, white);
}

float updateAverageMs(float averageMs, int64_t ticks100ns) {
    const int64_t wholeMs = ticks100ns / 10000;
    return 0.1f * static_cast<float>(wholeMs) + 0.9f * averageMs;
}

std::string timeStamp(std::time_t when) {
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr)
        return "0000_00_00_00_00_00";
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%Y_%m_%d_%H_%M_%S", &local);
    return std::string(text, n);
}

void Recorder::start(const std::string& stamp, cv::Size resultSize, cv::Size mixSize) {
    const int codec = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    const std::string resultName = "dst_" + stamp + ".avi";
    std::cout << "Created: " << resultName << std::endl;
    resultWriter_.open(resultName, codec, 30.0, resultSize, true);
    const std::string mixName = "mix_" + stamp + ".avi";
    std::cout << "Created: " << mixName << std::endl;
    mixWriter_.open(mixName, codec, 30.0, mixSize, true);
    resultSize_ = resultSize;
    mixSize_ = mixSize;
    recording_ = true;
}

void Recorder::write(const cv::Mat& result, const cv::Mat& mix) {
    if (!recording_)
        return;
    // A file keeps the size it was opened with; a new frame size is scaled
    // to it rather than handed to a writer that would drop or garble it.
    auto put = [](cv::VideoWriter& writer, const cv::Mat& picture, cv::Size size) {
        if (!writer.isOpened() || picture.empty())
            return;
        if (picture.size() == size) {
            writer.write(picture);
        } else {
            cv::Mat scaled;
            cv::resize(picture, scaled, size, 0.0, 0.0, cv::INTER_LINEAR);
            writer.write(scaled);
        }
    };
    put(resultWriter_, result, resultSize_);
    put(mixWriter_, mix, mixSize_);
}

void Recorder::stop() {
    resultWriter_.release();
    mixWriter_.release();
    recording_ = false;
}

}  // namespace orl::demo
