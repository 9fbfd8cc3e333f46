// A downstream program that only knows the installed package.
#include <calmora/Frame.h>
#include <calmora/Logger.h>
#ifdef HAVE_CALMORA
#include <calmora/CalmoraOpenCv.h>
#endif
#ifdef HAVE_NEXFEED
#include <calmora/NexfeedOpenCv.h>
#endif

#include <cstdio>

int main() {
    using namespace orl;
    const video::Frame src(64, 48, video::fourcc::BGR3);
    video::Frame copy;
    copy = src;
    if (copy.size != 64u * 48u * 3u) {
        return 1;
    }
    logging::Logger().print(2, logging::LogMode::CONSOLE) << "logger ok\n";
#ifdef HAVE_CALMORA
    calmora::CalmoraOpenCv stabiliser;
    video::Frame dst;
    if (!stabiliser.stabilise(src, dst) || dst.size != src.size) {
        return 2;
    }
    std::printf("stabiliser %s\n", calmora::CalmoraOpenCv::getVersion().c_str());
#endif
#ifdef HAVE_NEXFEED
    video::NexfeedOpenCv source;
    if (source.isOpen()) {
        return 3;
    }
#endif
    std::printf("consumer ok\n");
    return 0;
}
