// Configuration file of the demonstration program.
// - Loading parses the whole file as one strict JSON value (no comments, no
//   trailing text) and keeps the caller's document on any failure.
// - Reading descends a dotted path with the throwing `at`, then reads the
//   source's and the stabiliser's keys in a fixed order into a work record;
//   the first bad key (missing, of the wrong kind, or a number outside its
//   field's range) ends the read and the caller's record stays as it was.
// - Writing builds both objects from the records (floats widened to double)
//   and stores them at the path, keeping every other member on the way.
// - Saving pretty-prints with a four-space indent; the default json type
//   keeps its members in sorted maps, so keys come out in ascending order.

#include "DemoConfig.h"

#include <calmora/ParameterKeys.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace orl::demo {

using nlohmann::json;

namespace {

// "a.b.c" -> {"a", "b", "c"}; "" -> {} (the top level itself). Empty
// segments between dots stay: they name the member "".
std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> segments;
    if (path.empty())
        return segments;
    size_t start = 0;
    while (true) {
        size_t dot = path.find('.', start);
        if (dot == std::string::npos) {
            segments.push_back(path.substr(start));
            break;
        }
        segments.push_back(path.substr(start, dot - start));
        start = dot + 1;
    }
    return segments;
}

// A number must fit the field it is read into. get<>() converts whatever it
// is given: undefined behaviour for a real beyond the int range, a wrapped
// value for a large integer, infinity for a real beyond the float range
// (which a saved file cannot hold: it is written as null). Such numbers are
// refused like values of the wrong kind. Other kinds are left to get<>().
bool fits(const json& value, const int&) {
    if (value.is_number_float()) {
        const double real = value.get<double>();
        return real > -2147483649.0 && real < 2147483648.0;  // truncates into range
    }
    if (value.is_number_unsigned())
        return value.get<uint64_t>() <= static_cast<uint64_t>(INT_MAX);
    if (value.is_number_integer()) {
        const int64_t whole = value.get<int64_t>();
        return whole >= INT_MIN && whole <= INT_MAX;
    }
    return true;
}

bool fits(const json& value, const float&) {
    return !value.is_number_float() || std::fabs(value.get<double>()) <= FLT_MAX;
}

template <typename T>
bool fits(const json&, const T&) {
    return true;
}

// get<int>() and get<float>() accept integers, unsigned integers, reals
// (truncated toward zero for int) and booleans; get<bool>() only booleans;
// get<std::string>() only strings. The library's exceptions carry the texts
// the user sees.
template <typename T>
void readKey(const json& object, const char* key, T& field) {
    const json& value = object.at(key);
    if (!fits(value, field))
        throw json::out_of_range::create(
            406, std::string("number out of range for '") + key + "': " + value.dump(), &value);
    field = value.get<T>();
}

void readSource(const json& object, orl::video::NexfeedParams& p) {
    readKey(object, "logLevel", p.logLevel);
    readKey(object, "source", p.source);
    readKey(object, "fourcc", p.fourcc);
    readKey(object, "width", p.width);
    readKey(object, "height", p.height);
    readKey(object, "gainMode", p.gainMode);
    readKey(object, "exposureMode", p.exposureMode);
    readKey(object, "focusMode", p.focusMode);
    readKey(object, "fps", p.fps);
    readKey(object, "custom1", p.custom1);
    readKey(object, "custom2", p.custom2);
    readKey(object, "custom3", p.custom3);
}

// The keys, their order and their kinds are the stabiliser's parameter
// table ("logMod" without a final e: existing files use this spelling).
void readStabiliser(const json& object, orl::calmora::CalmoraParams& p) {
    using orl::calmora::ValueKind;
    for (const orl::calmora::ParameterKey& key : orl::calmora::parameterKeys()) {
        if (key.isModeSetting()) {
            continue;
        }
        double value = 0.0;
        if (key.kind == ValueKind::BOOL) {
            bool field = false;
            readKey(object, key.key, field);
            value = field ? 1.0 : 0.0;
        } else if (key.kind == ValueKind::FLOAT) {
            float field = 0.0f;
            readKey(object, key.key, field);
            value = field;
        } else {
            int field = 0;
            readKey(object, key.key, field);
            value = field;
        }
        orl::calmora::setRecordValue(p, key.id, value);
    }
}

