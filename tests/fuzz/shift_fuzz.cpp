// Differential fuzzer for the whole-pixel frame shifts.
// - Draws a small frame (sides 1..64, any parity) of one of the ten raw
//   formats with arbitrary bytes and an arbitrary shift, INT_MIN and
//   INT_MAX included, and a destination filled with a marker byte.
// - Computes the expected destination with a slow per-byte model of the
//   documented rules: even-making for the 4:2:2 and semi-planar formats,
//   the half-frame fall-back to a full copy, the chroma planes' positions,
//   row lengths and half shifts. Any differing byte, size, counter or
//   result is a finding and aborts with the first difference.
// - Sometimes spoils the pair instead (other geometry or format, size
//   below the capacity, the routine of another family): the routine must
//   refuse and leave the destination as it was.
// - Also checks the plane primitive on its own with arbitrary spans.

#include "FrameShift.h"

#include <calmora/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

using ShiftFn = bool (*)(const Frame&, Frame&, int, int);

struct Family {
    const char* name;
    ShiftFn shift;
    uint32_t codes[3];
    int codeCount;
};

const Family FAMILIES[] = {
    {"shiftGray", orl::calmora::shiftGray, {fcc::GRAY}, 1},
    {"shiftPacked24", orl::calmora::shiftPacked24, {fcc::RGB3, fcc::BGR3, fcc::YUV3}, 3},
    {"shiftPacked422", orl::calmora::shiftPacked422, {fcc::YUYV, fcc::UYVY}, 2},
    {"shiftSemiPlanar420", orl::calmora::shiftSemiPlanar420, {fcc::NV12, fcc::NV21}, 2},
    {"shiftPlanar420", orl::calmora::shiftPlanar420, {fcc::YU12, fcc::YV12}, 2},
};

constexpr uint32_t ALL_CODES[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                                  fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12,
                                  fcc::H264, fcc::HEVC, fcc::JPEG};

std::string fourccText(uint32_t code) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text[static_cast<size_t>(i)] = c >= 32 && c < 127 ? c : '?';
    }
    return text;
}

