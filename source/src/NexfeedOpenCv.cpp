// Video source on cv::VideoCapture.
// - open: split "source;width;height", classify the source text (stream,
//   file, device number), open the capture by number or by name, request
//   the size, read the device's values back (init string) or apply the
//   record's values through setParam (record); derive the frame interval
//   from the frame rate.
// - getFrame: measure the pause since the previous call; files sleep out
//   the rest of one frame interval, live sources grab away the frames that
//   arrived meanwhile (bounded by the time-out); read straight into the
//   caller's frame when it already has the image's geometry, otherwise
//   read, convert anything that is not 8-bit BGR and copy row by row into
//   the frame (re-created to fit); number it, publish size and cycle time.
//   The fifth failure since the last restart closes and reopens the source,
//   with the record it was opened from when there was one. A file read
//   AS_DECODED_ONCE is neither paced nor reopened: its first failure ends it.
// - setParam / getParam: range checks, scaling to and from the device's
//   property scales (PropertyScale), the record updated on success.
// - Locks: paramsMutex, then deviceMutex, then the Logger's. Every call into
//   `capture` holds deviceMutex, so property calls from another thread
//   never overlap a grab or a read; getFrame never holds deviceMutex while
//   it takes paramsMutex. A blocking read therefore delays setParam /
//   getParam on a device property until the read returns.

#include <calmora/NexfeedOpenCv.h>

#include "FrameCopy.h"
#include "PropertyScale.h"
#include "SourceText.h"

#include <climits>
#include <sstream>
#include <thread>
#include <vector>

namespace orl::video {

using orl::logging::LogMode;

namespace {

// The file name part of a compile-time path, after the last '/' or '\'.
const char* baseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

const char* const kFileName = baseName(__FILE__);

// One line "[file][line]<separator><text>", with a line end added when the
// text has none (the Logger flushes after every console line).
void emit(orl::logging::Logger& logger, LogMode mode, int colour, int line, const char* separator,
          std::string text) {
    if (mode == LogMode::DISABLED) {
        return;
    }
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    logger.print(colour, mode) << "[" << kFileName << "][" << line << separator << text;
}

// Whole microseconds from `from` to `to`, held within 0..INT_MAX.
int microsecondsBetween(std::chrono::steady_clock::time_point from,
                        std::chrono::steady_clock::time_point to) {
    const int64_t mks = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
    return mks < 0 ? 0 : (mks > INT_MAX ? INT_MAX : static_cast<int>(mks));
}

// Frame counters wrap instead of overflowing after years of frames.
int advanced(int counter, int frames) {
    return static_cast<int>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(frames));
}

}  // namespace

#define NEXFEED_ERROR(streamed)                                              \
    do {                                                                     \
        std::ostringstream text_;                                            \
        text_ << streamed;                                                   \
        emit(logger, logMode.load(), 1, __LINE__, "] ERROR: ", text_.str()); \
    } while (0)

#define NEXFEED_NOTICE(streamed)                                       \
    do {                                                               \
        std::ostringstream text_;                                      \
        text_ << streamed;                                             \
        emit(logger, logMode.load(), 2, __LINE__, "]: ", text_.str()); \
    } while (0)

NexfeedOpenCv::NexfeedOpenCv()
    : NexfeedOpenCv([] { return std::chrono::steady_clock::now(); },
                    [](std::chrono::microseconds pause) { std::this_thread::sleep_for(pause); }) {}

NexfeedOpenCv::NexfeedOpenCv(NowFunction nowFunction, SleepFunction sleepFunction)
    : now(std::move(nowFunction)), sleep(std::move(sleepFunction)) {
    lastCallTime = now();
    lastEntryTime = lastCallTime;
    params.fourcc = "BGR24";
    params.custom1 = -1.0f;
    params.custom2 = -1.0f;
    params.custom3 = -1.0f;
}

