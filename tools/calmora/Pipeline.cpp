// Stabilisation of a whole video.
// - The first frame is read before anything else, so that an input that is
//   not a video, or an output that cannot be written, fails before work.
// - Frames flow through three threads: the decoder fills a short queue, the
//   caller's thread processes each frame (it alone touches the stabiliser),
//   the encoder writes the result (and the side-by-side picture) and
//   measures the motion of input and output for the report. Bounded queues
//   keep the order and the memory.
// - Live mode: every frame through stabilise(), RESET at shot cuts.
// - Two-pass mode: the same loop without encoding records the camera path;
//   it is smoothed per shot without lag, and a second read applies the
//   corrections with the stabiliser's compensation (applyCorrection).
// - A read failure before the announced frame count is a warning: what was
//   written stays a valid file. `stop` ends the run the same way.

#include "Pipeline.h"

#include "CutDetector.h"
#include "TwoPass.h"

#include <calmora/Correction.h>
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

struct Processed {
    cv::Mat source;
    cv::Mat result;
    bool cut{false};
};

// Turns one decoded frame into its result picture and per-frame figures.
using Process = std::function<void(const cv::Mat& source, cv::Mat& result, FrameResult& frame)>;

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() <= 3 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
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

bool readFrame(cv::VideoCapture& capture, cv::Mat& image) {
    try {
        return capture.read(image) && !image.empty();
    } catch (const cv::Exception&) {
        return false;
    }
}

// A video input with its first frame read.
struct Input {
    cv::VideoCapture capture;
    cv::Mat first;
    long long total{0};  // announced frame count, 0 when unknown

    bool open(const std::string& name, std::string& error) {
        try {
            const bool opened = isNumber(name) ? capture.open(std::stoi(name), cv::CAP_ANY)
                                               : capture.open(name, cv::CAP_ANY);
            if (!opened) {
                error = "cannot open '" + name + "' as a video";
                return false;
            }
        } catch (const cv::Exception&) {
            error = "cannot open '" + name + "' as a video";
            return false;
        }
        if (!readFrame(capture, first)) {
            error = "'" + name + "' holds no readable video frame";
            return false;
        }
        first = asBgr(first);
        const double announced = capture.get(cv::CAP_PROP_FRAME_COUNT);
        total = announced > 0 && announced < 1e9 ? static_cast<long long>(announced) : 0;
        return true;
    }
};

bool openWriter(cv::VideoWriter& writer, const std::string& path, const std::string& codec,
                double fps, cv::Size size) {
    return codec.size() == 4 &&
           writer.open(path, cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]), fps,
                       size, true);
}

// One read of the whole input through `process`. Results go to the writers
// when given (and are measured); frames are appended to run.frames.
// Returns the number of frames read and whether the input failed early.
struct Pass {
    long long framesRead{0};
    bool inputFailed{false};
};

