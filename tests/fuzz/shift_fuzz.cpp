// Whole-pixel shifts of small frames of every raw format (sides 1..64, any
// parity) with arbitrary bytes, by small or arbitrary shifts (INT_MIN and
// INT_MAX included), against the tests' pixel model of shifts: a refused
// pair, a changed header or any byte that differs from the model aborts.
// Out-of-buffer access is left to the sanitizers.

#include "FrameShift.h"

#include "Synthetic.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using orl::video::Frame;
using namespace orl::calmora;
namespace fcc = orl::video::fourcc;
using ShiftFn = bool (*)(const Frame&, Frame&, int, int);

const std::pair<uint32_t, ShiftFn> FORMATS[] = {
    {fcc::GRAY, shiftGray},          {fcc::RGB3, shiftPacked24},      {fcc::BGR3, shiftPacked24},
    {fcc::YUV3, shiftPacked24},      {fcc::YUYV, shiftPacked422},     {fcc::UYVY, shiftPacked422},
    {fcc::NV12, shiftSemiPlanar420}, {fcc::NV21, shiftSemiPlanar420}, {fcc::YU12, shiftPlanar420},
    {fcc::YV12, shiftPlanar420}};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto& [code, shift] = FORMATS[in.ConsumeIntegralInRange<size_t>(0, 9)];
    const uint32_t w = in.ConsumeIntegralInRange<uint32_t>(1, 64);
    const uint32_t h = in.ConsumeIntegralInRange<uint32_t>(1, 64);
    auto pickShift = [&in] {
        return in.ConsumeBool() ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(-70, 70);
    };
    const int dx = pickShift();
    const int dy = pickShift();
    Frame src(w, h, code), dst(w, h, code);
    const std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    for (uint32_t i = 0; i < src.size; ++i) {  // the destination's bytes follow the source's
        src.data[i] = i < bytes.size() ? bytes[i] : static_cast<uint8_t>(i * 37 + 11);
        dst.data[i] = src.size + i < bytes.size() ? bytes[src.size + i] : 0xFF;
    }
    const std::vector<uint8_t> want =
        calmora_test::shiftModel(src, std::vector<uint8_t>(dst.data, dst.data + dst.size), dx, dy);
    if (!shift(src, dst, dx, dy) || dst.width != w || dst.height != h || dst.fourcc != code ||
        dst.size != want.size() || std::memcmp(dst.data, want.data(), want.size()) != 0) {
        std::abort();
    }
    return 0;
}
