// Image to "BGR3" frame.
// - Anything that is not CV_8UC3 is converted first, so every source row
//   has exactly 3 * cols bytes to give and the copy can never read past it.
// - The frame is checked against the exact capacity before any byte is
//   written, and re-created otherwise, so no mismatch can overflow it.
// - Rows are copied one by one: a decoded image, or a region of one, may
//   have padding between rows.

#include "FrameCopy.h"

#include <opencv2/imgproc.hpp>

#include <cstring>

namespace orl::video {

namespace {

bool toBgr(const cv::Mat& src, cv::Mat& dst) {
    try {
        cv::Mat eightBit = src;
        if (src.depth() != CV_8U) {
            double scale = 1.0;
            if (src.depth() == CV_16U) {
                scale = 1.0 / 257.0;
            } else if (src.depth() == CV_32F || src.depth() == CV_64F) {
                scale = 255.0;
            }
            src.convertTo(eightBit, CV_8U, scale);
        }
        switch (eightBit.channels()) {
            case 1:
                cv::cvtColor(eightBit, dst, cv::COLOR_GRAY2BGR);
                return true;
            case 3:
                eightBit.copyTo(dst);
                return true;
            case 4:
                cv::cvtColor(eightBit, dst, cv::COLOR_BGRA2BGR);
                return true;
            default:
                return false;
        }
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace

bool copyToBgrFrame(const cv::Mat& image, cv::Mat& scratch, Frame& frame) {
    if (image.empty() || image.dims != 2) {
        return false;
    }
    const cv::Mat* bgr = &image;
    if (image.type() != CV_8UC3) {
        if (!toBgr(image, scratch)) {
            return false;
        }
        bgr = &scratch;
    }
    const auto cols = static_cast<uint32_t>(bgr->cols);
    const auto rows = static_cast<uint32_t>(bgr->rows);
    uint32_t capacity = 0;
    if (!frameCapacity(cols, rows, fourcc::BGR3, capacity) || capacity == 0) {
        return false;
    }

    // re-create the frame only when its geometry differs
    if (frame.width != cols || frame.height != rows || frame.fourcc != fourcc::BGR3 ||
        frame.size != capacity || frame.data == nullptr) {
        const int32_t sourceId = frame.sourceId;
        frame.release();
        frame = Frame(cols, rows, fourcc::BGR3);
        frame.sourceId = sourceId;
        if (frame.data == nullptr || frame.size != capacity) {
            return false;
        }
    }

    // copy row by row
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * 3;
    for (uint32_t row = 0; row < rows; ++row) {
        std::memcpy(frame.data + row * rowBytes, bgr->ptr<uint8_t>(static_cast<int>(row)),
                    rowBytes);
    }
    return true;
}

}  // namespace orl::video
