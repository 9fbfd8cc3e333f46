// The GStreamer element calmorastab: the stabiliser as a video filter.
// - Raw frames of the nine formats the library moves come in and go out with
//   the same caps. A frame whose planes lie packed, as the library's Frame
//   wants them, is handed over in place; a padded one (GStreamer rounds
//   strides up) is copied into a packed frame first.
// - The result is written into a frame the element keeps, because uncovered
//   border pixels show the previous output; it is then copied into the
//   outgoing buffer with that buffer's strides.
// - mode=live: each frame through CalmoraOpenCv as it comes. mode=lookahead:
//   LookaheadStabiliser holds `latency` frames; each outgoing buffer carries
//   the timestamps of the frame it shows, the held frames go out at EOS (and
//   before new caps), and the latency query adds the held frames' duration.
// - A flush, a new segment or a DISCONT buffer starts the path again and
//   drops what is held, since the frames before it say nothing about those
//   after it; with detect-cuts, so does a hard cut found in the pictures
//   (the held frames of the old shot are still written).
// - Every stabiliser parameter is a property named after its hyphenated
//   name in the library's parameter table; the stabiliser's own setParam
//   decides what it accepts, so a refused value keeps the old one and logs a
//   warning.
//   The live stabiliser holds the parameter record (behind its own mutex);
//   the lookahead one is handed a copy before each frame, so a change made
//   while playing applies between frames.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/CutDetector.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/ParameterKeys.h>

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(calmorastab_debug);
#define GST_CAT_DEFAULT calmorastab_debug

namespace {

using orl::calmora::CalmoraOpenCv;
using orl::calmora::LookaheadStabiliser;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

enum Mode { MODE_LIVE = 0, MODE_LOOKAHEAD = 1 };

enum Property {
    PROP_MODE = 1,
    PROP_LATENCY,
    PROP_POST_MESSAGES,
    PROP_DETECT_CUTS,
    PROP_FIRST_PARAMETER,  // then one per entry of orl::calmora::parameterKeys()
};

constexpr int kDefaultLatency = 15;

// Where one plane of the library's packed frame lies, in bytes.
struct Plane {
    size_t offset{0};
    size_t rowBytes{0};
    size_t rows{0};
};

// Timestamps of a frame held in lookahead mode; its bytes are kept by the
// stabiliser, so upstream's buffers go back to their pool at once.
struct Held {
    GstClockTime pts, dts, duration;
    guint64 offset, offsetEnd;
    bool discont;
};

struct State {
    // settings, under the object lock
    Mode mode{MODE_LIVE};
    int latency{kDefaultLatency};
    bool postMessages{false};
    bool detectCuts{false};
    GstClockTime frameDuration{GST_CLOCK_TIME_NONE};

    // the live stabiliser and the one parameter record (its own mutex)
    CalmoraOpenCv live;

    // streaming thread only
    Mode activeMode{MODE_LIVE};
    std::unique_ptr<LookaheadStabiliser> lookahead;
    orl::calmora::CutDetector cuts;  // live mode's
    std::deque<Held> held;
    uint32_t fourcc{0};
    uint32_t width{0}, height{0};
    size_t size{0};
    std::vector<Plane> planes;
    Frame packedInput;  // for padded input buffers
    Frame output;       // the last result: its border shows through
};

struct ParameterProperty {
    const orl::calmora::ParameterKey* key;
    GType type;  // G_TYPE_BOOLEAN, G_TYPE_INT or G_TYPE_DOUBLE
};

std::vector<ParameterProperty>& parameterProperties() {
    static std::vector<ParameterProperty> properties;
    return properties;
}

}  // namespace

struct GstCalmoraStab {
    GstVideoFilter parent;
    State* state;
};

struct GstCalmoraStabClass {
    GstVideoFilterClass parentClass;
};

G_DEFINE_TYPE(GstCalmoraStab, gst_calmora_stab, GST_TYPE_VIDEO_FILTER)