Pass runFrames(Input& input, const Process& process, cv::VideoWriter* writer,
               cv::VideoWriter* sideWriter, const std::atomic<bool>& stop,
               const std::function<void(const Progress&)>& onProgress, Progress progress,
               SteadyClock::time_point started, RunResult& run) {
    BoundedQueue<cv::Mat> decoded;
    BoundedQueue<Processed> finished;
    Pass pass;
    pass.framesRead = 1;

    // decoder
    std::thread decoder([&] {
        decoded.push(input.first);
        while (!stop.load()) {
            cv::Mat image;
            if (!readFrame(input.capture, image)) {
                pass.inputFailed = true;
                break;
            }
            ++pass.framesRead;
            decoded.push(asBgr(image));
        }
        decoded.close();
    });

    // encoder and measurement
    const size_t firstIndex = run.frames.size();
    std::vector<GlobalMotion> inputMotion, outputMotion;
    std::thread encoder([&] {
        MotionMeter inputMeter, outputMeter;
        cv::Mat stacked;
        while (auto item = finished.pop()) {
            if (writer == nullptr || item->result.size() != input.first.size()) {
                continue;  // the writers were opened for the first frame's size
            }
            if (item->cut) {  // a new picture: no motion against the last shot
                inputMeter.reset();
                outputMeter.reset();
            }
            writer->write(item->result);
            if (sideWriter != nullptr && sideWriter->isOpened()) {
                cv::vconcat(item->source, item->result, stacked);
                sideWriter->write(stacked);
            }
            inputMotion.push_back(inputMeter.measure(item->source));
            outputMotion.push_back(outputMeter.measure(item->result));
        }
    });

    // processing, on the caller's thread
    while (auto image = decoded.pop()) {
        FrameResult frame;
        cv::Mat result;
        process(*image, result, frame);
        run.frames.push_back(frame);
        finished.push({*image, result, frame.cut});
        ++progress.done;
        progress.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
        if (onProgress) {
            onProgress(progress);
        }
    }
    finished.close();
    decoder.join();
    encoder.join();

    for (size_t i = 0; i < inputMotion.size() && firstIndex + i < run.frames.size(); ++i) {
        run.frames[firstIndex + i].inputMotion = inputMotion[i];
        run.frames[firstIndex + i].outputMotion = outputMotion[i];
    }
    return pass;
}

// A "BGR3" frame header over a decoded picture; it does not own the bytes.
class FrameView {
  public:
    explicit FrameView(const cv::Mat& bgr) {
        frame_.width = static_cast<uint32_t>(bgr.cols);
        frame_.height = static_cast<uint32_t>(bgr.rows);
        frame_.fourcc = orl::video::fourcc::BGR3;
        frame_.size = static_cast<uint32_t>(bgr.total() * bgr.elemSize());
        frame_.data = bgr.data;
    }
    ~FrameView() { frame_.data = nullptr; }
    FrameView(const FrameView&) = delete;
    FrameView& operator=(const FrameView&) = delete;
    const orl::video::Frame& frame() const { return frame_; }

  private:
    orl::video::Frame frame_;
};

cv::Mat pictureOf(const orl::video::Frame& frame) {
    return cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                   frame.data)
        .clone();
}

