// Stabiliser interface and per-frame sequencing.
//
// - Parameters live in one record behind one mutex; every operation holds it
//   only for a copy or a few fields.
// - A frame: refuse empty input; copy the record, the zoom (and any reset
//   request) under the mutex; sanitise the copy; apply a pending reset;
//   while enabled measure the motion with the motion measurer (analysed
//   image, then Fourier correlation for type 0, optical flow otherwise) and
//   smooth it into offsets; compensate (zoom included, in the same warp);
//   publish the applied offsets, the measurement and the time spent under
//   the mutex.
// - When the analysis size changes, the measurer re-creates its buffers and
//   starts again, and the smoothing restarts with it.

#include <calmora/CalmoraOpenCv.h>

#include "Compensation.h"
#include "MotionFilter.h"
#include "RunParams.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace orl::calmora {

namespace {

constexpr int MAX_SCALE_FACTOR = 8;
constexpr int MAX_OFFSET_LIMIT = 1024;
constexpr float MAX_A_OFFSET_LIMIT = 89.0f;
constexpr double MIN_ZOOM = 1.0;
constexpr double MAX_ZOOM = 4.0;

// Integer part of `value` when it lies in lo..hi.
bool integerIn(float value, int lo, int hi, int& out) {
    const double whole = std::trunc(static_cast<double>(value));
    if (!(whole >= lo && whole <= hi)) {
        return false;
    }
    out = static_cast<int>(whole);
    return true;
}

bool floatIn(float value, float lo, float hi, float& out) {
    if (!(value >= lo && value <= hi)) {
        return false;
    }
    out = value;
    return true;
}

// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
int truncated(double value) {
    if (!(value == value)) {
        return 0;
    }
    const double whole = std::trunc(value);
    if (whole >= static_cast<double>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (whole <= static_cast<double>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(whole);
}

bool finite(const Offsets& o) {
    return std::isfinite(o.x) && std::isfinite(o.y) && std::isfinite(o.a);
}

}  // namespace

// Everything the frame operation works on. Only the thread inside
// stabilise() touches it.
struct CalmoraOpenCv::Pipeline {
    MotionMeasurer measurer;
    MotionFilter filter;
    Offsets offsets;
    Measurement measurement;

    // Grey pair 128, spectra and windowed image 0, filter and offsets 0.
    void reset() {
        measurer.reset();
        filter.reset();
        offsets = Offsets{};
    }

    void smooth(const Measurement& m, const CalmoraParams& run) {
        offsets = filter.update(Motion{m.x, m.y, m.a},
                                FilterCoeffs{run.xFilterCoeff, run.yFilterCoeff, run.aFilterCoeff});
        if (!finite(offsets)) {
            filter.reset();
            offsets = Offsets{};
        }
    }
};

std::string CalmoraOpenCv::getVersion() {
    return "4.0.1";
}

CalmoraOpenCv::CalmoraOpenCv() : pipeline_(std::make_unique<Pipeline>()) {
    params_.aOffsetLimit = 0.2f;
    params_.xFilterCoeff = 0.0f;
    params_.yFilterCoeff = 0.0f;
    params_.aFilterCoeff = 0.0f;
    params_.cutFrequencyHz = 0.0f;
    params_.fps = 0.0f;
    pipeline_->reset();
}

CalmoraOpenCv::~CalmoraOpenCv() = default;

bool CalmoraOpenCv::init(const CalmoraParams& params) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    params_ = params;
    return true;
}

bool CalmoraOpenCv::setParam(int id, float value) {
    if (!std::isfinite(value)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    CalmoraParams& p = params_;
    int whole = 0;
    switch (id) {
        case SCALE_FACTOR:
            return integerIn(value, 1, MAX_SCALE_FACTOR, p.scaleFactor);
        case X_OFFSET_LIMIT:
            return integerIn(value, 1, MAX_OFFSET_LIMIT, p.xOffsetLimit);
        case Y_OFFSET_LIMIT:
            return integerIn(value, 1, MAX_OFFSET_LIMIT, p.yOffsetLimit);
        case A_OFFSET_LIMIT:
            return floatIn(value, 0.0f, MAX_A_OFFSET_LIMIT, p.aOffsetLimit);
        case X_FILTER_COEFF:
            return floatIn(value, 0.0f, 1.0f, p.xFilterCoeff);
        case Y_FILTER_COEFF:
            return floatIn(value, 0.0f, 1.0f, p.yFilterCoeff);
        case A_FILTER_COEFF:
            return floatIn(value, 0.0f, 1.0f, p.aFilterCoeff);
        case ENABLE:
            if (!integerIn(value, 0, 1, whole)) {
                return false;
            }
            p.enable = whole == 1;
            return true;
        case TRANSPARENT_BORDER:
            if (!integerIn(value, 0, 1, whole)) {
                return false;
            }
            p.transparentBorder = whole == 1;
            return true;
        case CONST_X_OFFSET:
            p.constXOffset = truncated(value);
            return true;
        case CONST_Y_OFFSET:
            p.constYOffset = truncated(value);
            return true;
        case CONST_A_OFFSET:
            p.constAOffset = value;
            return true;
        case TYPE:
            return integerIn(value, 0, MAX_TYPE, p.type);
        default:
            return false;  // read-only (13-15, 17-20) or unknown
    }
}

float CalmoraOpenCv::getParam(int id) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    const CalmoraParams& p = params_;
    switch (id) {
        case SCALE_FACTOR:
            return static_cast<float>(p.scaleFactor);
        case X_OFFSET_LIMIT:
            return static_cast<float>(p.xOffsetLimit);
        case Y_OFFSET_LIMIT:
            return static_cast<float>(p.yOffsetLimit);
        case A_OFFSET_LIMIT:
            return p.aOffsetLimit;
        case X_FILTER_COEFF:
            return p.xFilterCoeff;
        case Y_FILTER_COEFF:
            return p.yFilterCoeff;
        case A_FILTER_COEFF:
            return p.aFilterCoeff;
        case ENABLE:
            return p.enable ? 1.0f : 0.0f;
        case TRANSPARENT_BORDER:
            return p.transparentBorder ? 1.0f : 0.0f;
        case CONST_X_OFFSET:
            return static_cast<float>(p.constXOffset);
        case CONST_Y_OFFSET:
            return static_cast<float>(p.constYOffset);
        case CONST_A_OFFSET:
            return p.constAOffset;
        case INSTANT_X_OFFSET:
            return static_cast<float>(publishedX_);
        case INSTANT_Y_OFFSET:
            return static_cast<float>(publishedY_);
        case INSTANT_A_OFFSET:
            return p.type >= MAX_TYPE ? static_cast<float>(publishedA_) : 0.0f;
        case TYPE:
            return static_cast<float>(p.type);
        case CUT_FREQUENCY_HZ:
            return p.cutFrequencyHz;
        case FPS:
            return p.fps;
        case PROCESSING_TIME_MKS:
            return static_cast<float>(p.processingTimeMks);
        case LOG_MOD:
            return static_cast<float>(p.logMod);
        default:
            return -1.0f;
    }
}

CalmoraParams CalmoraOpenCv::getParams() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return params_;
}

