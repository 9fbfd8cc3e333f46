#pragma once

#include <calmora/Frame.h>
#include <calmora/Logger.h>
#include <calmora/Nexfeed.h>
#include <calmora/SourceExport.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orl::video {

/// The video source on cv::VideoCapture: a camera by device number, a video
/// file or a network stream, delivered as "BGR3" frames.
///
/// Threads: open, close, isOpen, getFrame and executeCommand belong to the
/// capturing thread; setParam, getParam and getParams may be called from any
/// thread at the same time. Two locks, always taken in this order:
///   1. paramsMutex  guards `params` (and is held by setParam / getParam
///                   for their whole run);
///   2. deviceMutex  guards every call into `capture`, so that a property
///                   call from another thread never overlaps a grab or a
///                   read (OpenCV does not promise that is safe).
/// No code takes paramsMutex while it holds deviceMutex. The Logger's own
/// locks come last: messages may be logged while either lock is held.
class CALMORA_SOURCE_EXPORT NexfeedOpenCv : public Nexfeed {
  public:
    /// A closed source: record defaults with fourcc "BGR24" and the custom
    /// values -1, frame interval 33000 us, logging disabled.
    NexfeedOpenCv();

    /// Reads a monotonic clock (nanosecond resolution). getFrame measures
    /// the pause between calls and the frame pacing with it.
    using NowFunction = std::function<std::chrono::steady_clock::time_point()>;
    /// Blocks the calling thread for the given number of microseconds;
    /// getFrame paces a video file with it.
    using SleepFunction = std::function<void(std::chrono::microseconds)>;

    /// As above, with the clock and the sleep that pacing, catch-up and
    /// time-out use instead of std::chrono::steady_clock::now and
    /// std::this_thread::sleep_for (a test can drive time by hand).
    NexfeedOpenCv(NowFunction now, SleepFunction sleep);

    /// Releases the capture.
    ~NexfeedOpenCv() override;

    /// How getFrame reads a video file; devices and streams are not affected.
    enum class FileReading {
        /// Paced to the file's frame rate; at its end, the fifth failed read
        /// reopens the file and it starts again (the default).
        PACED_REPEATING,
        /// Every frame in order, as fast as it decodes (never paced), and the
        /// first failed read ends the file: from then on getFrame returns
        /// false, without counting failures or reopening, until the next open.
        AS_DECODED_ONCE,
    };

    /// Chooses how video files are read from the next getFrame on; call it
    /// on the capturing thread. A tool converting a file calls
    /// setFileReading(FileReading::AS_DECODED_ONCE) before or after open and
    /// reads until getFrame returns false.
    void setFileReading(FileReading mode);

    /// The kind of source that open(text) would take `text` for: a stream
    /// address, a video file, a camera device number, or unknown; the same
    /// rules open() follows. Lets a caller decide before opening, e.g. refuse
    /// a live source where the whole file is needed.
    static SourceType classify(const std::string& text);

    NexfeedOpenCv(const NexfeedOpenCv&) = delete;
    NexfeedOpenCv& operator=(const NexfeedOpenCv&) = delete;

    /// Opens from "source[;width[;height]]" (empty fields dropped, missing
    /// sizes taken as -1, i.e. not requested) and reads the device's values
    /// back into the record. True when open, also when it already was.
    bool open(const std::string& initString) override;

    /// Copies `params` into the record, opens `params.source`, requests the
    /// record's size and applies gain, exposure mode, focus mode, focus, log
    /// level and frame rate through setParam. True when open.
    bool open(const NexfeedParams& params) override;

    /// Whether the capture is open.
    bool isOpen() override;

    /// Releases the capture; the record's isOpen field is left as it was.
    void close() override;

    /// Delivers the next image as "BGR3" into `frame` (re-created, keeping
    /// its sourceId, when its size or format differ). Files are paced to
    /// their frame rate by sleeping (at most one frame per interval, also
    /// in a tight loop) unless read AS_DECODED_ONCE; live sources skip the
    /// frames that arrived while the caller was away, as far as `timeoutMs`
    /// allows (> 0: at most timeoutMs of frames, 0: none, < 0: discard what
    /// is buffered, at most elapsed / interval + 1 frames and never more
    /// than 256). The fifth failure since the last restart reopens the
    /// source; a file read AS_DECODED_ONCE ends at its first failure
    /// instead. False, with `frame` unchanged, when no frame was delivered.
    bool getFrame(Frame& frame, int timeoutMs) override;