NexfeedOpenCv::~NexfeedOpenCv() {
    close();
}

bool NexfeedOpenCv::isOpen() {
    std::lock_guard<std::mutex> device(deviceMutex);
    return capture.isOpened();
}

void NexfeedOpenCv::close() {
    std::lock_guard<std::mutex> device(deviceMutex);
    try {
        capture.release();
    } catch (const cv::Exception&) {
        // a back-end that fails to shut down still leaves the object closed
    }
}

bool NexfeedOpenCv::setProperty(int property, double value) {
    try {
        return capture.set(property, value);
    } catch (const cv::Exception&) {
        return false;
    }
}

double NexfeedOpenCv::getProperty(int property) {
    try {
        return capture.get(property);
    } catch (const cv::Exception&) {
        return 0.0;
    }
}

bool NexfeedOpenCv::grabLocked() {
    std::lock_guard<std::mutex> device(deviceMutex);
    try {
        return capture.grab();
    } catch (const cv::Exception&) {
        return false;
    }
}

bool NexfeedOpenCv::readLocked(cv::Mat& target) {
    std::lock_guard<std::mutex> device(deviceMutex);
    try {
        return capture.read(target);
    } catch (const cv::Exception&) {
        return false;
    }
}

bool NexfeedOpenCv::readFrame(Frame& frame) {
    // steady state: the caller's buffer already has the geometry of the
    // last image, so OpenCV decodes straight into it and the frame costs
    // no copy of ours
    uint32_t capacity = 0;
    if (frame.fourcc == fourcc::BGR3 && frame.data != nullptr && frame.width > 0 &&
        frame.height > 0 && frame.width <= INT_MAX / 3 && frame.height <= INT_MAX &&
        frameCapacity(frame.width, frame.height, fourcc::BGR3, capacity) &&
        frame.size == capacity) {
        cv::Mat direct(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3,
                       frame.data);
        if (!readLocked(direct)) {
            return false;
        }
        if (direct.data == frame.data) {
            return true;  // written in place, geometry and type unchanged
        }
        // OpenCV gave an image of another size or type instead
        image = direct;
        return copyToBgrFrame(image, converted, frame);
    }
    return readLocked(image) && copyToBgrFrame(image, converted, frame);
}

bool NexfeedOpenCv::openCapture(bool byNumber, int deviceNumber, const std::string& name,
                                const std::string& shownName) {
    bool opened = false;
    bool reportsOpen = false;
    {
        std::lock_guard<std::mutex> device(deviceMutex);
        try {
            opened = byNumber ? capture.open(deviceNumber, cv::CAP_ANY)
                              : capture.open(name, cv::CAP_ANY);
            reportsOpen = capture.isOpened();
        } catch (const cv::Exception&) {
            opened = false;
        }
    }
    if (!opened) {
        if (byNumber) {
            NEXFEED_ERROR("Could not open video source with given device number: " << shownName);
        } else {
            NEXFEED_ERROR("Could not open video with given source input: " << shownName);
        }
        return false;
    }
    if (!reportsOpen) {
        NEXFEED_ERROR("Could not open given video source!\n");
        return false;
    }
    return true;
}

bool NexfeedOpenCv::classifyOrReport(const std::string& text) {
    sourceType = classifySource(text);
    if (sourceType != UNKNOWN) {
        return true;
    }
    if (text.size() <= 3) {
        // short texts are device numbers; "cam" is none
        NEXFEED_ERROR("Video source is neither a device number nor a known source: " << text);
    } else {
        NEXFEED_ERROR("UNKNOWN video source type!\n");
    }
    return false;
}

