// A file run: refused before anything is opened when it would write over
// its input, and otherwise one output frame per input frame in every mode,
// with progress that reaches the container's frame count.
#include "Process.h"
#include "Synthetic.h"

#include <calmora/run/FileRun.h>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include <filesystem>

using namespace orl::calmora;
using namespace orl::calmora::run;
namespace fs = std::filesystem;

namespace {

int framesIn(const std::string& path) {
    cv::VideoCapture capture(path);
    int count = 0;
    for (cv::Mat image; capture.read(image);) {
        ++count;
    }
    return count;
}

bool writeShakyClip(const std::string& path, int frames) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30.0, {160, 120});
    for (const cv::Mat& frame : calmora_test::shakyClip({160, 120}, frames, 4.0).frames) {
        writer.write(frame);
    }
    return writer.isOpened();
}

}  // namespace

TEST(FileRun, NeverWritesOverTheInputHoweverItIsSpelled) {
    const calmora_test::TempFolder folder;
    const std::string in = folder.file("in.avi"), out = folder.file("out.avi");
    ASSERT_TRUE(writeShakyClip(in, 5));
    fs::create_directory(folder.file("sub"));
    fs::create_symlink(in, folder.file("link.avi"));
    const std::string before = calmora_test::readFile(in);
    // output, side-by-side file, expected status
    const std::tuple<std::string, std::string, RunResult::Status> rows[] = {
        {in, "", RunResult::REFUSED},
        {folder.file("link.avi"), "", RunResult::REFUSED},
        {folder.file("./in.avi"), "", RunResult::REFUSED},
        {folder.file("sub/../in.avi"), "", RunResult::REFUSED},
        {out, folder.file("sub/../link.avi"), RunResult::REFUSED},
        {out, out, RunResult::REFUSED},
        {out, folder.file("sub/../out.avi"), RunResult::REFUSED},
        {folder.file("none/out.avi"), "", RunResult::FAILED},
        {out, folder.file("side.avi"), RunResult::DONE},
    };
    for (const auto& [output, side, status] : rows) {
        RunOptions options;
        options.input = in;
        options.output = output;
        options.sideBySide = side;
        const Refusal refusal = checkRun(options);
        EXPECT_EQ(refusal.status, status) << output << " " << side;
        if (status == RunResult::DONE) {
            continue;
        }
        const std::atomic<bool> stop{false};
        int reports = 0;
        const RunResult run = runFile(options, stop, [&](const Progress&) { ++reports; });
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.error, refusal.message);
        EXPECT_EQ(reports, 0);
    }
    EXPECT_TRUE(calmora_test::readFile(in) == before) << "the input was changed";
    EXPECT_FALSE(fs::exists(out));
}

// Offline mode reports its first pass too, and can be stopped in it.
TEST(FileRun, EveryModeWritesEveryFrameAndProgressReachesTheTotal) {
    const calmora_test::TempFolder folder;
    const std::string in = folder.file("in.avi");
    ASSERT_TRUE(writeShakyClip(in, 24));
    // mode, stop at this frame of pass 1 (0: never), status, frames written
    const std::tuple<StabiliserMode, int, RunResult::Status, int> rows[] = {
        {StabiliserMode::LIVE, 0, RunResult::DONE, 24},
        {StabiliserMode::LOOKAHEAD, 0, RunResult::DONE, 24},
        {StabiliserMode::OFFLINE, 0, RunResult::DONE, 24},
        {StabiliserMode::OFFLINE, 6, RunResult::INTERRUPTED, 0},
    };
    for (const auto& [mode, stopAt, status, frames] : rows) {
        RunOptions options;
        options.input = in;
        options.output = folder.file(std::string(modeName(mode)) + ".avi");
        options.settings.mode = mode;
        options.settings.latencyFrames = 5;
        std::atomic<bool> stop{false};
        std::vector<Progress> seen;
        const RunResult run = runFile(options, stop, [&](const Progress& p) {
            seen.push_back(p);
            stop = stop || (p.pass == 1 && p.done == stopAt);
        });
        const int passes = mode == StabiliserMode::OFFLINE ? 2 : 1;
        ASSERT_EQ(run.status, status) << run.error;
        EXPECT_EQ(run.frames.size(), static_cast<size_t>(frames));
        EXPECT_EQ(framesIn(options.output), frames);
        for (int pass = 1; pass <= passes; ++pass) {
            const auto last =
                std::find_if(seen.rbegin(), seen.rend(), [&](auto& p) { return p.pass == pass; });
            const long long reached = stopAt > 0 && pass == 1 ? stopAt : stopAt > 0 ? -1 : 24;
            ASSERT_EQ(last == seen.rend(), reached < 0) << modeName(mode) << " pass " << pass;
            if (last != seen.rend()) {
                EXPECT_EQ(last->done, reached) << modeName(mode) << " pass " << pass;
                EXPECT_EQ(last->total, 24);
                EXPECT_EQ(last->passes, passes);
            }
        }
    }
}
