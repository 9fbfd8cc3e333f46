// Stabilisation of a whole video, composed of the libraries.
// - checkRun() comes first (RunChecks.cpp): a run it refuses opens nothing.
// - The input is read through the video-source library, a file as fast as
//   it decodes and only once; its first frame is read before anything
//   else, so that an input that is not a video, or an output that cannot
//   be written, fails before work.
// - Each mode's stabiliser is built from the run's ModeSettings through its
//   configure(). The live and lookahead classes find cuts themselves and
//   say so per frame; offline mode takes them from its planned path.
// - Frames flow through three threads: the decoder fills a short queue, the
//   caller's thread hands each frame to the mode's stabiliser (it alone
//   touches it), the encoder writes the results (and the side-by-side
//   picture) and measures the motion of input and output for the report.
//   Bounded queues keep the order and the memory.
// - A mode may hold frames back (lookahead), so the sources wait in a FIFO
//   until their results come out; every mode ends with one result per
//   source frame.
// - Offline mode first reads the whole input on the caller's thread to
//   measure the camera path (reporting progress, so it can be stopped),
//   plans, then reads it again to write the corrected frames. A plan that
//   finds the asked zoom too small for the shake fails the run before any
//   frame is written.
// - Progress counts against the container's frame count, which a file
//   states and a camera or stream does not.

