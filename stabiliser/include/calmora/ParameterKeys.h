#pragma once

#include <calmora/Calmora.h>

#include <string>
#include <vector>

namespace orl::calmora {

/// One stabiliser parameter by name: the key it has in the demonstration
/// program's configuration file, and a hyphenated form for command-line
/// options and element properties.
struct ParameterKey {
    const char* key;      ///< configuration-file key, e.g. "xFilterCoeff"
    const char* option;   ///< hyphenated name, e.g. "x-filter-coeff"
    int id;               ///< CalmoraParam identifier
    bool byIdentifier;    ///< settable through setParam; otherwise only through init
    bool isBool;          ///< takes true/false (or 1/0)
    const char* range;    ///< what the stabiliser accepts, for messages
    const char* meaning;  ///< one line of help
};

/// Every settable parameter, in record order.
const std::vector<ParameterKey>& parameterKeys();

/// The entry for a configuration-file key or option name; null if unknown.
const ParameterKey* findParameter(const std::string& keyOrOption);

/// Parses `text` for `key` (a number; true/false/on/off/yes/no for the
/// two switches). False with `error` set when it is not one.
bool parseParameterValue(const ParameterKey& key, const std::string& text, float& value,
                         std::string& error);

/// Applies key=value settings to `stabiliser` in order: identifiers through
/// setParam (which checks the range), the rest into the record through
/// init. False, with `error` naming the parameter and its range, at the
/// first value refused; the stabiliser keeps what was set before.
bool applyParameters(Calmora& stabiliser,
                     const std::vector<std::pair<std::string, std::string>>& settings,
                     std::string& error);

}  // namespace orl::calmora
