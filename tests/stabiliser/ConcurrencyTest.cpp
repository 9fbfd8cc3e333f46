// Under ThreadSanitizer (`make tsan`) any access outside the mutex is a data race.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace orl::calmora {
namespace {

TEST(ConcurrencyTest, ParametersAndCommandsChangeWhileFramesRun) {
    const calmora_test::ShakyClip clip = calmora_test::shakyClip({320, 240}, 8, 6.0, 0.01, 9);
    CalmoraOpenCv s;
    std::atomic<bool> done{false};
    std::atomic<int> odd{0};
    std::thread controller([&] {
        // every parameter a user may change at run time, every command and read
        const int ids[] = {TYPE,           SCALE_FACTOR,   X_FILTER_COEFF, ENABLE,
                           CONST_A_OFFSET, A_OFFSET_LIMIT, CONST_X_OFFSET, TRANSPARENT_BORDER};
        const float values[] = {0, 2, 0.9f, 0, 0.02f, 0.05f, 3, 0, 1, 1, 0, 1, 0, 1, 0, 1};
        for (size_t i = 0; !done.load(); ++i) {
            odd +=
                s.setParam(ids[i % 8], values[i % 16]) && s.executeCommand(RESET + i % 3) ? 0 : 1;
            s.init(s.getParams());
            s.setRefinements(i % 2 == 0);  // a turned NV12 frame warped in stripes, or shifted
            float x = 0, y = 0, a = 0;
            s.getOffsets(x, y, a);
            a += s.getParam(static_cast<int>(i % 22));
            odd += std::isfinite(x + y + a) ? 0 : 1;
        }
    });
    video::Frame dst;
    for (int k = 0; k < 48; ++k) {
        const uint32_t format = k % 16 < 8 ? video::fourcc::BGR3 : video::fourcc::NV12;
        const video::Frame src = calmora_test::toFrame(clip.frames[k % 8], format);
        ASSERT_TRUE(s.stabilise(src, dst));
        EXPECT_EQ(dst.size, src.size);
    }
    done = true;
    controller.join();
    EXPECT_EQ(odd.load(), 0);
}

}  // namespace
}  // namespace orl::calmora
