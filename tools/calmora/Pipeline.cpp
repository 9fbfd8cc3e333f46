// Stabilisation of a whole video, composed of the libraries.
// - The input is read through the video-source library, a file as fast as
//   it decodes and only once; its first frame is read before anything
//   else, so that an input that is not a video, or an output that cannot
//   be written, fails before work.
// - Frames flow through three threads: the decoder fills a short queue, the
//   caller's thread hands each frame to the mode's stabiliser (it alone
//   touches it), the encoder writes the results (and the side-by-side
//   picture) and measures the motion of input and output for the report.
//   Bounded queues keep the order and the memory.
// - A mode may hold frames back (lookahead), so the sources wait in a FIFO
//   until their results come out; every mode ends with one result per
//   source frame.
// - Offline mode first reads the whole input to measure the camera path,
//   plans, then reads it again to write the corrected frames.

#include "Pipeline.h"

#include <calmora/CutDetector.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/MotionMeasurer.h>
#include <calmora/NexfeedOpenCv.h>
#include <calmora/OfflineStabiliser.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace calmora_cli {

namespace {

using SteadyClock = std::chrono::steady_clock;
using orl::video::Frame;

constexpr size_t kQueueDepth = 4;
// Failed reads in a row after which a live source is taken as ended.
constexpr int kLiveFailures = 10;
constexpr int kReadTimeoutMs = 1000;

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

// A picture over a "BGR3" frame's bytes, not copied.
cv::Mat pictureOf(const Frame& frame) {
    return cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                   frame.data);
}

// One result of the mode's stabiliser with its figures.
struct Output {
    Frame picture;
    FrameResult figures;
};

// What a mode does with one source frame: appends the results it can give
// now (in input order) and says whether the frame starts a new shot.
using Take = std::function<bool(const Frame& source, std::vector<Output>& outputs)>;
// At the end of the input: appends the results still held back.
using Finish = std::function<void(std::vector<Output>& outputs)>;

struct Processed {
    Frame source;
    Frame result;
    bool cut{false};
};

// The input through the video-source library, with its first frame read.
struct Input {
    orl::video::NexfeedOpenCv source;
    Frame first;
    bool live{false};  // a camera or a stream: read failures may pass
    long long limit{0};

    bool open(const RunOptions& options, std::string& error) {
        limit = options.maxFrames;
        source.setFileReading(orl::video::NexfeedOpenCv::FileReading::AS_DECODED_ONCE);
        if (!source.open(options.input)) {
            error = "cannot open '" + options.input + "' as a video";
            return false;
        }
        live = isLiveInput(options.input);
        if (!read(first)) {
            error = "'" + options.input + "' holds no readable video frame";
            return false;
        }
        return true;
    }

    // The next frame; false at the end of the input.
    bool read(Frame& frame) {
        for (int failures = 0; failures < (live ? kLiveFailures : 1); ++failures) {
            if (source.getFrame(frame, kReadTimeoutMs)) {
                return true;
            }
        }
        return false;
    }

    double fps() {
        const double fps = source.getParam(orl::video::FPS);
        return fps > 0.0 && fps < 1000.0 ? fps : 30.0;
    }
};

bool openWriter(cv::VideoWriter& writer, const std::string& path, const std::string& codec,
                double fps, cv::Size size) {
    return codec.size() == 4 &&
           writer.open(path, cv::VideoWriter::fourcc(codec[0], codec[1], codec[2], codec[3]), fps,
                       size, true);
}

struct Writers {
    cv::VideoWriter output, sideBySide;
};