bool NexfeedOpenCv::storeInitFields(const std::vector<std::string>& fields, int& width, int& height,
                                    int& deviceNumber) {
    std::lock_guard<std::mutex> lock(paramsMutex);
    std::string error;
    params.source = fields[0];
    bool converted = parseDecimal(fields[1], width, error);
    if (converted) {
        params.width = width;
        converted = parseDecimal(fields[2], height, error);
    }
    if (converted) {
        params.height = height;
        if (sourceType == DEVICE) {
            converted = parseDecimal(fields[0], deviceNumber, error);
        }
    }
    if (!converted) {
        NEXFEED_ERROR("Could not convert parameters! Exception caught: " << error);
        return false;
    }
    params.isOpen = false;
    return true;
}

float NexfeedOpenCv::readBackDevice(int width, int height) {
    std::lock_guard<std::mutex> lock(paramsMutex);
    std::lock_guard<std::mutex> device(deviceMutex);
    if (width > 0 && height > 0) {
        setProperty(cv::CAP_PROP_FRAME_WIDTH, width);
        setProperty(cv::CAP_PROP_FRAME_HEIGHT, height);
    }
    params.isOpen = true;
    params.width = truncToInt(getProperty(cv::CAP_PROP_FRAME_WIDTH));
    params.height = truncToInt(getProperty(cv::CAP_PROP_FRAME_HEIGHT));
    params.focusMode = truncToInt(getProperty(cv::CAP_PROP_AUTOFOCUS));
    params.focus = gainFromDevice(getProperty(cv::CAP_PROP_FOCUS));
    params.exposure = truncToInt(getProperty(cv::CAP_PROP_EXPOSURE));
    params.exposureMode = truncToInt(getProperty(cv::CAP_PROP_AUTO_EXPOSURE));
    params.fps = static_cast<float>(getProperty(cv::CAP_PROP_FPS));
    params.gain = gainFromDevice(getProperty(cv::CAP_PROP_GAIN));
    params.gainMode = 1;
    setProperty(cv::CAP_PROP_BUFFERSIZE, 1);
    return params.fps;
}

void NexfeedOpenCv::startPacing(float fps) {
    frameIntervalMks = frameIntervalFor(fps, frameIntervalMks);
    fileEnded = false;
    lastCallTime = now();
    lastEntryTime = lastCallTime;
}

bool NexfeedOpenCv::open(const std::string& initString) {
    if (initString.empty()) {
        NEXFEED_ERROR("Given init string is empty!\n");
        return false;
    }
    if (isOpen()) {
        NEXFEED_NOTICE("Video source already open\n");
        return true;
    }

    openedFromRecord = false;

    // fields: source, width, height; missing sizes are "not requested"
    std::vector<std::string> fields = splitInitString(initString);
    if (fields.empty()) {
        NEXFEED_ERROR("Not valid init string: " << initString);
        return false;
    }
    while (fields.size() < 3) {
        fields.emplace_back("-1");
    }

    // classify and convert; fields converted before a failure keep their
    // new values
    int width = -1;
    int height = -1;
    int deviceNumber = 0;
    if (!classifyOrReport(fields[0]) || !storeInitFields(fields, width, height, deviceNumber)) {
        return false;
    }

    // open
    {
        std::lock_guard<std::mutex> device(deviceMutex);
        setProperty(cv::CAP_PROP_BUFFERSIZE, 1);
    }
    const bool byNumber = sourceType == DEVICE;
    if (!openCapture(byNumber, deviceNumber, fields[0],
                     byNumber ? std::to_string(deviceNumber) : fields[0])) {
        return false;
    }

    // request the size, then read the device's own values back
    startPacing(readBackDevice(width, height));
    return true;
}

