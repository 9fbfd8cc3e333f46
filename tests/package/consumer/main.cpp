// A downstream program that only knows the installed package: the three
// ways of stabilising a picture shaken sideways by a known +-3 pixels, and a
// file run that refuses to write over its input.
#include <calmora/CalmoraOpenCv.h>
#include <calmora/Logger.h>
#include <calmora/LookaheadStabiliser.h>
#include <calmora/NexfeedOpenCv.h>
#include <calmora/OfflineStabiliser.h>
#include <calmora/run/FileRun.h>

#include <cmath>
#include <cstdio>

using namespace orl;

// Frame i: blocks of random grey seen from 3 pixels left or right.
video::Frame shaken(int i) {
    video::Frame frame(160, 120, video::fourcc::BGR3);
    for (uint32_t p = 0; p < frame.size; ++p) {
        const uint32_t x = (p / 3) % 160 + 5 + 6 * (i % 2), y = p / 480;
        frame.data[p] =
            static_cast<uint8_t>(((x / 6) * 7919u ^ (y / 6) * 104729u) * 2654435761u >> 24);
    }
    return frame;
}

int main(int, char** argv) {
    video::Frame out;
    calmora::CalmoraOpenCv live;
    calmora::LookaheadStabiliser lookahead(5);
    calmora::OfflineStabiliser offline;
    int written = 0;
    for (int i = 0; i < 40; ++i) {
        written += live.stabilise(shaken(i), out) + lookahead.stabilise(shaken(i), out);
        offline.add(shaken(i));
    }
    while (lookahead.drain(out)) {
        ++written;
    }
    offline.plan();
    for (int i = 0; i < 40; ++i) {
        written += offline.apply(i, shaken(i), out) && out.size == 160u * 120u * 3u;
    }
    const double middle = std::fabs(offline.corrections()[20].x);
    if (written != 120 || video::NexfeedOpenCv().isOpen() || std::fabs(middle - 3) > 1) {
        return std::printf("consumer failed: %d frames, correction %.2f\n", written, middle);
    }
    calmora::run::RunOptions overItself;
    overItself.input = overItself.output = argv[0];
    if (calmora::run::checkRun(overItself).status != calmora::run::RunResult::REFUSED) {
        return std::printf("consumer failed: a run over its own input was not refused\n");
    }
    logging::Logger().print(2, logging::LogMode::CONSOLE) << "logger ok\n";
    std::printf("consumer ok, stabiliser %s\n", calmora::CalmoraOpenCv::getVersion().c_str());
}
