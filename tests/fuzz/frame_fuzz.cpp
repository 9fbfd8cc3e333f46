// Fuzzer for the frame record: frames of any geometry, format and bytes,
// copied as they are, after their header was rewritten, and over memory of
// the caller's own or none. Besides the sanitizers it checks invariants
// only: a size within what the buffers hold, copies with the source's bytes.

#include <calmora/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using orl::video::Frame;
namespace fcc = orl::video::fourcc;

const auto check = [](bool ok) { ok ? void() : std::abort(); };
const uint32_t kKnown[] = {fcc::GRAY, fcc::RGB3, fcc::BGR3, fcc::YUV3, fcc::YUYV,
                           fcc::UYVY, fcc::NV12, fcc::NV21, fcc::YU12, fcc::YV12,
                           fcc::H264, fcc::HEVC, fcc::JPEG};

// Bytes the header asks for; 0 for an unknown format or beyond 32 bits.
static uint32_t capacityOf(const Frame& f) {
    uint32_t capacity = 0;
    return orl::video::frameCapacity(f.width, f.height, f.fourcc, capacity) ? capacity : 0;
}

static void checkCopies(const Frame& src, uint32_t srcHolds) {
    Frame constructed(src), assigned(3, 3, fcc::NV12);
    assigned = src;
    for (const Frame* copy : {&constructed, &assigned}) {
        check(copy->width == src.width && copy->height == src.height && copy->fourcc == src.fourcc);
        check(copy->size <= (copy->data ? capacityOf(*copy) : 0) && copy->size <= srcHolds);
        check(copy->size == 0 || std::memcmp(copy->data, src.data, copy->size) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto rewrite = [&](Frame& f) {  // false when too big to allocate here
        for (uint32_t* side : {&f.width, &f.height}) {
            *side =
                in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegral<uint8_t>();
        }
        f.fourcc = in.ConsumeBool() ? in.PickValueInArray(kKnown) : in.ConsumeIntegral<uint32_t>();
        return capacityOf(f) < (1u << 20);
    };
    Frame view;  // first the geometry, later the caller's memory
    const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegral<uint16_t>());
    if (!rewrite(view) || bytes.empty()) {
        return 0;
    }
    Frame a(view.width, view.height, view.fourcc,
            in.ConsumeIntegralInRange<uint32_t>(0, bytes.size()),
            in.ConsumeBool() ? bytes.data() : nullptr);
    const uint32_t aHolds = a.data ? capacityOf(a) : 0;
    check(a.size <= aHolds);
    checkCopies(a, aHolds);
    check(Frame(a).size == a.size);  // a copy of a whole frame holds all of it
    a.size = in.ConsumeIntegral<uint32_t>();
    if (rewrite(a)) {
        checkCopies(a, aHolds);
    }
    view.size = static_cast<uint32_t>(bytes.size());
    view.data = in.ConsumeBool() ? const_cast<uint8_t*>(bytes.data()) : nullptr;
    checkCopies(view, view.data ? view.size : 0);
    view.data = nullptr;  // the memory is not the frame's
    a.release();
    check(a.width == 0 && a.height == 0 && a.size == 0 && a.data == nullptr);
    return 0;
}