namespace {

GstCalmoraStab* self(gpointer object) {
    return reinterpret_cast<GstCalmoraStab*>(object);
}

GstBaseTransformClass* parentTransform() {
    return GST_BASE_TRANSFORM_CLASS(gst_calmora_stab_parent_class);
}

GType modeType() {
    static const GEnumValue values[] = {
        {MODE_LIVE, "Each frame out as it comes in, smoothed with the frames before it", "live"},
        {MODE_LOOKAHEAD, "Frames held for 'latency' frames, smoothed with those after them too",
         "lookahead"},
        {0, nullptr, nullptr}};
    static const GType type = g_enum_register_static("GstCalmoraStabMode", values);
    return type;
}

// The library's format for a GStreamer one; 0 when it has none.
uint32_t fourccOf(GstVideoFormat format) {
    static const std::pair<GstVideoFormat, uint32_t> formats[] = {
        {GST_VIDEO_FORMAT_BGR, fcc::BGR3},   {GST_VIDEO_FORMAT_RGB, fcc::RGB3},
        {GST_VIDEO_FORMAT_GRAY8, fcc::GRAY}, {GST_VIDEO_FORMAT_NV12, fcc::NV12},
        {GST_VIDEO_FORMAT_NV21, fcc::NV21},  {GST_VIDEO_FORMAT_I420, fcc::YU12},
        {GST_VIDEO_FORMAT_YV12, fcc::YV12},  {GST_VIDEO_FORMAT_YUY2, fcc::YUYV},
        {GST_VIDEO_FORMAT_UYVY, fcc::UYVY}};
    for (const auto& [gstFormat, code] : formats) {
        if (gstFormat == format) {
            return code;
        }
    }
    return 0;
}

// True when every plane of `frame` lies where the packed frame has it.
bool isPacked(const State& s, const GstVideoFrame* frame) {
    const auto* base = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
    for (size_t p = 0; p < s.planes.size(); ++p) {
        const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, p));
        if (static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(frame, p)) != s.planes[p].rowBytes ||
            data != base + s.planes[p].offset) {
            return false;
        }
    }
    return true;
}

// Copies the planes between `frame` (its own strides) and `packed`.
void copyPlanes(const State& s, GstVideoFrame* frame, uint8_t* packed, bool intoPacked) {
    for (size_t p = 0; p < s.planes.size(); ++p) {
        const Plane& plane = s.planes[p];
        auto* data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, p));
        const size_t stride = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(frame, p));
        for (size_t row = 0; row < plane.rows; ++row) {
            uint8_t* inFrame = data + row * stride;
            uint8_t* inPacked = packed + plane.offset + row * plane.rowBytes;
            std::memcpy(intoPacked ? inPacked : inFrame, intoPacked ? inFrame : inPacked,
                        plane.rowBytes);
        }
    }
}

// The input as a packed frame: `view` onto the buffer's own bytes when they
// lie packed (a frame that does not own its bytes leaves them be), else the
// copy.
const Frame& packedInput(State& s, GstVideoFrame* frame, Frame& view) {
    if (!isPacked(s, frame)) {
        copyPlanes(s, frame, s.packedInput.data, true);
        return s.packedInput;
    }
    view.width = s.width;
    view.height = s.height;
    view.fourcc = s.fourcc;
    view.size = static_cast<uint32_t>(s.size);
    view.data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
    return view;
}

void postOffsets(GstCalmoraStab* stab, double x, double y, double angle, GstClockTime pts) {
    GST_OBJECT_LOCK(stab);
    const bool post = stab->state->postMessages;
    GST_OBJECT_UNLOCK(stab);
    if (post) {
        GstStructure* offsets =
            gst_structure_new("calmorastab", "x", G_TYPE_DOUBLE, x, "y", G_TYPE_DOUBLE, y, "angle",
                              G_TYPE_DOUBLE, angle, "timestamp", G_TYPE_UINT64, pts, nullptr);
        gst_element_post_message(GST_ELEMENT(stab),
                                 gst_message_new_element(GST_OBJECT(stab), offsets));
    }
}

// Starts the camera path again and drops the held frames.
void resetStream(State& s) {
    s.live.executeCommand(orl::calmora::RESET);
    s.cuts.reset();
    if (s.lookahead) {
        s.lookahead->reset();
    }
    s.held.clear();
}

