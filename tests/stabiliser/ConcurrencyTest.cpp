// Other threads read and change parameters and send commands while one
// thread runs the frame operation. Run under ThreadSanitizer in CI: a reset
// that touched the processing state during a frame, or a parameter read
// outside the mutex, shows up there as a data race.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;

std::vector<Frame> clipFrames(uint32_t format, int count) {
    const calmora_test::ShakyClip clip = calmora_test::shakyClip({320, 240}, count, 6.0, 0.01, 9);
    std::vector<Frame> frames;
    for (const cv::Mat& bgr : clip.frames) {
        frames.push_back(calmora_test::toFrame(bgr, format));
    }
    return frames;
}

bool finiteOffsets(CalmoraOpenCv& s) {
    float x = 0, y = 0, a = 0;
    s.getOffsets(x, y, a);
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(a);
}

TEST(ConcurrencyTest, ParametersAndCommandsChangeWhileFramesRun) {
    const std::vector<Frame> bgr = clipFrames(fcc::BGR3, 8);
    const std::vector<Frame> nv12 = clipFrames(fcc::NV12, 8);
    CalmoraOpenCv s;
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};

    // changes every parameter that a user may change at run time, and sends
    // every command, in a loop
    std::thread controller([&] {
        struct Change {
            int id;
            float value;
        };
        const Change changes[] = {
            {TYPE, 0},
            {SCALE_FACTOR, 2},
            {TYPE, 1},
            {X_FILTER_COEFF, 0.9f},
            {ENABLE, 0},
            {TYPE, 2},
            {CONST_A_OFFSET, 0.02f},
            {ENABLE, 1},
            {SCALE_FACTOR, 1},
            {TRANSPARENT_BORDER, 0},
            {CONST_X_OFFSET, 3},
            {A_OFFSET_LIMIT, 0.05f},
            {X_FILTER_COEFF, 0},
            {CONST_A_OFFSET, 0},
            {TRANSPARENT_BORDER, 1},
            {CONST_X_OFFSET, 0},
        };
        const int commands[] = {RESET, OFF, ON, ON, OFF, OFF, ON};
        size_t i = 0;
        while (!done.load()) {
            const Change& c = changes[i % std::size(changes)];
            if (!s.setParam(c.id, c.value)) {
                ++refused;
            }
            s.executeCommand(commands[i % std::size(commands)]);
            if (i % 11 == 0) {
                CalmoraParams p = s.getParams();
                p.type = static_cast<int>(i % 3);
                s.init(p);
            }
            ++i;
            std::this_thread::yield();
        }
    });
    // reads everything the interface offers
    std::thread reader([&] {
        while (!done.load()) {
            for (int id = 0; id <= 21; ++id) {
                const float v = s.getParam(id);
                if (!std::isfinite(v)) {
                    ++refused;
                }
            }
            const CalmoraParams p = s.getParams();
            if (p.processingTimeMks < 0 || !finiteOffsets(s)) {
                ++refused;
            }
            std::this_thread::yield();
        }
    });

    Frame dst;
    for (int round = 0; round < 6; ++round) {
        for (size_t k = 0; k < bgr.size(); ++k) {
            const Frame& src = (round % 2 == 0) ? bgr[k] : nv12[k];
            ASSERT_TRUE(s.stabilise(src, dst));
            EXPECT_EQ(dst.fourcc, src.fourcc);
            EXPECT_EQ(dst.size, src.size);
        }
    }
    done = true;
    controller.join();
    reader.join();
    EXPECT_EQ(refused.load(), 0);

    // quiet again: a reset applies to the very next frame
    ASSERT_TRUE(s.executeCommand(RESET));
    ASSERT_TRUE(s.executeCommand(ON));
    ASSERT_TRUE(s.stabilise(bgr[3], dst));
    EXPECT_EQ(std::memcmp(dst.data, bgr[3].data, bgr[3].size), 0);
    float x = 1, y = 1, a = 1;
    s.getOffsets(x, y, a);
    EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(y, 0.0f);
}

TEST(ConcurrencyTest, ResetStormNeverBreaksAFrame) {
    // Resets arrive as fast as they can while frames run. Each frame is
    // either measured against its predecessor or starts from a reset, so the
    // offsets stay within what the clip itself can produce.
    const std::vector<Frame> frames = clipFrames(fcc::BGR3, 10);
    CalmoraOpenCv s;
    ASSERT_TRUE(s.setParam(TYPE, 1));
    std::atomic<bool> done{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t) {
        senders.emplace_back([&] {
            while (!done.load()) {
                s.executeCommand(RESET);
                std::this_thread::yield();
            }
        });
    }
    Frame dst;
    for (int round = 0; round < 4; ++round) {
        for (const Frame& src : frames) {
            ASSERT_TRUE(s.stabilise(src, dst));
            const CalmoraParams p = s.getParams();
            EXPECT_LE(std::abs(p.instantXOffset), 40);
            EXPECT_LE(std::abs(p.instantYOffset), 40);
        }
    }
    done = true;
    for (std::thread& t : senders) {
        t.join();
    }
}

}  // namespace
}  // namespace orl::calmora
