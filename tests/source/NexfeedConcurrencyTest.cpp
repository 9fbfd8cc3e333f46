// Parameters read and written from a second thread while the capturing
// thread grabs, reads, reaches the end of the clip and restarts. Run under
// ThreadSanitizer (label "concurrency"): every call into the capture must be
// serialised, and the two locks must never deadlock.

#include <calmora/NexfeedOpenCv.h>

#include <ClipWriter.h>
#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orl::video {
namespace {

TEST(NexfeedConcurrency, ParametersChangeWhileFramesAreCaptured) {
    calmora_test::TempFolder temp;
    // a file that restarts at its end, and a live source ("rtp") that grabs
    for (const auto& [name, timeoutMs] : {std::pair{"clip.avi", 1000}, {"rtp_clip.avi", -1}}) {
        const std::string path = temp.file(name);
        ASSERT_TRUE(calmora_test::writeClip(path, "MJPG", 500.0, 10, cv::Size(160, 120)));
        NexfeedOpenCv source;
        ASSERT_TRUE(source.open(path));
        std::atomic<bool> done{false};
        std::thread other([&] {
            for (int n = 0; !done.load(); ++n) {
                source.setParam(WIDTH, 160);
                source.setParam(LOG_LEVEL, static_cast<float>(n % 2));  // no console
                source.getParam(FPS);
                source.getParam(IS_OPEN);
                EXPECT_EQ(source.getParams().source, path);
            }
        });
        Frame frame;
        int delivered = 0;
        for (int i = 0; i < 120; ++i) {
            if (source.getFrame(frame, timeoutMs)) {
                ++delivered;
                EXPECT_NE(calmora_test::indexOfImage(calmora_test::bgrOf(frame)), -1);
            }
        }
        done.store(true);
        other.join();
        EXPECT_GT(delivered, 40) << name;  // restarts came round more than once
    }
}

}  // namespace
}  // namespace orl::video
