#pragma once

#include <calmora/Calmora.h>
#include <calmora/ModeSettings.h>
#include <calmora/StabiliserExport.h>

#include <string>
#include <utility>
#include <vector>

namespace orl::calmora {

/// Identifiers of the mode settings, beside the CalmoraParam ones (which
/// stay 1 .. 20).
enum ModeSettingId : int {
    SETTING_MODE = 101,
    SETTING_LATENCY = 102,
    SETTING_SMOOTHING = 103,
    SETTING_ZOOM = 104,
    SETTING_DETECT_CUTS = 105,
    SETTING_REFINEMENTS = 106,
    SETTING_SMOOTHER = 107,
    SETTING_ROLLING_SHUTTER = 108,
};

/// What a setting's value is.
enum class ValueKind {
    INT,             ///< a whole number (a real is taken by its integer part)
    FLOAT,           ///< a real number
    BOOL,            ///< true or false
    CHOICE,          ///< one of `choices`, by name or by its index
    NUMBER_OR_AUTO,  ///< a real number, or "auto"
};

/// The modes that read a setting, as bits.
enum ModeUse : unsigned {
    USED_LIVE = 1u << static_cast<int>(StabiliserMode::LIVE),
    USED_LOOKAHEAD = 1u << static_cast<int>(StabiliserMode::LOOKAHEAD),
    USED_OFFLINE = 1u << static_cast<int>(StabiliserMode::OFFLINE),
    USED_ALL = USED_LIVE | USED_LOOKAHEAD | USED_OFFLINE,
};

/// Units a value is given or shown in: the library's own (a zoom factor),
/// or the front ends' (the command line's, Python's and the element's: a
/// zoom in per cent beyond 100).
enum class Units { LIBRARY, FRONT_END };

/// One named value of a CHOICE setting; its index is its value.
struct Choice {
    const char* name;     ///< e.g. "lookahead"
    const char* meaning;  ///< one line of help
};

/// One setting by name: a stabiliser parameter (identifier 1 .. 20, the key
/// its configuration-file key) or a mode setting (ModeSettingId). Minimum,
/// maximum and default are in library units.
struct CALMORA_STABILISER_EXPORT ParameterKey {
    const char* key;         ///< configuration-file key or camel-case name, e.g. "xFilterCoeff"
    const char* option;      ///< hyphenated name, e.g. "x-filter-coeff"
    int id;                  ///< CalmoraParam or ModeSettingId
    ValueKind kind;          ///< what the value is
    double minimum;          ///< smallest accepted value; -infinity for none
    double maximum;          ///< largest accepted value; +infinity for none
    double defaultValue;     ///< a new CalmoraOpenCv's value, or ModeSettings{}'s
    double frontEndDefault;  ///< the front ends' default where it differs, else NaN
    const char* unit;        ///< unit of the value, "" for none
    const char* meaning;     ///< one line of help
    unsigned modes;          ///< ModeUse bits: the modes that read it
    bool byIdentifier;       ///< a parameter setParam takes; otherwise init only
    bool storedOnly;         ///< stored and reported; nothing reads it
    std::vector<Choice> choices;  ///< CHOICE: the names, index = value
    const char* aliases;          ///< other accepted hyphenated names, space-separated
    /// Front-end value = (value - frontEndOrigin) * frontEndScale; 1 and 0
    /// for every setting but the zoom.
    double frontEndScale;
    double frontEndOrigin;     ///< see frontEndScale
    const char* frontEndUnit;  ///< unit of the front-end value

