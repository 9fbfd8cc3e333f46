// The Python module `calmora`.
// - Frames are numpy uint8 arrays: (H, W, 3) BGR, (H, W) grey, or any raw
//   format of the library by its four characters and size. An array is
//   checked once and wrapped in a Frame header that does not own its bytes,
//   so the stabiliser reads the caller's buffer and writes straight into the
//   result array; only when the library gives the destination a buffer of
//   its own (a plain copy of the picture) are the bytes copied back.
// - Parameters are the configuration keys in snake_case, taken from the
//   library's parameter table, and go through the stabiliser's own
//   range checks.
// - stabilise() runs without the GIL; each object has its own lock, so one
//   object used from two threads is serialised (the live stabiliser) or
//   refused (the lookahead stabiliser, which is not thread-safe at all).
// - stabilise_file() is the command line's run and report.

#include "Pipeline.h"
#include "Report.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/ParameterKeys.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>

namespace py = pybind11;
namespace cal = orl::calmora;
using orl::calmora::CalmoraOpenCv;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

using Size = std::optional<std::pair<long long, long long>>;
using Fourcc = std::optional<std::string>;

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

// -------------------------------------------------------------- parameters

std::string snakeName(const cal::ParameterKey& key) {
    std::string name = key.option;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

const cal::ParameterKey* findKey(const std::string& name) {
    for (const auto& key : cal::parameterKeys()) {
        if (name == snakeName(key)) {
            return &key;
        }
    }
    return nullptr;
}

bool isIntegerField(int id) {
    using namespace orl::calmora;
    return id == SCALE_FACTOR || id == X_OFFSET_LIMIT || id == Y_OFFSET_LIMIT ||
           id == CONST_X_OFFSET || id == CONST_Y_OFFSET || id == TYPE || id == LOG_MOD;
}

// Sets one parameter by its snake_case name on `core`, through setParam
// (which tests the range) or, for the fields only init takes, the record.
void setParameter(CalmoraOpenCv& core, const std::string& name, const py::handle& value) {
    using namespace orl::calmora;
    const cal::ParameterKey* key = findKey(name);
    if (key == nullptr) {
        throw py::type_error("unknown parameter '" + name + "'");
    }
    if (!py::isinstance<py::int_>(value) && !py::isinstance<py::float_>(value)) {
        throw py::type_error(name + " takes a number, not " + typeName(value));  // bool is int
    }
    const auto number = value.cast<double>();
    const auto v = static_cast<float>(number);
    const bool fits = std::isfinite(v) && (!isIntegerField(key->id) || std::fabs(number) < 2e9);
    if (!(key->byIdentifier ? core.setParam(key->id, v) : fits)) {
        throw py::value_error(name + "=" + std::string(py::repr(value)) +
                              " is outside the accepted range " + key->range);
    }
    if (!key->byIdentifier) {
        CalmoraParams record = core.getParams();
        record.cutFrequencyHz = key->id == CUT_FREQUENCY_HZ ? v : record.cutFrequencyHz;
        record.fps = key->id == FPS ? v : record.fps;
        record.logMod = key->id == LOG_MOD ? static_cast<int>(number) : record.logMod;
        core.init(record);
    }
}

void setParameters(CalmoraOpenCv& core, const py::kwargs& params) {
    for (const auto& [name, value] : params) {
        setParameter(core, py::str(name), value);
    }
}

py::dict parametersOf(CalmoraOpenCv& core) {
    py::dict params;
    for (const auto& key : cal::parameterKeys()) {
        const float v = core.getParam(key.id);
        params[snakeName(key).c_str()] = key.isBool               ? py::object(py::bool_(v != 0))
                                         : isIntegerField(key.id) ? py::object(py::int_(int(v)))
                                                                  : py::object(py::float_(v));
    }
    return params;
}

// ------------------------------------------------------------- stabilisers

class Stabiliser {
  public:
    explicit Stabiliser(const py::kwargs& params) { setParameters(core, params); }

    py::array stabilise(const py::handle& frame, const py::object& out, const Fourcc& fourcc,
                        const Size& size) {
        const py::array in = checkedArray(frame, "frame");
        const Layout l = layoutOf(in, fourcc, size);
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

    CalmoraOpenCv core;  // thread-safe apart from stabilise()

  private:
    std::mutex busy_;  // one frame at a time
};

class Lookahead {
  public:
    Lookahead(int latency, bool detectCuts, const py::kwargs& params) : core_(latency) {
        if (latency < 1 || latency > 300) {
            throw py::value_error("latency=" + std::to_string(latency) +
                                  " is outside the accepted range 1..300");
        }
        setParameters(checker_, params);
        core_.init(checker_.getParams());
        core_.setCutDetection(detectCuts);
    }

    py::object stabilise(const py::handle& frame, const Fourcc& fourcc, const Size& size) {
        const py::array in = checkedArray(frame, "frame");
        const Layout l = layoutOf(in, fourcc, size);
        const auto lock = claim();
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
    py::dict params() { return parametersOf(checker_); }
    void setParam(const std::string& name, const py::handle& value) {
        const auto lock = claim();
        setParameter(checker_, name, value);
        core_.init(checker_.getParams());
    }

  private:
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

    orl::calmora::LookaheadStabiliser core_;
    CalmoraOpenCv checker_;  // holds and range-tests the parameters
    std::deque<Layout> held_;
    std::mutex busy_;
};

// ------------------------------------------------------------ a whole file

template <typename T>
T optionValue(const std::string& name, const py::handle& value, T lo, T hi) {
    const T v = value.cast<T>();
    if (!(v >= lo && v <= hi)) {
        throw py::value_error(name + "=" + std::string(py::repr(value)) +
                              " is outside the accepted range " + std::to_string(lo) + ".." +
                              std::to_string(hi));
    }
    return v;
}

py::object stabiliseFile(const py::handle& input, const py::handle& output, const std::string& mode,
                         const py::object& progress, const py::kwargs& options) {
    using calmora_cli::Mode;
    const py::object path = py::module_::import("os").attr("fspath");
    calmora_cli::RunOptions o;
    o.input = py::str(path(input));
    o.output = py::str(path(output));
    if (mode != "live" && mode != "lookahead" && mode != "offline") {
        throw py::value_error("mode must be 'live', 'lookahead' or 'offline', not '" + mode + "'");
    }
    o.mode = mode == "live" ? Mode::LIVE : mode == "lookahead" ? Mode::LOOKAHEAD : Mode::OFFLINE;
    CalmoraOpenCv core;
    for (const auto& [key, value] : options) {
        const std::string name = py::str(key);
        if (name == "latency") {
            o.latencyFrames = optionValue(name, value, 1, 300);
        } else if (name == "smoothing") {
            o.smoothingFrames = optionValue(name, value, 0.5, 1000.0);
        } else if (name == "zoom") {
            o.zoomPercent = optionValue(name, value, 0.0, 100.0);
        } else if (name == "max_frames") {
            o.maxFrames = optionValue(name, value, 0LL, 1000000000LL);
        } else if (name == "cut_detection" || name == "zoom_auto") {
            (name == "zoom_auto" ? o.zoomAuto : o.cutDetection) = value.cast<bool>();
        } else if (name == "codec") {
            o.codec = py::str(value);
        } else if (name == "side_by_side") {
            o.sideBySide = py::str(path(value));
        } else if (findKey(name) != nullptr) {
            setParameter(core, name, value);
        } else {
            throw py::type_error("stabilise_file() got an unexpected keyword argument '" + name +
                                 "'");
        }
    }
    const bool live = calmora_cli::isLiveInput(o.input);
    const char* refused = !o.codec.empty() && o.codec.size() != 4 ? "codec takes four characters"
                          : o.zoomAuto && o.mode != Mode::OFFLINE ? "zoom_auto needs mode='offline'"
                          : live && o.mode == Mode::OFFLINE ? "mode='offline' reads a file twice"
                                                            : nullptr;
    if (refused != nullptr) {
        throw py::value_error(refused);
    }
    std::error_code ec;
    if (!live && !std::filesystem::is_regular_file(o.input, ec)) {
        PyErr_SetString(PyExc_FileNotFoundError, ("no video file " + o.input).c_str());
        throw py::error_already_set();
    }
    // frames to come, as the container says (0 when it cannot say)
    long long total = live ? 0 : cv::VideoCapture(o.input).get(cv::CAP_PROP_FRAME_COUNT);
    total = o.maxFrames > 0 && (total <= 0 || o.maxFrames < total) ? o.maxFrames : total;

    // the progress callback runs on this thread between frames; an exception
    // in it (or a pending Ctrl-C) stops the run, then propagates
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
    const auto onProgress = [&](const calmora_cli::Progress& p) {
        py::gil_scoped_acquire gil;
        try {
            if (failure) {
                return;  // frames already under way still come out
            }
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (!progress.is_none()) {
                progress(p.done, total > 0 ? py::object(py::int_(total)) : py::none());
            }
        } catch (...) {
            failure = std::current_exception();
            stop.store(true);
        }
    };
    calmora_cli::RunResult run;
    {
        py::gil_scoped_release unlocked;
        run = calmora_cli::runStabilisation(core, o, stop, onProgress);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (run.status == calmora_cli::RunResult::FAILED) {
        throw std::runtime_error(run.error);
    }
    const std::string report = calmora_cli::reportJson(o, run, calmora_cli::summarise(run));
    return py::module_::import("json").attr("loads")(report);
}

// ---------------------------------------------------------------- module

const char* const kFrames =
    "Frames are uint8 numpy arrays: (H, W, 3) BGR as OpenCV gives them, (H, W) grey, or\n"
    "a raw format (NV12, NV21, I420/YU12, YV12, YUYV/YUY2, UYVY, RGB3, YUV3, GRAY) as a\n"
    "1-D or 2-D array with fourcc='NV12' and size=(width, height). Results have the\n"
    "input's layout.\n\n";

// The parameter list of a docstring, from the library's table.
std::string documented(const std::string& text) {
    std::string doc = text + "\n\n" + kFrames + "Parameters (the configuration keys):\n";
    for (const auto& key : cal::parameterKeys()) {
        doc += "    " + snakeName(key) + " (" + key.range + "): " + key.meaning + "\n";
    }
    return doc;
}

}  // namespace

PYBIND11_MODULE(calmora, m) {
    m.doc() = "Real-time video stabiliser on numpy frames.";
    m.attr("__version__") = CalmoraOpenCv::getVersion();
    const auto setParam = "Sets one parameter: ValueError out of range, TypeError if unknown.";

    static const std::string liveDoc = documented(
        "Stabiliser(**params)\n\nThe live stabiliser: each frame comes back stabilised at "
        "once.\nCalls from several threads on one object are serialised.");
    py::class_<Stabiliser> live(m, "Stabiliser", liveDoc.c_str());
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
            "params", [](Stabiliser& s) { return parametersOf(s.core); }, "The parameters.")
        .def(
            "set_param",
            [](Stabiliser& s, const std::string& name, const py::handle& value) {
                setParameter(s.core, name, value);
            },
            py::arg("name"), py::arg("value"), setParam);
    for (const auto& [name, id, doc] :
         {std::tuple{"reset", cal::RESET, "Starts the camera path again at the next frame."},
          {"enable", cal::ON, "Switches stabilisation on (with a reset when it was off)."},
          {"disable", cal::OFF, "Frames pass through unchanged (with a reset when it was on)."}}) {
        live.def(
            name, [id = id](Stabiliser& s) { s.core.executeCommand(id); }, doc);
    }

    static const std::string ahead = documented(
        "LookaheadStabiliser(latency=15, detect_cuts=False, **params)\n\nStabilisation with a "
        "fixed latency (1..300): stabilise() returns None while it\nfills, then the frame of "
        "`latency` calls ago, smoothed over the frames after it\ntoo; the filter coefficients "
        "are not used. With detect_cuts, a hard cut of edited\nfootage starts a new shot, as "
        "cut() does. One thread at a time.");
    py::class_<Lookahead>(m, "LookaheadStabiliser", ahead.c_str())
        .def(py::init<int, bool, const py::kwargs&>(), py::arg("latency") = 15,
             py::arg("detect_cuts") = false)
        .def("stabilise", &Lookahead::stabilise, py::arg("frame"), py::arg("fourcc") = py::none(),
             py::arg("size") = py::none(),
             "Takes a copy of the frame; None while filling, else the oldest held frame.")
        .def("drain", &Lookahead::drain, "The frames still held, stabilised, oldest first.")
        .def("reset", &Lookahead::reset, "Drops every held frame and starts again.")
        .def("cut", &Lookahead::cut, "The next frame starts a new shot, smoothed on its own.")
        .def_property_readonly("last_was_cut", &Lookahead::lastWasCut,
                               "True when the frame last taken was found to be a cut.")
        .def_property_readonly("latency", &Lookahead::latency)
        .def_property_readonly("params", &Lookahead::params, "The parameters.")
        .def("set_param", &Lookahead::setParam, py::arg("name"), py::arg("value"), setParam);

    static const std::string file = documented(
        "stabilise_file(input, output, mode='live', progress=None, **options) -> dict\n\n"
        "Stabilises a video file, stream address or camera number as the calmora command\n"
        "line does and returns its report. mode: 'live', 'lookahead' or 'offline'.\n"
        "progress(done, total) is called after every frame written (total None when\n"
        "unknown); an exception it raises stops the run and propagates. Options: latency\n"
        "(1..300), smoothing (0.5..1000 frames, offline), cut_detection, zoom (per cent\n"
        "beyond 100, 0..100), zoom_auto (offline), max_frames, codec (four characters),\n"
        "side_by_side (a second output path), and the stabiliser's parameters.");
    m.def("stabilise_file", &stabiliseFile, py::arg("input"), py::arg("output"),
          py::arg("mode") = "live", py::arg("progress") = py::none(), file.c_str());
}