// One read of the whole input through `take` and `finish`, the results to
// the writers (and measured) and appended to run.frames.
void runFrames(Input& input, const Take& take, const Finish& finish, Writers& writers,
               const std::atomic<bool>& stop,
               const std::function<void(const Progress&)>& onProgress,
               SteadyClock::time_point started, RunResult& run) {
    BoundedQueue<Frame> decoded;
    BoundedQueue<Processed> finished;

    std::thread decoder([&] {
        decoded.push(input.first);
        for (long long count = 1; !stop.load() && (input.limit == 0 || count < input.limit);
             ++count) {
            Frame frame;
            if (!input.read(frame)) {
                break;
            }
            decoded.push(std::move(frame));
        }
        decoded.close();
    });

    const size_t firstIndex = run.frames.size();
    std::vector<GlobalMotion> inputMotion, outputMotion;
    const cv::Size size = pictureOf(input.first).size();
    std::thread encoder([&] {
        MotionMeter inputMeter, outputMeter;
        cv::Mat stacked;
        while (auto item = finished.pop()) {
            const cv::Mat source = pictureOf(item->source), result = pictureOf(item->result);
            if (result.size() != size || source.size() != size) {
                continue;  // the writers were opened for the first frame's size
            }
            if (item->cut) {  // a new picture: no motion against the last shot
                inputMeter.reset();
                outputMeter.reset();
            }
            writers.output.write(result);
            if (writers.sideBySide.isOpened()) {
                cv::vconcat(source, result, stacked);
                writers.sideBySide.write(stacked);
            }
            inputMotion.push_back(inputMeter.measure(source));
            outputMotion.push_back(outputMeter.measure(result));
        }
    });

    // sources wait here, with their cut marks, until their results come out
    std::deque<std::pair<Frame, bool>> waiting;
    std::vector<Output> outputs;
    const auto pass = [&] {
        for (Output& out : outputs) {
            out.figures.cut = waiting.front().second;
            run.frames.push_back(out.figures);
            finished.push(
                {std::move(waiting.front().first), std::move(out.picture), out.figures.cut});
            waiting.pop_front();
            if (onProgress) {
                onProgress({static_cast<long long>(run.frames.size()),
                            std::chrono::duration<double>(SteadyClock::now() - started).count()});
            }
        }
        outputs.clear();
    };
    for (long long index = 0; auto frame = decoded.pop(); ++index) {
        const bool cut = take(*frame, outputs);
        if (cut) {
            run.cuts.push_back(static_cast<int>(index));
        }
        waiting.emplace_back(std::move(*frame), cut);
        pass();
    }
    finish(outputs);
    outputs.resize(std::min(outputs.size(), waiting.size()));
    pass();
    finished.close();
    decoder.join();
    encoder.join();

    for (size_t i = 0; i < inputMotion.size() && firstIndex + i < run.frames.size(); ++i) {
        run.frames[firstIndex + i].inputMotion = inputMotion[i];
        run.frames[firstIndex + i].outputMotion = outputMotion[i];
    }
}

double millisecondsSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

Output withCorrection(Frame&& picture, const orl::calmora::Correction& c, double ms) {
    Output out{std::move(picture), {}};
    out.figures.offsetX = c.x;
    out.figures.offsetY = c.y;
    out.figures.offsetA = c.a;
    out.figures.stabiliseMs = ms;
    return out;
}

}  // namespace

const char* modeName(Mode mode) {
    switch (mode) {
        case Mode::LOOKAHEAD:
            return "lookahead";
        case Mode::OFFLINE:
            return "offline";
        case Mode::LIVE:
            break;
    }
    return "live";
}

bool isLiveInput(const std::string& input) {
    const orl::video::SourceType type = orl::video::NexfeedOpenCv::classify(input);
    return type == orl::video::STREAM || type == orl::video::DEVICE ||
           type == orl::video::NUMBER_OUT_OF_RANGE;
}

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