bool NexfeedOpenCv::open(const NexfeedParams& given) {
    if (isOpen()) {
        NEXFEED_NOTICE("Video source already open\n");
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(paramsMutex);
        params = given;
    }
    openedFromRecord = true;
    openRecord = given;
    if (given.source.empty()) {
        NEXFEED_ERROR("Empty video source name.");
        return false;
    }

    // classify
    if (!classifyOrReport(given.source)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(paramsMutex);
        params.isOpen = false;
    }
    {
        std::lock_guard<std::mutex> device(deviceMutex);
        setProperty(cv::CAP_PROP_BUFFERSIZE, 1);
    }

    // open; classification has proved that a DEVICE text is a number
    int deviceNumber = 0;
    std::string error;
    if (sourceType == DEVICE && !parseDecimal(given.source, deviceNumber, error)) {
        NEXFEED_ERROR("Could not convert parameters! Exception caught: " << error);
        return false;
    }
    if (!openCapture(sourceType == DEVICE, deviceNumber, given.source, given.source)) {
        return false;
    }

    // request the size; nothing is read back
    {
        std::lock_guard<std::mutex> lock(paramsMutex);
        std::lock_guard<std::mutex> device(deviceMutex);
        if (given.width > 0 && given.height > 0) {
            setProperty(cv::CAP_PROP_FRAME_WIDTH, given.width);
            setProperty(cv::CAP_PROP_FRAME_HEIGHT, given.height);
        }
        params.isOpen = true;
        setProperty(cv::CAP_PROP_BUFFERSIZE, 1);
    }
    startPacing(given.fps);

    // apply the record's values; each refusal logs itself and is ignored
    setParam(GAIN, static_cast<float>(given.gain));
    setParam(EXPOSURE_MODE, static_cast<float>(given.exposureMode));
    setParam(FOCUS_MODE, static_cast<float>(given.focusMode));
    setParam(FOCUS, static_cast<float>(given.focus));
    setParam(LOG_LEVEL, static_cast<float>(given.logLevel));
    setParam(FPS, given.fps);
    return true;
}

bool NexfeedOpenCv::countFailure() {
    ++failCount;
    if (failCount >= 5) {
        failCount = 0;
        executeCommand(RESTART);
    }
    return false;
}

bool NexfeedOpenCv::getFrame(Frame& frame, int timeoutMs) {
    // the pause since the previous call: from its start for the cycle time,
    // from the end of its pacing for the pacing itself
    const TimePoint entry = now();
    const int cycleMks = microsecondsBetween(lastEntryTime, entry);
    const int elapsedMks = microsecondsBetween(lastCallTime, entry);
    lastEntryTime = entry;
    lastCallTime = now();
    const int interval = frameIntervalMks;
    const bool once = sourceType == VIDEO_FILE && fileReading == FileReading::AS_DECODED_ONCE;
    if (once && fileEnded) {
        return false;
    }

    if (sourceType == VIDEO_FILE) {
        // pace a file: sleep out the rest of one interval (waits of 1 ms
        // or less are not worth a sleep); a late caller gets the next frame
        // at once. The next interval starts when this sleep ends, so a
        // caller in a tight loop still gets one frame per interval.
        if (!once && elapsedMks <= interval && interval - elapsedMks > 1000) {
            sleep(std::chrono::microseconds(interval - elapsedMks));
            lastCallTime = now();
        }
    } else if (elapsedMks >= interval) {
        // a live source has moved on: catch up by grabbing
        if (timeoutMs == 0) {
            return countFailure();
        }
        if (timeoutMs < 0) {
            // discard what can have been buffered since the last call; the
            // bound keeps a device whose grab never fails from holding us
            const int bound = drainBound(elapsedMks, interval);
            int discarded = 0;
            while (discarded < bound && grabLocked()) {
                ++discarded;
            }
            frameCounter = advanced(frameCounter, discarded);
        } else if (static_cast<int64_t>(interval) >= static_cast<int64_t>(timeoutMs) * 1000) {
            NEXFEED_ERROR("Timeout - " << timeoutMs
                                       << " ms is set to smaller value than frame interval - "
                                       << interval);
            return false;
        } else {
            const int missed = missedFrames(elapsedMks, interval);
            if (missed > framesWithinTimeout(timeoutMs, interval)) {
                return countFailure();
            }
            frameCounter = advanced(frameCounter, missed);
            for (int grabbed = 0; grabbed < missed && grabLocked(); ++grabbed) {
            }
        }
    }

    // read and deliver
    if (!readFrame(frame)) {
        // a file read once ends here instead of counting towards a restart
        fileEnded = once;
        return once ? false : countFailure();
    }
    frame.frameId = frameCounter;
    frameCounter = advanced(frameCounter, 1);

    std::lock_guard<std::mutex> lock(paramsMutex);
    params.width = static_cast<int>(frame.width);
    params.height = static_cast<int>(frame.height);
    params.cycleTimeMks = cycleMks;
    return true;
}

