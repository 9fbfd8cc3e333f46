#pragma once

#include <calmora/Frame.h>
#include <calmora/SourceExport.h>

#include <string>

namespace orl::video {

/// The video source's parameter record.
struct NexfeedParams {
    int logLevel{0};                    ///< 0 none, 1 log file, 2 console, 3 console and file
    std::string source{"/dev/video0"};  ///< device number, video file path or stream address
    std::string fourcc{"YUYV"};         ///< stored and returned only; frames are always "BGR3"
    int width{1920};                    ///< requested width; after each frame, its width
    int height{1080};                   ///< requested height; after each frame, its height
    int gainMode{1};                    ///< not writable through setParam
    int gain{0};                        ///< 0..65535
    int exposureMode{1};                ///< 1 automatic, 0 manual
    int exposure{1};                    ///< passed to the device
    int focusMode{1};                   ///< 1 automatic, 0 manual
    int focus{0};                       ///< 0..65535
    int cycleTimeMks{0};                ///< read-only: time between the last two getFrame calls
    float fps{0.0f};                    ///< frames per second; 0 or less means unknown
    bool isOpen{false};                 ///< read-only: a source was opened successfully
    float custom1{0.0f};                ///< reserved, stored and returned only
    float custom2{0.0f};                ///< reserved
    float custom3{0.0f};                ///< reserved
};

/// Parameter identifiers for setParam / getParam.
enum NexfeedParam : int {
    LOG_LEVEL = 1,
    WIDTH = 2,
    HEIGHT = 3,
    GAIN_MODE = 4,
    GAIN = 5,
    EXPOSURE_MODE = 6,
    EXPOSURE = 7,
    FOCUS_MODE = 8,
    FOCUS = 9,
    CYCLE_TIME_MKS = 10,
    FPS = 11,
    IS_OPEN = 12,
    CUSTOM_1 = 13,
    CUSTOM_2 = 14,
    CUSTOM_3 = 15,
};

/// Commands for executeCommand.
enum NexfeedCommand : int {
    RESTART = 1,  ///< close, then reopen as last opened (record or source text)
};

/// Kind of source, decided from the source text.
enum SourceType : int {
    STREAM = 0,
    VIDEO_FILE = 1,
    DEVICE = 2,
    NUMBER_OUT_OF_RANGE = 3,
    UNKNOWN = 4,
};

/// A source of "BGR3" video frames: camera, video file or network stream.
class CALMORA_SOURCE_EXPORT Nexfeed {
  public:
    /// Opens from "source[;width[;height]]". True when open.
    virtual bool open(const std::string& initString) = 0;

    /// Opens from a whole record. True when open.
    virtual bool open(const NexfeedParams& params) = 0;

    /// Whether the capture is open.
    virtual bool isOpen() = 0;

    /// Closes the capture.
    virtual void close() = 0;

    /// Delivers the next frame as "BGR3" into `frame`, waiting or skipping
    /// according to the frame rate; `timeoutMs` bounds how far a live
    /// source may be behind. False, with `frame` unchanged, on failure.
    virtual bool getFrame(Frame& frame, int timeoutMs) = 0;

    /// Sets one parameter; false when refused.
    virtual bool setParam(int id, float value) = 0;

    /// One parameter's value; -1.0 for an unknown identifier.
    virtual float getParam(int id) = 0;

    /// A copy of the parameter record.
    virtual NexfeedParams getParams() = 0;

    /// RESTART; false for any other id.
    virtual bool executeCommand(int id) = 0;

    // Declared after the nine operations so that they keep their slots.
    virtual ~Nexfeed() = default;
};

}  // namespace orl::video
