// Fuzzer for the stabiliser's frame operation and parameter interface.
// - Hands a whole parameter record to init(): all twenty fields from the
//   input, floats as raw bit patterns (NaN, infinities, denormals) and ints
//   of any sign.
// - Feeds up to six small frames (sides up to 96) of any of the thirteen
//   formats or a random code: a tiled texture moved by an input-chosen
//   step per frame (so the estimators find real motion), or plain input
//   bytes; sometimes a frame with `size` below or above its capacity over
//   a buffer of exactly `size` bytes, or an empty one.
// - Between frames: setParam with any identifier and value, commands,
//   getParams, a new init().
// - After every frame the published offsets (getOffsets, identifiers 13 to
//   15) must be finite, and the output frame must have the source's
//   geometry; any crash, sanitizer report or exception is a finding.

#include <calmora/CalmoraOpenCv.h>
#include <calmora/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using orl::calmora::CalmoraOpenCv;
using orl::calmora::CalmoraParams;
using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

constexpr uint32_t CODES[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                              fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12,
                              fcc::H264, fcc::HEVC, fcc::JPEG};
constexpr int MAX_FRAMES = 6;
constexpr uint32_t MAX_SIDE = 96;
constexpr int TILE = 16;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "stabiliser_fuzz finding: %s\n", what);
    std::abort();
}

float anyFloat(FuzzedDataProvider& in) {
    const uint32_t bits = in.ConsumeIntegral<uint32_t>();
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A value for setParam: a small whole or fractional number mostly, any
// bit pattern sometimes.
float paramValue(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return anyFloat(in);
        case 1:
            return static_cast<float>(in.ConsumeIntegralInRange<int>(-3, 1100));
        case 2:
            return in.ConsumeFloatingPointInRange<float>(-2.0f, 2.0f);
        default:
            return static_cast<float>(in.ConsumeIntegral<int>());
    }
}

CalmoraParams anyRecord(FuzzedDataProvider& in) {
    CalmoraParams p;
    p.scaleFactor = in.ConsumeIntegral<int>();
    p.xOffsetLimit = in.ConsumeIntegral<int>();
    p.yOffsetLimit = in.ConsumeIntegral<int>();
    p.aOffsetLimit = anyFloat(in);
    p.xFilterCoeff = anyFloat(in);
    p.yFilterCoeff = anyFloat(in);
    p.aFilterCoeff = anyFloat(in);
    p.enable = in.ConsumeBool();
    p.transparentBorder = in.ConsumeBool();
    p.constXOffset = in.ConsumeIntegral<int>();
    p.constYOffset = in.ConsumeIntegral<int>();
    p.constAOffset = anyFloat(in);
    p.instantXOffset = in.ConsumeIntegral<int>();
    p.instantYOffset = in.ConsumeIntegral<int>();
    p.instantAOffset = anyFloat(in);
    p.type = in.ConsumeIntegral<int>();
    p.cutFrequencyHz = anyFloat(in);
    p.fps = anyFloat(in);
    p.processingTimeMks = in.ConsumeIntegral<int>();
    p.logMod = in.ConsumeIntegral<int>();
    return p;
}

// Bytes of one row of the first plane (the whole picture when packed).
uint32_t lumaRowBytes(uint32_t w, uint32_t code) {
    switch (code) {
        case fcc::RGB3:
        case fcc::BGR3:
        case fcc::YUV3:
            return 3 * w;
        case fcc::YUYV:
        case fcc::UYVY:
            return 2 * w;
        default:
            return w;
    }
}

// One source frame: owning, of its format's capacity, or a header over
// `store` (a buffer of exactly `size` bytes) whose size may differ from
// the capacity.
struct Source {
    Frame frame;
    std::vector<uint8_t> store;
};

void makeSource(FuzzedDataProvider& in, const std::vector<uint8_t>& tile, int step, int dxStep,
                int dyStep, Source& s) {
    const uint8_t kind = in.ConsumeIntegralInRange<uint8_t>(0, 15);
    const uint32_t code =
        kind == 15 ? in.ConsumeIntegral<uint32_t>() : CODES[in.ConsumeIntegralInRange<int>(0, 12)];
    const uint32_t w = in.ConsumeIntegralInRange<uint32_t>(0, MAX_SIDE);
    const uint32_t h = in.ConsumeIntegralInRange<uint32_t>(0, MAX_SIDE);
    s.frame.release();
    s.store.clear();
    uint32_t capacity = 0;
    if (kind >= 13 || !orl::video::frameCapacity(w, h, code, capacity)) {
        // a header over the caller's buffer, any size
        capacity = 0;
        orl::video::frameCapacity(w, h, code, capacity);
        const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, capacity + 64);
        s.store.resize(size);
        for (uint32_t i = 0; i < size; ++i) {
            s.store[i] = static_cast<uint8_t>(i * 29 + step);
        }
        s.frame.width = w;
        s.frame.height = h;
        s.frame.fourcc = code;
        s.frame.size = size;
        s.frame.data = s.store.empty() ? nullptr : s.store.data();
        return;
    }
    s.frame = Frame(w, h, code);
    if (s.frame.data == nullptr) {
        return;
    }
    if (in.ConsumeBool()) {
        // the tiled texture, moved by (step * dxStep, step * dyStep)
        const uint32_t rowBytes = lumaRowBytes(w, code);
        for (uint32_t y = 0; y < h && rowBytes > 0; ++y) {
            for (uint32_t x = 0; x < rowBytes; ++x) {
                const int tx = ((static_cast<int>(x) + step * dxStep) % TILE + TILE) % TILE;
                const int ty = ((static_cast<int>(y) + step * dyStep) % TILE + TILE) % TILE;
                s.frame.data[y * rowBytes + x] = tile[static_cast<size_t>(ty * TILE + tx)];
            }
        }
        for (uint32_t i = rowBytes * h; i < s.frame.size; ++i) {
            s.frame.data[i] = 128;
        }
    } else {
        const std::vector<uint8_t> given = in.ConsumeBytes<uint8_t>(s.frame.size);
        std::copy(given.begin(), given.end(), s.frame.data);
    }
    if (kind == 12) {
        s.frame.size = in.ConsumeIntegralInRange<uint32_t>(0, s.frame.size);  // below the capacity
    }
    s.frame.frameId = step;
}

bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Field by field, floats bit for bit (NaN included).
bool sameRecord(const CalmoraParams& a, const CalmoraParams& b) {
    return a.scaleFactor == b.scaleFactor && a.xOffsetLimit == b.xOffsetLimit &&
           a.yOffsetLimit == b.yOffsetLimit && sameFloat(a.aOffsetLimit, b.aOffsetLimit) &&
           sameFloat(a.xFilterCoeff, b.xFilterCoeff) && sameFloat(a.yFilterCoeff, b.yFilterCoeff) &&
           sameFloat(a.aFilterCoeff, b.aFilterCoeff) && a.enable == b.enable &&
           a.transparentBorder == b.transparentBorder && a.constXOffset == b.constXOffset &&
           a.constYOffset == b.constYOffset && sameFloat(a.constAOffset, b.constAOffset) &&
           a.instantXOffset == b.instantXOffset && a.instantYOffset == b.instantYOffset &&
           sameFloat(a.instantAOffset, b.instantAOffset) && a.type == b.type &&
           sameFloat(a.cutFrequencyHz, b.cutFrequencyHz) && sameFloat(a.fps, b.fps) &&
           a.processingTimeMks == b.processingTimeMks && a.logMod == b.logMod;
}

void checkPublished(CalmoraOpenCv& stabiliser) {
    float x = 0.0f;
    float y = 0.0f;
    float a = 0.0f;
    stabiliser.getOffsets(x, y, a);
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(a)) {
        finding("getOffsets published a value that is not finite");
    }
    for (int id : {13, 14, 15}) {
        if (!std::isfinite(stabiliser.getParam(id))) {
            finding("getParam(13..15) published a value that is not finite");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CalmoraOpenCv stabiliser;
    if (in.ConsumeBool()) {
        stabiliser.init(anyRecord(in));
    }
    const int dxStep = in.ConsumeIntegralInRange<int>(-6, 6);
    const int dyStep = in.ConsumeIntegralInRange<int>(-6, 6);
    std::vector<uint8_t> tile = in.ConsumeBytes<uint8_t>(TILE * TILE);
    tile.resize(TILE * TILE, 0);
    for (size_t i = 0; i < tile.size(); ++i) {
        tile[i] = static_cast<uint8_t>(tile[i] ^ (i * 97));
    }

    Source source;
    Frame output;
    const int frames = in.ConsumeIntegralInRange<int>(1, MAX_FRAMES);
    for (int step = 0; step < frames; ++step) {
        // calls between frames
        const int calls = in.ConsumeIntegralInRange<int>(0, 3);
        for (int c = 0; c < calls; ++c) {
            switch (in.ConsumeIntegralInRange<int>(0, 5)) {
                case 0:
                case 1: {
                    const int id = in.ConsumeIntegralInRange<int>(-2, 22);
                    const float value = paramValue(in);
                    const CalmoraParams before = stabiliser.getParams();
                    if (!stabiliser.setParam(id, value) &&
                        !sameRecord(before, stabiliser.getParams())) {
                        finding("refused setParam changed the record");
                    }
                    if (!std::isfinite(value) && stabiliser.setParam(id, value)) {
                        finding("setParam accepted a value that is not finite");
                    }
                    break;
                }
                case 2:
                    stabiliser.executeCommand(in.ConsumeIntegralInRange<int>(-1, 4));
                    break;
                case 3:
                    stabiliser.init(anyRecord(in));
                    break;
                case 4:
                    (void)stabiliser.getParams();
                    (void)stabiliser.getParam(in.ConsumeIntegralInRange<int>(-2, 22));
                    break;
                default:
                    if (in.ConsumeBool()) {
                        output.release();  // a fresh output frame
                    }
                    break;
            }
        }

        makeSource(in, tile, step, dxStep, dyStep, source);
        const Frame& src = source.frame;
        const bool empty =
            src.size == 0 || src.width == 0 || src.height == 0 || src.data == nullptr;
        const bool done = stabiliser.stabilise(src, output);
        if (done == empty) {
            finding(empty ? "an empty frame was accepted" : "a frame with data was refused");
        }
        if (done && (output.width != src.width || output.height != src.height ||
                     output.fourcc != src.fourcc)) {
            finding("output does not have the source's geometry");
        }
        checkPublished(stabiliser);
    }
    return 0;
}
