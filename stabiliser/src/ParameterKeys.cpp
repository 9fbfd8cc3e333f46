// Every setting by name, for command lines, bindings, element properties and
// the demonstration program's configuration file.
// - One table holds each setting once: names, kind, range, default, unit,
//   help, the modes that read it. Front ends are generated from it; the
//   stabiliser's setParam, the initial parameters and validate() read their
//   ranges and defaults from it too.
// - Front ends show the zoom in per cent beyond 100; the one conversion is
//   the entry's scale and origin.
// - cutFrequencyHz, fps and logMod are not settable by identifier, so they
//   go into the record, which is then handed over with init.

#include <calmora/ParameterKeys.h>

#include "RunParams.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orl::calmora {

namespace {

constexpr double NONE = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double MAX_SCALE_FACTOR = 8;
constexpr double MAX_OFFSET_LIMIT = 1024;
constexpr double MAX_A_OFFSET_LIMIT = 89;

// A stabiliser parameter: front-end units are the library's.
ParameterKey parameter(const char* key, const char* option, int id, ValueKind kind, double lo,
                       double hi, double initial, const char* unit, const char* meaning,
                       unsigned modes = USED_ALL) {
    const bool storedOnly = id == CUT_FREQUENCY_HZ || id == FPS || id == LOG_MOD;
    return {key,   option, id,        kind,       lo, hi, initial, NONE, unit,
            meaning, modes, !storedOnly, storedOnly, {}, "",     1.0, 0.0,   unit};
}

// The mode settings, first in the table.
void addModeSettings(std::vector<ParameterKey>& table) {
    using V = ValueKind;
    table.push_back({"mode", "mode", SETTING_MODE, V::CHOICE, 0, 2, 0, NONE, "",
                     "how frames are stabilised", USED_ALL, false, false,
                     {{"live", "each frame out as it comes in, smoothed with the frames before it"},
                      {"lookahead", "frames held for 'latency' frames, smoothed with those after "
                                    "them too"},
                      {"offline", "two passes over a whole file, each shot smoothed as a whole"}},
                     "", 1.0, 0.0, ""});
    table.push_back({"latency", "latency", SETTING_LATENCY, V::INT, MIN_LATENCY_FRAMES,
                     MAX_LATENCY_FRAMES, DEFAULT_LATENCY_FRAMES, NONE, "frames",
                     "frames held back to smooth the path without lag", USED_LOOKAHEAD, false,
                     false, {}, "", 1.0, 0.0, "frames"});
    table.push_back({"smoother", "smoother", SETTING_SMOOTHER, V::CHOICE, 0, 1, 0, NONE, "",
                     "how each shot's path is smoothed", USED_OFFLINE, false, false,
                     {{"l1", "the least change of speed that keeps the zoomed frame covered"},
                      {"gaussian", "a line fitted with Gaussian weights of 'smoothing' frames"}},
                     "", 1.0, 0.0, ""});
    table.push_back({"smoothing", "smoothing", SETTING_SMOOTHING, V::FLOAT, MIN_SMOOTHING_FRAMES,
                     MAX_SMOOTHING_FRAMES, DEFAULT_SMOOTHING_FRAMES, NONE, "frames",
                     "sigma of the gaussian path smoother", USED_OFFLINE, false, false, {}, "", 1.0,
                     0.0, "frames"});
    table.push_back({"zoom", "zoom", SETTING_ZOOM, V::NUMBER_OR_AUTO, MIN_ZOOM, MAX_ZOOM, MIN_ZOOM,
                     NONE, "factor",
                     "zoom about the centre to hide the border; auto (offline): the smallest "
                     "that covers every pixel and keeps the path smooth",
                     USED_ALL, false, false, {}, "", 100.0, 1.0, "per cent beyond 100"});
    table.push_back({"detectCuts", "detect-cuts", SETTING_DETECT_CUTS, V::BOOL, 0, 1,
                     DEFAULT_DETECT_CUTS ? 1 : 0, NONE, "",
                     "start the camera path again at each hard cut of edited footage",
                     USED_ALL, false, false, {}, "cut-detection", 1.0, 0.0, ""});
    // the live class starts without them; every front end uses them
    table.push_back({"refinements", "refinements", SETTING_REFINEMENTS, V::BOOL, 0, 1, 0,
                     DEFAULT_REFINEMENTS ? 1 : 0, "",
                     "warp every pixel format; take camera motion and rotation only from what "
                     "explains the whole frame",
                     USED_ALL, false, false, {}, "", 1.0, 0.0, ""});
    table.push_back({"rollingShutter", "rolling-shutter", SETTING_ROLLING_SHUTTER, V::NUMBER_OR_AUTO,
                     MIN_ROLLING_SHUTTER, MAX_ROLLING_SHUTTER, MIN_ROLLING_SHUTTER, NONE,
                     "frame intervals",
                     "the sensor's readout, top row to bottom (0: global shutter), corrected "
                     "within each frame; auto (offline): estimated from the clip",
                     USED_ALL, false, false, {}, "", 1.0, 0.0, "frame intervals"});
}

// The stabiliser parameters, in record order.
void addParameters(std::vector<ParameterKey>& table) {
    using V = ValueKind;
    const CalmoraParams record;
    const auto pixels = static_cast<double>(MAX_OFFSET_LIMIT);
    table.push_back(parameter("scaleFactor", "scale-factor", SCALE_FACTOR, V::INT, 1,
                              MAX_SCALE_FACTOR, 1, "",
                              "analysed-image divisor (type 1, 2); 512 or 256 square (type 0)"));
    table.push_back(parameter("xOffsetLimit", "x-offset-limit", X_OFFSET_LIMIT, V::INT, 1, pixels,
                              record.xOffsetLimit, "pixels", "largest horizontal motion per frame"));
    table.push_back(parameter("yOffsetLimit", "y-offset-limit", Y_OFFSET_LIMIT, V::INT, 1, pixels,
                              record.yOffsetLimit, "pixels", "largest vertical motion per frame"));
    table.push_back(parameter("aOffsetLimit", "a-offset-limit", A_OFFSET_LIMIT, V::FLOAT, 0,
                              MAX_A_OFFSET_LIMIT, 0.2f, "radians", "largest rotation per frame"));
    table.push_back(parameter("xFilterCoeff", "x-filter-coeff", X_FILTER_COEFF, V::FLOAT, 0, 1,
                              0, "", "horizontal path smoothing; 0 adapts to the shake", USED_LIVE));
    table.push_back(parameter("yFilterCoeff", "y-filter-coeff", Y_FILTER_COEFF, V::FLOAT, 0, 1,
                              0, "", "vertical path smoothing; 0 adapts to the shake", USED_LIVE));
    table.push_back(parameter("aFilterCoeff", "a-filter-coeff", A_FILTER_COEFF, V::FLOAT, 0, 1,
                              0, "", "rotation path smoothing; 0 adapts to the shake", USED_LIVE));
    table.push_back(parameter("enable", "enable", ENABLE, V::BOOL, 0, 1, 1, "", "stabilisation on"));
    table.push_back(parameter("transparentBorder", "transparent-border", TRANSPARENT_BORDER,
                              V::BOOL, 0, 1, 1, "",
                              "uncovered pixels keep the previous output instead of black"));
    table.push_back(parameter("constXOffset", "const-x-offset", CONST_X_OFFSET, V::INT, -INF, INF,
                              0, "pixels", "constant horizontal shift"));
    table.push_back(parameter("constYOffset", "const-y-offset", CONST_Y_OFFSET, V::INT, -INF, INF,
                              0, "pixels", "constant vertical shift"));
    table.push_back(parameter("constAOffset", "const-a-offset", CONST_A_OFFSET, V::FLOAT, -INF,
                              INF, 0, "radians", "constant rotation about the centre"));
    ParameterKey type = parameter("type", "type", TYPE, V::CHOICE, 0, MAX_TYPE, record.type, "",
                                  "motion model and estimator");
    type.choices = {{"fft", "FFT correlation, shift only"},
                    {"flow", "optical flow, shift only"},
                    {"flow-rotation", "optical flow, shift and rotation"}};
    table.push_back(type);
    // stored and reported only: the live stabiliser's record keeps them
    table.push_back(parameter("cutFrequencyHz", "cut-frequency-hz", CUT_FREQUENCY_HZ, V::FLOAT,
                              -INF, INF, 0, "Hz", "stored and reported only", USED_LIVE));
    table.push_back(parameter("fps", "fps", FPS, V::FLOAT, -INF, INF, 0, "frames per second",
                              "stored and reported only", USED_LIVE));
    table.push_back(parameter("logMod", "log-mod", LOG_MOD, V::INT, -INF, INF, 0, "",
                              "stored and reported only", USED_LIVE));
}

std::vector<ParameterKey> buildTable() {
    std::vector<ParameterKey> table;
    addModeSettings(table);
    addParameters(table);
    return table;
}

bool hasWord(const char* words, const std::string& word) {
    const std::string all = std::string(" ") + words + " ";
    return !word.empty() && all.find(" " + word + " ") != std::string::npos;
}

std::string hyphenated(std::string name) {
    for (char& c : name) {
        c = c == '_' ? '-' : c;
    }
    return name;
}

// Shortest text that reads back as the same float, as a person writes it.
std::string numberText(double value) {
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char text[40];
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value + 0.0);  // 300, not 3e+02; 0, not -0
        return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (static_cast<float>(std::strtod(text, nullptr)) == static_cast<float>(value)) {
            break;
        }
    }
    return text;
}

