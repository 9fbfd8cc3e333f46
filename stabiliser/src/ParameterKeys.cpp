// The stabiliser's parameters by name, for command lines, bindings and
// element properties.
// - One table maps configuration-file keys to hyphenated names, identifiers
//   and the accepted range (quoted in messages only: the stabiliser's own
//   setParam decides what it accepts).
// - cutFrequencyHz, fps and logMod are not settable by identifier, so they
//   go into the record, which is then handed over with init.

#include <calmora/ParameterKeys.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace orl::calmora {

const std::vector<ParameterKey>& parameterKeys() {
    static const std::vector<ParameterKey> keys = {
        {"scaleFactor", "scale-factor", SCALE_FACTOR, true, false, "1..8",
         "analysed-image divisor (type 1, 2); 512 or 256 square (type 0)"},
        {"xOffsetLimit", "x-offset-limit", X_OFFSET_LIMIT, true, false, "1..1024",
         "largest horizontal motion per frame, pixels"},
        {"yOffsetLimit", "y-offset-limit", Y_OFFSET_LIMIT, true, false, "1..1024",
         "largest vertical motion per frame, pixels"},
        {"aOffsetLimit", "a-offset-limit", A_OFFSET_LIMIT, true, false, "0..89",
         "largest rotation per frame, radians"},
        {"xFilterCoeff", "x-filter-coeff", X_FILTER_COEFF, true, false, "0..1",
         "horizontal path smoothing; 0 adapts to the shake"},
        {"yFilterCoeff", "y-filter-coeff", Y_FILTER_COEFF, true, false, "0..1",
         "vertical path smoothing; 0 adapts to the shake"},
        {"aFilterCoeff", "a-filter-coeff", A_FILTER_COEFF, true, false, "0..1",
         "rotation path smoothing; 0 adapts to the shake"},
        {"enable", "enable", ENABLE, true, true, "true or false", "stabilisation on"},
        {"transparentBorder", "transparent-border", TRANSPARENT_BORDER, true, true, "true or false",
         "uncovered pixels keep the previous output instead of black"},
        {"constXOffset", "const-x-offset", CONST_X_OFFSET, true, false, "any integer",
         "constant horizontal shift, pixels"},
        {"constYOffset", "const-y-offset", CONST_Y_OFFSET, true, false, "any integer",
         "constant vertical shift, pixels"},
        {"constAOffset", "const-a-offset", CONST_A_OFFSET, true, false, "any number",
         "constant rotation about the centre, radians"},
        {"type", "type", TYPE, true, false, "0..2",
         "0 FFT shift, 1 optical-flow shift, 2 shift and rotation"},
        {"cutFrequencyHz", "cut-frequency-hz", CUT_FREQUENCY_HZ, false, false, "any number",
         "stored and reported only"},
        {"fps", "fps", FPS, false, false, "any number", "stored and reported only"},
        {"logMod", "log-mod", LOG_MOD, false, false, "any integer", "stored and reported only"},
    };
    return keys;
}

const ParameterKey* findParameter(const std::string& name) {
    for (const ParameterKey& k : parameterKeys()) {
        if (name == k.key || name == k.option) {
            return &k;
        }
    }
    return nullptr;
}

bool parseParameterValue(const ParameterKey& key, const std::string& text, float& value,
                         std::string& error) {
    if (key.isBool) {
        if (text == "true" || text == "on" || text == "yes" || text == "1") {
            value = 1.0f;
            return true;
        }
        if (text == "false" || text == "off" || text == "no" || text == "0") {
            value = 0.0f;
            return true;
        }
        error = std::string(key.key) + ": '" + text + "' is not true or false";
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE ||
        !std::isfinite(parsed) || std::fabs(parsed) > 3.0e38) {
        error = std::string(key.key) + ": '" + text + "' is not a number";
        return false;
    }
    value = static_cast<float>(parsed);
    return true;
}

bool applyParameters(Calmora& stabiliser,
                     const std::vector<std::pair<std::string, std::string>>& settings,
                     std::string& error) {
    struct Deferred {
        int id;
        float value;
    };
    std::vector<Deferred> deferred;
    for (const auto& [name, text] : settings) {
        const ParameterKey* key = findParameter(name);
        if (key == nullptr) {
            error = "unknown stabiliser parameter '" + name + "'";
            return false;
        }
        float value = 0.0f;
        if (!parseParameterValue(*key, text, value, error)) {
            return false;
        }
        if (!key->byIdentifier) {
            deferred.push_back({key->id, value});
        } else if (!stabiliser.setParam(key->id, value)) {
            error = std::string(key->key) + ": " + text + " is outside the accepted range " +
                    key->range;
            return false;
        }
    }
    if (!deferred.empty()) {
        CalmoraParams record = stabiliser.getParams();
        for (const Deferred& d : deferred) {
            if (d.id == CUT_FREQUENCY_HZ) {
                record.cutFrequencyHz = d.value;
            } else if (d.id == FPS) {
                record.fps = d.value;
            } else if (d.id == LOG_MOD) {
                record.logMod = static_cast<int>(d.value);
            }
        }
        stabiliser.init(record);
    }
    return true;
}

}  // namespace orl::calmora
