// The compiled part of the Python package `calmora`, the module
// calmora._calmora (the package's __init__.py re-exports its names).
// - Frames are numpy uint8 arrays: (H, W, 3) BGR, (H, W) grey, or any raw
//   format of the library by its four characters and size. An array is
//   checked once and wrapped in a Frame header that does not own its bytes,
//   so the stabiliser reads the caller's buffer and writes straight into the
//   result array; only when the library gives the destination a buffer of
//   its own (a plain copy of the picture) are the bytes copied back.
// - Keywords, their checks, the docstrings and the type stub all come from
//   the library's parameter table: snake_case names in front-end units (the
//   zoom in per cent beyond 100), each value set through the table's
//   setSetting or setSettingText, so no range or default is written here. A
//   setting the mode does not read is refused, not ignored.
// - stabilise() runs without the GIL; each object has its own lock, so one
//   object used from two threads is serialised (the live stabiliser) or
//   refused (the lookahead stabiliser, which is not thread-safe at all).
// - stabilise_file() is the run library's file run, which checks paths and
//   settings itself; here its refusals only become Python exceptions.
//   _check_file() is the same check alone, and _setting_value() reads a
//   setting's text as the command line does, for calmora.batch.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/ParameterKeys.h>
#include <calmora/run/FileRun.h>
#include <calmora/run/Report.h>

#include <opencv2/core/utility.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

namespace py = pybind11;
namespace cal = orl::calmora;
namespace run = orl::calmora::run;
using cal::CalmoraOpenCv;
using cal::ParameterKey;
using cal::StabiliserMode;
using cal::ValueKind;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

using Size = std::optional<std::pair<long long, long long>>;
using Fourcc = std::optional<std::string>;
using Mode = std::optional<StabiliserMode>;  // unset: whichever mode a run names

constexpr auto FRONT = cal::Units::FRONT_END;
constexpr StabiliserMode kModes[] = {StabiliserMode::LIVE, StabiliserMode::LOOKAHEAD,
                                     StabiliserMode::OFFLINE};

// ---------------------------------------------------------------- frames

// The raw formats by their names, with the usual aliases.
constexpr std::pair<const char*, uint32_t> kFormats[] = {
    {"BGR3", fcc::BGR3}, {"BGR", fcc::BGR3},  {"RGB3", fcc::RGB3}, {"RGB", fcc::RGB3},
    {"YUV3", fcc::YUV3}, {"GRAY", fcc::GRAY}, {"GREY", fcc::GRAY}, {"YUYV", fcc::YUYV},
    {"YUY2", fcc::YUYV}, {"UYVY", fcc::UYVY}, {"NV12", fcc::NV12}, {"NV21", fcc::NV21},
    {"YU12", fcc::YU12}, {"I420", fcc::YU12}, {"IYUV", fcc::YU12}, {"YV12", fcc::YV12},
};

uint32_t formatCode(const std::string& name) {
    std::string known;
    for (const auto& [text, code] : kFormats) {
        if (name == text) {
            return code;
        }
        known += (known.empty() ? "" : ", ") + std::string(text);
    }
    throw py::value_error("unknown fourcc '" + name + "'; the raw formats are " + known);
}

std::string typeName(const py::handle& object) {
    return py::str(py::type::of(object).attr("__name__"));
}

std::string shapeText(const std::vector<py::ssize_t>& shape) {
    std::string text;
    for (const py::ssize_t n : shape) {
        text += (text.empty() ? "(" : ", ") + std::to_string(n);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

// What a frame array holds.
struct Layout {
    std::vector<py::ssize_t> shape;
    uint32_t width{0};
    uint32_t height{0};
    uint32_t code{fcc::BGR3};
};

// A uint8, C-contiguous numpy array, or TypeError / ValueError.
py::array checkedArray(const py::handle& object, const std::string& what) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error(what + " must be a numpy.ndarray, not " + typeName(object));
    }
    auto array = py::reinterpret_borrow<py::array>(object);
    if (array.dtype().kind() != 'u' || array.itemsize() != 1) {
        throw py::type_error(what + " must be uint8, not " + std::string(py::str(array.dtype())));
    }
    if ((array.flags() & py::array::c_style) == 0) {
        throw py::value_error(what + " must be C-contiguous (numpy.ascontiguousarray)");
    }
    return array;
}

// A readout the warp cannot apply to frames of `code` is refused, as the
// element refuses it, rather than left out of the picture without a word.
void refuseReadout(const cal::ModeSettings& settings, uint32_t code) {
    const std::string refused = cal::refusedReadout(settings, code);
    if (!refused.empty()) {
        throw py::value_error(refused);
    }
}

