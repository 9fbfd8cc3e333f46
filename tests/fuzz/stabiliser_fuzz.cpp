// Stabiliser fuzzer: any record and frames; outputs within their capacity, offsets finite.
#include <calmora/CalmoraOpenCv.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace orl;

const auto check = [](bool ok) { ok ? void() : std::abort(); };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    calmora::CalmoraParams params;
    in.ConsumeData(&params, sizeof params);
    params.enable = in.ConsumeBool();  // a bool must hold 0 or 1
    params.transparentBorder = in.ConsumeBool();
    calmora::CalmoraOpenCv stabiliser;
    stabiliser.init(params);
    const std::vector<uint8_t> pattern = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 64));
    const size_t step = in.ConsumeIntegralInRange(0, 7);
    const char* codes = "GRAYRGB3BGR3YUV3YUYVUYVYNV12NV21YU12YV12H264HEVCJPEGXXXX";
    video::Frame out;
    for (size_t k = 0; k < 6 && !pattern.empty() && in.remaining_bytes() > 0; ++k) {
        stabiliser.setParam(in.ConsumeIntegralInRange(0, 21), in.ConsumeFloatingPoint<float>());
        video::Frame src;  // a header only: the buffer stays the caller's
        std::memcpy(&src.fourcc, codes + 4 * in.ConsumeIntegralInRange(0, 13), 4);
        src.width = in.ConsumeIntegralInRange(0u, 96u);
        src.height = in.ConsumeIntegralInRange(0u, 96u);
        uint32_t cap = 0, held = 0;  // capacity of the source's and the output's header
        video::frameCapacity(src.width, src.height, src.fourcc, cap);
        std::vector<uint8_t> buf(in.ConsumeBool() ? cap : in.ConsumeIntegralInRange(0u, cap + 64));
        for (size_t i = 0; i < buf.size(); ++i)  // a pattern moving from frame to frame
            buf[i] = pattern[(i + k * step) % pattern.size()];
        src.size = static_cast<uint32_t>(buf.size());
        src.data = buf.data();
        stabiliser.stabilise(src, out);
        video::frameCapacity(out.width, out.height, out.fourcc, held);
        float x = 0.0f, y = 0.0f, a = 0.0f;
        stabiliser.getOffsets(x, y, a);
        check(out.size <= held && std::isfinite(x) && std::isfinite(y) && std::isfinite(a));
    }
    return 0;
}
