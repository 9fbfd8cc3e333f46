// A downstream program that only knows the installed package.
#include <calmora/CalmoraOpenCv.h>
#include <calmora/Frame.h>
#include <calmora/Logger.h>
#include <calmora/NexfeedOpenCv.h>

#include <cstdio>

int main() {
    using namespace orl;
    const video::Frame src(64, 48, video::fourcc::BGR3);
    video::Frame dst;
    calmora::CalmoraOpenCv stabiliser;
    if (!stabiliser.stabilise(src, dst) || dst.size != 64u * 48u * 3u) {
        return 1;
    }
    if (video::NexfeedOpenCv().isOpen()) {
        return 2;
    }
    logging::Logger().print(2, logging::LogMode::CONSOLE) << "logger ok\n";
    std::printf("consumer ok, stabiliser %s\n", calmora::CalmoraOpenCv::getVersion().c_str());
    return 0;
}