bool isWhole(ValueKind kind) {
    return kind == ValueKind::INT || kind == ValueKind::BOOL || kind == ValueKind::CHOICE;
}

// Integer part that saturates instead of overflowing; NaN gives 0.
int truncatedInt(double value) {
    if (!(value == value)) {
        return 0;
    }
    const double whole = std::trunc(value);
    constexpr double lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
    return static_cast<int>(whole < lo ? lo : whole > hi ? hi : whole);
}

bool parseNumber(const std::string& text, double& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != text.c_str() && *end == '\0' && errno != ERANGE &&
           std::isfinite(value) && std::fabs(value) <= 3.0e38;
}

bool parseBool(const std::string& text, double& value) {
    for (const char* yes : {"true", "on", "yes", "1"}) {
        if (text == yes) {
            value = 1.0;
            return true;
        }
    }
    for (const char* no : {"false", "off", "no", "0"}) {
        if (text == no) {
            value = 0.0;
            return true;
        }
    }
    return false;
}

std::string outsideMessage(const ParameterKey& key, const std::string& given, Units units) {
    return std::string(key.option) + ": " + given + " is outside the accepted range " +
           rangeText(key, units);
}

// Stores a value already checked and in library units.
void store(ModeSettings& s, const ParameterKey& key, double value) {
    switch (key.id) {
        case SETTING_MODE:
            s.mode = static_cast<StabiliserMode>(truncatedInt(value));
            return;
        case SETTING_LATENCY:
            s.latencyFrames = truncatedInt(value);
            return;
        case SETTING_SMOOTHER:
            s.smoother = static_cast<PathSmoother>(truncatedInt(value));
            return;
        case SETTING_SMOOTHING:
            s.smoothingFrames = value;
            return;
        case SETTING_ZOOM:
            s.zoom = value;
            s.zoomAuto = false;
            return;
        case SETTING_DETECT_CUTS:
            s.detectCuts = value != 0.0;
            return;
        case SETTING_REFINEMENTS:
            s.refinements = value != 0.0;
            return;
        case SETTING_ROLLING_SHUTTER:
            s.rollingShutter = value;
            s.rollingShutterAuto = false;
            return;
        default:
            setRecordValue(s.params, key.id, value);
    }
}

}  // namespace