// The geometry of `array` from `fourcc` and `size`, or from its shape alone
// for (H, W, 3) BGR and (H, W) grey; ValueError unless they agree. A buffer
// is `rows` rows of `rowBytes`: the chroma of the 4:2:0 formats follows the
// luma as H/2 more rows of W bytes.
Layout layoutOf(const py::array& array, const Fourcc& fourcc, const Size& size) {
    Layout l;
    l.shape.assign(array.shape(), array.shape() + array.ndim());
    const auto dims = l.shape.size();
    l.code = fourcc ? formatCode(*fourcc) : dims == 2 ? fcc::GRAY : fcc::BGR3;
    const long long w = size ? size->first : dims >= 2 ? l.shape[1] : 0;
    const long long h = size ? size->second : dims >= 2 ? l.shape[0] : 0;
    if (!size && !(dims == 3 || (dims == 2 && l.code == fcc::GRAY))) {
        throw py::value_error("a frame of shape " + shapeText(l.shape) +
                              " needs fourcc= and size=(width, height)");
    }
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535) {
        throw py::value_error("a frame is 1..65535 pixels each way, not " + std::to_string(w) +
                              "x" + std::to_string(h));
    }
    l.width = static_cast<uint32_t>(w);
    l.height = static_cast<uint32_t>(h);
    const bool planar =
        l.code == fcc::NV12 || l.code == fcc::NV21 || l.code == fcc::YU12 || l.code == fcc::YV12;
    const py::ssize_t pixelBytes = l.code == fcc::GRAY || planar                ? 1
                                   : l.code == fcc::YUYV || l.code == fcc::UYVY ? 2
                                                                                : 3;
    const py::ssize_t rows = planar ? h + h / 2 : h, rowBytes = pixelBytes * w;
    uint32_t capacity = 0;
    orl::video::frameCapacity(l.width, l.height, l.code, capacity);
    const std::vector<py::ssize_t> flat{capacity}, plane{rows, rowBytes}, cube{h, w, pixelBytes};
    if (array.nbytes() != capacity ||
        !(l.shape == flat || l.shape == plane || (!planar && l.shape == cube))) {
        const uint32_t c = l.code;
        const char name[5] = {char(c), char(c >> 8), char(c >> 16), char(c >> 24), '\0'};
        throw py::value_error("a " + std::to_string(w) + "x" + std::to_string(h) + " " + name +
                              " frame has the shape " + shapeText(flat) + " or " +
                              shapeText(plane) + (planar ? "" : " or " + shapeText(cube)) +
                              ", not " + shapeText(l.shape));
    }
    return l;
}

// A Frame header over `bytes`, which it does not own.
void wrap(Frame& frame, const Layout& l, const void* bytes, py::ssize_t nbytes) {
    frame.width = l.width;
    frame.height = l.height;
    frame.fourcc = l.code;
    frame.size = static_cast<uint32_t>(nbytes);
    frame.data = static_cast<uint8_t*>(const_cast<void*>(bytes));
}

// Runs `call` on a Frame over `result` without the GIL. A fresh result
// starts as zero bytes, as a new output frame does, so that pixels the
// moved picture leaves uncovered are black.
template <typename Call>
void writeInto(py::array& result, const Layout& l, bool fresh, const Call& call) {
    auto* bytes = static_cast<uint8_t*>(result.mutable_data());
    const auto nbytes = static_cast<size_t>(result.nbytes());
    Frame dst;
    wrap(dst, l, bytes, result.nbytes());
    py::gil_scoped_release unlocked;
    if (fresh) {
        std::memset(bytes, 0, nbytes);
    }
    call(dst);
    if (dst.data != bytes && dst.data != nullptr) {  // the library's own buffer
        std::memcpy(bytes, dst.data, std::min<size_t>(nbytes, dst.size));
    }
}

// ---------------------------------------------------------------- settings

// The row a keyword names: a row's snake-case name or one of its aliases in
// snake case; null for anything else (the camel-case keys are not Python's).
const ParameterKey* rowNamed(const std::string& name) {
    const ParameterKey* key = cal::findParameter(name);
    if (key == nullptr || name.find('-') != std::string::npos) {
        return nullptr;
    }
    return name == key->key && name != cal::snakeName(*key) ? nullptr : key;
}

const ParameterKey& row(int id) {
    return *cal::parameterById(id);
}

// Where every Python object and run starts: each row at its front-end
// default, in `mode`.
cal::ModeSettings startingSettings(StabiliserMode mode) {
    cal::ModeSettings s;
    std::string ignored;  // the table's own defaults lie in its ranges
    for (const ParameterKey& key : cal::parameterKeys()) {
        cal::setSetting(s, key, cal::defaultNumber(key, FRONT), FRONT, ignored);
    }
    s.mode = mode;
    return s;
}

// A library message "<option>: ..." with the setting named as in Python.
std::string pythonMessage(const std::string& message, const std::string& spelled = "") {
    const auto colon = message.find(": ");
    const ParameterKey* key =
        colon == std::string::npos ? nullptr : cal::findParameter(message.substr(0, colon));
    if (key == nullptr) {
        return message;
    }
    return (spelled.empty() ? cal::snakeName(*key) : spelled) + message.substr(colon);
}

// Whether `mode` (any mode when unset) takes an automatic zoom, as
// validate() decides.
bool takesAutoZoom(Mode mode) {
    cal::ModeSettings s;
    s.mode = mode.value_or(StabiliserMode::OFFLINE);
    s.zoomAuto = true;
    return !mode || cal::validate(s).empty();
}

// `key` as `mode` takes it: a zoom without "auto" where it cannot be.
ParameterKey asTaken(const ParameterKey& key, Mode mode) {
    ParameterKey taken = key;
    if (key.kind == ValueKind::NUMBER_OR_AUTO && !takesAutoZoom(mode)) {
        taken.kind = ValueKind::FLOAT;
    }
    return taken;
}

// The Python type of a row, as a docstring says it.
std::string typeText(const ParameterKey& key) {
    switch (key.kind) {
        case ValueKind::INT:
            return "int";
        case ValueKind::FLOAT:
            return "float";
        case ValueKind::BOOL:
            return "bool";
        case ValueKind::CHOICE:
            return "str or int";
        case ValueKind::NUMBER_OR_AUTO:
            break;
    }
    return "float or 'auto'";
}

// A number from Python: ints too large for a double give +-infinity (and
// are then out of every range); nullopt for anything but a number.
std::optional<double> numberOf(const py::handle& value) {
    if (py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value)) {
        return std::nullopt;  // float() would parse them
    }
    PyObject* number = PyNumber_Float(value.ptr());
    if (number == nullptr) {
        const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError) != 0;
        PyErr_Clear();
        if (!overflow) {
            return std::nullopt;
        }
        const bool negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT) == 1;
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    const double v = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return v;
}