[[noreturn]] void finding(const char* routine, const Frame& src, int dx, int dy, const char* what,
                          long long index = -1, int got = 0, int want = 0) {
    std::fprintf(stderr, "shift_fuzz finding: %s on %s %ux%u shift (%d, %d): %s", routine,
                 fourccText(src.fourcc).c_str(), src.width, src.height, dx, dy, what);
    if (index >= 0) {
        std::fprintf(stderr, " at byte %lld: got %d, want %d", index, got, want);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

// An odd value moves one step away from zero.
long long awayFromZeroEven(long long v) {
    if (v % 2 == 0) {
        return v;
    }
    return v > 0 ? v + 1 : v - 1;
}

// Moves one plane of `rows` rows of `rowBytes` bytes at `offset` by
// `mx` bytes and `my` rows, the per-byte way: destination byte (x, y) takes
// source byte (x - mx, y - my) when that exists. With `span` >= 0 only
// destination columns [max(0, mx), max(0, mx) + span) are written.
void movePlane(const uint8_t* src, std::vector<uint8_t>& out, long long offset, long long rowBytes,
               long long rows, long long mx, long long my, long long span = -1) {
    const long long first = mx > 0 ? mx : 0;
    for (long long y = 0; y < rows; ++y) {
        for (long long x = 0; x < rowBytes; ++x) {
            const long long sx = x - mx;
            const long long sy = y - my;
            if (sx < 0 || sx >= rowBytes || sy < 0 || sy >= rows) {
                continue;
            }
            if (span >= 0 && (x < first || x >= first + span)) {
                continue;
            }
            out[static_cast<size_t>(offset + y * rowBytes + x)] =
                src[static_cast<size_t>(offset + sy * rowBytes + sx)];
        }
    }
}

// Expected destination bytes; `fullCopy` tells whether the routine falls
// back to a plain copy (counters included).
std::vector<uint8_t> expected(const Frame& src, const std::vector<uint8_t>& dstBefore, int dx,
                              int dy, bool& fullCopy) {
    const long long w = src.width;
    const long long h = src.height;
    const uint32_t code = src.fourcc;
    long long ex = dx;
    long long ey = dy;
    if (code == fcc::YUYV || code == fcc::UYVY || code == fcc::NV12 || code == fcc::NV21) {
        ex = awayFromZeroEven(ex);
    }
    if (code == fcc::NV12 || code == fcc::NV21) {
        ey = awayFromZeroEven(ey);
    }
    fullCopy = std::llabs(ex) >= w / 2 || std::llabs(ey) >= h / 2;
    if (fullCopy) {
        return std::vector<uint8_t>(src.data, src.data + src.size);
    }
    std::vector<uint8_t> out = dstBefore;
    if (code == fcc::GRAY) {
        movePlane(src.data, out, 0, w, h, ex, ey);
    } else if (code == fcc::RGB3 || code == fcc::BGR3 || code == fcc::YUV3) {
        movePlane(src.data, out, 0, 3 * w, h, 3 * ex, ey);
    } else if (code == fcc::YUYV || code == fcc::UYVY) {
        movePlane(src.data, out, 0, 2 * w, h, 2 * ex, ey);
    } else if (code == fcc::NV12 || code == fcc::NV21) {
        movePlane(src.data, out, 0, w, h, ex, ey);
        movePlane(src.data, out, w * h, w, h / 2, ex, ey / 2);
    } else {
        movePlane(src.data, out, 0, w, h, ex, ey);
        const long long cx = ex / 2;  // C++ division truncates toward zero
        const long long cy = ey / 2;
        const long long span = (w - std::llabs(ex)) / 2;
        movePlane(src.data, out, 2 * h * (w / 2), w / 2, h / 2, cx, cy, span);
        movePlane(src.data, out, (2 * h + h / 2) * (w / 2), w / 2, h / 2, cx, cy, span);
    }
    return out;
}

int pickShift(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return INT_MIN;
        case 1:
            return INT_MAX;
        case 2:
            return INT_MIN + 1;
        case 3:
            return in.ConsumeIntegral<int>();
        default:
            return in.ConsumeIntegralInRange<int>(-70, 70);
    }
}

void fill(FuzzedDataProvider& in, Frame& f) {
    const std::vector<uint8_t> given = in.ConsumeBytes<uint8_t>(f.size);
    for (uint32_t i = 0; i < f.size; ++i) {
        f.data[i] = i < given.size() ? given[i] : static_cast<uint8_t>(i * 37 + 11);
    }
}

bool untouched(const Frame& f, const std::vector<uint8_t>& before, int32_t frameId,
               int32_t sourceId) {
    return f.frameId == frameId && f.sourceId == sourceId &&
           (f.size == 0 || std::memcmp(f.data, before.data(), before.size()) == 0);
}

// The plane primitive against the same per-byte model, with a span.
void planeCase(FuzzedDataProvider& in) {
    const std::size_t rowBytes = in.ConsumeIntegralInRange<std::size_t>(0, 48);
    const std::size_t rows = in.ConsumeIntegralInRange<std::size_t>(0, 24);
    std::ptrdiff_t dxBytes = in.ConsumeIntegralInRange<std::ptrdiff_t>(-60, 60);
    std::ptrdiff_t dy = in.ConsumeIntegralInRange<std::ptrdiff_t>(-30, 30);
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        dxBytes = in.ConsumeBool() ? PTRDIFF_MIN : PTRDIFF_MAX;
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        dy = in.ConsumeBool() ? PTRDIFF_MIN : PTRDIFF_MAX;
    }
    const std::size_t span =
        in.ConsumeBool() ? SIZE_MAX : in.ConsumeIntegralInRange<std::size_t>(0, 60);
    std::vector<uint8_t> src(rowBytes * rows);
    for (std::size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    const uint8_t marker = in.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> dst(src.size(), marker);
    std::vector<uint8_t> want = dst;
    // magnitudes in unsigned arithmetic: PTRDIFF_MIN has no signed one
    const unsigned long long ax = dxBytes < 0 ? 0ULL - static_cast<unsigned long long>(dxBytes)
                                              : static_cast<unsigned long long>(dxBytes);
    const unsigned long long ay =
        dy < 0 ? 0ULL - static_cast<unsigned long long>(dy) : static_cast<unsigned long long>(dy);
    if (ax <= rowBytes && ay <= rows) {
        const long long cap = static_cast<long long>(rowBytes - ax);
        const long long useSpan =
            span < static_cast<std::size_t>(cap) ? static_cast<long long>(span) : cap;
        movePlane(src.data(), want, 0, static_cast<long long>(rowBytes),
                  static_cast<long long>(rows), dxBytes, dy, useSpan);
    }
    // the primitive needs real buffers, also for an empty plane
    uint8_t spare = 0;
    orl::calmora::shiftPlane(src.empty() ? &spare : src.data(), dst.empty() ? &spare : dst.data(),
                             rowBytes, rows, dxBytes, dy, span);
    for (std::size_t i = 0; i < dst.size(); ++i) {
        if (dst[i] != want[i]) {
            std::fprintf(stderr,
                         "shift_fuzz finding: shiftPlane %zu x %zu moved (%td, %td) span %zu: byte "
                         "%zu is %d, want %d\n",
                         rowBytes, rows, dxBytes, dy, span, i, dst[i], want[i]);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int pick = in.ConsumeIntegralInRange<int>(0, 5);
    if (pick == 5) {
        planeCase(in);
        return 0;
    }
    const Family& family = FAMILIES[pick];
    const uint32_t code = family.codes[in.ConsumeIntegralInRange<int>(0, family.codeCount - 1)];
    const uint32_t w = in.ConsumeIntegralInRange<uint32_t>(1, 64);
    const uint32_t h = in.ConsumeIntegralInRange<uint32_t>(1, 64);
    const int dx = pickShift(in);
    const int dy = pickShift(in);
    const uint8_t marker = in.ConsumeIntegral<uint8_t>();
    const uint8_t spoil = in.ConsumeIntegralInRange<uint8_t>(0, 15);

    Frame src(w, h, code);
    src.frameId = 11;
    src.sourceId = 22;

    // the destination: the same geometry, or a spoiled one
    uint32_t dw = w;
    uint32_t dh = h;
    uint32_t dcode = code;
    ShiftFn routine = family.shift;
    const char* routineName = family.name;
    bool mustRefuse = true;
    switch (spoil) {
        case 1:
            dw = in.ConsumeIntegralInRange<uint32_t>(1, 64);
            mustRefuse = dw != w;
            break;
        case 2:
            dh = in.ConsumeIntegralInRange<uint32_t>(1, 64);
            mustRefuse = dh != h;
            break;
        case 3:
            dcode = ALL_CODES[in.ConsumeIntegralInRange<int>(0, 12)];
            mustRefuse = dcode != code;
            break;
        case 4: {
            // a routine of another family
            const Family& other = FAMILIES[in.ConsumeIntegralInRange<int>(0, 4)];
            routine = other.shift;
            routineName = other.name;
            mustRefuse = routine != family.shift;
            break;
        }
        default:
            mustRefuse = false;
            break;
    }
    Frame dst(dw, dh, dcode);
    fill(in, src);
    std::memset(dst.data, marker, dst.size);
    dst.frameId = 33;
    dst.sourceId = 44;
    if (spoil == 5) {
        src.size = in.ConsumeIntegralInRange<uint32_t>(0, src.size - 1);  // below the capacity
        mustRefuse = true;
    } else if (spoil == 6) {
        dst.size = in.ConsumeIntegralInRange<uint32_t>(0, dst.size - 1);
        mustRefuse = true;
    }
    const std::vector<uint8_t> before(dst.data, dst.data + dst.size);

    if (mustRefuse) {
        if (routine(src, dst, dx, dy)) {
            finding(routineName, src, dx, dy, "accepted a pair it must refuse");
        }
        if (!untouched(dst, before, 33, 44)) {
            finding(routineName, src, dx, dy, "refused but changed the destination");
        }
        return 0;
    }

    bool fullCopy = false;
    const std::vector<uint8_t> want = expected(src, before, dx, dy, fullCopy);
    if (!routine(src, dst, dx, dy)) {
        finding(routineName, src, dx, dy, "refused a valid pair");
    }
    if (dst.width != w || dst.height != h || dst.fourcc != code || dst.size != want.size()) {
        finding(routineName, src, dx, dy, "destination header changed");
    }
    if (dst.frameId != (fullCopy ? 11 : 33) || dst.sourceId != (fullCopy ? 22 : 44)) {
        finding(routineName, src, dx, dy,
                fullCopy ? "full copy did not take the counters" : "shift changed the counters");
    }
    for (size_t i = 0; i < want.size(); ++i) {
        if (dst.data[i] != want[i]) {
            finding(routineName, src, dx, dy, "byte differs from the per-pixel model",
                    static_cast<long long>(i), dst.data[i], want[i]);
        }
    }
    return 0;
}