const char* modeName(StabiliserMode mode) {
    switch (mode) {
        case StabiliserMode::LOOKAHEAD:
            return "lookahead";
        case StabiliserMode::OFFLINE:
            return "offline";
        case StabiliserMode::LIVE:
            break;
    }
    return "live";
}

bool ParameterKey::usedBy(StabiliserMode mode) const {
    return (modes & (1u << static_cast<int>(mode))) != 0;
}

bool* ParameterKey::autoFlag(ModeSettings& s) const {
    return id == SETTING_ZOOM ? &s.zoomAuto
           : id == SETTING_ROLLING_SHUTTER ? &s.rollingShutterAuto
                                           : nullptr;
}

const bool* ParameterKey::autoFlag(const ModeSettings& s) const {
    return autoFlag(const_cast<ModeSettings&>(s));
}

const std::vector<ParameterKey>& parameterKeys() {
    static const std::vector<ParameterKey> table = buildTable();
    return table;
}

CalmoraParams initialParams() {
    CalmoraParams p;
    for (const ParameterKey& key : parameterKeys()) {
        if (!key.isModeSetting()) {
            setRecordValue(p, key.id, key.defaultValue);
        }
    }
    return p;
}

const ParameterKey* findParameter(const std::string& name) {
    const std::string spelled = hyphenated(name);
    for (const ParameterKey& k : parameterKeys()) {
        if (name == k.key || spelled == k.option || hasWord(k.aliases, spelled)) {
            return &k;
        }
    }
    return nullptr;
}

