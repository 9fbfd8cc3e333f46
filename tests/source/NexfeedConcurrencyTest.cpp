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

void captureWhileParametersChange(const std::string& path, int timeoutMs) {
    NexfeedOpenCv source;
    ASSERT_TRUE(source.open(path));

    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::thread other([&] {
        int n = 0;
        while (!done.load()) {
            source.setParam(WIDTH, 160);
            source.setParam(GAIN, 1000);
            source.setParam(FOCUS, 2000);
            source.setParam(LOG_LEVEL, static_cast<float>(n % 2));  // none or file: no console
            source.getParam(WIDTH);
            source.getParam(FPS);
            source.getParam(IS_OPEN);
            source.getParam(CYCLE_TIME_MKS);
            const NexfeedParams p = source.getParams();
            EXPECT_EQ(p.source, path);
            ++n;
            calls.store(n);
        }
    });

    Frame frame;
    int delivered = 0;
    for (int i = 0; i < 120; ++i) {
        if (source.getFrame(frame, timeoutMs)) {
            ++delivered;
            EXPECT_EQ(frame.width, 160u);
            EXPECT_NE(calmora_test::indexOfImage(calmora_test::bgrOf(frame)), -1);
        }
    }
    done.store(true);
    other.join();

    EXPECT_GT(delivered, 40);  // restarts came round more than once
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(source.getParams().width, 160);
}

TEST(NexfeedConcurrency, FileWithRestarts) {
    calmora_test::TempFolder temp;
    const std::string path = temp.file("clip.avi");
    ASSERT_TRUE(calmora_test::writeClip(path, "MJPG", 500.0, 10, cv::Size(160, 120)));
    captureWhileParametersChange(path, 1000);
}

TEST(NexfeedConcurrency, LiveSourceGrabbing) {
    calmora_test::TempFolder temp;
    const std::string path = temp.file("rtp_clip.avi");  // "rtp": handled as live
    ASSERT_TRUE(calmora_test::writeClip(path, "MJPG", 500.0, 10, cv::Size(160, 120)));
    captureWhileParametersChange(path, -1);
}

}  // namespace
}  // namespace orl::video