// Floats are widened to double so that the file shows the value the float
// really holds (0.2f -> 0.20000000298023224) and reads back to the same float.
json wide(float value) {
    return json(static_cast<double>(value));
}

json sourceObject(const orl::video::NexfeedParams& p) {
    json object = json::object();
    object["logLevel"] = p.logLevel;
    object["source"] = p.source;
    object["fourcc"] = p.fourcc;
    object["width"] = p.width;
    object["height"] = p.height;
    object["gainMode"] = p.gainMode;
    object["exposureMode"] = p.exposureMode;
    object["focusMode"] = p.focusMode;
    object["fps"] = wide(p.fps);
    object["custom1"] = wide(p.custom1);
    object["custom2"] = wide(p.custom2);
    object["custom3"] = wide(p.custom3);
    return object;
}

json stabiliserObject(const orl::calmora::CalmoraParams& p) {
    using orl::calmora::ValueKind;
    json object = json::object();
    for (const orl::calmora::ParameterKey& key : orl::calmora::parameterKeys()) {
        const double value = orl::calmora::recordValue(p, key.id);
        if (key.isModeSetting()) {
            continue;
        }
        if (key.kind == ValueKind::BOOL) {
            object[key.key] = value != 0.0;
        } else if (key.kind == ValueKind::FLOAT) {
            object[key.key] = wide(static_cast<float>(value));
        } else {
            object[key.key] = static_cast<int>(value);
        }
    }
    return object;
}

// Stores `value` at segments[index..] below `node`. operator[] turns a null
// node into an object and creates a missing member as null; on any other
// kind of node it throws, which ends the whole write.
void storeAt(json& node, const std::vector<std::string>& segments, size_t index,
             const json& value) {
    if (index == segments.size()) {
        node = value;
        return;
    }
    storeAt(node[segments[index]], segments, index + 1, value);
}

}  // namespace

bool loadJsonFile(const std::string& fileName, json& document) {
    std::ifstream file(fileName);
    if (!file.is_open())
        return false;
    try {
        // no callback, exceptions on, comments refused
        json parsed = json::parse(file, nullptr, true, false);
        document = std::move(parsed);
        return true;
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
        return false;
    }
}

bool readDemoParams(const json& document, const std::string& path, DemoParams& params) {
    DemoParams work;
    try {
        // The descent shares the error handling of the keys, so a document
        // that is not an object or has no such member is refused like any
        // other unusable content instead of escaping as an exception.
        const json* node = &document;
        for (const std::string& segment : splitPath(path))
            node = &node->at(segment);
        readSource(node->at("videoSource"), work.videoSource);
        readStabiliser(node->at("videoStabiliser"), work.videoStabiliser);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }
    params.videoSource = work.videoSource;
    params.videoStabiliser = work.videoStabiliser;
    return true;
}

bool writeDemoParams(json& document, const DemoParams& params, const std::string& path) {
    try {
        json object = json::object();
        object["videoSource"] = sourceObject(params.videoSource);
        object["videoStabiliser"] = stabiliserObject(params.videoStabiliser);
        json result = document;
        storeAt(result, splitPath(path), 0, object);
        document = std::move(result);
        return true;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }
}

bool saveJsonFile(const json& document, const std::string& fileName) {
    std::string text;
    try {
        // Strict UTF-8 handling throws on a broken string rather than
        // writing a file that no parser would read back.
        text = document.dump(4) + "\n";
    } catch (const std::exception&) {
        return false;
    }
    std::ofstream file(fileName, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open())
        return false;
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    return !file.fail();
}

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in.is_open())
        return false;
    // Copy under a temporary name first: a failed copy must not cost an
    // older copy that `to` may already hold.
    const std::string partial = to + ".part";
    bool ok = false;
    {
        std::ofstream out(partial, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out.is_open())
            return false;
        char buffer[65536];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            out.write(buffer, in.gcount());
            if (!out)
                break;
        }
        // a complete read ends at eof without a read error (a folder, for
        // example, fails with badbit)
        ok = in.eof() && !in.bad() && out.good();
        out.close();
        ok = ok && !out.fail();
    }
    if (ok && std::rename(partial.c_str(), to.c_str()) == 0)
        return true;
    std::remove(partial.c_str());
    return false;
}

}  // namespace orl::demo
