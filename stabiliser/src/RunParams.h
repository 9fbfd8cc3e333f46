#pragma once

// The working copy of the parameters that every frame is processed with:
// one sanitising rule for the stabiliser and for the motion measurer, so
// both read any record the same way.

#include <calmora/Calmora.h>
#include <calmora/ModeSettings.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace orl::calmora {

/// Highest estimator type; 2 also measures and compensates rotation.
constexpr int MAX_TYPE = 2;
/// Largest constant shift kept, pixels; far beyond any frame.
constexpr int MAX_CONST_OFFSET = 1000000;

/// `p` with every value usable as it is: scaleFactor at least 1, type in
/// 0..MAX_TYPE, negative or NaN offset limits 0 (an infinite one stays and
/// means no limit), filter coefficients in 0..1 (NaN 0, adaptive), constant
/// shifts within +-MAX_CONST_OFFSET, a constant rotation that is not finite 0.
/// Applying it twice changes nothing more.
inline CalmoraParams sanitised(CalmoraParams p) {
    const auto limitOrZero = [](float limit) { return limit >= 0.0f ? limit : 0.0f; };
    const auto coeffIn01 = [](float coeff) { return coeff >= 0.0f ? std::min(coeff, 1.0f) : 0.0f; };
    p.scaleFactor = std::max(p.scaleFactor, 1);
    p.type = std::clamp(p.type, 0, MAX_TYPE);
    p.xOffsetLimit = std::max(p.xOffsetLimit, 0);
    p.yOffsetLimit = std::max(p.yOffsetLimit, 0);
    p.aOffsetLimit = limitOrZero(p.aOffsetLimit);
    p.xFilterCoeff = coeffIn01(p.xFilterCoeff);
    p.yFilterCoeff = coeffIn01(p.yFilterCoeff);
    p.aFilterCoeff = coeffIn01(p.aFilterCoeff);
    p.constXOffset = std::clamp(p.constXOffset, -MAX_CONST_OFFSET, MAX_CONST_OFFSET);
    p.constYOffset = std::clamp(p.constYOffset, -MAX_CONST_OFFSET, MAX_CONST_OFFSET);
    if (!std::isfinite(p.constAOffset)) {
        p.constAOffset = 0.0f;
    }
    return p;
}

/// `settings` as `mode` takes them; nothing when that mode refuses them,
/// with validate()'s line in `error` when given. Every class's configure()
/// starts here, so all of them refuse the same values in the same words.
inline std::optional<ModeSettings> settingsFor(StabiliserMode mode, ModeSettings settings,
                                               std::string* error) {
    settings.mode = mode;
    const std::string refused = validate(settings);
    if (refused.empty()) {
        return settings;
    }
    if (error != nullptr) {
        *error = refused;
    }
    return std::nullopt;
}

}  // namespace orl::calmora
