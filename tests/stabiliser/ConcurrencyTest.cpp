// Other threads read and change parameters and send commands while one
// thread runs the frame operation. Run under ThreadSanitizer by `make tsan`:
// a reset that touched the processing state during a frame, or a parameter
// read outside the mutex, shows up there as a data race.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;

TEST(ConcurrencyTest, ParametersAndCommandsChangeWhileFramesRun) {
    const calmora_test::ShakyClip clip = calmora_test::shakyClip({320, 240}, 8, 6.0, 0.01, 9);
    CalmoraOpenCv s;
    std::atomic<bool> done{false};
    std::atomic<int> odd{0};
    std::thread controller([&] {
        // every parameter a user may change at run time, and every command
        const int ids[] = {
            TYPE,           SCALE_FACTOR,   TYPE,           X_FILTER_COEFF, ENABLE,
            TYPE,           CONST_A_OFFSET, ENABLE,         SCALE_FACTOR,   TRANSPARENT_BORDER,
            CONST_X_OFFSET, A_OFFSET_LIMIT, X_FILTER_COEFF, CONST_A_OFFSET, TRANSPARENT_BORDER,
            CONST_X_OFFSET};
        const float values[] = {0, 2, 1, 0.9f, 0, 2, 0.02f, 1, 1, 0, 3, 0.05f, 0, 0, 1, 0};
        const int commands[] = {RESET, OFF, ON, ON, OFF, OFF, ON};
        for (size_t i = 0; !done.load(); ++i) {
            odd += s.setParam(ids[i % std::size(ids)], values[i % std::size(ids)]) ? 0 : 1;
            s.executeCommand(commands[i % std::size(commands)]);
            if (i % 11 == 0) {
                CalmoraParams p = s.getParams();
                p.type = static_cast<int>(i % 3);
                s.init(p);
            }
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            float x = 0, y = 0, a = 0;
            s.getOffsets(x, y, a);
            for (int id = 0; id <= 21; ++id) {
                a += s.getParam(id);
            }
            odd += std::isfinite(x + y + a) && s.getParams().processingTimeMks >= 0 ? 0 : 1;
            std::this_thread::yield();
        }
    });
    Frame dst;
    for (int round = 0; round < 6; ++round) {
        for (const cv::Mat& bgr : clip.frames) {
            const Frame src = calmora_test::toFrame(bgr, round % 2 == 0 ? fcc::BGR3 : fcc::NV12);
            ASSERT_TRUE(s.stabilise(src, dst));
            EXPECT_EQ(dst.size, src.size);
        }
    }
    done = true;
    controller.join();
    reader.join();
    EXPECT_EQ(odd.load(), 0);
}

}  // namespace
}  // namespace orl::calmora
