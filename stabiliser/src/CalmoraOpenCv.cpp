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
// - With a readout, the band motions of the last frames rebuild the path in
//   time up to the frame (nothing after it is known yet); its shifts within
//   the frame, LIVE_ROWS_SHARE of them, go into the same warp. A shorter
//   window than lookahead's, ending at the frame, leaves the bands'
//   constants less sure: the share keeps an error from adding wobble.

#include <calmora/CalmoraOpenCv.h>

#include <calmora/CutDetector.h>
#include <calmora/ParameterKeys.h>

#include "Compensation.h"
#include "MotionFilter.h"
#include "RollingShutter.h"
#include "RunParams.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace orl::calmora {

namespace {

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

constexpr double LIVE_ROWS_SHARE = 0.75;
constexpr int LIVE_WINDOW = 2 * BAND_WINDOW_FRAMES + 1;

}  // namespace

// Everything the frame operation works on. Only the thread inside
// stabilise() touches it.
struct CalmoraOpenCv::Pipeline {
    MotionMeasurer measurer;
    MotionFilter filter;
    CutDetector cuts;
    Offsets offsets;
    Measurement measurement;
    BandMotion bands[LIVE_WINDOW];  // of frame k at k % LIVE_WINDOW
    BandMotion window[LIVE_WINDOW];
    long long banded{0};  // frames with bands since the last reset

    // Grey pair 128, spectra and windowed image 0, filter and offsets 0.
    void reset() {
        measurer.reset();
        filter.reset();
        offsets = Offsets{};
        banded = 0;
    }

    // The shifts within the frame last measured, from the bands of the
    // frames before it.
    RowShifts rowShifts(double readout) {
        bands[banded % LIVE_WINDOW] = bandMotionOf(measurement);
        ++banded;
        const long long count = std::min<long long>(banded, LIVE_WINDOW);
        for (long long k = 0; k < count; ++k)
            window[k] = bands[(banded - count + k) % LIVE_WINDOW];
        RowShifts rows;
        fitBandPath(window, static_cast<int>(count), readout, static_cast<int>(count - 1), &rows);
        for (int b = 0; b < RowShifts::BANDS; ++b) {
            rows.x[b] *= LIVE_ROWS_SHARE;
            rows.y[b] *= LIVE_ROWS_SHARE;
        }
        return rows;
    }

    // Measures `src` and smooths its motion into the offsets.
    void track(const video::Frame& src, const CalmoraParams& run) {
        measurement = measurer.measure(src, run);
        if (measurement.restarted) {
            // new analysis size: the path so far is in other units
            filter.reset();
            offsets = Offsets{};
        }
        smooth(measurement, run);
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
    return CALMORA_VERSION;  // the project() version, given by the build
}

CalmoraParams CalmoraOpenCv::initialParams() {
    return orl::calmora::initialParams();
}

CalmoraOpenCv::CalmoraOpenCv() : pipeline_(std::make_unique<Pipeline>()), params_(initialParams()) {
    pipeline_->reset();
}

CalmoraOpenCv::~CalmoraOpenCv() = default;

bool CalmoraOpenCv::init(const CalmoraParams& params) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    params_ = params;
    return true;
}

// The ranges are the parameter table's: whole-number fields are tested by
// their integer part, the others as they are.
bool CalmoraOpenCv::setParam(int id, float value) {
    const ParameterKey* key = parameterById(id);
    if (!std::isfinite(value) || key == nullptr || !key->byIdentifier) {
        return false;  // read-only (13-15, 17-20) or unknown
    }
    const double v = key->kind == ValueKind::FLOAT ? static_cast<double>(value) : std::trunc(value);
    if (!(v >= key->minimum && v <= key->maximum)) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return setRecordValue(params_, id, v);
}

float CalmoraOpenCv::getParam(int id) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    switch (id) {
        case INSTANT_X_OFFSET:
            return static_cast<float>(publishedX_);
        case INSTANT_Y_OFFSET:
            return static_cast<float>(publishedY_);
        case INSTANT_A_OFFSET:
            return params_.type >= MAX_TYPE ? static_cast<float>(publishedA_) : 0.0f;
        default:
            break;
    }
    const double value = recordValue(params_, id);
    return std::isnan(value) ? -1.0f : static_cast<float>(value);
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
    bool detectCuts = false;
    bool refinements = false;
    double readout = 0.0;
    {
        const std::lock_guard<std::mutex> lock(paramsMutex_);
        snapshot = params_;
        zoom = zoom_;
        resetNow = resetPending_;
        resetPending_ = false;
        detectCuts = detectCuts_;
        refinements = refinements_;
        readout = readout_;
    }
    const CalmoraParams run = sanitised(snapshot);
    Pipeline& p = *pipeline_;
    if (resetNow) {
        p.reset();
    }
    p.measurer.setRefinements(refinements);
    p.measurer.setBands(readout > 0.0);

    // measure and smooth
    if (run.enable) {
        p.track(src, run);
    } else {
        p.measurement = Measurement{};
        p.offsets = Offsets{};
    }
    // a cut frame would be moved by a motion that never happened: it starts
    // a fresh path instead, as after RESET
    const bool cut = detectCuts && p.cuts.isCut(src, p.measurement);
    if (cut) {
        p.reset();
        p.track(src, run);
    }

    // move the picture; a disabled stabiliser passes frames through as they
    // are, zoom included
    RowShifts rows;
    if (readout > 0.0 && run.enable) {
        rows = p.rowShifts(readout);
    }
    compensate(src, dst, p.offsets, run, run.enable ? zoom : 1.0, refinements, &rows);

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
        publishedCut_ = cut;
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

bool CalmoraOpenCv::configure(const ModeSettings& settings, std::string* error) {
    const std::optional<ModeSettings> accepted = settingsFor(StabiliserMode::LIVE, settings, error);
    if (!accepted) {
        return false;
    }
    const ModeSettings& live = *accepted;
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    params_ = live.params;
    zoom_ = live.zoom;
    detectCuts_ = live.detectCuts;
    refinements_ = live.refinements;
    readout_ = live.rollingShutter;
    return true;
}

void CalmoraOpenCv::setCutDetection(bool on) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    detectCuts_ = on;
}

bool CalmoraOpenCv::getCutDetection() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return detectCuts_;
}

void CalmoraOpenCv::setRefinements(bool on) {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    refinements_ = on;
}

bool CalmoraOpenCv::getRefinements() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return refinements_;
}

double CalmoraOpenCv::getRollingShutter() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return readout_;
}

bool CalmoraOpenCv::lastWasCut() {
    const std::lock_guard<std::mutex> lock(paramsMutex_);
    return publishedCut_;
}

}  // namespace orl::calmora
