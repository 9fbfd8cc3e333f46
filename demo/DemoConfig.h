#pragma once

// The demonstration program's configuration file: the two parameter
// records of the source and the stabiliser as one JSON document.

#include <calmora/Calmora.h>
#include <calmora/Nexfeed.h>

#include <nlohmann/json.hpp>

#include <string>

namespace orl::demo {

/// The demo's settings: the "Params" object of the configuration file.
/// Default construction gives each record's own defaults.
struct DemoParams {
    orl::video::NexfeedParams videoSource;        ///< the "videoSource" object
    orl::calmora::CalmoraParams videoStabiliser;  ///< the "videoStabiliser" object
};

/// Name of the configuration file, looked up in the working directory.
inline constexpr const char* CONFIG_FILE_NAME = "CalmoraOpenCvDemo.json";

/// Parses the whole file `fileName` (strict JSON: no comments, no trailing
/// text) into `document`. False when the file does not open (silently) or
/// does not parse (the parser's message and a newline go to standard
/// output); `document` is then unchanged. Never throws.
bool loadJsonFile(const std::string& fileName, nlohmann::json& document);

/// Reads the object at the dotted `path` of `document` ("" = top level;
/// "Params" in the demo) into `params`: its "videoSource" and
/// "videoStabiliser" members, every key required, each value of a kind its
/// field accepts; a number must fit its field (int fields take reals
/// truncated toward zero, within the int range; float fields take reals up
/// to the largest float). All or nothing: on false the library's error text
/// and a newline have gone to standard error and `params` is unchanged.
bool readDemoParams(const nlohmann::json& document, const std::string& path, DemoParams& params);

/// Stores the "videoSource" / "videoStabiliser" object built from `params`
/// at the dotted `path` of `document`, creating missing members and keeping
/// every other member on the way. False, with the error text on standard
/// error and `document` unchanged, when a segment meets a value that is
/// neither an object nor null.
bool writeDemoParams(nlohmann::json& document, const DemoParams& params, const std::string& path);

/// Writes `document` to `fileName`, replacing its content: four-space
/// indent, keys sorted, shortest round-trip reals, a final newline. True
/// only when the whole text reached the file.
bool saveJsonFile(const nlohmann::json& document, const std::string& fileName);

/// Copies the file `from` byte for byte to `to`, replacing `to` only when
/// the copy is complete (through a temporary "<to>.part" file); true then.
bool copyFile(const std::string& from, const std::string& to);

}  // namespace orl::demo
