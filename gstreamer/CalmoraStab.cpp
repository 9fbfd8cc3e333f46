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
//   after it. A hard cut found in the pictures (detect-cuts, on unless
//   switched off) starts it again too; the stabilisers find cuts themselves.
// - The properties are generated from the library's parameter table: one
//   per setting that live or lookahead mode reads, named after its
//   hyphenated name, with the table's range, default and help in front-end
//   units (the zoom in per cent beyond 100). The element keeps one
//   ModeSettings; a new value goes in through setSetting, which refuses what
//   the table refuses, so a refused value keeps the old one and logs a
//   warning. The streaming thread configures its stabiliser from the
//   settings before the first frame after a change.
// - At start, and when the mode changes, each setting the user gave that
//   the mode does not read is named in a warning message; settings that
//   validate() refuses are an error.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/ParameterKeys.h>

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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
using orl::calmora::ModeSettings;
using orl::calmora::ParameterKey;
using orl::calmora::StabiliserMode;
using orl::calmora::Units;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

enum Property {
    PROP_POST_MESSAGES = 1,
    PROP_FIRST_SETTING,  // then one per entry of settingProperties()
};

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
    ModeSettings settings;
    std::vector<const ParameterKey*> given;  // set by the user, in the order given
    unsigned generation{0};                  // counts changes of `settings`
    unsigned applied{0};                     // the generation the stabiliser was configured from
    bool postMessages{false};
    GstClockTime frameDuration{GST_CLOCK_TIME_NONE};

    // the live stabiliser (its record behind its own mutex)
    CalmoraOpenCv live;

    // streaming thread only
    StabiliserMode activeMode{StabiliserMode::LIVE};
    std::unique_ptr<LookaheadStabiliser> lookahead;
    std::deque<Held> held;
    uint32_t fourcc{0};
    uint32_t width{0}, height{0};
    size_t size{0};
    std::vector<Plane> planes;
    Frame packedInput;  // for padded input buffers
    Frame output;       // the last result: its border shows through
};

// The table's rows that are properties, in property order: those a
// streaming mode reads (offline-only settings need a whole file).
std::vector<const ParameterKey*>& settingProperties() {
    static std::vector<const ParameterKey*> properties;
    return properties;
}