const ParameterKey* parameterById(int id) {
    for (const ParameterKey& k : parameterKeys()) {
        if (k.id == id) {
            return &k;
        }
    }
    return nullptr;
}

std::string snakeName(const ParameterKey& key) {
    std::string name = key.option;
    for (char& c : name) {
        c = c == '-' ? '_' : c;
    }
    return name;
}

double toFrontEnd(const ParameterKey& key, double libraryValue) {
    return (libraryValue - key.frontEndOrigin) * key.frontEndScale;
}

double fromFrontEnd(const ParameterKey& key, double frontEndValue) {
    return frontEndValue / key.frontEndScale + key.frontEndOrigin;
}

std::string rangeText(const ParameterKey& key, Units units) {
    if (key.kind == ValueKind::BOOL) {
        return "true or false";
    }
    if (key.kind == ValueKind::CHOICE) {
        std::string text;
        for (size_t i = 0; i < key.choices.size(); ++i) {
            text += (i == 0 ? "" : i + 1 == key.choices.size() ? " or " : ", ");
            text += key.choices[i].name;
        }
        return text;
    }
    if (std::isinf(key.minimum) && std::isinf(key.maximum)) {
        return key.kind == ValueKind::INT ? "any integer" : "any number";
    }
    const bool front = units == Units::FRONT_END;
    const double lo = front ? toFrontEnd(key, key.minimum) : key.minimum;
    const double hi = front ? toFrontEnd(key, key.maximum) : key.maximum;
    return numberText(lo) + ".." + numberText(hi) +
           (key.kind == ValueKind::NUMBER_OR_AUTO ? " or auto" : "");
}

double defaultNumber(const ParameterKey& key, Units units) {
    const bool front = units == Units::FRONT_END;
    const double library =
        front && !std::isnan(key.frontEndDefault) ? key.frontEndDefault : key.defaultValue;
    return front ? toFrontEnd(key, library) : library;
}

std::string defaultText(const ParameterKey& key, Units units) {
    ModeSettings s;
    const bool front = units == Units::FRONT_END;
    store(s, key, front ? fromFrontEnd(key, defaultNumber(key, units)) : key.defaultValue);
    return settingText(s, key, units);
}

double settingValue(const ModeSettings& s, const ParameterKey& key, Units units) {
    double value = 0.0;
    switch (key.id) {
        case SETTING_MODE:
            value = static_cast<int>(s.mode);
            break;
        case SETTING_LATENCY:
            value = s.latencyFrames;
            break;
        case SETTING_SMOOTHER:
            value = static_cast<int>(s.smoother);
            break;
        case SETTING_SMOOTHING:
            value = s.smoothingFrames;
            break;
        case SETTING_ZOOM:
            value = s.zoomAuto ? NONE : s.zoom;
            break;
        case SETTING_DETECT_CUTS:
            value = s.detectCuts ? 1.0 : 0.0;
            break;
        case SETTING_REFINEMENTS:
            value = s.refinements ? 1.0 : 0.0;
            break;
        case SETTING_ROLLING_SHUTTER:
            value = s.rollingShutterAuto ? NONE : s.rollingShutter;
            break;
        default:
            value = recordValue(s.params, key.id);
    }
    return units == Units::FRONT_END ? toFrontEnd(key, value) : value;
}

std::string settingText(const ModeSettings& s, const ParameterKey& key, Units units) {
    const double value = settingValue(s, key, units);
    if (key.kind == ValueKind::BOOL) {
        return value != 0.0 ? "true" : "false";
    }
    if (key.kind == ValueKind::CHOICE && value >= 0 && value < key.choices.size()) {
        return key.choices[static_cast<size_t>(value)].name;
    }
    const bool* automatic = key.autoFlag(s);
    if (automatic != nullptr && *automatic) {
        return "auto";
    }
    return numberText(value);
}