bool NexfeedOpenCv::setLogLevel(int level) {
    LogMode mode = LogMode::DISABLED;
    if (!logModeForLevel(level, mode)) {
        // reported with the mode in force before the call
        emit(logger, logMode.load(), 1, __LINE__, "] ERROR",
             "Invaid log mode: " + std::to_string(level) + " . Log disabled.");
        params.logLevel = 0;
        logMode = LogMode::DISABLED;
        return false;
    }
    params.logLevel = level;
    logMode = mode;
    return true;
}

bool NexfeedOpenCv::setDevice(int property, double deviceValue) {
    bool set = false;
    {
        std::lock_guard<std::mutex> device(deviceMutex);
        set = setProperty(property, deviceValue);
    }
    if (!set) {
        NEXFEED_ERROR("Can't set value to OpenCV.");
    }
    return set;
}

bool NexfeedOpenCv::setFrameSize(int id, int size) {
    const bool isWidth = id == WIDTH;
    if (size < 1 || size > 16364) {
        NEXFEED_ERROR("Invalid frame " << (isWidth ? "width" : "height") << " value: " << size);
        return false;
    }
    if (!setDevice(isWidth ? cv::CAP_PROP_FRAME_WIDTH : cv::CAP_PROP_FRAME_HEIGHT, size)) {
        return false;
    }
    if (isWidth) {
        params.width = size;
    } else {
        params.height = size;
    }
    return true;
}

bool NexfeedOpenCv::setCameraParam(int id, float value) {
    const int v = truncToInt(value);
    switch (id) {
        case GAIN:
            if (!setDevice(cv::CAP_PROP_GAIN, gainToDevice(value))) {
                return false;
            }
            params.gain = v;
            return true;
        case EXPOSURE_MODE:
            if (v != 0 && v != 1) {
                NEXFEED_ERROR("Invalid exposure mode: " << v);
                return false;
            }
            if (!setDevice(cv::CAP_PROP_AUTO_EXPOSURE, exposureModeToDevice(value))) {
                return false;
            }
            params.exposureMode = v;
            return true;
        case EXPOSURE:
            if (!setDevice(cv::CAP_PROP_EXPOSURE, value)) {
                return false;
            }
            params.exposure = v;
            return true;
        case FOCUS_MODE:
            if (v != 0 && v != 1) {
                NEXFEED_ERROR("Invalid focus mode: " << v);
                return false;
            }
            if (!setDevice(cv::CAP_PROP_AUTOFOCUS, focusModeToDevice(value))) {
                return false;
            }
            params.focusMode = v;
            return true;
        case FOCUS:
            if (!setDevice(cv::CAP_PROP_FOCUS, focusToDevice(value))) {
                return false;
            }
            params.focus = v;
            return true;
        case FPS:
            // the frame interval stays: pacing follows the opened source
            if (!setDevice(cv::CAP_PROP_FPS, value)) {
                return false;
            }
            params.fps = value;
            return true;
        default:
            return false;
    }
}