bool streams(StabiliserMode mode) {
    return mode != StabiliserMode::OFFLINE;
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

// Posts a warning naming each setting in `given` that the mode of
// `settings` does not read: the user asked for something that will not
// happen. False, with an error posted, when validate() refuses `settings`.
bool checkSettings(GstCalmoraStab* stab, const ModeSettings& settings,
                   const std::vector<const ParameterKey*>& given) {
    const std::string refused = orl::calmora::validate(settings);
    if (!refused.empty()) {
        GST_ELEMENT_ERROR(stab, LIBRARY, SETTINGS, ("%s", refused.c_str()), (nullptr));
        return false;
    }
    for (const ParameterKey* key : given) {
        if (!key->usedBy(settings.mode)) {
            const std::string message = unusedMessage(*key, settings.mode, key->option);
            GST_ELEMENT_WARNING(stab, LIBRARY, SETTINGS, ("%s", message.c_str()), (nullptr));
        }
    }
    return true;
}

// Configures the stabiliser of the settings' mode from them, making the
// lookahead one when it is missing; false, with an error posted, when it
// refuses them.
bool applySettings(GstCalmoraStab* stab, const ModeSettings& settings) {
    State& s = *stab->state;
    if (settings.mode != StabiliserMode::LOOKAHEAD) {
        s.lookahead.reset();
    } else if (!s.lookahead) {
        s.lookahead = std::make_unique<LookaheadStabiliser>(settings.latencyFrames);
    }
    s.activeMode = settings.mode;
    std::string error = s.fourcc != 0 ? orl::calmora::refusedReadout(settings, s.fourcc) : "";
    if (error.empty() && (s.lookahead ? s.lookahead->configure(settings, &error)
                                      : s.live.configure(settings, &error))) {
        return true;
    }
    GST_ELEMENT_ERROR(stab, LIBRARY, SETTINGS, ("%s", error.c_str()), (nullptr));
    return false;
}

// Takes changed settings between frames. A new mode or latency sends what
// was held out first: the lookahead stabiliser drops it when it is rebuilt.
GstFlowReturn followSettings(GstCalmoraStab* stab) {
    State& s = *stab->state;
    GST_OBJECT_LOCK(stab);
    const bool changed = s.generation != s.applied;
    const ModeSettings settings = s.settings;
    const std::vector<const ParameterKey*> given = changed ? s.given : decltype(s.given){};
    s.applied = s.generation;
    GST_OBJECT_UNLOCK(stab);
    if (!changed) {
        return GST_FLOW_OK;
    }
    const bool newMode = settings.mode != s.activeMode;
    GstFlowReturn result = GST_FLOW_OK;
    if (newMode || (s.lookahead && s.lookahead->latency() != settings.latencyFrames)) {
        result = drainHeld(stab);
    }
    if ((newMode && !checkSettings(stab, settings, given)) || !applySettings(stab, settings)) {
        return GST_FLOW_ERROR;
    }
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
    const std::string refused = orl::calmora::refusedReadout(s.settings, s.fourcc);
    GST_OBJECT_UNLOCK(filter);
    if (!refused.empty()) {
        GST_ELEMENT_ERROR(filter, LIBRARY, SETTINGS, ("%s", refused.c_str()), (nullptr));
        return FALSE;
    }
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
    Frame view;
    s.live.stabilise(packedInput(s, in, view), s.output);
    if (s.live.lastWasCut()) {
        GST_DEBUG_OBJECT(filter, "a hard cut: a new path from here");
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
    if (!s.lookahead) {
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
            s.settings.mode == StabiliserMode::LOOKAHEAD && GST_CLOCK_TIME_IS_VALID(s.frameDuration)
                ? s.frameDuration * s.settings.latencyFrames
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

// Start: nothing held, a new path, the settings checked and applied before
// any frame. Refused settings refuse the start.
gboolean start(GstBaseTransform* trans) {
    GstCalmoraStab* stab = self(trans);
    State& s = *stab->state;
    GST_OBJECT_LOCK(stab);
    const ModeSettings settings = s.settings;
    const std::vector<const ParameterKey*> given = s.given;
    s.applied = s.generation;
    GST_OBJECT_UNLOCK(stab);
    resetStream(s);
    return checkSettings(stab, settings, given) && applySettings(stab, settings);
}

// Stop: nothing held, a new path.
gboolean stop(GstBaseTransform* trans) {
    resetStream(*self(trans)->state);
    return TRUE;
}

// --- properties ---

// A property's value as a number in front-end units: bools 1 or 0, choices
// their index.
double numberOf(const GValue* value) {
    if (G_VALUE_HOLDS_BOOLEAN(value)) {
        return g_value_get_boolean(value) ? 1.0 : 0.0;
    }
    if (G_VALUE_HOLDS_ENUM(value)) {
        return g_value_get_enum(value);
    }
    return G_VALUE_HOLDS_INT(value) ? g_value_get_int(value) : g_value_get_double(value);
}

void setNumber(GValue* value, double number) {
    if (G_VALUE_HOLDS_BOOLEAN(value)) {
        g_value_set_boolean(value, number != 0.0);
    } else if (G_VALUE_HOLDS_ENUM(value)) {
        g_value_set_enum(value, static_cast<gint>(number));
    } else if (G_VALUE_HOLDS_INT(value)) {
        g_value_set_int(value, static_cast<gint>(number));
    } else {
        g_value_set_double(value, number);
    }
}

const ParameterKey* settingOf(guint id) {
    const std::vector<const ParameterKey*>& properties = settingProperties();
    return id >= PROP_FIRST_SETTING && id - PROP_FIRST_SETTING < properties.size()
               ? properties[id - PROP_FIRST_SETTING]
               : nullptr;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstCalmoraStab* stab = self(object);
    State& s = *stab->state;
    const ParameterKey* key = settingOf(id);
    bool latencyChanged = false;
    GST_OBJECT_LOCK(stab);
    if (id == PROP_POST_MESSAGES) {
        s.postMessages = g_value_get_boolean(value);
    } else if (key == nullptr) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    } else {
        // the GParamSpec has checked the range already, but GObject lets a double
        // a hair beyond a bound through, and a float field holds no 1e39:
        // the table's check is the one that counts
        const ModeSettings before = s.settings;
        std::string error;
        if (setSetting(s.settings, *key, numberOf(value), Units::FRONT_END, error)) {
            ++s.generation;
            if (std::find(s.given.begin(), s.given.end(), key) == s.given.end()) {
                s.given.push_back(key);
            }
        } else {
            GST_WARNING_OBJECT(stab, "%s; keeping %s", error.c_str(),
                               settingText(s.settings, *key, Units::FRONT_END).c_str());
        }
        latencyChanged =
            before.mode != s.settings.mode || before.latencyFrames != s.settings.latencyFrames;
    }
    GST_OBJECT_UNLOCK(stab);
    if (latencyChanged) {
        gst_element_post_message(GST_ELEMENT(stab), gst_message_new_latency(GST_OBJECT(stab)));
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstCalmoraStab* stab = self(object);
    State& s = *stab->state;
    const ParameterKey* key = settingOf(id);
    GST_OBJECT_LOCK(stab);
    if (id == PROP_POST_MESSAGES) {
        g_value_set_boolean(value, s.postMessages);
    } else if (key != nullptr) {
        setNumber(value, settingValue(s.settings, *key, Units::FRONT_END));
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
    GST_OBJECT_UNLOCK(stab);
}

// An enum of the choices of `key`, nicks the choice names and values their
// indices; of the modes only those that stream. GLib keeps the values for
// the life of the process, as it keeps the type.
GType choiceType(const ParameterKey& key) {
    auto* values = new GEnumValue[key.choices.size() + 1]();
    size_t n = 0;
    for (size_t i = 0; i < key.choices.size(); ++i) {
        if (key.id != orl::calmora::SETTING_MODE || streams(static_cast<StabiliserMode>(i))) {
            values[n++] = {static_cast<gint>(i), key.choices[i].meaning, key.choices[i].name};
        }
    }
    std::string name = std::string("GstCalmoraStab") + key.key;
    name[std::strlen("GstCalmoraStab")] = static_cast<char>(std::toupper(key.key[0]));
    return g_enum_register_static(name.c_str(), values);
}

// The row's help, its unit, and the modes that read it when one of the
// streaming modes does not.
std::string blurbOf(const ParameterKey& key) {
    std::string blurb = key.meaning;
    if (*key.frontEndUnit != '\0') {
        blurb += std::string(" (") + key.frontEndUnit + ")";
    }
    const bool live = key.usedBy(StabiliserMode::LIVE);
    if (live != key.usedBy(StabiliserMode::LOOKAHEAD)) {
        blurb += std::string("; ") +
                 orl::calmora::modeName(live ? StabiliserMode::LIVE : StabiliserMode::LOOKAHEAD) +
                 " mode only";
    }
    return blurb;
}

// The GParamSpec of one row: its range and default in front-end units, an
// infinite bound as the widest the type holds.
GParamSpec* settingSpec(const ParameterKey& key) {
    using orl::calmora::ValueKind;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_NAME |
                                                G_PARAM_STATIC_NICK | GST_PARAM_MUTABLE_PLAYING);
    const std::string blurb = blurbOf(key);
    const double lo = toFrontEnd(key, key.minimum), hi = toFrontEnd(key, key.maximum);
    const double initial = defaultNumber(key, Units::FRONT_END);
    const char* name = key.option;
    switch (key.kind) {
        case ValueKind::BOOL:
            return g_param_spec_boolean(name, name, blurb.c_str(), initial != 0.0, flags);
        case ValueKind::CHOICE:
            return g_param_spec_enum(name, name, blurb.c_str(), choiceType(key),
                                     static_cast<gint>(initial), flags);
        case ValueKind::INT:
            return g_param_spec_int(name, name, blurb.c_str(),
                                    std::isinf(lo) ? G_MININT : static_cast<gint>(lo),
                                    std::isinf(hi) ? G_MAXINT : static_cast<gint>(hi),
                                    static_cast<gint>(initial), flags);
        case ValueKind::FLOAT:
        case ValueKind::NUMBER_OR_AUTO:  // a fixed zoom or readout: auto needs offline mode
            break;
    }
    return g_param_spec_double(name, name, blurb.c_str(), std::isinf(lo) ? -G_MAXDOUBLE : lo,
                               std::isinf(hi) ? G_MAXDOUBLE : hi, initial, flags);
}

// One property per row of the table that a streaming mode reads.
void installSettingProperties(GObjectClass* objectClass) {
    for (const ParameterKey& key : orl::calmora::parameterKeys()) {
        if (key.usedBy(StabiliserMode::LIVE) || key.usedBy(StabiliserMode::LOOKAHEAD)) {
            settingProperties().push_back(&key);
            g_object_class_install_property(
                objectClass, PROP_FIRST_SETTING + settingProperties().size() - 1, settingSpec(key));
        }
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
        objectClass, PROP_POST_MESSAGES,
        g_param_spec_boolean("post-messages", "post-messages",
                             "post an element message 'calmorastab' per frame with the applied "
                             "offsets x, y (pixels), angle (radians) and the buffer's timestamp",
                             FALSE, flags));
    installSettingProperties(objectClass);

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
    transformClass->start = start;
    transformClass->stop = stop;
    GstVideoFilterClass* filterClass = GST_VIDEO_FILTER_CLASS(klass);
    filterClass->set_info = setInfo;
    filterClass->transform_frame = transformFrame;
}

static void gst_calmora_stab_init(GstCalmoraStab* stab) {
    stab->state = new State();
    // the front ends' defaults, which may differ from the library's
    for (const ParameterKey* key : settingProperties()) {
        std::string error;
        setSetting(stab->state->settings, *key, defaultNumber(*key, Units::FRONT_END),
                   Units::FRONT_END, error);
    }
}

static gboolean pluginInit(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(calmorastab_debug, "calmorastab", 0, "Calmora video stabiliser");
    return gst_element_register(plugin, "calmorastab", GST_RANK_NONE, gst_calmora_stab_get_type());
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, calmorastab,
                  "Calmora real-time video stabiliser", pluginInit, CALMORA_VERSION, "LGPL",
                  "Calmora", CALMORA_HOMEPAGE)
