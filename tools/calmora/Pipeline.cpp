// Stabilisation of a whole video.
// - The first frame is read before anything else, so that an input that is
//   not a video, or an output that cannot be written, fails before work.
// - Then three threads: the decoder fills a short queue, the caller's thread
//   stabilises (it alone touches the stabiliser), the encoder writes the
//   result (and the side-by-side picture) and measures the motion of input
//   and output for the report. Bounded queues keep the order and the memory.
// - A read failure before the announced frame count is a warning: what was
//   written stays a valid file. `stop` ends the run the same way.

#include "Pipeline.h"

#include <calmora/Frame.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace calmora_cli {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kQueueDepth = 4;

// A bounded FIFO between two threads; pop() returns nothing once closed and
// empty.
template <typename T>
class BoundedQueue {
public:
    void push(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return items_.size() < kQueueDepth || closed_; });
        if (closed_) {
            return;
        }
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
    }
    std::optional<T> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || closed_; });
        if (items_.empty()) {
            return std::nullopt;
        }
        T item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<T> items_;
    bool closed_{false};
};

struct Stabilised {
    cv::Mat source;
    cv::Mat result;
};

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() <= 3 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool openInput(cv::VideoCapture& capture, const std::string& input) {
    try {
        if (isNumber(input)) {
            return capture.open(std::stoi(input), cv::CAP_ANY);
        }
        return capture.open(input, cv::CAP_ANY);
    } catch (const cv::Exception&) {
        return false;
    }
}

// Frames reach the stabiliser as packed BGR whatever the decoder gives.
cv::Mat asBgr(const cv::Mat& image) {
    if (image.type() == CV_8UC3) {
        return image;
    }
    cv::Mat bgr;
    if (image.depth() != CV_8U) {
        cv::Mat eight;
        image.convertTo(eight, CV_8U);
        return asBgr(eight);
    }
    cv::cvtColor(image, bgr, image.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
    return bgr;
}

}  // namespace

