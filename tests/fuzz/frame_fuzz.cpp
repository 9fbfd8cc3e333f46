// Fuzzer for the frame record.
// - Checks the capacity rule and the known-format test against a 64-bit
//   table written here, for any width, height and code.
// - Builds frames from arbitrary geometry, format, byte count and bytes,
//   then copies, assigns, moves and releases them, also after a caller has
//   rewritten the public header (size, geometry, format) or pointed a
//   non-owning frame at its own buffer.
// - Every step checks the record's invariants: size never exceeds what the
//   buffer holds, copies equal their source, release and move empty.
// - Geometries above 4 million pixels are refused before anything is
//   allocated, so one input never needs more than a few tens of MiB.

#include <calmora/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

using orl::video::Frame;
namespace fcc = orl::video::fourcc;

namespace {

constexpr uint64_t MAX_PIXELS = 4000000;

constexpr uint32_t KNOWN[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                              fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12,
                              fcc::H264, fcc::HEVC, fcc::JPEG};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "frame_fuzz finding: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) {
        fail(what);
    }
}

// Capacity in 64 bits from the format table; false for an unknown code.
bool referenceCapacity(uint64_t w, uint64_t h, uint32_t code, uint64_t& bytes) {
    for (uint32_t known : KNOWN) {
        if (known != code) {
            continue;
        }
        if (code == fcc::GRAY) {
            bytes = w * h;
        } else if (code == fcc::RGB3 || code == fcc::BGR3 || code == fcc::YUV3) {
            bytes = 3 * w * h;
        } else if (code == fcc::YUYV || code == fcc::UYVY) {
            bytes = 2 * w * h;
        } else if (code == fcc::H264 || code == fcc::HEVC || code == fcc::JPEG) {
            bytes = 4 * w * h;
        } else {
            bytes = w * h + w * (h / 2);
        }
        return true;
    }
    return false;
}

// The bytes a frame's header asks for: its format's capacity, 0 when the
// header is degenerate or the capacity does not fit in 32 bits.
uint64_t headerCapacity(const Frame& f) {
    uint64_t bytes = 0;
    if (f.width == 0 || f.height == 0 || !referenceCapacity(f.width, f.height, f.fourcc, bytes) ||
        bytes > UINT32_MAX) {
        return 0;
    }
    return bytes;
}

// Geometry small enough to allocate, or one whose capacity the record
// refuses (it then allocates nothing).
bool affordable(uint32_t w, uint32_t h, uint32_t code) {
    uint64_t bytes = 0;
    if (uint64_t{w} * h <= MAX_PIXELS || !referenceCapacity(w, h, code, bytes)) {
        return true;
    }
    return bytes > UINT32_MAX;
}

uint32_t pickCode(FuzzedDataProvider& in) {
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    if (choice < 232) {
        return KNOWN[choice % 13];
    }
    return in.ConsumeIntegral<uint32_t>();
}

// Mostly small sides (odd and even), sometimes any 32-bit value.
uint32_t pickSide(FuzzedDataProvider& in) {
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    if (choice < 200) {
        return in.ConsumeIntegralInRange<uint32_t>(0, 70);
    }
    if (choice < 230) {
        return in.ConsumeIntegralInRange<uint32_t>(0, 4000);
    }
    return in.ConsumeIntegral<uint32_t>();
}

bool sameBytes(const Frame& a, const Frame& b, uint32_t n) {
    return n == 0 ||
           (a.data != nullptr && b.data != nullptr && std::memcmp(a.data, b.data, n) == 0);
}

void checkEmptied(const Frame& f, const char* what) {
    check(f.width == 0 && f.height == 0 && f.size == 0 && f.data == nullptr && f.frameId == 0 &&
              f.sourceId == 0,
          what);
}