bool transparentBorderOf(orl::calmora::Calmora& stabiliser) {
    return stabiliser.getParam(orl::calmora::TRANSPARENT_BORDER) != 0.0f;
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

    // input and first frame
    Input input;
    if (!input.open(options.input, run.error)) {
        return run;
    }
    run.width = input.first.cols;
    run.height = input.first.rows;
    run.fps = input.capture.get(cv::CAP_PROP_FPS);
    if (!(run.fps > 0.0 && run.fps < 1000.0)) {
        run.fps = 30.0;
    }

    // outputs
    const std::string codec = codecFor(options.output, options.codec);
    cv::VideoWriter writer, sideWriter;
    if (!openWriter(writer, options.output, codec, run.fps, input.first.size())) {
        run.error = "cannot write '" + options.output + "' with codec " + codec;
        return run;
    }
    if (!options.sideBySide.empty() &&
        !openWriter(sideWriter, options.sideBySide, codecFor(options.sideBySide, ""), run.fps,
                    cv::Size(input.first.cols, input.first.rows * 2))) {
        run.error = "cannot write '" + options.sideBySide + "'";
        return run;
    }

    const bool transparent = transparentBorderOf(stabiliser);
    run.zoom = 1.0 + std::max(0.0, options.zoomPercent) / 100.0;
    CutDetector cuts;
    Progress progress;
    Pass pass;
    orl::video::Frame result;

    if (!options.twoPass) {
        progress.total = input.total;
        const Process live = [&](const cv::Mat& source, cv::Mat& picture, FrameResult& frame) {
            const int index = static_cast<int>(run.frames.size());
            if (options.cutDetection && cuts.isCut(source)) {
                stabiliser.executeCommand(orl::calmora::RESET);
                run.cuts.push_back(index);
                frame.cut = true;
            }
            const FrameView view(source);
            const auto t0 = SteadyClock::now();
            stabiliser.stabilise(view.frame(), result);
            const auto t1 = SteadyClock::now();
            float x = 0.0f, y = 0.0f, a = 0.0f;
            stabiliser.getOffsets(x, y, a);
            frame.offsetX = x;
            frame.offsetY = y;
            frame.offsetA = a;
            frame.stabiliseMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
            if (run.zoom != 1.0) {
                // the same correction again from the source, zoomed: one
                // interpolation, not two
                orl::calmora::applyCorrection(view.frame(), result, {x, y, a, run.zoom},
                                              transparent);
            }
            picture = pictureOf(result);
        };
        pass =
            runFrames(input, live, &writer, &sideWriter, stop, onProgress, progress, started, run);
    } else {
        // first pass: the camera path
        progress.total = input.total > 0 ? 2 * input.total : 0;
        PathRecorder recorder(stabiliser);
        const Process measure = [&](const cv::Mat& source, cv::Mat&, FrameResult& frame) {
            const bool cut = options.cutDetection && cuts.isCut(source);
            const auto t0 = SteadyClock::now();
            recorder.add(source, cut);
            frame.stabiliseMs =
                std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
        };
        const Pass first =
            runFrames(input, measure, nullptr, nullptr, stop, onProgress, progress, started, run);
        std::vector<FrameResult> measured = std::move(run.frames);
        run.frames.clear();
        run.cuts = recorder.path().cuts;
        if (stop.load()) {
            writer.release();
            run.status = RunResult::INTERRUPTED;
            run.warnings.push_back("interrupted while measuring; the output holds no frame");
            run.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
            return run;
        }

        // the smoothed path and the corrections onto it
        const std::vector<orl::calmora::Correction> corrections =
            pathCorrections(recorder.path(), smoothPath(recorder.path(), options.smoothingFrames));
        if (options.zoomAuto) {
            run.zoom = autoZoom(corrections, run.width, run.height);
        }

        // second pass: the corrected frames
        Input again;
        if (!again.open(options.input, run.error) || again.first.size() != input.first.size()) {
            run.error = "cannot read '" + options.input + "' a second time";
            return run;
        }
        progress.done = static_cast<long long>(measured.size());
        const Process correct = [&](const cv::Mat& source, cv::Mat& picture, FrameResult& frame) {
            const size_t index = run.frames.size();
            orl::calmora::Correction c;
            if (index < corrections.size()) {
                c = corrections[index];
                frame.stabiliseMs = measured[index].stabiliseMs;
            }
            c.zoom = run.zoom;
            frame.cut =
                std::binary_search(run.cuts.begin(), run.cuts.end(), static_cast<int>(index));
            const FrameView view(source);
            const auto t0 = SteadyClock::now();
            orl::calmora::applyCorrection(view.frame(), result, c, transparent);
            frame.stabiliseMs +=
                std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
            frame.offsetX = c.x;
            frame.offsetY = c.y;
            frame.offsetA = c.a;
            picture = pictureOf(result);
        };
        pass = runFrames(again, correct, &writer, &sideWriter, stop, onProgress, progress, started,
                         run);
        pass.inputFailed = pass.inputFailed || first.inputFailed;
        pass.framesRead = std::max(pass.framesRead, first.framesRead);
    }
    writer.release();
    sideWriter.release();

    run.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    if (stop.load()) {
        run.status = RunResult::INTERRUPTED;
        run.warnings.push_back("interrupted after " + std::to_string(run.frames.size()) +
                               " frames; the output holds them");
        return run;
    }
    if (pass.inputFailed && input.total > 0 && pass.framesRead < input.total) {
        run.warnings.push_back("the input ended after " + std::to_string(pass.framesRead) + " of " +
                               std::to_string(input.total) +
                               " frames (cut short or damaged); the output holds the frames read");
    }
    run.status = RunResult::DONE;
    return run;
}

}  // namespace calmora_cli
