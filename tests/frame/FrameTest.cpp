// Frame record: the capacity rule per format, and copies and moves within the buffers.
#include <calmora/Frame.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

using orl::video::Frame;
namespace fcc = orl::video::fourcc;
using Header = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, int32_t, int32_t>;

static std::vector<uint8_t> bytes(4000, 0xAB);

static Header header(const Frame& f) {
    return {f.width, f.height, f.fourcc, f.size, f.frameId, f.sourceId};
}

static_assert(orl::video::makeFourcc("BGR3") == 0x33524742u);  // first character lowest

TEST(Frame, ConstructionFollowsTheCapacityRule) {
    // 6 x 5: the 4:2:0 chroma has 5 / 2 = 2 rows
    const std::pair<uint32_t, uint32_t> formats[] = {
        {fcc::GRAY, 30},  {fcc::RGB3, 90},  {fcc::BGR3, 90}, {fcc::YUV3, 90}, {fcc::YUYV, 60},
        {fcc::UYVY, 60},  {fcc::NV12, 42},  {fcc::NV21, 42}, {fcc::YU12, 42}, {fcc::YV12, 42},
        {fcc::H264, 120}, {fcc::HEVC, 120}, {fcc::JPEG, 120}};
    for (const auto& [code, want] : formats) {
        const Frame f(6, 5, code), noSide(0, 5, code, 1, bytes.data());
        EXPECT_EQ(header(f), Header(6, 5, code, want, 0, 0));
        EXPECT_EQ(std::count(f.data, f.data + want, 0), want);
        EXPECT_EQ(header(noSide), Header(0, 0, code, 0, 0, 0));
    }
    for (const auto& [n, want] : {std::pair{0u, 0u}, {50u, 50u}, {120u, 120u}, {121u, 120u}}) {
        const Frame f(6, 5, fcc::JPEG, n, bytes.data());
        const uint32_t copied = n <= 120 ? n : 0;  // too much: nothing copied
        EXPECT_EQ(f.size, want);
        EXPECT_EQ(std::count(f.data, f.data + 120, 0xAB), copied);
        EXPECT_EQ(std::count(f.data + copied, f.data + 120, 0), 120 - copied);
    }
    EXPECT_EQ(header(Frame(6, 5, 0)), Header(0, 0, fcc::YUV3, 0, 0, 0));  // unknown format
    EXPECT_EQ(Frame(40000, 40000, fcc::BGR3).data, nullptr);              // capacity beyond 32 bits
}

TEST(Frame, CopiesAndMovesStayWithinTheBuffers) {
    Frame src(6, 5, fcc::GRAY, 30, bytes.data()), dst(6, 5, fcc::GRAY), moved(6, 5, fcc::BGR3);
    uint8_t* const kept = dst.data;
    std::tie(src.data[29], src.frameId, src.sourceId) = std::tuple(1, 8, 9);
    dst = src;  // equal geometry: the buffer is reused
    dst = *&dst;
    EXPECT_TRUE(dst.data == kept && dst.data[29] == 1);
    EXPECT_EQ(header(Frame(dst)), header(src));
    moved = Frame(std::move(dst));
    EXPECT_EQ(header(moved), header(src));
    EXPECT_EQ(header(dst), Header(0, 0, fcc::YUV3, 0, 0, 0));  // NOLINT(bugprone-use-after-move)
    moved.release();
    EXPECT_EQ(header(moved), Header(0, 0, fcc::GRAY, 0, 0, 0));
    EXPECT_TRUE(dst.data == nullptr && moved.data == nullptr);
    // Headers claiming more than a buffer holds: a caller's 4000 bytes, an
    // owned buffer rewritten to a bigger geometry, no buffer at all.
    Frame view;
    std::tie(view.width, view.height, view.fourcc, view.size, view.data) =
        std::tuple(10u, 10u, fcc::GRAY, 4000u, bytes.data());
    std::tie(src.width, src.size) = std::tuple(60u, 300u);
    for (auto [source, want] : {std::pair{&view, 100u}, {&src, 30u}, {&view, 0u}}) {
        source->data = want == 0 ? nullptr : source->data;
        Frame same(source->width, source->height, source->fourcc), fresh(*source);
        same = *source;
        EXPECT_EQ(same.size, want);
        EXPECT_EQ(header(fresh), header(same));
    }
}