// `copy` equals `src` as far as its own buffer goes: same header and the
// same first `copy.size` bytes, never more than either buffer holds.
void checkCopy(const Frame& src, uint64_t srcHolds, const Frame& copy, const char* what) {
    check(copy.width == src.width && copy.height == src.height && copy.fourcc == src.fourcc, what);
    check(copy.frameId == src.frameId && copy.sourceId == src.sourceId, what);
    check(copy.size <= headerCapacity(copy), "copy claims more bytes than its buffer");
    check(copy.size <= srcHolds && copy.size <= src.size, "copy claims more bytes than its source");
    check(copy.size == 0 || copy.data != nullptr, "copy claims bytes without a buffer");
    check(sameBytes(src, copy, copy.size), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    // capacity rule for any geometry, allocation or not
    {
        const uint32_t w = in.ConsumeIntegral<uint32_t>();
        const uint32_t h = in.ConsumeIntegral<uint32_t>();
        const uint32_t code = pickCode(in);
        uint64_t want = 0;
        const bool known = referenceCapacity(w, h, code, want);
        check(orl::video::isKnownFourcc(code) == known, "isKnownFourcc disagrees with the table");
        uint32_t got = 0xA5A5A5A5u;
        const bool ok = orl::video::frameCapacity(w, h, code, got);
        check(ok == (known && want <= UINT32_MAX), "frameCapacity refuses or accepts wrongly");
        check(ok ? got == want : got == 0xA5A5A5A5u, "frameCapacity gives a wrong capacity");
    }

    // construction from arbitrary geometry, format, byte count and bytes
    const uint32_t w = pickSide(in);
    const uint32_t h = pickSide(in);
    const uint32_t code = pickCode(in);
    if (!affordable(w, h, code)) {
        return 0;
    }
    uint64_t capacity = 0;
    const bool known = referenceCapacity(w, h, code, capacity);
    const bool fits = known && capacity <= UINT32_MAX;
    if (!fits || w == 0 || h == 0) {
        capacity = 0;  // no buffer at all
    }
    const bool withData = in.ConsumeBool();
    uint32_t count = 0;
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        count = in.ConsumeIntegral<uint32_t>();
    } else {
        count = in.ConsumeIntegralInRange<uint32_t>(
            0, static_cast<uint32_t>(std::min<uint64_t>(capacity + 8, UINT32_MAX)));
    }
    // Only the first `count` bytes may be read, and none when `count` is
    // above the capacity, so the buffer holds at most capacity + 1 bytes
    // (and at least one, so that "with data" is never a null pointer).
    std::vector<uint8_t> bytes(std::max<uint64_t>(1, std::min<uint64_t>(count, capacity + 1)));
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    const std::vector<uint8_t> given = in.ConsumeBytes<uint8_t>(bytes.size());
    std::copy(given.begin(), given.end(), bytes.begin());

    Frame a(w, h, code, count, withData ? bytes.data() : nullptr);
    a.frameId = in.ConsumeIntegral<int32_t>();
    a.sourceId = in.ConsumeIntegral<int32_t>();
    if (!fits) {
        check(a.width == 0 && a.height == 0 && a.size == 0 && a.data == nullptr &&
                  a.fourcc == fcc::YUV3,
              "unknown or oversized format does not give the empty frame");
    } else if (capacity == 0) {
        check(a.width == 0 && a.height == 0 && a.size == 0 && a.data == nullptr && a.fourcc == code,
              "zero side does not give a 0 x 0 frame of the format");
    } else {
        check(a.width == w && a.height == h && a.fourcc == code && a.data != nullptr,
              "constructed header differs");
        const bool copied = withData && count <= capacity;
        check(a.size == (copied ? count : capacity), "constructed size differs");
        for (uint64_t i = 0; i < capacity; ++i) {
            const uint8_t want = copied && i < count ? bytes[i] : 0;
            if (a.data[i] != want) {
                fail("constructed bytes differ (given bytes, then zeros)");
            }
        }
    }
    const uint64_t aHolds = capacity;  // what a's buffer really holds

    // deep copy and self-assignment
    Frame b(a);
    checkCopy(a, aHolds, b, "copy construction differs");
    check(b.data == nullptr || b.data != a.data, "copy shares the buffer");
    b = *&b;
    checkCopy(a, aHolds, b, "self-assignment changed the frame");

    // assignment over a frame of another (or the same) geometry
    const uint32_t cw = in.ConsumeBool() ? w : pickSide(in);
    const uint32_t ch = in.ConsumeBool() ? h : pickSide(in);
    const uint32_t ccode = in.ConsumeBool() ? code : pickCode(in);
    if (!affordable(cw, ch, ccode)) {
        return 0;
    }
    Frame c(cw, ch, ccode);
    const uint8_t* before = c.data;
    const bool sameGeometry = c.width == a.width && c.height == a.height && c.fourcc == a.fourcc;
    c = a;
    checkCopy(a, aHolds, c, "assignment differs");
    check(!sameGeometry || before == nullptr || c.data == before,
          "assignment did not reuse a buffer of the same geometry");

    // a caller rewrites the public header of an owning frame
    const uint8_t edits = in.ConsumeIntegral<uint8_t>();
    if (edits & 1) {
        a.size = in.ConsumeIntegral<uint32_t>();
    }
    if (edits & 2) {
        a.width = pickSide(in);
    }
    if (edits & 4) {
        a.height = pickSide(in);
    }
    if (edits & 8) {
        a.fourcc = pickCode(in);
    }
    if (!affordable(a.width, a.height, a.fourcc)) {
        a.release();
        return 0;
    }
    Frame d(a);
    checkCopy(a, aHolds, d, "copy of a rewritten header differs");
    c = a;
    checkCopy(a, aHolds, c, "assignment of a rewritten header differs");

    // a non-owning frame over the caller's own buffer of `size` bytes
    Frame view;
    std::vector<uint8_t> outside =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 512));
    view.width = in.ConsumeBool() ? w : pickSide(in);
    view.height = in.ConsumeBool() ? h : pickSide(in);
    view.fourcc = in.ConsumeBool() ? code : pickCode(in);
    view.size = static_cast<uint32_t>(outside.size());
    view.data = outside.empty() ? nullptr : outside.data();
    if (!affordable(view.width, view.height, view.fourcc)) {
        view.data = nullptr;
        return 0;
    }
    Frame e(view);
    checkCopy(view, view.size, e, "copy of a non-owning frame differs");
    c = view;
    checkCopy(view, view.size, c, "assignment of a non-owning frame differs");
    view.data = nullptr;  // the buffer is ours, not the frame's

    // move and release
    const Frame kept(c);
    Frame moved(std::move(c));
    checkCopy(kept, kept.size, moved, "move construction differs");
    checkEmptied(c, "moved-from frame is not empty");
    check(c.fourcc == fcc::YUV3, "moved-from frame keeps its format");
    Frame target(w, h, code);
    target = std::move(moved);
    checkCopy(kept, kept.size, target, "move assignment differs");
    checkEmptied(moved, "move-assigned-from frame is not empty");
    const uint32_t formatBefore = target.fourcc;
    target.release();
    checkEmptied(target, "release does not empty the frame");
    check(target.fourcc == formatBefore, "release changed the format");
    target.release();
    checkEmptied(target, "second release does not keep the frame empty");
    a.release();
    checkEmptied(a, "release of a rewritten frame does not empty it");
    return 0;
}
