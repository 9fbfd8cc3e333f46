#include <calmora/Frame.h>

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <utility>
#include <vector>

using orl::video::Frame;
using orl::video::frameCapacity;
using orl::video::makeFourcc;
namespace fcc = orl::video::fourcc;

namespace {

bool allZero(const Frame& f) {
    for (uint32_t i = 0; i < f.size; ++i) {
        if (f.data[i] != 0) {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> ramp(size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t{1});
    return v;
}

}  // namespace

TEST(Fourcc, PacksFirstCharacterInLowestByte) {
    static_assert(makeFourcc("BGR3") == 0x33524742u);
    static_assert(makeFourcc('N', 'V', '1', '2') == fcc::NV12);
    const uint32_t code = fcc::YUYV;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&code), 4), "YUYV");
}

TEST(FrameCapacity, EveryFormatAt640x480And4x5) {
    struct Row {
        uint32_t code;
        uint32_t at640x480;
        uint32_t at4x5;
    };
    const Row rows[] = {
        {fcc::GRAY, 307200, 20},  {fcc::RGB3, 921600, 60},  {fcc::BGR3, 921600, 60},
        {fcc::YUV3, 921600, 60},  {fcc::YUYV, 614400, 40},  {fcc::UYVY, 614400, 40},
        {fcc::NV12, 460800, 28},  {fcc::NV21, 460800, 28},  {fcc::YU12, 460800, 28},
        {fcc::YV12, 460800, 28},  {fcc::H264, 1228800, 80}, {fcc::HEVC, 1228800, 80},
        {fcc::JPEG, 1228800, 80},
    };
    for (const Row& r : rows) {
        uint32_t c = 0;
        ASSERT_TRUE(frameCapacity(640, 480, r.code, c));
        EXPECT_EQ(c, r.at640x480) << r.code;
        ASSERT_TRUE(frameCapacity(4, 5, r.code, c));
        EXPECT_EQ(c, r.at4x5) << r.code;

        Frame f(640, 480, r.code);
        EXPECT_EQ(f.size, r.at640x480);
        EXPECT_EQ(f.fourcc, r.code);
        ASSERT_NE(f.data, nullptr);
        EXPECT_TRUE(allZero(f));
    }
    uint32_t c = 7;
    EXPECT_FALSE(frameCapacity(640, 480, makeFourcc("ABCD"), c));
    EXPECT_EQ(c, 7u);
    // 3 * 40000 * 40000 does not fit in 32 bits: refused, not wrapped.
    EXPECT_FALSE(frameCapacity(40000, 40000, fcc::BGR3, c));
}

TEST(FrameConstruction, EmptyAndDegenerateCases) {
    const Frame empty;
    EXPECT_EQ(empty.width, 0u);
    EXPECT_EQ(empty.height, 0u);
    EXPECT_EQ(empty.fourcc, fcc::YUV3);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.data, nullptr);

    const Frame noWidth(0, 720, fcc::BGR3);
    EXPECT_EQ(noWidth.width, 0u);
    EXPECT_EQ(noWidth.height, 0u);
    EXPECT_EQ(noWidth.size, 0u);
    EXPECT_EQ(noWidth.data, nullptr);
    EXPECT_EQ(noWidth.fourcc, fcc::BGR3);

    const Frame unknown(640, 480, makeFourcc("ABCD"));
    EXPECT_EQ(unknown.width, 0u);
    EXPECT_EQ(unknown.fourcc, fcc::YUV3);
    EXPECT_EQ(unknown.data, nullptr);

    const Frame huge(40000, 40000, fcc::BGR3);
    EXPECT_EQ(huge.size, 0u);
    EXPECT_EQ(huge.data, nullptr);
}

TEST(FrameConstruction, InitialData) {
    const auto bytes = ramp(100);
    const Frame jpeg(4, 5, fcc::JPEG, 50, bytes.data());
    EXPECT_EQ(jpeg.size, 50u);
    EXPECT_EQ(jpeg.data[0], 1);
    EXPECT_EQ(jpeg.data[49], 50);
    EXPECT_EQ(jpeg.data[50], 0);

    // More than the capacity (80): nothing copied, size is the capacity.
    const Frame tooMuch(4, 5, fcc::JPEG, 100, bytes.data());
    EXPECT_EQ(tooMuch.size, 80u);
    EXPECT_EQ(tooMuch.data[0], 0);

    const Frame zeroBytes(4, 5, fcc::GRAY, 0, bytes.data());
    EXPECT_EQ(zeroBytes.size, 0u);
    EXPECT_NE(zeroBytes.data, nullptr);

    // A zero side with data: there is no buffer, so nothing may be copied
    // (found by frame_fuzz: memcpy was handed the null buffer, which
    // UndefinedBehaviorSanitizer reports under `make asan`).
    for (uint32_t n : {0u, 1u}) {
        const Frame noSide(0, 5, fcc::GRAY, n, bytes.data());
        EXPECT_EQ(noSide.width, 0u);
        EXPECT_EQ(noSide.height, 0u);
        EXPECT_EQ(noSide.fourcc, fcc::GRAY);
        EXPECT_EQ(noSide.size, 0u) << n;
        EXPECT_EQ(noSide.data, nullptr);
    }
}

