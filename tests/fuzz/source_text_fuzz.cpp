// Any text split, parsed and classified, any number through the property scales, and
// any parameter call but a log level on a closed source; only unknown texts are opened.

#include "PropertyScale.h"
#include "SourceText.h"

#include <calmora/NexfeedOpenCv.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace orl::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string text = in.ConsumeRandomLengthString(256);
    const std::vector<std::string> fields = splitInitString(text);
    std::size_t kept = std::count(text.begin(), text.end(), ';');
    std::string error;
    for (const std::string& field : fields) {
        kept += field.size();
        if (int value = 7; field.empty() || field.find(';') != std::string::npos ||
                           (!parseDecimal(field, value, error) && value != 7) ||
                           (field.size() < 4 && classifySource(field) <= VIDEO_FILE)) {
            std::abort();
        }
    }
    const float f = in.ConsumeFloatingPoint<float>();
    const int a = in.ConsumeIntegral<int>(), b = in.ConsumeIntegral<int>();
    NexfeedOpenCv source;
    if (kept != text.size() || (std::isfinite(f) && std::fmod(focusToDevice(f), 5.0) != 0.0) ||
        frameIntervalFor(f, 33000) < 1 || framesWithinTimeout(a, b) < 0 || drainBound(a, b) < 1 ||
        drainBound(a, b) > kMaxDrainFrames ||
        ((fields.empty() || classifySource(fields[0]) == UNKNOWN) && source.open(text))) {
        std::abort();
    }
    while (in.remaining_bytes() > 0) {
        const int id = in.ConsumeIntegralInRange<int>(-1, 17);
        if (id != LOG_LEVEL && (source.setParam(id, in.ConsumeFloatingPoint<float>()) ||
                                std::isnan(source.getParam(id)) || source.isOpen())) {
            std::abort();
        }
    }
    return 0;
}