// Sets `key` in `s` from a Python value, naming it `spelled`: a bool or a
// choice takes an integer (a choice also its name), the zoom also "auto",
// the rest any real number. TypeError for another type, ValueError for a
// value the table refuses.
void setFromPython(cal::ModeSettings& s, const ParameterKey& key, const std::string& spelled,
                   const py::handle& value) {
    const bool named = key.kind == ValueKind::CHOICE || key.kind == ValueKind::NUMBER_OR_AUTO;
    const bool whole = key.kind == ValueKind::CHOICE || key.kind == ValueKind::BOOL;
    const std::optional<double> number =
        whole && PyIndex_Check(value.ptr()) == 0 ? std::nullopt : numberOf(value);
    std::string error;
    bool set = false;
    if (named && py::isinstance<py::str>(value)) {
        set = cal::setSettingText(s, key, value.cast<std::string>(), FRONT, error);
    } else if (number) {
        set = cal::setSetting(s, key, *number, FRONT, error);
    } else {
        throw py::type_error(spelled + " takes " + typeText(key) + ", not " + typeName(value));
    }
    if (!set) {
        throw py::value_error(pythonMessage(error, spelled));
    }
}

// A keyword resolved to its row.
struct Keyword {
    std::string spelled;
    const ParameterKey* key;
    py::object value;
};
using Keywords = std::vector<Keyword>;

// `name` as a row that settings take (not the mode, which a class is and a
// run names apart), or TypeError starting with `unknown`.
Keyword keyword(const std::string& name, const py::handle& value, const std::string& unknown) {
    const ParameterKey* key = rowNamed(name);
    if (key == nullptr || key->id == cal::SETTING_MODE) {
        throw py::type_error(unknown + " '" + name + "'");
    }
    return {name, key, py::reinterpret_borrow<py::object>(value)};
}

Keywords keywords(const py::kwargs& given, const std::string& unknown) {
    Keywords all;
    for (const auto& [name, value] : given) {
        all.push_back(keyword(py::str(name), value, unknown));
    }
    return all;
}

// Sets `given` on `s` in order: ValueError for the first row s.mode does not
// read, before any value is looked at, or for a value refused.
void applyKeywords(cal::ModeSettings& s, const Keywords& given) {
    std::vector<const ParameterKey*> rows;
    for (const Keyword& k : given) {
        rows.push_back(k.key);
    }
    if (const ParameterKey* unused = cal::firstUnused(s.mode, rows)) {
        const auto at = std::find(rows.begin(), rows.end(), unused) - rows.begin();
        throw py::value_error(cal::unusedMessage(*unused, s.mode, given[at].spelled));
    }
    for (const Keyword& k : given) {
        setFromPython(s, *k.key, k.spelled, k.value);
    }
}

// The value of `key` in `s` as Python shows it: a bool, an int (a choice
// its index), a float in front-end units as short as it reads back, or
// 'auto'.
py::object pythonValue(const cal::ModeSettings& s, const ParameterKey& key) {
    const double v = cal::settingValue(s, key, FRONT);
    if (key.kind == ValueKind::BOOL) {
        return py::bool_(v != 0.0);
    }
    if (key.kind == ValueKind::INT || key.kind == ValueKind::CHOICE) {
        return py::int_(static_cast<long long>(v));
    }
    const std::string text = cal::settingText(s, key, FRONT);
    return text == "auto" ? py::object(py::str(text)) : py::object(py::float_(std::stod(text)));
}

// The front-end default of `key` as a Python literal; a choice by name.
std::string defaultLiteral(const ParameterKey& key) {
    if (key.kind == ValueKind::CHOICE) {
        return py::repr(py::str(cal::defaultText(key, FRONT)));
    }
    return py::repr(pythonValue(startingSettings(StabiliserMode::LIVE), key));
}

// The rows a mode's object reads, the mode itself apart, as `params` shows
// them.
py::dict paramsOf(const cal::ModeSettings& s) {
    py::dict params;
    for (const ParameterKey& key : cal::parameterKeys()) {
        if (key.id != cal::SETTING_MODE && key.usedBy(s.mode)) {
            params[cal::snakeName(key).c_str()] = pythonValue(s, key);
        }
    }
    return params;
}

// The rows a docstring or stub lists: those `mode` reads without the mode,
// or every row for a run that names its mode.
std::vector<const ParameterKey*> listedRows(Mode mode) {
    std::vector<const ParameterKey*> rows;
    for (const ParameterKey& key : cal::parameterKeys()) {
        if (!mode || (key.id != cal::SETTING_MODE && key.usedBy(*mode))) {
            rows.push_back(&key);
        }
    }
    return rows;
}

std::vector<std::string> snakeAliases(const ParameterKey& key) {
    std::vector<std::string> names;
    std::string word;
    for (const char* c = key.aliases;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) {
                names.push_back(word);
            }
            word.clear();
        } else {
            word += *c == '-' ? '_' : *c;
        }
        if (*c == '\0') {
            return names;
        }
    }
}

// ------------------------------------------------------- docstrings and stub

std::string modesText(const ParameterKey& key) {
    std::string text;
    for (const StabiliserMode m : kModes) {
        if (key.usedBy(m)) {
            text += std::string(text.empty() ? "" : " and ") + cal::modeName(m);
        }
    }
    return text;
}

// One entry per row `mode` takes (every row for a run): name, type, range,
// unit, default, the modes that read it when not all, aliases and meaning;
// under a choice its names and indices.
std::string settingsDoc(Mode mode) {
    std::string doc;
    for (const ParameterKey* listed : listedRows(mode)) {
        const ParameterKey key = asTaken(*listed, mode);
        std::string line = "    " + cal::snakeName(key) + " (" + typeText(key);
        if (key.kind != ValueKind::BOOL && key.kind != ValueKind::CHOICE) {
            line += ", " + cal::rangeText(key, FRONT);
        }
        line += *key.frontEndUnit != '\0' ? std::string(", ") + key.frontEndUnit : "";
        line += "; default " + defaultLiteral(key);
        line += !mode && key.modes != cal::USED_ALL ? "; " + modesText(key) + " only" : "";
        for (const std::string& alias : snakeAliases(key)) {
            line += "; also " + alias;
        }
        doc += line + "): " + key.meaning + "\n";
        for (size_t i = 0; i < key.choices.size(); ++i) {
            doc += "        " + std::string(py::repr(py::str(key.choices[i].name))) + " or " +
                   std::to_string(i) + ": " + key.choices[i].meaning + "\n";
        }
    }
    return doc;
}