bool NexfeedOpenCv::setParam(int id, float value) {
    std::lock_guard<std::mutex> lock(paramsMutex);
    switch (id) {
        case LOG_LEVEL:
            return setLogLevel(truncToInt(value));
        case WIDTH:
        case HEIGHT:
            return setFrameSize(id, truncToInt(value));
        case GAIN:
        case EXPOSURE_MODE:
        case EXPOSURE:
        case FOCUS_MODE:
        case FOCUS:
        case FPS:
            return setCameraParam(id, value);
        case GAIN_MODE:
            NEXFEED_ERROR("Unsupported param.");
            return false;
        case CYCLE_TIME_MKS:
            NEXFEED_ERROR("CYCLE_TIME_MKS is read only parameter!\n");
            return false;
        case IS_OPEN:
            NEXFEED_ERROR("IS_OPEN is read only parameter!\n");
            return false;
        case CUSTOM_1:
        case CUSTOM_2:
        case CUSTOM_3:
            NEXFEED_ERROR("Not supported parameter\n");
            return false;
        default:
            return false;
    }
}

float NexfeedOpenCv::getParam(int id) {
    std::lock_guard<std::mutex> lock(paramsMutex);
    auto getDevice = [this](int property) {
        std::lock_guard<std::mutex> device(deviceMutex);
        return getProperty(property);
    };

    switch (id) {
        case LOG_LEVEL:
            return static_cast<float>(params.logLevel);
        case WIDTH:
            params.width = truncToInt(getDevice(cv::CAP_PROP_FRAME_WIDTH));
            return static_cast<float>(params.width);
        case HEIGHT:
            params.height = truncToInt(getDevice(cv::CAP_PROP_FRAME_HEIGHT));
            return static_cast<float>(params.height);
        case GAIN_MODE:
            return static_cast<float>(params.gainMode);
        case GAIN:
            params.gain = gainFromDevice(getDevice(cv::CAP_PROP_GAIN));
            return static_cast<float>(params.gain);
        case EXPOSURE_MODE:
            params.exposureMode = truncToInt(getDevice(cv::CAP_PROP_AUTO_EXPOSURE));
            return static_cast<float>(params.exposureMode);
        case EXPOSURE:
            params.exposure = gainFromDevice(getDevice(cv::CAP_PROP_EXPOSURE));
            return static_cast<float>(params.exposure);
        case FOCUS_MODE:
            params.focusMode = truncToInt(getDevice(cv::CAP_PROP_AUTOFOCUS));
            return static_cast<float>(params.focusMode);
        case FOCUS:
            params.focus = focusFromDevice(getDevice(cv::CAP_PROP_FOCUS));
            return static_cast<float>(params.focus);
        case CYCLE_TIME_MKS:
            return static_cast<float>(params.cycleTimeMks);
        case FPS:
            params.fps = static_cast<float>(getDevice(cv::CAP_PROP_FPS));
            return params.fps;
        case IS_OPEN: {
            std::lock_guard<std::mutex> device(deviceMutex);
            params.isOpen = capture.isOpened();
            return params.isOpen ? 1.0f : 0.0f;
        }
        case CUSTOM_1:
            return params.custom1;
        case CUSTOM_2:
            return params.custom2;
        case CUSTOM_3:
            return params.custom3;
        default:
            return -1.0f;
    }
}

void NexfeedOpenCv::setFileReading(FileReading mode) {
    fileReading = mode;
}

SourceType NexfeedOpenCv::classify(const std::string& text) {
    return classifySource(text);
}

NexfeedParams NexfeedOpenCv::getParams() {
    std::lock_guard<std::mutex> lock(paramsMutex);
    return params;
}

bool NexfeedOpenCv::executeCommand(int id) {
    if (id != RESTART) {
        return false;
    }
    close();
    if (openedFromRecord) {
        // a copy: open(params) stores its argument into openRecord
        const NexfeedParams record = openRecord;
        open(record);
        return true;
    }
    std::string source;
    {
        std::lock_guard<std::mutex> lock(paramsMutex);
        source = params.source;
    }
    open(source);
    return true;
}

}  // namespace orl::video
