#pragma once

#include <calmora/Calmora.h>

#include <string>
#include <vector>

namespace calmora_cli {

/// One stabiliser parameter the command line can set, by the key it has
/// in the demo's configuration file.
struct ParameterKey {
    const char* key;      ///< configuration-file key, e.g. "xFilterCoeff"
    const char* option;   ///< long option without dashes, e.g. "x-filter-coeff"
    int id;               ///< orl::calmora::CalmoraParam identifier
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
bool applyParameters(orl::calmora::Calmora& stabiliser,
                     const std::vector<std::pair<std::string, std::string>>& settings,
                     std::string& error);

}  // namespace calmora_cli