// A buffer holding `s.output`, with the timestamps of `times`: from the
// negotiated pool when there is one, since a fresh allocation of a large
// frame costs more than the copy.
GstBuffer* outgoing(GstCalmoraStab* stab, const Held& times) {
    State& s = *stab->state;
    GstVideoInfo* info = &stab->parent.out_info;
    GstBuffer* buffer = nullptr;
    GstBufferPool* pool = gst_base_transform_get_buffer_pool(GST_BASE_TRANSFORM(stab));
    if (pool == nullptr || gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr) != GST_FLOW_OK) {
        buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(info), nullptr);
    }
    if (pool != nullptr) {
        gst_object_unref(pool);
    }
    GstVideoFrame frame;
    if (buffer == nullptr || !gst_video_frame_map(&frame, info, buffer, GST_MAP_WRITE)) {
        gst_clear_buffer(&buffer);
        return nullptr;
    }
    copyPlanes(s, &frame, s.output.data, false);
    gst_video_frame_unmap(&frame);
    GST_BUFFER_PTS(buffer) = times.pts;
    GST_BUFFER_DTS(buffer) = times.dts;
    GST_BUFFER_DURATION(buffer) = times.duration;
    GST_BUFFER_OFFSET(buffer) = times.offset;
    GST_BUFFER_OFFSET_END(buffer) = times.offsetEnd;
    if (times.discont) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    }
    const orl::calmora::Correction c = s.lookahead->lastCorrection();
    postOffsets(stab, c.x, c.y, c.a, times.pts);
    return buffer;
}

// Pushes out every held frame, oldest first.
GstFlowReturn drainHeld(GstCalmoraStab* stab) {
    State& s = *stab->state;
    GstFlowReturn result = GST_FLOW_OK;
    while (s.lookahead && !s.held.empty() && s.lookahead->drain(s.output)) {
        GstBuffer* buffer = outgoing(stab, s.held.front());
        s.held.pop_front();
        if (buffer == nullptr) {
            return GST_FLOW_ERROR;
        }
        result = gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(stab), buffer);
        if (result != GST_FLOW_OK) {
            break;
        }
    }
    resetStream(s);
    return result;
}

// Takes a new mode or latency between frames: what was held goes out first.
GstFlowReturn followSettings(GstCalmoraStab* stab) {
    State& s = *stab->state;
    GST_OBJECT_LOCK(stab);
    const Mode mode = s.mode;
    const int latency = s.latency;
    GST_OBJECT_UNLOCK(stab);
    const bool lookaheadChanged =
        mode == MODE_LOOKAHEAD && (!s.lookahead || s.lookahead->latency() != latency);
    if (mode == s.activeMode && !lookaheadChanged) {
        return GST_FLOW_OK;
    }
    const GstFlowReturn result = drainHeld(stab);
    s.lookahead = mode == MODE_LOOKAHEAD ? std::make_unique<LookaheadStabiliser>(latency) : nullptr;
    s.activeMode = mode;
    return result;
}

// --- GstVideoFilter and GstBaseTransform methods ---

gboolean setInfo(GstVideoFilter* filter, GstCaps*, GstVideoInfo* in, GstCaps*, GstVideoInfo*) {
    State& s = *self(filter)->state;
    s.fourcc = fourccOf(GST_VIDEO_INFO_FORMAT(in));
    s.width = GST_VIDEO_INFO_WIDTH(in);
    s.height = GST_VIDEO_INFO_HEIGHT(in);
    s.planes.clear();
    s.size = 0;
    for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(in); ++p) {
        guint c = 0;
        while (GST_VIDEO_FORMAT_INFO_PLANE(in->finfo, c) != p) {
            ++c;
        }
        const size_t rowBytes = static_cast<size_t>(GST_VIDEO_INFO_COMP_WIDTH(in, c)) *
                                GST_VIDEO_INFO_COMP_PSTRIDE(in, c);
        const size_t rows = GST_VIDEO_INFO_COMP_HEIGHT(in, c);
        s.planes.push_back({s.size, rowBytes, rows});
        s.size += rowBytes * rows;
    }
    // GStreamer rounds the chroma of odd sizes up, the library down: such
    // frames have no packed form the library reads.
    uint32_t capacity = 0;
    if (s.fourcc == 0 || !orl::video::frameCapacity(s.width, s.height, s.fourcc, capacity) ||
        capacity != s.size) {
        GST_ELEMENT_ERROR(
            filter, CORE, NEGOTIATION, (nullptr),
            ("%s %ux%u: the stabiliser takes even sizes for this format",
             gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(in)), s.width, s.height));
        return FALSE;
    }
    s.packedInput = Frame(s.width, s.height, s.fourcc);
    GST_OBJECT_LOCK(filter);
    s.frameDuration = GST_VIDEO_INFO_FPS_N(in) > 0
                          ? gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(in),
                                                      GST_VIDEO_INFO_FPS_N(in))
                          : GST_CLOCK_TIME_NONE;
    GST_OBJECT_UNLOCK(filter);
    return TRUE;
}