bool CalmoraOpenCv::executeCommand(int id) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    bool reset = false;
    switch (id) {
        case RESET:
            reset = true;
            break;
        case ON:
            reset = !params_.enable;
            params_.enable = true;
            break;
        case OFF:
            reset = params_.enable;
            params_.enable = false;
            break;
        default:
            return false;
    }
    if (reset) {
        // The next frame resets the processing state before it measures;
        // the reported offsets start again from zero at once.
        resetPending_ = true;
        publishedX_ = 0.0;
        publishedY_ = 0.0;
        publishedA_ = 0.0;
        publishedMeasurement_ = Measurement{};
    }
    return true;
}

bool CalmoraOpenCv::stabilise(const video::Frame& src, video::Frame& dst) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    if (src.size == 0 || src.width == 0 || src.height == 0 || src.data == nullptr) {
        return false;
    }

    // snapshot
    CalmoraParams snapshot;
    double zoom = 1.0;
    bool resetNow = false;
    {
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        snapshot = params_;
        zoom = zoom_;
        resetNow = resetPending_;
        resetPending_ = false;
    }
    const CalmoraParams run = sanitised(snapshot);
    Pipeline& p = *pipeline_;
    if (resetNow) {
        p.reset();
    }

    // measure and smooth
    if (run.enable) {
        p.measurement = p.measurer.measure(src, run);
        if (p.measurement.restarted) {
            // new analysis size: the path so far is in other units
            p.filter.reset();
            p.offsets = Offsets{};
        }
        p.smooth(p.measurement, run);
    } else {
        p.measurement = Measurement{};
        p.offsets = Offsets{};
    }

    // move the picture; a disabled stabiliser passes frames through as they
    // are, zoom included
    compensate(src, dst, p.offsets, run, run.enable ? zoom : 1.0);

    // publish
    {
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        params_.instantAOffset = static_cast<float>(p.offsets.a);
        params_.processingTimeMks = truncated(static_cast<double>(elapsed.count()));
        params_.instantXOffset = truncated(p.offsets.x);
        params_.instantYOffset = truncated(p.offsets.y);
        publishedX_ = p.offsets.x;
        publishedY_ = p.offsets.y;
        publishedA_ = p.offsets.a;
        publishedMeasurement_ = p.measurement;
    }
    return true;
}

void CalmoraOpenCv::getOffsets(float& offsetX, float& offsetY, float& offsetA) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    offsetX = static_cast<float>(publishedX_);
    offsetY = static_cast<float>(publishedY_);
    offsetA = static_cast<float>(publishedA_);
}

Measurement CalmoraOpenCv::lastMeasurement() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return publishedMeasurement_;
}

bool CalmoraOpenCv::setZoom(double zoom) {
    if (!(zoom >= MIN_ZOOM && zoom <= MAX_ZOOM)) {
        return false;  // NaN too
    }
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    zoom_ = zoom;
    return true;
}

double CalmoraOpenCv::getZoom() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return zoom_;
}

}  // namespace orl::calmora