bool setSetting(ModeSettings& s, const ParameterKey& key, double value, Units units,
                std::string& error) {
    const double given = value;
    double v = units == Units::FRONT_END ? fromFrontEnd(key, value) : value;
    if (isWhole(key.kind) && std::isfinite(v)) {
        v = std::trunc(v);
    }
    // a float field keeps what a float holds; a value beyond it is not finite
    const bool fits = std::isfinite(v) && (isWhole(key.kind) || std::fabs(v) <= 3.0e38);
    if (!fits || !(v >= key.minimum && v <= key.maximum)) {
        error = outsideMessage(key, numberText(given), units);
        return false;
    }
    store(s, key, v);
    return true;
}

bool setSettingText(ModeSettings& s, const ParameterKey& key, const std::string& text, Units units,
                    std::string& error) {
    double value = 0.0;
    if (key.kind == ValueKind::NUMBER_OR_AUTO && text == "auto") {
        *key.autoFlag(s) = true;
        return true;
    }
    if (key.kind == ValueKind::CHOICE) {
        for (size_t i = 0; i < key.choices.size(); ++i) {
            if (text == key.choices[i].name) {
                return setSetting(s, key, static_cast<double>(i), units, error);
            }
        }
    }
    const bool parsed = key.kind == ValueKind::BOOL ? parseBool(text, value) : parseNumber(text, value);
    if (!parsed) {
        error = std::string(key.option) + ": '" + text + "' is not " +
                (key.kind == ValueKind::BOOL ? "true or false" : "one of " + rangeText(key, units));
        return false;
    }
    return setSetting(s, key, value, units, error);
}

const ParameterKey* firstUnused(StabiliserMode mode, const std::vector<const ParameterKey*>& given) {
    for (const ParameterKey* key : given) {
        if (key != nullptr && !key->usedBy(mode)) {
            return key;
        }
    }
    return nullptr;
}

std::string unusedMessage(const ParameterKey& key, StabiliserMode mode, const std::string& spelled) {
    std::string modes;
    for (const StabiliserMode m :
         {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD, StabiliserMode::OFFLINE}) {
        if (key.usedBy(m)) {
            modes += std::string(modes.empty() ? "" : " and ") + modeName(m);
        }
    }
    return spelled + " is not used in " + modeName(mode) + " mode (only in " + modes + ")";
}

std::string validate(const ModeSettings& s) {
    const int mode = static_cast<int>(s.mode);
    if (mode < 0 || mode > 2) {
        return "mode: " + std::to_string(mode) + " is not one of live, lookahead or offline";
    }
    if (s.zoomAuto && s.mode != StabiliserMode::OFFLINE) {
        return std::string("zoom: auto needs the whole path, which only offline mode has, not ") +
               modeName(s.mode) + " mode";
    }
    if (s.rollingShutterAuto && s.mode != StabiliserMode::OFFLINE) {
        return std::string("rolling-shutter: auto needs the whole clip, which only offline mode "
                           "has, not ") +
               modeName(s.mode) + " mode";
    }
    const bool readout = s.rollingShutterAuto || s.rollingShutter > 0.0;
    if (readout && s.params.type <= 0) {
        return "rolling-shutter: the readout needs the tracked corners of type flow or "
               "flow-rotation, not fft";
    }
    for (const ParameterKey& key : parameterKeys()) {
        const double v = settingValue(s, key, Units::LIBRARY);
        const bool* automatic = key.autoFlag(s);
        const bool skip = key.id == SETTING_MODE || (automatic != nullptr && *automatic);
        const bool inRange = std::isfinite(v) && v >= key.minimum && v <= key.maximum &&
                             (isWhole(key.kind) || std::fabs(v) <= 3.0e38);
        if (!skip && !inRange) {
            return outsideMessage(key, numberText(v), Units::LIBRARY);
        }
    }
    return "";
}