#include <calmora/run/FileRun.h>

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/NexfeedOpenCv.h>
#include <calmora/OfflineStabiliser.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace orl::calmora::run {

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

    bool open(const std::string& text, long long maxFrames, std::string& error) {
        limit = maxFrames;
        source.setFileReading(orl::video::NexfeedOpenCv::FileReading::AS_DECODED_ONCE);
        if (!source.open(text)) {
            error = "cannot open '" + text + "' as a video";
            return false;
        }
        live = isLiveInput(text);
        if (!read(first)) {
            error = "'" + text + "' holds no readable video frame";
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

// Everything the steps of one run share.
struct Session {
    Session(const RunOptions& o, const std::atomic<bool>& s,
            const std::function<void(const Progress&)>& p)
        : options(o), stop(s), onProgress(p) {}

    const RunOptions& options;
    const std::atomic<bool>& stop;
    const std::function<void(const Progress&)>& onProgress;
    SteadyClock::time_point started{SteadyClock::now()};
    std::unique_ptr<Input> input;
    Writers writers;
    RunResult run;
    long long total{0};  // frames the container states, capped by maxFrames; 0 unknown

    double seconds() const {
        return std::chrono::duration<double>(SteadyClock::now() - started).count();
    }
    void report(Progress progress) const {
        if (onProgress) {
            progress.seconds = seconds();
            onProgress(progress);
        }
    }
};

// Frames the container says a file holds, capped by `maxFrames`; 0 when it
// does not say, and for a camera or stream, which ends when it ends.
long long expectedFrames(const RunOptions& options) {
    if (isLiveInput(options.input)) {
        return 0;
    }
    cv::VideoCapture capture(options.input);
    const double count = capture.isOpened() ? capture.get(cv::CAP_PROP_FRAME_COUNT) : 0.0;
    if (!(count >= 1.0 && count < 1e15)) {
        return 0;
    }
    const auto total = static_cast<long long>(count);
    return options.maxFrames > 0 ? std::min(total, options.maxFrames) : total;
}

// Reads the first frame, then opens the writers for its size.
bool openRun(Session& s) {
    RunResult& run = s.run;
    s.input = std::make_unique<Input>();
    if (!s.input->open(s.options.input, s.options.maxFrames, run.error)) {
        return false;
    }
    run.width = static_cast<int>(s.input->first.width);
    run.height = static_cast<int>(s.input->first.height);
    run.fps = s.input->fps();
    s.total = expectedFrames(s.options);

    const std::string codec = codecFor(s.options.output, s.options.codec);
    if (!openWriter(s.writers.output, s.options.output, codec, run.fps,
                    cv::Size(run.width, run.height))) {
        run.error = "cannot write '" + s.options.output + "' with codec " + codec;
        return false;
    }
    const std::string& side = s.options.sideBySide;
    if (!side.empty() && !openWriter(s.writers.sideBySide, side, codecFor(side, ""), run.fps,
                                     cv::Size(run.width, run.height * 2))) {
        run.error = "cannot write '" + side + "'";
        return false;
    }
    return true;
}

void decode(Input& input, const std::atomic<bool>& stop, BoundedQueue<Frame>& decoded) {
    decoded.push(input.first);
    for (long long count = 1; !stop.load() && (input.limit == 0 || count < input.limit); ++count) {
        Frame frame;
        if (!input.read(frame)) {
            break;
        }
        decoded.push(std::move(frame));
    }
    decoded.close();
}

// The motion of every source and result the encoder wrote, in order.
struct Measured {
    std::vector<GlobalMotion> input, output;
};

void encode(BoundedQueue<Processed>& finished, Writers& writers, cv::Size size,
            Measured& measured) {
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
        measured.input.push_back(inputMeter.measure(source));
        measured.output.push_back(outputMeter.measure(result));
    }
}

// Sources wait with their cut marks until their results come out; each
// result then goes to the encoder with its source, in input order.
class InOrder {
  public:
    InOrder(Session& s, BoundedQueue<Processed>& finished, Progress progress)
        : s_(s), finished_(finished), progress_(progress) {}

    void wait(Frame&& source, bool cut) { waiting_.emplace_back(std::move(source), cut); }

    void handOver(std::vector<Output>& outputs) {
        for (Output& out : outputs) {
            if (waiting_.empty()) {
                break;  // never more results than sources
            }
            out.figures.cut = waiting_.front().second;
            s_.run.frames.push_back(out.figures);
            finished_.push(
                {std::move(waiting_.front().first), std::move(out.picture), out.figures.cut});
            waiting_.pop_front();
            ++progress_.done;
            s_.report(progress_);
        }
        outputs.clear();
    }

  private:
    Session& s_;
    BoundedQueue<Processed>& finished_;
    Progress progress_;
    std::deque<std::pair<Frame, bool>> waiting_;
};

// One read of the whole input through `take` and `finish`, the results to
// the writers (and measured) and appended to run.frames; `progress` names
// the pass and its total.
void runFrames(Session& s, const Take& take, const Finish& finish, const Progress& progress) {
    BoundedQueue<Frame> decoded;
    BoundedQueue<Processed> finished;
    Measured measured;
    std::thread decoder([&] { decode(*s.input, s.stop, decoded); });
    std::thread encoder(
        [&] { encode(finished, s.writers, pictureOf(s.input->first).size(), measured); });

    const size_t firstIndex = s.run.frames.size();
    InOrder inOrder(s, finished, progress);
    std::vector<Output> outputs;
    for (long long index = 0; auto frame = decoded.pop(); ++index) {
        const bool cut = take(*frame, outputs);
        if (cut) {
            s.run.cuts.push_back(static_cast<int>(index));
        }
        inOrder.wait(std::move(*frame), cut);
        inOrder.handOver(outputs);
    }
    finish(outputs);
    inOrder.handOver(outputs);
    finished.close();
    decoder.join();
    encoder.join();

    for (size_t i = 0; i < measured.input.size() && firstIndex + i < s.run.frames.size(); ++i) {
        s.run.frames[firstIndex + i].inputMotion = measured.input[i];
        s.run.frames[firstIndex + i].outputMotion = measured.output[i];
    }
}

double millisecondsSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

Output withCorrection(Frame&& picture, const Correction& c, double ms) {
    Output out{std::move(picture), {}};
    out.figures.offsetX = c.x;
    out.figures.offsetY = c.y;
    out.figures.offsetA = c.a;
    out.figures.stabiliseMs = ms;
    return out;
}

// Builds a mode's stabiliser from the run's settings; checkRun() has
// validated them, so a refusal here means the two disagree.
template <typename Stabiliser>
bool configured(Stabiliser& stabiliser, Session& s) {
    if (stabiliser.configure(s.options.settings, &s.run.error)) {
        return true;
    }
    s.run.status = RunResult::REFUSED;
    return false;
}

const Finish nothingHeld = [](std::vector<Output>&) {};

bool runLive(Session& s) {
    CalmoraOpenCv live;
    if (!configured(live, s)) {
        return false;
    }
    s.run.zoom = s.options.settings.zoom;
    s.run.readout = s.options.settings.rollingShutter;
    const Take take = [&](const Frame& source, std::vector<Output>& outputs) {
        Frame result;
        const auto t0 = SteadyClock::now();
        live.stabilise(source, result);  // a cut frame is stabilised again inside
        const double ms = millisecondsSince(t0);
        float x = 0.0f, y = 0.0f, a = 0.0f;
        live.getOffsets(x, y, a);
        outputs.push_back(withCorrection(std::move(result), {x, y, a, s.run.zoom}, ms));
        return live.lastWasCut();
    };
    runFrames(s, take, nothingHeld, {0, s.total, 1, 1, 0.0});
    return true;
}

bool runLookahead(Session& s) {
    LookaheadStabiliser lookahead;
    if (!configured(lookahead, s)) {
        return false;
    }
    s.run.zoom = s.options.settings.zoom;
    s.run.readout = s.options.settings.rollingShutter;
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
    runFrames(s, take, drain, {0, s.total, 1, 1, 0.0});
    return true;
}

// Offline pass one on the caller's thread: every frame measured, progress
// after each. Returns the frames read.
long long measurePath(Session& s, OfflineStabiliser& offline) {
    Input& input = *s.input;
    offline.add(input.first);
    long long count = 1;
    s.report({count, s.total, 1, 2, 0.0});
    for (Frame frame;
         !s.stop.load() && (input.limit == 0 || count < input.limit) && input.read(frame);) {
        offline.add(frame);
        s.report({++count, s.total, 1, 2, 0.0});
    }
    return count;
}

bool runOffline(Session& s) {
    OfflineStabiliser offline;
    if (!configured(offline, s)) {
        return false;
    }
    const long long count = measurePath(s, offline);
    if (s.stop.load()) {
        return true;  // nothing is corrected before the whole path is known
    }
    if (!offline.plan()) {
        // a fixed zoom the shake does not fit: no frame with a border, and
        // no output at all rather than an empty one
        s.run.error = offline.message();
        s.writers.output.release();
        s.writers.sideBySide.release();
        for (const std::string* path : {&s.options.output, &s.options.sideBySide})
            if (!path->empty())
                std::remove(path->c_str());
        return false;
    }
    s.run.zoom = offline.zoom();
    s.run.readout = offline.readout();
    const std::vector<int> planned = offline.path().cuts;
    // pass two: the same frames again, corrected
    s.input = std::make_unique<Input>();
    if (!s.input->open(s.options.input, count, s.run.error)) {
        return false;
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
    runFrames(s, take, nothingHeld, {0, count, 2, 2, 0.0});
    return true;
}

}  // namespace

RunResult runFile(const RunOptions& options, const std::atomic<bool>& stop,
                  const std::function<void(const Progress&)>& onProgress) {
    const Refusal refusal = checkRun(options);
    if (refusal.status != RunResult::DONE) {
        RunResult refused;
        refused.status = refusal.status;
        refused.error = refusal.message;
        return refused;
    }
    Session s(options, stop, onProgress);
    if (!openRun(s)) {
        return std::move(s.run);
    }
    bool ran = false;
    switch (options.settings.mode) {
        case StabiliserMode::LOOKAHEAD:
            ran = runLookahead(s);
            break;
        case StabiliserMode::OFFLINE:
            ran = runOffline(s);
            break;
        case StabiliserMode::LIVE:
            ran = runLive(s);
            break;
    }
    s.writers.output.release();
    s.writers.sideBySide.release();
    RunResult& run = s.run;
    run.seconds = s.seconds();
    if (!ran) {
        return std::move(run);
    }
    if (stop.load()) {
        run.status = RunResult::INTERRUPTED;
        run.warnings.push_back("interrupted after " + std::to_string(run.frames.size()) +
                               " frames; the output holds them");
        return std::move(run);
    }
    run.status = RunResult::DONE;
    return std::move(run);
}

}  // namespace orl::calmora::run
