// Frame fuzzer: copies hold the source's bytes and claim no more than either buffer holds.
#include <calmora/Frame.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using orl::video::Frame;

const auto check = [](bool ok) { ok ? void() : std::abort(); };
const char* const kCodes = "GRAYRGB3BGR3YUV3YUYVUYVYNV12NV21YU12YV12H264HEVCJPEGXXXX";

static uint32_t capacityOf(const Frame& f) {
    uint32_t capacity = 0;
    return orl::video::frameCapacity(f.width, f.height, f.fourcc, capacity) ? capacity : 0;
}

static void checkCopies(const Frame& src, uint32_t holds) {
    Frame constructed(src), assigned(3, 3, orl::video::fourcc::NV12);
    assigned = src;
    for (const Frame* copy : {&constructed, &assigned}) {
        check(copy->size <= holds && copy->size <= (copy->data ? capacityOf(*copy) : 0));
        check(copy->size == 0 || std::memcmp(copy->data, src.data, copy->size) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Frame hdr;  // any geometry, a known format or "XXXX"; later over the caller's memory or none
    hdr.width = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegral<uint8_t>();
    hdr.height = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegral<uint8_t>();
    std::memcpy(&hdr.fourcc, kCodes + 4 * in.ConsumeIntegralInRange(0, 13), 4);
    const std::vector<uint8_t> mem = in.ConsumeBytes<uint8_t>(in.ConsumeIntegral<uint16_t>());
    if (capacityOf(hdr) >= (1u << 20) || mem.empty()) {  // too big to allocate here
        return 0;
    }
    Frame a(hdr.width, hdr.height, hdr.fourcc, mem.size(), in.ConsumeBool() ? mem.data() : nullptr);
    const uint32_t aHolds = a.data ? capacityOf(a) : 0;
    check(a.size <= aHolds && Frame(a).size == a.size);  // a copy of a whole frame holds all
    a.size = in.ConsumeIntegral<uint32_t>();  // any size, and up to four times the picture
    a.width *= in.ConsumeIntegralInRange(1, 4);
    checkCopies(a, aHolds);
    hdr.size = static_cast<uint32_t>(mem.size());
    hdr.data = in.ConsumeBool() ? const_cast<uint8_t*>(mem.data()) : nullptr;
    checkCopies(hdr, hdr.data ? hdr.size : 0);
    return 0;
}