// The type of a row in the stub.
std::string annotation(const ParameterKey& key) {
    std::string names;
    for (const cal::Choice& choice : key.choices) {
        names += (names.empty() ? "" : ", ") + std::string(py::repr(py::str(choice.name)));
    }
    return key.kind == ValueKind::CHOICE           ? "Union[int, Literal[" + names + "]]"
           : key.kind == ValueKind::NUMBER_OR_AUTO ? "Union[float, Literal['auto']]"
                                                   : typeText(key);
}

// "name: type = default," for each of `rows` as `mode` takes them.
std::string stubArguments(const std::vector<const ParameterKey*>& rows, Mode mode,
                          const std::string& indent) {
    std::string text;
    for (const ParameterKey* listed : rows) {
        const ParameterKey key = asTaken(*listed, mode);
        text += indent + cal::snakeName(key) + ": " + annotation(key) + " = " +
                defaultLiteral(key) + ",\n";
    }
    return text;
}

const char* const kStubHead = R"("""Real-time video stabiliser on numpy frames."""

import os
from typing import Any, Callable, Dict, List, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str

Frame = npt.NDArray[np.uint8]
Path = Union[str, os.PathLike[str]]
Value = Union[bool, int, float, str]
Progress = Union[
    Callable[[int, Optional[int], Literal["measure", "write"]], Any],
    Callable[[int, Optional[int]], Any],
]

class Stabiliser:
    """The live stabiliser: one frame in, the same frame stabilised out."""

    def __init__(
        self,
        *,
)";

const char* const kStubLive = R"(    ) -> None: ...
    def stabilise(
        self,
        frame: Frame,
        out: Optional[Frame] = None,
        fourcc: Optional[str] = None,
        size: Optional[Tuple[int, int]] = None,
    ) -> Frame: ...
    @property
    def offsets(self) -> Tuple[float, float, float]: ...
    @property
    def processing_time_mks(self) -> int: ...
    @property
    def last_was_cut(self) -> bool: ...
    def reset(self) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    @property
    def params(self) -> Dict[str, Value]: ...
    def set_param(self, name: str, value: Value) -> None: ...

class LookaheadStabiliser:
    """Stabilisation with a fixed latency of `latency` frames."""

    def __init__(
        self,
)";

const char* const kStubLookahead = R"(    ) -> None: ...
    def stabilise(
        self,
        frame: Frame,
        fourcc: Optional[str] = None,
        size: Optional[Tuple[int, int]] = None,
    ) -> Optional[Frame]: ...
    def drain(self) -> List[Frame]: ...
    def cut(self) -> None: ...
    @property
    def last_was_cut(self) -> bool: ...
    def reset(self) -> None: ...
    @property
    def latency(self) -> int: ...
    @property
    def params(self) -> Dict[str, Value]: ...
    def set_param(self, name: str, value: Value) -> None: ...

def stabilise_file(
    input: Path,
    output: Path,
)";

const char* const kStubFile = R"(    zoom_auto: bool = False,
    max_frames: int = 0,
    codec: Optional[str] = None,
    side_by_side: Optional[Path] = None,
) -> Dict[str, Any]: ...
def _settings() -> List[Dict[str, Any]]: ...
def _check_file(input: Path, output: Path, mode: Union[int, str] = ..., others: List[str] = ...,
                **options: Any) -> None: ...
def _setting_value(name: str, text: str) -> Value: ...
def _set_threads(threads: int) -> None: ...
def _stub() -> str: ...
def _plot_data(report: Dict[str, Any], plot_path: Path) -> Dict[str, Any]: ...
)";

// The type stub _calmora.pyi: the keywords with their real defaults.
std::string stubText() {
    const auto lookahead = listedRows(StabiliserMode::LOOKAHEAD);
    const auto run = listedRows(std::nullopt);
    const auto latencyRow = [](const ParameterKey* k) { return k->id == cal::SETTING_LATENCY; };
    const auto modeRow = [](const ParameterKey* k) { return k->id == cal::SETTING_MODE; };
    std::vector<const ParameterKey*> latency, afterLatency, mode, options;
    std::partition_copy(lookahead.begin(), lookahead.end(), std::back_inserter(latency),
                        std::back_inserter(afterLatency), latencyRow);
    std::partition_copy(run.begin(), run.end(), std::back_inserter(mode),
                        std::back_inserter(options), modeRow);
    const std::string inClass(8, ' '), inFunction(4, ' ');
    return kStubHead +
           stubArguments(listedRows(StabiliserMode::LIVE), StabiliserMode::LIVE, inClass) +
           kStubLive + stubArguments(latency, StabiliserMode::LOOKAHEAD, inClass) + inClass +
           "*,\n" + stubArguments(afterLatency, StabiliserMode::LOOKAHEAD, inClass) +
           kStubLookahead + stubArguments(mode, std::nullopt, inFunction) + inFunction +
           "progress: Optional[Progress] = None,\n" + inFunction +
           "*,\n" + stubArguments(options, std::nullopt, inFunction) + kStubFile;
}

// Every row for the tests: name, kind, range and default in front-end units,
// the modes that read it, choices and aliases.
py::list settingsTable() {
    py::list rows;
    const cal::ModeSettings defaults = startingSettings(StabiliserMode::LIVE);
    const char* kinds[] = {"int", "float", "bool", "choice", "number_or_auto"};
    for (const ParameterKey& key : cal::parameterKeys()) {
        py::list modes, choices;
        for (const StabiliserMode m : kModes) {
            if (key.usedBy(m)) {
                modes.append(cal::modeName(m));
            }
        }
        for (const cal::Choice& choice : key.choices) {
            choices.append(choice.name);
        }
        py::dict entry;
        entry["name"] = cal::snakeName(key);
        entry["kind"] = kinds[static_cast<int>(key.kind)];
        entry["min"] = cal::toFrontEnd(key, key.minimum);
        entry["max"] = cal::toFrontEnd(key, key.maximum);
        entry["default"] = pythonValue(defaults, key);
        entry["modes"] = modes;
        entry["choices"] = choices;
        entry["aliases"] = snakeAliases(key);
        entry["range"] = cal::rangeText(key, FRONT);
        entry["unit"] = key.frontEndUnit;
        entry["meaning"] = key.meaning;
        rows.append(entry);
    }
    return rows;
}

// ------------------------------------------------------------- stabilisers

class Stabiliser {
  public:
    explicit Stabiliser(const py::kwargs& settings) {
        configure(startingSettings(StabiliserMode::LIVE),
                  keywords(settings, "Stabiliser() got an unexpected keyword argument"));
    }

    py::array stabilise(const py::handle& frame, const py::object& out, const Fourcc& fourcc,
                        const Size& size) {
        const py::array in = checkedArray(frame, "frame");
        const Layout l = layoutOf(in, fourcc, size);
        if (core.getRollingShutter() > 0.0) {
            refuseReadout(current(), l.code);
        }
        const bool fresh = out.is_none();
        py::array result = fresh ? py::array_t<uint8_t>(l.shape) : checkedArray(out, "out");
        const auto* a = static_cast<const uint8_t*>(in.data());
        const auto* b = static_cast<const uint8_t*>(result.data());
        if (!fresh &&
            (!result.writeable() ||
             std::vector<py::ssize_t>(result.shape(), result.shape() + result.ndim()) != l.shape)) {
            throw py::value_error("out must be a writeable array of the frame's shape " +
                                  shapeText(l.shape));
        }
        if (!fresh && a < b + result.nbytes() && b < a + in.nbytes()) {
            throw py::value_error("out must not share memory with the frame");
        }
        Frame src;
        wrap(src, l, a, in.nbytes());
        writeInto(result, l, fresh, [&](Frame& dst) {
            const std::lock_guard<std::mutex> lock(busy_);
            core.stabilise(src, dst);
        });
        return result;
    }

    std::tuple<float, float, float> offsets() {
        float x = 0.0f, y = 0.0f, a = 0.0f;
        core.getOffsets(x, y, a);
        return {x, y, a};
    }

    // The settings as the stabiliser holds them now: a command may have
    // switched `enable` since they were last given.
    cal::ModeSettings current() {
        cal::ModeSettings s = startingSettings(StabiliserMode::LIVE);
        s.params = core.getParams();
        s.zoom = core.getZoom();
        s.detectCuts = core.getCutDetection();
        s.refinements = core.getRefinements();
        s.rollingShutter = core.getRollingShutter();
        return s;
    }

    void setParam(const std::string& name, const py::handle& value) {
        const std::lock_guard<std::mutex> lock(settings_);
        configure(current(), {keyword(name, value, "Stabiliser has no setting")});
    }

    CalmoraOpenCv core;  // thread-safe apart from stabilise()

  private:
    void configure(cal::ModeSettings s, const Keywords& given) {
        applyKeywords(s, given);
        std::string error;
        if (!core.configure(s, &error)) {
            throw py::value_error(pythonMessage(error));
        }
    }

    std::mutex busy_;      // one frame at a time
    std::mutex settings_;  // one change of settings at a time
};

class Lookahead {
  public:
    Lookahead(const py::object& latency, const py::kwargs& settings) {
        const std::string unknown = "LookaheadStabiliser() got an unexpected keyword argument";
        Keywords given = keywords(settings, unknown);
        given.insert(given.begin(), keyword("latency", latency, unknown));
        configure(startingSettings(StabiliserMode::LOOKAHEAD), given);
    }

    py::object stabilise(const py::handle& frame, const Fourcc& fourcc, const Size& size) {
        const py::array in = checkedArray(frame, "frame");
        const Layout l = layoutOf(in, fourcc, size);
        const auto lock = claim();
        refuseReadout(settings_, l.code);
        Frame src;
        wrap(src, l, in.data(), in.nbytes());
        held_.push_back(l);
        if (held_.size() <= static_cast<size_t>(core_.latency())) {
            py::gil_scoped_release unlocked;
            Frame none;
            core_.stabilise(src, none);  // only taken while it fills
        } else {
            return oldest([&](Frame& dst) { core_.stabilise(src, dst); });
        }
        return py::none();
    }

    py::list drain() {
        const auto lock = claim();
        py::list frames;
        while (!held_.empty()) {
            frames.append(oldest([&](Frame& dst) { core_.drain(dst); }));
        }
        return frames;
    }

    void reset() {
        const auto lock = claim();
        core_.reset();
        held_.clear();
    }

    void cut() {
        const auto lock = claim();
        core_.cut();
    }

    bool lastWasCut() {
        const auto lock = claim();
        return core_.lastWasCut();
    }

    int latency() { return core_.latency(); }
    py::dict params() { return paramsOf(settings_); }
    void setParam(const std::string& name, const py::handle& value) {
        const auto lock = claim();
        configure(settings_, {keyword(name, value, "LookaheadStabiliser has no setting")});
    }

  private:
    // A new latency drops the held frames, in the class underneath and here.
    void configure(cal::ModeSettings s, const Keywords& given) {
        applyKeywords(s, given);
        std::string error;
        if (!core_.configure(s, &error)) {
            throw py::value_error(pythonMessage(error));
        }
        if (s.latencyFrames != settings_.latencyFrames) {
            held_.clear();
        }
        settings_ = s;
    }

    // The class underneath is not thread-safe: a second thread is refused.
    std::unique_lock<std::mutex> claim() {
        std::unique_lock<std::mutex> lock(busy_, std::try_to_lock);
        if (!lock.owns_lock()) {
            throw std::runtime_error("LookaheadStabiliser is in use by another thread");
        }
        return lock;
    }

    // The oldest held frame, written by `call` into an array of its layout.
    template <typename Call>
    py::array oldest(const Call& call) {
        const Layout l = held_.front();
        held_.pop_front();
        py::array result = py::array_t<uint8_t>(l.shape);
        writeInto(result, l, true, call);
        return result;
    }

    cal::LookaheadStabiliser core_;
    cal::ModeSettings settings_;  // as last configured
    std::deque<Layout> held_;
    std::mutex busy_;
};

// ------------------------------------------------------------ a whole file

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

long long wholeNumber(const std::string& name, const py::handle& value) {
    if (PyIndex_Check(value.ptr()) == 0 || PyBool_Check(value.ptr()) != 0) {
        raise(PyExc_TypeError, name + " takes int, not " + typeName(value));
    }
    const long long n = PyLong_AsLongLong(value.ptr());
    if (n == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    return n;
}

std::string textOf(const std::string& name, const py::handle& value) {
    if (!py::isinstance<py::str>(value)) {
        raise(PyExc_TypeError, name + " takes str, not " + typeName(value));
    }
    return value.cast<std::string>();
}

// The run stabilise_file describes: the mode first, so that every other
// row can be tested against it, then the table rows and the file's own
// options in the order given.
run::RunOptions runOptions(const py::handle& input, const py::handle& output,
                           const py::handle& mode, const py::kwargs& options) {
    const py::object path = py::module_::import("os").attr("fspath");
    run::RunOptions o;
    o.input = py::str(path(input));
    o.output = py::str(path(output));
    o.settings = startingSettings(StabiliserMode::LIVE);
    setFromPython(o.settings, row(cal::SETTING_MODE), "mode", mode);
    Keywords given;
    for (const auto& [key, value] : options) {
        const std::string name = py::str(key);
        if (name == "max_frames") {
            o.maxFrames = wholeNumber(name, value);
        } else if (name == "codec") {
            o.codec = value.is_none() ? "" : textOf(name, value);
        } else if (name == "side_by_side") {
            o.sideBySide = value.is_none() ? "" : std::string(py::str(path(value)));
        } else if (name == "zoom_auto") {
            if (!PyBool_Check(value.ptr())) {
                raise(PyExc_TypeError, "zoom_auto takes bool, not " + typeName(value));
            }
            if (value.cast<bool>()) {  // zoom='auto' by its older name
                given.push_back({name, &row(cal::SETTING_ZOOM), py::str("auto")});
            }
        } else {
            given.push_back(
                keyword(name, value, "stabilise_file() got an unexpected keyword argument"));
        }
    }
    applyKeywords(o.settings, given);
    return o;
}

// Whether `progress` takes a third positional argument, the pass: asked of
// its signature once, before the run; a callable whose signature Python
// cannot tell (some built-ins) is given two, as before the pass was named.
bool takesPass(const py::object& progress) {
    try {
        py::module_::import("inspect").attr("signature")(progress).attr("bind")(0, 0, "write");
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        return false;
    }
}

// Calls progress as the docstring of stabilise_file tells: with the pass,
// each pass counted on its own against the input's frames; without it, the
// whole run as one count, offline mode's second pass counting on from its
// first, so a two-argument progress bar never goes back.
class ProgressCall {
  public:
    explicit ProgressCall(py::object progress)
        : progress_(std::move(progress)),
          withPass_(!progress_.is_none() && takesPass(progress_)) {}

    void operator()(const run::Progress& p) {
        const auto count = [](long long n) { return n > 0 ? py::object(py::int_(n)) : py::none(); };
        firstPass_ = p.pass == 1 ? p.done : firstPass_;
        if (progress_.is_none()) {
            return;
        }
        if (withPass_) {
            progress_(p.done, count(p.total), p.pass < p.passes ? "measure" : "write");
        } else {
            progress_((p.pass > 1 ? firstPass_ : 0) + p.done, count(p.total * p.passes));
        }
    }

  private:
    py::object progress_;
    bool withPass_;
    long long firstPass_{0};  // frames the first pass measured
};

// The run library's check of a run: ValueError when it refuses the run,
// FileNotFoundError when a path is missing.
void checkOrRaise(const run::RunOptions& o) {
    const run::Refusal refusal = run::checkRun(o);
    if (refusal.status == run::RunResult::REFUSED) {
        throw py::value_error(pythonMessage(refusal.message));
    }
    if (refusal.status != run::RunResult::DONE) {
        raise(PyExc_FileNotFoundError, refusal.message);
    }
}

// stabilise_file's checks alone, with `others` as the files the caller
// writes beside the output; opens and writes nothing.
void checkFile(const py::handle& input, const py::handle& output, const py::handle& mode,
               const std::vector<std::string>& others, const py::kwargs& options) {
    run::RunOptions o = runOptions(input, output, mode, options);
    o.otherOutputs = others;
    checkOrRaise(o);
}

// The Python value of a setting given as text, read by the table as the
// command line reads it ("off", "offline", "auto", "4"); ValueError naming
// the setting when the text is not one of its values.
py::object settingValue(const std::string& name, const std::string& text) {
    const ParameterKey* key = cal::findParameter(name);
    if (key == nullptr) {
        throw py::value_error("unknown setting '" + name + "'");
    }
    cal::ModeSettings s = startingSettings(StabiliserMode::LIVE);
    std::string error;
    if (!cal::setSettingText(s, *key, text, FRONT, error)) {
        throw py::value_error(error);
    }
    return pythonValue(s, *key);
}

py::object stabiliseFile(const py::handle& input, const py::handle& output, const py::handle& mode,
                         const py::object& progress, const py::kwargs& options) {
    const run::RunOptions o = runOptions(input, output, mode, options);
    // the run library decides; nothing is opened for a run it refuses
    checkOrRaise(o);
    // progress runs on this thread between frames; an exception in it (or
    // a pending Ctrl-C) stops the run, then propagates
    ProgressCall call(progress);
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    const auto onProgress = [&](const run::Progress& p) {
        py::gil_scoped_acquire gil;
        try {
            if (failure) {
                return;  // frames already under way still come out
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            call(p);
        } catch (...) {
            failure = std::current_exception();
            stop.store(true);
        }
    };
    run::RunResult result;
    {
        py::gil_scoped_release unlocked;
        result = run::runFile(o, stop, onProgress);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (result.status == run::RunResult::REFUSED) {
        throw py::value_error(pythonMessage(result.error));
    }
    if (result.status == run::RunResult::FAILED) {
        throw std::runtime_error(result.error);
    }
    const std::string report = run::reportJson(o, result, run::summarise(result));
    return py::module_::import("json").attr("loads")(report);
}

// ------------------------------------------------------------ plot data

// A report's per-frame motion, cuts and zoom as the run they came from:
// what measuredPath reads.
run::RunResult motionOf(const py::dict& report) {
    const auto motion = [](const py::handle& m) {
        return run::GlobalMotion{m["x"].cast<double>(), m["y"].cast<double>(),
                                 m["angle"].cast<double>()};
    };
    run::RunResult result;
    for (const py::handle frame : report["frames"]) {
        run::FrameResult f;
        f.inputMotion = motion(frame["inputMotion"]);
        f.outputMotion = motion(frame["outputMotion"]);
        f.cut = frame["cut"].cast<bool>();
        result.frames.push_back(f);
    }
    result.zoom = report["zoom"].cast<double>();
    return result;
}

py::list pathPoints(const cal::CameraPath& path) {
    py::list points;
    for (const cal::PathPoint& p : path.points) {
        points.append(py::make_tuple(p.x, p.y, p.a));
    }
    return points;
}

// What plot_report draws of a report of stabilise_file (or of the command
// line's report file): the camera paths before and after as the summary
// measures them, the cuts, and the mode as the command line's plot names
// it. The run's own check refuses a plot over the run's input or output
// (ValueError), as the command line refuses --plot there.
py::dict plotData(const py::dict& report, const py::handle& plotPath) {
    run::RunOptions o;
    o.settings = startingSettings(StabiliserMode::LIVE);
    setFromPython(o.settings, row(cal::SETTING_MODE), "mode", report["mode"]);
    if (o.settings.mode == StabiliserMode::LOOKAHEAD) {
        o.settings.latencyFrames = report["latencyFrames"].cast<int>();
    }
    o.input = report["input"].cast<std::string>();
    o.output = report["output"].cast<std::string>();
    o.otherOutputs = {py::str(py::module_::import("os").attr("fspath")(plotPath))};
    const run::Refusal refusal = run::checkRun(o);
    if (refusal.status == run::RunResult::REFUSED) {  // not FAILED: the input may be gone
        throw py::value_error(pythonMessage(refusal.message));
    }
    const run::RunResult motion = motionOf(report);
    const cal::CameraPath before = run::measuredPath(motion, false);
    py::dict data;
    data["before"] = pathPoints(before);
    data["after"] = pathPoints(run::measuredPath(motion, true));
    data["cuts"] = before.cuts;
    data["mode"] = run::modeText(o);
    return data;
}

// ---------------------------------------------------------------- module

const char* const kFrames =
    "Frames are uint8 numpy arrays: (H, W, 3) BGR as OpenCV gives them, (H, W) grey, or\n"
    "a raw format (NV12, NV21, I420/YU12, YV12, YUYV/YUY2, UYVY, RGB3, YUV3, GRAY) as a\n"
    "1-D or 2-D array with fourcc='NV12' and size=(width, height). Results have the\n"
    "input's layout.\n\n";

const char* const kSetParam =
    "Sets one setting by its keyword name: TypeError if there is none, ValueError for\n"
    "a value out of range or a setting this mode does not use.";

void defineLive(py::module_& m) {
    static const std::string doc =
        "Stabiliser(**settings)\n\nThe live stabiliser: each frame comes back stabilised at "
        "once.\nCalls from several threads on one object are serialised.\n\n" +
        std::string(kFrames) + "Settings (keywords):\n" + settingsDoc(StabiliserMode::LIVE);
    py::class_<Stabiliser> live(m, "Stabiliser", doc.c_str());
    live.def(py::init<const py::kwargs&>())
        .def("stabilise", &Stabiliser::stabilise, py::arg("frame"), py::arg("out") = py::none(),
             py::arg("fourcc") = py::none(), py::arg("size") = py::none(),
             "The stabilised frame, in a new array or in `out` (the frame's shape), whose\n"
             "previous content shows where the moved picture leaves pixels uncovered while\n"
             "transparent_border is on. Runs without the GIL.")
        .def_property_readonly("offsets", &Stabiliser::offsets,
                               "(x, y, angle) applied to the last frame: pixels, pixels, radians")
        .def_property_readonly(
            "processing_time_mks",
            [](Stabiliser& s) { return int(s.core.getParam(cal::PROCESSING_TIME_MKS)); },
            "Microseconds the last frame took inside the library.")
        .def_property_readonly(
            "last_was_cut", [](Stabiliser& s) { return s.core.lastWasCut(); },
            "True when the last frame was found to start a new shot (detect_cuts).")
        .def_property_readonly(
            "params", [](Stabiliser& s) { return paramsOf(s.current()); },
            "Every setting by its keyword name.")
        .def("set_param", &Stabiliser::setParam, py::arg("name"), py::arg("value"), kSetParam);
    for (const auto& [name, id, text] :
         {std::tuple{"reset", cal::RESET, "Starts the camera path again at the next frame."},
          {"enable", cal::ON, "Switches stabilisation on (with a reset when it was off)."},
          {"disable", cal::OFF, "Frames pass through unchanged (with a reset when it was on)."}}) {
        live.def(
            name, [id = id](Stabiliser& s) { s.core.executeCommand(id); }, text);
    }
}

void defineLookahead(py::module_& m) {
    static const std::string doc =
        "LookaheadStabiliser(latency=" + defaultLiteral(row(cal::SETTING_LATENCY)) +
        ", **settings)\n\nStabilisation with a fixed latency: stabilise() returns None while it "
        "fills, then\nthe frame of `latency` calls ago, smoothed over the frames after it too. "
        "With\ndetect_cuts, a hard cut of edited footage starts a new shot, as cut() does.\nOne "
        "thread at a time.\n\n" +
        std::string(kFrames) + "Settings (keywords):\n" + settingsDoc(StabiliserMode::LOOKAHEAD);
    const ParameterKey& latency = row(cal::SETTING_LATENCY);
    py::class_<Lookahead>(m, "LookaheadStabiliser", doc.c_str())
        .def(py::init<const py::object&, const py::kwargs&>(),
             py::arg("latency") = py::int_(static_cast<int>(cal::defaultNumber(latency, FRONT))))
        .def("stabilise", &Lookahead::stabilise, py::arg("frame"), py::arg("fourcc") = py::none(),
             py::arg("size") = py::none(),
             "Takes a copy of the frame; None while filling, else the oldest held frame.")
        .def("drain", &Lookahead::drain, "The frames still held, stabilised, oldest first.")
        .def("reset", &Lookahead::reset, "Drops every held frame and starts again.")
        .def("cut", &Lookahead::cut, "The next frame starts a new shot, smoothed on its own.")
        .def_property_readonly("last_was_cut", &Lookahead::lastWasCut,
                               "True when the frame last taken was found to be a cut.")
        .def_property_readonly("latency", &Lookahead::latency)
        .def_property_readonly("params", &Lookahead::params, "Every setting by its keyword name.")
        .def("set_param", &Lookahead::setParam, py::arg("name"), py::arg("value"), kSetParam);
}

void defineFile(py::module_& m) {
    py::options plain;  // the signature pybind11 writes would show its argument types
    plain.disable_function_signatures();
    static const std::string doc =
        "stabilise_file(input, output, mode=" + defaultLiteral(row(cal::SETTING_MODE)) +
        ", progress=None, **options) -> dict\n\n"
        "Stabilises a video file, stream address or camera number as the calmora command\n"
        "line does and returns its report. The input is never written over: an output or\n"
        "side_by_side naming it, by any spelling or link, is refused (ValueError), as are\n"
        "settings the mode does not use; FileNotFoundError when the input or an output's\n"
        "folder is missing, RuntimeError when the run fails.\n\n"
        "progress is called after every frame written, and in offline mode also after\n"
        "every frame of its first, measuring pass. progress(done, total, pass_) is told the\n"
        "pass, 'measure' or 'write', and counts each on its own: done is the frames of this\n"
        "pass so far, total the frames the input holds (None when it does not say). A\n"
        "two-argument progress(done, total) sees the whole run as one count: in offline\n"
        "mode done counts on through both passes and total covers both. An exception it\n"
        "raises stops the run and propagates.\n\n"
        "Settings (mode, then keywords):\n" +
        settingsDoc(std::nullopt) +
        "    zoom_auto (bool; default False): True is zoom='auto'\n"
        "    max_frames (int; default 0): stop after this many input frames; 0 reads them all\n"
        "    codec (str; default None): four characters; None chooses by the output's extension\n"
        "    side_by_side (path; default None): a second output, the source above the result\n";
    m.def("stabilise_file", &stabiliseFile, py::arg("input"), py::arg("output"),
          py::arg("mode") = py::str(cal::defaultText(row(cal::SETTING_MODE), FRONT)),
          py::arg("progress") = py::none(), doc.c_str());
}

}  // namespace

PYBIND11_MODULE(_calmora, m) {
    m.doc() = "Real-time video stabiliser on numpy frames.";
    m.attr("__version__") = CalmoraOpenCv::getVersion();
    defineLive(m);
    defineLookahead(m);
    defineFile(m);
    m.def("_settings", &settingsTable,
          "Every row of the parameter table in front-end units (the batch command's options).");
    m.def("_plot_data", &plotData, py::arg("report"), py::arg("plot_path"),
          "The paths, cuts and mode plot_report draws of a report.");
    m.def("_check_file", &checkFile, py::arg("input"), py::arg("output"),
          py::arg("mode") = py::str(cal::defaultText(row(cal::SETTING_MODE), FRONT)),
          py::arg("others") = std::vector<std::string>{},
          "stabilise_file's checks of paths and settings alone: raises as it would.");
    m.def("_setting_value", &settingValue, py::arg("name"), py::arg("text"),
          "A setting's value read from text by the parameter table, as the command line reads it.");
    m.def("_set_threads", [](int threads) { cv::setNumThreads(threads); }, py::arg("threads"),
          "The threads OpenCV's own parallel loops use in this process (cv::setNumThreads).");
    m.def("_stub", &stubText, "The type stub _calmora.pyi, generated from the parameter table.");
}
