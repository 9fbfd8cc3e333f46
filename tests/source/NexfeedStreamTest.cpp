// NexfeedOpenCv on a real network stream: ffmpeg serves a clip as
// multipart JPEG over HTTP on 127.0.0.1; the source receives it as a live
// source, then the server goes away and the source fails and tries to
// reopen. The server is stopped by its destructor, also when a test fails.

#include <calmora/NexfeedOpenCv.h>

#include "LogText.h"

#include <ClipWriter.h>
#include <StreamServer.h>
#include <Synthetic.h>
#include <TempFolder.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace orl::video {
namespace {

using std::chrono::milliseconds;

int clipIndexOf(const Frame& frame) {
    return calmora_test::indexOfImage(calmora_test::bgrOf(frame));
}

TEST(NexfeedStream, ReceivesThenRestartsWhenTheServerGoes) {
    calmora_test::TempFolder temp;
    const std::string clip = temp.file("served.avi");
    ASSERT_TRUE(calmora_test::writeClip(clip, "MJPG", 25.0, 50, cv::Size(160, 120)));
    calmora_test::StreamServer server(clip);
    ASSERT_TRUE(server.started()) << "could not start ffmpeg";
    ASSERT_TRUE(server.waitReady(milliseconds(10000)))
        << "ffmpeg did not listen on " << server.url();

    NexfeedOpenCv source;
    NexfeedParams record;
    record.source = server.url();  // contains "http": a stream
    record.fps = 25.0f;            // one frame per 40 ms
    record.logLevel = 2;
    testing::internal::CaptureStdout();  // a stream refuses the frame rate
    const bool opened = source.open(record);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(opened);
    ASSERT_TRUE(source.isOpen());

    // receive, late by 2.5 intervals or more each time: frames are skipped
    Frame frame;
    frame.sourceId = 5;
    int previous = -1;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
        ASSERT_TRUE(source.getFrame(frame, 1000)) << "call " << i;
        EXPECT_EQ(frame.width, 160u);
        EXPECT_EQ(frame.height, 120u);
        EXPECT_EQ(frame.sourceId, 5);
        EXPECT_NE(clipIndexOf(frame), -1) << "not a frame of the clip";
        if (previous >= 0) {
            EXPECT_GE(frame.frameId - previous, 4);
        }
        previous = frame.frameId;
    }

    // the server goes: what was buffered may still arrive, then reads fail,
    // and the fifth failure tries to reopen, which the closed port refuses
    server.stop();
    testing::internal::CaptureStdout();
    int failures = 0;
    for (int i = 0; i < 60 && source.isOpen(); ++i) {
        if (!source.getFrame(frame, 1000)) {
            ++failures;
        }
    }
    const std::string output =
        calmora_test::blankLineNumbers(testing::internal::GetCapturedStdout());
    EXPECT_FALSE(source.isOpen());
    EXPECT_GE(failures, 5);
    EXPECT_EQ(failures % 5, 0) << "the restart comes with every fifth failure";
    EXPECT_NE(output.find(calmora_test::errorLine("Could not open video with given source input: " +
                                                  server.url())),
              std::string::npos)
        << output;
    EXPECT_FALSE(source.getParams().isOpen);
}

}  // namespace
}  // namespace orl::video