RunResult runStabilisation(orl::calmora::CalmoraOpenCv& stabiliser, const RunOptions& options,
                           const std::atomic<bool>& stop,
                           const std::function<void(const Progress&)>& onProgress) {
    using namespace orl::calmora;
    RunResult run;
    const auto started = SteadyClock::now();

    auto input = std::make_unique<Input>();
    if (!input->open(options, run.error)) {
        return run;
    }
    run.width = static_cast<int>(input->first.width);
    run.height = static_cast<int>(input->first.height);
    run.fps = input->fps();

    const std::string codec = codecFor(options.output, options.codec);
    Writers writers;
    const cv::Size size(run.width, run.height);
    if (!openWriter(writers.output, options.output, codec, run.fps, size)) {
        run.error = "cannot write '" + options.output + "' with codec " + codec;
        return run;
    }
    if (!options.sideBySide.empty() &&
        !openWriter(writers.sideBySide, options.sideBySide, codecFor(options.sideBySide, ""),
                    run.fps, cv::Size(run.width, run.height * 2))) {
        run.error = "cannot write '" + options.sideBySide + "'";
        return run;
    }

    run.zoom = 1.0 + std::max(0.0, options.zoomPercent) / 100.0;
    const CalmoraParams params = stabiliser.getParams();
    const Finish nothingHeld = [](std::vector<Output>&) {};
    CutDetector cuts;

    if (options.mode == Mode::LIVE) {
        stabiliser.setZoom(run.zoom);
        const Take live = [&](const Frame& source, std::vector<Output>& outputs) {
            Frame result;
            const auto t0 = SteadyClock::now();
            stabiliser.stabilise(source, result);
            // a cut frame was moved by a motion that never happened: again
            // from a fresh path
            const bool cut =
                options.cutDetection && cuts.isCut(source, stabiliser.lastMeasurement());
            if (cut) {
                stabiliser.executeCommand(RESET);
                stabiliser.stabilise(source, result);
            }
            const double ms = millisecondsSince(t0);
            float x = 0.0f, y = 0.0f, a = 0.0f;
            stabiliser.getOffsets(x, y, a);
            outputs.push_back(withCorrection(std::move(result), {x, y, a, run.zoom}, ms));
            return cut;
        };
        runFrames(*input, live, nothingHeld, writers, stop, onProgress, started, run);
    } else if (options.mode == Mode::LOOKAHEAD) {
        LookaheadStabiliser lookahead(options.latencyFrames);
        lookahead.init(params);
        lookahead.setZoom(run.zoom);
        lookahead.setCutDetection(options.cutDetection);
        const auto give = [&](Frame&& result, std::vector<Output>& outputs, double ms) {
            outputs.push_back(withCorrection(std::move(result), lookahead.lastCorrection(), ms));
        };
        const Take take = [&](const Frame& source, std::vector<Output>& outputs) {
            const auto t0 = SteadyClock::now();
            Frame result;
            if (lookahead.stabilise(source, result)) {
                give(std::move(result), outputs, millisecondsSince(t0));
            }
            return lookahead.lastWasCut();
        };
        const Finish drain = [&](std::vector<Output>& outputs) {
            for (Frame result; lookahead.drain(result); result = Frame()) {
                give(std::move(result), outputs, 0.0);
            }
        };
        runFrames(*input, take, drain, writers, stop, onProgress, started, run);
    } else {
        OfflineStabiliser::Settings settings;
        settings.smoothingFrames = options.smoothingFrames;
        settings.detectCuts = options.cutDetection;
        settings.autoZoom = options.zoomAuto;
        settings.zoom = run.zoom;
        OfflineStabiliser offline(params, settings);
        // pass one: the path of the whole input
        offline.add(input->first);
        long long count = 1;
        for (Frame frame; !stop.load() && (options.maxFrames == 0 || count < options.maxFrames) &&
                          input->read(frame);
             ++count) {
            offline.add(frame);
        }
        offline.plan();
        run.zoom = offline.zoom();
        const std::vector<int> planned = offline.path().cuts;
        // pass two: the same frames again, corrected
        input = std::make_unique<Input>();
        RunOptions again = options;
        again.maxFrames = count;
        if (!input->open(again, run.error)) {
            return run;
        }
        int index = 0;
        const Take take = [&](const Frame& source, std::vector<Output>& outputs) {
            const auto t0 = SteadyClock::now();
            Frame result;
            if (!offline.apply(index, source, result)) {
                result = source;  // a frame the first pass did not see
            }
            const auto& corrections = offline.corrections();
            const Correction c = static_cast<size_t>(index) < corrections.size()
                                     ? corrections[static_cast<size_t>(index)]
                                     : Correction{};
            outputs.push_back(withCorrection(std::move(result), c, millisecondsSince(t0)));
            return std::binary_search(planned.begin(), planned.end(), index++);
        };
        runFrames(*input, take, nothingHeld, writers, stop, onProgress, started, run);
    }
    writers.output.release();
    writers.sideBySide.release();

    run.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    if (stop.load()) {
        run.status = RunResult::INTERRUPTED;
        run.warnings.push_back("interrupted after " + std::to_string(run.frames.size()) +
                               " frames; the output holds them");
        return run;
    }
    run.status = RunResult::DONE;
    return run;
}

}  // namespace calmora_cli