TEST(FrameAssignment, CopiesHeaderAndBytes) {
    const auto bytes = ramp(921600);
    Frame src(640, 480, fcc::BGR3, 921600, bytes.data());
    src.frameId = 7;
    src.sourceId = 9;

    Frame dst;  // empty: gets a buffer of its own
    dst = src;
    EXPECT_EQ(dst.width, 640u);
    EXPECT_EQ(dst.height, 480u);
    EXPECT_EQ(dst.fourcc, fcc::BGR3);
    EXPECT_EQ(dst.size, 921600u);
    EXPECT_EQ(dst.frameId, 7);
    EXPECT_EQ(dst.sourceId, 9);
    ASSERT_NE(dst.data, src.data);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), dst.data));

    // Equal geometry: the existing buffer is reused.
    uint8_t* const kept = dst.data;
    src.data[0] = 200;
    src.frameId = 8;
    dst = src;
    EXPECT_EQ(dst.data, kept);
    EXPECT_EQ(dst.data[0], 200);
    EXPECT_EQ(dst.frameId, 8);

    // Self-assignment changes nothing.
    Frame& alias = dst;
    dst = alias;
    EXPECT_EQ(dst.data, kept);
    EXPECT_EQ(dst.size, 921600u);

    // Another geometry replaces the buffer.
    Frame gray(8, 8, fcc::GRAY);
    dst = gray;
    EXPECT_EQ(dst.size, 64u);
    EXPECT_EQ(dst.fourcc, fcc::GRAY);
}

TEST(FrameAssignment, OversizedSourceNeverOverflows) {
    // A source whose header claims more bytes than its buffer or than the
    // destination holds: the copy is bounded, the size never exceeds capacity.
    std::vector<uint8_t> big(4000, 0xAB);
    Frame src(10, 10, fcc::GRAY);
    uint8_t* const own = src.data;
    src.data = big.data();  // caller-provided memory
    src.size = 4000;

    Frame sameGeometry(10, 10, fcc::GRAY);
    sameGeometry = src;
    EXPECT_EQ(sameGeometry.size, 100u);
    EXPECT_EQ(sameGeometry.data[99], 0xAB);

    Frame otherGeometry;
    otherGeometry = src;
    EXPECT_EQ(otherGeometry.size, 100u);

    src.data = own;  // give the frame its own buffer back before it is freed
    src.size = 100;

    // A header without a buffer has no valid bytes, whatever its size
    // claims: the copy gets a zero-filled buffer and size 0 (found by
    // frame_fuzz: the copy claimed the zeros as 100 valid bytes).
    Frame noBuffer;
    noBuffer.width = 10;
    noBuffer.height = 10;
    noBuffer.fourcc = fcc::GRAY;
    noBuffer.size = 1000;
    sameGeometry = noBuffer;  // reuses its buffer
    EXPECT_EQ(sameGeometry.width, 10u);
    EXPECT_EQ(sameGeometry.size, 0u);
    const Frame constructed(noBuffer);  // allocates one
    EXPECT_EQ(constructed.width, 10u);
    EXPECT_NE(constructed.data, nullptr);
    EXPECT_EQ(constructed.size, 0u);

    // A compressed frame with a short payload keeps its payload length.
    const auto bytes = ramp(30);
    const Frame jpeg(4, 5, fcc::JPEG, 30, bytes.data());
    Frame copy;
    copy = jpeg;
    EXPECT_EQ(copy.size, 30u);
    EXPECT_EQ(copy.data[29], 30);
}

TEST(FrameLifecycle, ReleaseCopyAndMove) {
    const auto bytes = ramp(28);
    Frame a(4, 5, fcc::YU12, 28, bytes.data());
    a.frameId = 3;
    a.sourceId = 4;

    Frame copied(a);
    EXPECT_NE(copied.data, a.data);
    EXPECT_EQ(copied.size, 28u);
    EXPECT_EQ(copied.sourceId, 4);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), copied.data));

    uint8_t* const buffer = a.data;
    Frame moved(std::move(a));
    EXPECT_EQ(moved.data, buffer);
    EXPECT_EQ(moved.size, 28u);
    EXPECT_EQ(a.data, nullptr);  // NOLINT(bugprone-use-after-move): checked on purpose
    EXPECT_EQ(a.size, 0u);

    Frame target(640, 480, fcc::BGR3);
    target = std::move(moved);
    EXPECT_EQ(target.data, buffer);
    EXPECT_EQ(target.fourcc, fcc::YU12);

    target.release();
    EXPECT_EQ(target.width, 0u);
    EXPECT_EQ(target.height, 0u);
    EXPECT_EQ(target.size, 0u);
    EXPECT_EQ(target.frameId, 0);
    EXPECT_EQ(target.sourceId, 0);
    EXPECT_EQ(target.data, nullptr);
    EXPECT_EQ(target.fourcc, fcc::YU12);

    // A released frame takes a new geometry again.
    target = copied;
    EXPECT_EQ(target.size, 28u);
    std::vector<Frame> many(3, copied);  // copies in a container, freed once each
    many.emplace_back(std::move(target));
    EXPECT_EQ(many.back().size, 28u);
}