double recordValue(const CalmoraParams& p, int id) {
    switch (id) {
        case SCALE_FACTOR: return p.scaleFactor;
        case X_OFFSET_LIMIT: return p.xOffsetLimit;
        case Y_OFFSET_LIMIT: return p.yOffsetLimit;
        case A_OFFSET_LIMIT: return p.aOffsetLimit;
        case X_FILTER_COEFF: return p.xFilterCoeff;
        case Y_FILTER_COEFF: return p.yFilterCoeff;
        case A_FILTER_COEFF: return p.aFilterCoeff;
        case ENABLE: return p.enable ? 1.0 : 0.0;
        case TRANSPARENT_BORDER: return p.transparentBorder ? 1.0 : 0.0;
        case CONST_X_OFFSET: return p.constXOffset;
        case CONST_Y_OFFSET: return p.constYOffset;
        case CONST_A_OFFSET: return p.constAOffset;
        case INSTANT_X_OFFSET: return p.instantXOffset;
        case INSTANT_Y_OFFSET: return p.instantYOffset;
        case INSTANT_A_OFFSET: return p.instantAOffset;
        case TYPE: return p.type;
        case CUT_FREQUENCY_HZ: return p.cutFrequencyHz;
        case FPS: return p.fps;
        case PROCESSING_TIME_MKS: return p.processingTimeMks;
        case LOG_MOD: return p.logMod;
        default: return NONE;
    }
}

bool setRecordValue(CalmoraParams& p, int id, double v) {
    const auto f = static_cast<float>(v);
    switch (id) {
        case SCALE_FACTOR: p.scaleFactor = truncatedInt(v); return true;
        case X_OFFSET_LIMIT: p.xOffsetLimit = truncatedInt(v); return true;
        case Y_OFFSET_LIMIT: p.yOffsetLimit = truncatedInt(v); return true;
        case A_OFFSET_LIMIT: p.aOffsetLimit = f; return true;
        case X_FILTER_COEFF: p.xFilterCoeff = f; return true;
        case Y_FILTER_COEFF: p.yFilterCoeff = f; return true;
        case A_FILTER_COEFF: p.aFilterCoeff = f; return true;
        case ENABLE: p.enable = v != 0.0; return true;
        case TRANSPARENT_BORDER: p.transparentBorder = v != 0.0; return true;
        case CONST_X_OFFSET: p.constXOffset = truncatedInt(v); return true;
        case CONST_Y_OFFSET: p.constYOffset = truncatedInt(v); return true;
        case CONST_A_OFFSET: p.constAOffset = f; return true;
        case INSTANT_X_OFFSET: p.instantXOffset = truncatedInt(v); return true;
        case INSTANT_Y_OFFSET: p.instantYOffset = truncatedInt(v); return true;
        case INSTANT_A_OFFSET: p.instantAOffset = f; return true;
        case TYPE: p.type = truncatedInt(v); return true;
        case CUT_FREQUENCY_HZ: p.cutFrequencyHz = f; return true;
        case FPS: p.fps = f; return true;
        case PROCESSING_TIME_MKS: p.processingTimeMks = truncatedInt(v); return true;
        case LOG_MOD: p.logMod = truncatedInt(v); return true;
        default: return false;
    }
}

bool parseParameterValue(const ParameterKey& key, const std::string& text, float& value,
                         std::string& error) {
    double parsed = 0.0;
    const bool isBool = key.kind == ValueKind::BOOL;
    if (isBool ? parseBool(text, parsed) : parseNumber(text, parsed)) {
        value = static_cast<float>(parsed);
        return true;
    }
    error = std::string(key.key) + ": '" + text + "' is not " + (isBool ? "true or false" : "a number");
    return false;
}

bool applyParameters(Calmora& stabiliser,
                     const std::vector<std::pair<std::string, std::string>>& settings,
                     std::string& error) {
    std::vector<std::pair<int, float>> deferred;
    for (const auto& [name, text] : settings) {
        const ParameterKey* key = findParameter(name);
        if (key == nullptr || key->isModeSetting()) {
            error = "unknown stabiliser parameter '" + name + "'";
            return false;
        }
        float value = 0.0f;
        if (key->kind == ValueKind::CHOICE) {
            ModeSettings s;
            if (!setSettingText(s, *key, text, Units::LIBRARY, error)) {
                return false;
            }
            value = static_cast<float>(recordValue(s.params, key->id));
        } else if (!parseParameterValue(*key, text, value, error)) {
            return false;
        }
        if (!key->byIdentifier) {
            deferred.emplace_back(key->id, value);
        } else if (!stabiliser.setParam(key->id, value)) {
            error = std::string(key->key) + ": " + text + " is outside the accepted range " +
                    rangeText(*key, Units::LIBRARY);
            return false;
        }
    }
    if (!deferred.empty()) {
        CalmoraParams record = stabiliser.getParams();
        for (const auto& [id, value] : deferred) {
            setRecordValue(record, id, value);
        }
        stabiliser.init(record);
    }
    return true;
}

}  // namespace orl::calmora