    /// True for the mode settings, false for the stabiliser parameters.
    bool isModeSetting() const { return id >= SETTING_MODE; }
    /// True when `mode` reads this setting.
    bool usedBy(StabiliserMode mode) const;
    /// Where a NUMBER_OR_AUTO setting keeps whether it is "auto"; null for
    /// the other kinds.
    bool* autoFlag(ModeSettings& settings) const;
    /// The same, read only.
    const bool* autoFlag(const ModeSettings& settings) const;
};

/// Every setting: the mode settings first, then the stabiliser parameters in
/// record order (the order of the configuration file's keys).
CALMORA_STABILISER_EXPORT const std::vector<ParameterKey>& parameterKeys();

/// The entry for a key, hyphenated name, snake-case name or alias; null if
/// unknown.
CALMORA_STABILISER_EXPORT const ParameterKey* findParameter(const std::string& name);

/// The entry for an identifier (CalmoraParam or ModeSettingId); null if none.
CALMORA_STABILISER_EXPORT const ParameterKey* parameterById(int id);

/// The hyphenated name with '_' for '-', e.g. "x_filter_coeff".
CALMORA_STABILISER_EXPORT std::string snakeName(const ParameterKey& key);

/// A value of `key` converted between library and front-end units.
CALMORA_STABILISER_EXPORT double toFrontEnd(const ParameterKey& key, double libraryValue);
CALMORA_STABILISER_EXPORT double fromFrontEnd(const ParameterKey& key, double frontEndValue);

/// The accepted values as text in `units`: "1..300", "0..1", "any number",
/// "true or false", "live, lookahead or offline", "0..300 or auto".
CALMORA_STABILISER_EXPORT std::string rangeText(const ParameterKey& key, Units units);

/// The default in `units` as text ("15", "0.2", "true", "live"); with
/// Units::FRONT_END the front ends' default.
CALMORA_STABILISER_EXPORT std::string defaultText(const ParameterKey& key, Units units);

/// The default in `units` as a number (bools 1 or 0, choices their index).
CALMORA_STABILISER_EXPORT double defaultNumber(const ParameterKey& key, Units units);

/// The value of `key` in `settings` in `units` (bools 1 or 0, choices their
/// index; an automatic zoom or readout gives NaN).
CALMORA_STABILISER_EXPORT double settingValue(const ModeSettings& settings, const ParameterKey& key,
                                              Units units);

/// The value of `key` in `settings` as text in `units` ("auto" for an
/// automatic zoom or readout, a choice by its name).
CALMORA_STABILISER_EXPORT std::string settingText(const ModeSettings& settings,
                                                  const ParameterKey& key, Units units);

/// Sets `key` in `settings` to `value` given in `units`: whole-number kinds
/// take its integer part, a bool 0 or 1, a choice its index; the value must
/// lie in the key's range. False, with `error` naming the setting and its
/// range and `settings` unchanged, otherwise.
CALMORA_STABILISER_EXPORT bool setSetting(ModeSettings& settings, const ParameterKey& key,
                                          double value, Units units, std::string& error);

/// Sets `key` from `text` in `units`: a number; true/false/on/off/yes/no/1/0
/// for a bool; a choice's name or index; "auto" for the zoom and the
/// readout. False with
/// `error` set, and `settings` unchanged, when it is not one or is out of
/// range.
CALMORA_STABILISER_EXPORT bool setSettingText(ModeSettings& settings, const ParameterKey& key,
                                              const std::string& text, Units units,
                                              std::string& error);

/// The first of `given` that `mode` does not read; null when it reads all.
CALMORA_STABILISER_EXPORT const ParameterKey* firstUnused(
    StabiliserMode mode, const std::vector<const ParameterKey*>& given);

/// "<spelled> is not used in <mode> mode (only in ...)" for a setting the
/// mode does not read; `spelled` is how the front end names it.
CALMORA_STABILISER_EXPORT std::string unusedMessage(const ParameterKey& key, StabiliserMode mode,
                                                    const std::string& spelled);

/// A parameter field of `record` (identifiers 1 .. 20) as a number: ints
/// and floats as they are, bools 1 or 0; NaN for an unknown identifier.
CALMORA_STABILISER_EXPORT double recordValue(const CalmoraParams& record, int id);

/// Stores `value` into the field `id` of `record` without range checks:
/// ints take the integer part (saturating; NaN gives 0), bools any non-zero
/// as true. False for an unknown identifier.
CALMORA_STABILISER_EXPORT bool setRecordValue(CalmoraParams& record, int id, double value);

/// Parses `text` for the parameter `key` (a number; true/false/on/off/yes/no
/// for a bool). False with `error` set when it is not one.
CALMORA_STABILISER_EXPORT bool parseParameterValue(const ParameterKey& key, const std::string& text,
                                                   float& value, std::string& error);

/// Applies key=value parameter settings to `stabiliser` in order: those
/// settable by identifier through setParam (which checks the range), the
/// stored-only ones into the record through init. False, with `error`
/// naming the parameter and its range, at the first value refused; the
/// stabiliser keeps what was set before. Mode settings are not parameters
/// and are refused here.
CALMORA_STABILISER_EXPORT bool applyParameters(
    Calmora& stabiliser, const std::vector<std::pair<std::string, std::string>>& settings,
    std::string& error);

}  // namespace orl::calmora