GstFlowReturn transformFrame(GstVideoFilter* filter, GstVideoFrame* in, GstVideoFrame* out) {
    State& s = *self(filter)->state;
    GST_OBJECT_LOCK(filter);
    const bool detectCuts = s.detectCuts;
    GST_OBJECT_UNLOCK(filter);
    Frame view;
    const Frame& input = packedInput(s, in, view);
    s.live.stabilise(input, s.output);
    // a cut frame was moved by a motion that never happened: again from a
    // fresh path
    if (detectCuts && s.cuts.isCut(input, s.live.lastMeasurement())) {
        s.live.executeCommand(orl::calmora::RESET);
        s.live.stabilise(input, s.output);
    }
    copyPlanes(s, out, s.output.data, false);
    float x = 0.0f, y = 0.0f, a = 0.0f;
    s.live.getOffsets(x, y, a);
    postOffsets(self(filter), x, y, a, GST_BUFFER_PTS(in->buffer));
    return GST_FLOW_OK;
}

GstFlowReturn generateOutput(GstBaseTransform* trans, GstBuffer** outbuf) {
    GstCalmoraStab* stab = self(trans);
    State& s = *stab->state;
    *outbuf = nullptr;
    if (trans->queued_buf == nullptr) {
        return GST_FLOW_OK;
    }
    const GstFlowReturn followed = followSettings(stab);
    if (followed != GST_FLOW_OK) {
        return followed;
    }
    const bool discont = GST_BUFFER_FLAG_IS_SET(trans->queued_buf, GST_BUFFER_FLAG_DISCONT);
    if (discont) {
        resetStream(s);
    }
    if (s.activeMode == MODE_LIVE) {
        return parentTransform()->generate_output(trans, outbuf);
    }
    GstBuffer* input = trans->queued_buf;
    trans->queued_buf = nullptr;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &stab->parent.in_info, input, GST_MAP_READ)) {
        gst_buffer_unref(input);
        GST_ELEMENT_ERROR(stab, STREAM, FAILED, (nullptr), ("cannot read an input frame"));
        return GST_FLOW_ERROR;
    }
    s.held.push_back({GST_BUFFER_PTS(input), GST_BUFFER_DTS(input), GST_BUFFER_DURATION(input),
                      GST_BUFFER_OFFSET(input), GST_BUFFER_OFFSET_END(input), discont});
    s.lookahead->init(s.live.getParams());
    GST_OBJECT_LOCK(stab);
    s.lookahead->setCutDetection(s.detectCuts);
    GST_OBJECT_UNLOCK(stab);
    Frame view;
    const bool written = s.lookahead->stabilise(packedInput(s, &frame, view), s.output);
    gst_video_frame_unmap(&frame);
    gst_buffer_unref(input);
    if (written) {
        *outbuf = outgoing(stab, s.held.front());
        s.held.pop_front();
        return *outbuf != nullptr ? GST_FLOW_OK : GST_FLOW_ERROR;
    }
    return GST_FLOW_OK;
}

gboolean sinkEvent(GstBaseTransform* trans, GstEvent* event) {
    GstCalmoraStab* stab = self(trans);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_EOS:
        case GST_EVENT_CAPS:
            drainHeld(stab);
            break;
        case GST_EVENT_FLUSH_STOP:
        case GST_EVENT_SEGMENT:
            resetStream(*stab->state);
            break;
        default:
            break;
    }
    return parentTransform()->sink_event(trans, event);
}