std::string codecFor(const std::string& output, const std::string& requested) {
    if (!requested.empty()) {
        return requested;
    }
    std::string ext = output.substr(std::min(output.size(), output.rfind('.') + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "mp4" || ext == "mov" || ext == "m4v") {
        return "mp4v";
    }
    return "MJPG";
}

RunResult runStabilisation(orl::calmora::Calmora& stabiliser, const RunOptions& options,
                           const std::atomic<bool>& stop,
                           const std::function<void(const Progress&)>& onProgress) {
    RunResult run;
    const auto started = SteadyClock::now();

    // open the input and read its first frame
    cv::VideoCapture capture;
    if (!openInput(capture, options.input)) {
        run.error = "cannot open '" + options.input + "' as a video";
        return run;
    }
    cv::Mat first;
    try {
        capture.read(first);
    } catch (const cv::Exception&) {
        first.release();
    }
    if (first.empty()) {
        run.error = "'" + options.input + "' holds no readable video frame";
        return run;
    }
    first = asBgr(first);
    run.width = first.cols;
    run.height = first.rows;
    run.fps = capture.get(cv::CAP_PROP_FPS);
    if (!(run.fps > 0.0 && run.fps < 1000.0)) {
        run.fps = 30.0;
    }
    const double announced = capture.get(cv::CAP_PROP_FRAME_COUNT);
    const long long total = announced > 0 && announced < 1e9 ? static_cast<long long>(announced) : 0;

    // open the outputs
    const std::string codec = codecFor(options.output, options.codec);
    if (codec.size() != 4) {
        run.error = "codec '" + codec + "' is not four characters";
        return run;
    }
    const int fourcc = cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]);
    cv::VideoWriter writer, sideWriter;
    if (!writer.open(options.output, fourcc, run.fps, first.size(), true)) {
        run.error = "cannot write '" + options.output + "' with codec " + codec;
        return run;
    }
    const std::string sideCodec = codecFor(options.sideBySide, "");
    if (!options.sideBySide.empty() &&
        !sideWriter.open(options.sideBySide,
                         cv::VideoWriter::fourcc(sideCodec[0], sideCodec[1], sideCodec[2], sideCodec[3]),
                         run.fps, cv::Size(first.cols, first.rows * 2), true)) {
        run.error = "cannot write '" + options.sideBySide + "'";
        return run;
    }

    BoundedQueue<cv::Mat> decoded;
    BoundedQueue<Stabilised> finished;
    std::atomic<bool> inputFailed{false};
    long long framesRead = 1;

    // decoder
    std::thread decoder([&] {
        decoded.push(first);
        while (!stop.load()) {
            cv::Mat image;
            bool ok = false;
            try {
                ok = capture.read(image);
            } catch (const cv::Exception&) {
                ok = false;
            }
            if (!ok || image.empty()) {
                inputFailed = true;
                break;
            }
            ++framesRead;
            decoded.push(asBgr(image));
        }
        decoded.close();
    });

    // encoder and measurement
    std::vector<GlobalMotion> inputMotion, outputMotion;
    std::thread encoder([&] {
        MotionMeter inputMeter, outputMeter;
        cv::Mat stacked;
        while (auto item = finished.pop()) {
            if (item->result.size() != first.size()) {
                continue;  // the writer was opened for the first frame's size
            }
            writer.write(item->result);
            if (sideWriter.isOpened()) {
                cv::vconcat(item->source, item->result, stacked);
                sideWriter.write(stacked);
            }
            inputMotion.push_back(inputMeter.measure(item->source));
            outputMotion.push_back(outputMeter.measure(item->result));
        }
        writer.release();
        sideWriter.release();
    });

    // stabiliser, on the caller's thread
    orl::video::Frame source;
    orl::video::Frame result;
    Progress progress;
    progress.total = total;
    while (auto image = decoded.pop()) {
        // the source frame is a view on the decoded image: no copy
        source.width = static_cast<uint32_t>(image->cols);
        source.height = static_cast<uint32_t>(image->rows);
        source.fourcc = orl::video::fourcc::BGR3;
        source.size = static_cast<uint32_t>(image->total() * image->elemSize());
        source.data = image->data;

        const auto t0 = SteadyClock::now();
        stabiliser.stabilise(source, result);
        const auto t1 = SteadyClock::now();

        FrameResult frame;
        float x = 0.0f, y = 0.0f, a = 0.0f;
        stabiliser.getOffsets(x, y, a);
        frame.offsetX = x;
        frame.offsetY = y;
        frame.offsetA = a;
        frame.stabiliseMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
        run.frames.push_back(frame);

        cv::Mat out(static_cast<int>(result.height), static_cast<int>(result.width), CV_8UC3,
                    result.data);
        finished.push({*image, out.clone()});

        progress.done = static_cast<long long>(run.frames.size());
        progress.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
        if (onProgress) {
            onProgress(progress);
        }
    }
    source.data = nullptr;  // the view never owned the image
    finished.close();
    decoder.join();
    encoder.join();

    for (size_t i = 0; i < run.frames.size() && i < inputMotion.size(); ++i) {
        run.frames[i].inputMotion = inputMotion[i];
        run.frames[i].outputMotion = outputMotion[i];
    }
    run.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    if (stop.load()) {
        run.status = RunResult::INTERRUPTED;
        run.warnings.push_back("interrupted after " + std::to_string(run.frames.size()) +
                               " frames; the output holds them");
        return run;
    }
    if (inputFailed && total > 0 && framesRead < total) {
        run.warnings.push_back("the input ended after " + std::to_string(framesRead) + " of " +
                               std::to_string(total) +
                               " frames (cut short or damaged); the output holds the frames read");
    }
    run.status = RunResult::DONE;
    return run;
}

}  // namespace calmora_cli