    /// Sets one NexfeedParam (`value` truncated toward zero for integer
    /// fields). False, with an error logged, for a refused value, a
    /// read-only identifier or a device that refuses the property; false
    /// silently for an unknown identifier.
    bool setParam(int id, float value) override;

    /// One NexfeedParam, device values read fresh, scaled and stored into
    /// the record; -1.0 for an unknown identifier.
    float getParam(int id) override;

    /// A copy of the record, taken under paramsMutex.
    NexfeedParams getParams() override;

    /// RESTART closes and reopens, with the last record given to
    /// open(params) when the source was opened from one (so its size, frame
    /// rate, fourcc and device values survive), else from the record's
    /// source text. Returns true whatever the reopening gives; any other
    /// identifier returns false.
    bool executeCommand(int id) override;

  private:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Opens `capture` by device number (when `byNumber`) or by name and
    // logs the refusal; true when the capture reports itself open.
    bool openCapture(bool byNumber, int deviceNumber, const std::string& name,
                     const std::string& shownName);
    // Sets sourceType to the kind of `text`; false, with the refusal
    // logged, when it is of no known kind.
    bool classifyOrReport(const std::string& text);
    // Stores the fields "source", "width", "height" of an init string into
    // the record (each as far as it converts) and `width`, `height` and, for
    // a device, `deviceNumber`; false, with the error logged, when one does
    // not convert.
    bool storeInitFields(const std::vector<std::string>& fields, int& width, int& height,
                         int& deviceNumber);
    // Requests width x height (when both are positive) from the opened
    // capture, reads the device's values back into the record and returns
    // its frame rate. Takes paramsMutex, then deviceMutex.
    float readBackDevice(int width, int height);
    // Derives the frame interval from `fps` (frames per second) and starts
    // the pause measurement of getFrame afresh.
    void startPacing(float fps);
    // The setParam steps; the caller holds paramsMutex. setLogLevel takes a
    // NexfeedParams log level, setFrameSize a WIDTH or HEIGHT in pixels,
    // setCameraParam the GAIN, EXPOSURE_MODE, EXPOSURE, FOCUS_MODE, FOCUS
    // or FPS value as given to setParam. False, logged, when refused.
    bool setLogLevel(int level);
    bool setFrameSize(int id, int size);
    bool setCameraParam(int id, float value);
    // setProperty under deviceMutex, with a refusal logged.
    bool setDevice(int property, double deviceValue);
    // Grabs or reads under deviceMutex; false also when OpenCV throws.
    bool grabLocked();
    bool readLocked(cv::Mat& target);
    // Reads the next image into `frame` as "BGR3"; false, with `frame`
    // unchanged, when nothing could be read or converted.
    bool readFrame(Frame& frame);
    // capture.set / capture.get with OpenCV exceptions turned into a
    // refusal or 0; the caller holds deviceMutex.
    bool setProperty(int property, double value);
    double getProperty(int property);
    // Counts a failed getFrame and restarts the source on the fifth.
    bool countFailure();

    cv::VideoCapture capture;
    NexfeedParams params;
    std::mutex paramsMutex;
    int frameIntervalMks{33000};
    int frameCounter{0};
    SourceType sourceType{UNKNOWN};
    TimePoint lastCallTime;
    orl::logging::Logger logger;
    // Atomic because getFrame logs its time-out error without paramsMutex
    // while setParam(LOG_LEVEL) may change it.
    std::atomic<orl::logging::LogMode> logMode{orl::logging::LogMode::DISABLED};
    cv::Mat image;  // the last image that could not be decoded in place
    uint16_t failCount{0};

    // Start of the previous getFrame (or the open): the cycle time is
    // measured from here, while lastCallTime marks where the previous
    // call's pacing ended.
    TimePoint lastEntryTime;
    std::mutex deviceMutex;  // taken after paramsMutex, never before it
    cv::Mat converted;       // scratch for images that are not 8-bit BGR

    NowFunction now;
    SleepFunction sleep;
    // The record of the last open(params), reused by RESTART while
    // openedFromRecord holds (an open from a text clears it).
    bool openedFromRecord{false};
    NexfeedParams openRecord;
    FileReading fileReading{FileReading::PACED_REPEATING};
    bool fileEnded{false};  // AS_DECODED_ONCE read past the last frame
};

}  // namespace orl::video