gboolean query(GstBaseTransform* trans, GstPadDirection direction, GstQuery* query) {
    if (!parentTransform()->query(trans, direction, query)) {
        return FALSE;
    }
    if (direction == GST_PAD_SRC && GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        State& s = *self(trans)->state;
        GST_OBJECT_LOCK(trans);
        // an unknown frame rate gives no duration to add
        const GstClockTime added =
            s.mode == MODE_LOOKAHEAD && GST_CLOCK_TIME_IS_VALID(s.frameDuration)
                ? s.frameDuration * s.latency
                : 0;
        GST_OBJECT_UNLOCK(trans);
        gboolean live = FALSE;
        GstClockTime min = 0, max = 0;
        gst_query_parse_latency(query, &live, &min, &max);
        gst_query_set_latency(query, live, min + added,
                              GST_CLOCK_TIME_IS_VALID(max) ? max + added : max);
    }
    return TRUE;
}

// Start and stop: nothing held, a new path.
gboolean restart(GstBaseTransform* trans) {
    resetStream(*self(trans)->state);
    return TRUE;
}

// --- properties ---

// The value as the table's parser reads it; printf and strtod share
// the locale, so a decimal comma reads back too.
std::string textOf(const GValue* value) {
    char text[32];
    if (G_VALUE_HOLDS_BOOLEAN(value)) {
        return g_value_get_boolean(value) ? "true" : "false";
    }
    if (G_VALUE_HOLDS_INT(value)) {
        std::snprintf(text, sizeof text, "%d", g_value_get_int(value));
    } else {
        std::snprintf(text, sizeof text, "%.9g", g_value_get_double(value));
    }
    return text;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec) {
    GstCalmoraStab* stab = self(object);
    State& s = *stab->state;
    bool latencyChanged = false;
    GST_OBJECT_LOCK(stab);
    if (id == PROP_MODE) {
        latencyChanged = s.mode != g_value_get_enum(value);
        s.mode = static_cast<Mode>(g_value_get_enum(value));
    } else if (id == PROP_LATENCY) {
        latencyChanged = s.latency != g_value_get_int(value);
        s.latency = g_value_get_int(value);
    } else if (id == PROP_POST_MESSAGES) {
        s.postMessages = g_value_get_boolean(value);
    } else if (id == PROP_DETECT_CUTS) {
        s.detectCuts = g_value_get_boolean(value);
    } else if (id >= PROP_FIRST_PARAMETER &&
               id < PROP_FIRST_PARAMETER + parameterProperties().size()) {
        const orl::calmora::ParameterKey& key =
            *parameterProperties()[id - PROP_FIRST_PARAMETER].key;
        std::string error;
        const std::string text = textOf(value);
        if (!orl::calmora::applyParameters(s.live, {{key.key, text}}, error)) {
            GST_WARNING_OBJECT(stab, "%s=%s refused, keeping %g: %s", key.option, text.c_str(),
                               s.live.getParam(key.id), error.c_str());
        }
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(stab);
    if (latencyChanged) {
        gst_element_post_message(GST_ELEMENT(stab), gst_message_new_latency(GST_OBJECT(stab)));
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec) {
    GstCalmoraStab* stab = self(object);
    State& s = *stab->state;
    GST_OBJECT_LOCK(stab);
    if (id == PROP_MODE) {
        g_value_set_enum(value, s.mode);
    } else if (id == PROP_LATENCY) {
        g_value_set_int(value, s.latency);
    } else if (id == PROP_POST_MESSAGES) {
        g_value_set_boolean(value, s.postMessages);
    } else if (id == PROP_DETECT_CUTS) {
        g_value_set_boolean(value, s.detectCuts);
    } else if (id >= PROP_FIRST_PARAMETER &&
               id < PROP_FIRST_PARAMETER + parameterProperties().size()) {
        const ParameterProperty& p = parameterProperties()[id - PROP_FIRST_PARAMETER];
        const float v = s.live.getParam(p.key->id);
        if (p.type == G_TYPE_BOOLEAN) {
            g_value_set_boolean(value, v != 0.0f);
        } else if (p.type == G_TYPE_INT) {
            g_value_set_int(value, static_cast<int>(v));
        } else {
            g_value_set_double(value, v);
        }
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
    GST_OBJECT_UNLOCK(stab);
}

// One property per parameter of the table, with the stabiliser's initial
// value as its default. Only the stabiliser knows which fields are integers:
// they keep the integer part, so setting 0.5 tells them from the real ones.
void installParameterProperties(GObjectClass* objectClass) {
    CalmoraOpenCv probe;
    char half[16];
    std::snprintf(half, sizeof half, "%.1f", 0.5);  // in the parser's locale
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_NAME |
                                                G_PARAM_STATIC_NICK | GST_PARAM_MUTABLE_PLAYING);
    guint id = PROP_FIRST_PARAMETER;
    for (const orl::calmora::ParameterKey& key : orl::calmora::parameterKeys()) {
        const float initial = probe.getParam(key.id);
        std::string error;
        orl::calmora::applyParameters(probe, {{key.key, half}}, error);
        const bool integer = probe.getParam(key.id) != 0.5f;
        const std::string blurb =
            std::string(key.meaning) + (key.isBool ? "" : std::string("; takes ") + key.range);
        GParamSpec* spec = nullptr;
        if (key.isBool) {
            spec =
                g_param_spec_boolean(key.option, key.option, blurb.c_str(), initial != 0.0f, flags);
        } else if (integer) {
            spec = g_param_spec_int(key.option, key.option, blurb.c_str(), G_MININT, G_MAXINT,
                                    static_cast<int>(initial), flags);
        } else {
            spec = g_param_spec_double(key.option, key.option, blurb.c_str(), -G_MAXDOUBLE,
                                       G_MAXDOUBLE, initial, flags);
        }
        parameterProperties().push_back({&key, G_PARAM_SPEC_VALUE_TYPE(spec)});
        g_object_class_install_property(objectClass, id++, spec);
    }
}

void finalize(GObject* object) {
    delete self(object)->state;
    G_OBJECT_CLASS(gst_calmora_stab_parent_class)->finalize(object);
}

}  // namespace

static void gst_calmora_stab_class_init(GstCalmoraStabClass* klass) {
    GObjectClass* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    objectClass->finalize = finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        objectClass, PROP_MODE,
        g_param_spec_enum("mode", "mode",
                          "live: no delay; lookahead: 'latency' frames late, follows pans "
                          "without lag",
                          modeType(), MODE_LIVE, flags));
    g_object_class_install_property(
        objectClass, PROP_LATENCY,
        g_param_spec_int("latency", "latency",
                         "frames held in lookahead mode (the added latency is as many frame "
                         "durations)",
                         1, 300, kDefaultLatency, flags));
    g_object_class_install_property(
        objectClass, PROP_POST_MESSAGES,
        g_param_spec_boolean("post-messages", "post-messages",
                             "post an element message 'calmorastab' per frame with the applied "
                             "offsets x, y (pixels), angle (radians) and the buffer's timestamp",
                             FALSE, flags));
    g_object_class_install_property(
        objectClass, PROP_DETECT_CUTS,
        g_param_spec_boolean("detect-cuts", "detect-cuts",
                             "start the camera path again at each hard cut of edited footage "
                             "(a change of scene), so no frame is moved by the jump",
                             FALSE, flags));
    installParameterProperties(objectClass);

    GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(
        elementClass, "Calmora video stabiliser", "Filter/Effect/Video",
        "Cancels camera shake: measures the motion between frames, smooths the camera path "
        "and moves each frame onto it",
        "Calmora developers");
    GstCaps* caps = gst_caps_from_string(
        GST_VIDEO_CAPS_MAKE("{ BGR, RGB, GRAY8, NV12, NV21, I420, YV12, YUY2, UYVY }"));
    gst_element_class_add_pad_template(
        elementClass, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
    gst_element_class_add_pad_template(
        elementClass, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    GstBaseTransformClass* transformClass = GST_BASE_TRANSFORM_CLASS(klass);
    transformClass->generate_output = generateOutput;
    transformClass->sink_event = sinkEvent;
    transformClass->query = query;
    transformClass->start = restart;
    transformClass->stop = restart;
    GstVideoFilterClass* filterClass = GST_VIDEO_FILTER_CLASS(klass);
    filterClass->set_info = setInfo;
    filterClass->transform_frame = transformFrame;
}

static void gst_calmora_stab_init(GstCalmoraStab* stab) {
    stab->state = new State();
}

static gboolean pluginInit(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(calmorastab_debug, "calmorastab", 0, "Calmora video stabiliser");
    return gst_element_register(plugin, "calmorastab", GST_RANK_NONE, gst_calmora_stab_get_type());
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, calmorastab,
                  "Calmora real-time video stabiliser", pluginInit, CALMORA_VERSION, "Proprietary",
                  "Calmora", "Calmora")
