// The public class: parameter ranges and refusals, unchecked records,
// commands and the deferred reset, frames that add no motion, and the
// offsets the frame operation publishes.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;
using P = CalmoraParams;
using Seen = std::array<float, 3>;  // getOffsets: x, y, a
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

bool sameBytes(const Frame& a, const Frame& b) {
    return a.width == b.width && a.height == b.height && a.fourcc == b.fourcc && a.size == b.size &&
           (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

Seen offsetsOf(CalmoraOpenCv& s) {
    Seen o{};
    s.getOffsets(o[0], o[1], o[2]);
    return o;
}

std::vector<float> everyParam(CalmoraOpenCv& s) {
    std::vector<float> v;
    for (int id = SCALE_FACTOR; id <= LOG_MOD; ++id) {
        v.push_back(s.getParam(id));
    }
    return v;
}

// A shaky 320 x 240 clip of 12 frames in one format, built once.
const std::vector<Frame>& clip(uint32_t format = fcc::BGR3) {
    static const calmora_test::ShakyClip shaky = calmora_test::shakyClip({320, 240}, 12, 6.0, 0.01);
    static std::map<uint32_t, std::vector<Frame>> cache;
    std::vector<Frame>& frames = cache[format];
    for (size_t k = frames.size(); k < shaky.frames.size(); ++k) {
        frames.push_back(calmora_test::toFrame(shaky.frames[k], format));
    }
    return frames;
}

// Frames `from` to `to` of the clip through `s`: the offsets and outputs.
std::vector<Seen> run(CalmoraOpenCv& s, size_t from, size_t to, std::vector<Frame>* out = nullptr,
                      uint32_t format = fcc::BGR3) {
    std::vector<Seen> seen;
    Frame dst;
    for (size_t k = from; k < to; ++k) {
        EXPECT_TRUE(s.stabilise(clip(format)[k], dst));
        seen.push_back(offsetsOf(s));
        if (out != nullptr) {
            out->push_back(dst);
        }
    }
    return seen;
}

TEST(CalmoraOpenCvTest, ParametersByIdentifier) {
    const P base{3, 77,    66, 5,  0.3f, 0.4f, 0.5f, true, true, -7,
                 8, 0.25f, 12, 13, 0.5f, 1,    2.5f, 25,   99,   4};
    // the record by identifier: 13 to 15 report the offsets published since
    const std::vector<float> baseSeen = {3, 77,    66, 5, 0.3f, 0.4f, 0.5f, 1,  1,  -7,
                                         8, 0.25f, 0,  0, 0,    1,    2.5f, 25, 99, 4};
    struct Range {
        int id;
        std::vector<float> refused;
        std::vector<std::pair<float, float>> accepted;  // value, then getParam
    };
    const Range ranges[] = {
        {SCALE_FACTOR, {9, 0.9f, NaN}, {{8.9f, 8}, {1, 1}}},
        {X_OFFSET_LIMIT, {1025, 0}, {{1024, 1024}}},
        {Y_OFFSET_LIMIT, {-1}, {{1.5f, 1}}},
        {A_OFFSET_LIMIT, {89.5f, -0.1f}, {{89, 89}, {0, 0}}},
        {X_FILTER_COEFF, {1.01f, NaN}, {{1, 1}, {0, 0}}},
        {Y_FILTER_COEFF, {-0.01f}, {{0.75f, 0.75f}}},
        {A_FILTER_COEFF, {2}, {{0.6f, 0.6f}}},
        {ENABLE, {2, -1}, {{1.7f, 1}, {-0.5f, 0}}},
        {TRANSPARENT_BORDER, {2}, {{0.2f, 0}}},
        {CONST_X_OFFSET, {INF}, {{-12.7f, -12}, {1e20f, 2147483647.0f}}},
        {CONST_Y_OFFSET, {}, {{33.9f, 33}}},
        {CONST_A_OFFSET, {NaN}, {{-0.25f, -0.25f}}},
        {TYPE, {3, -1}, {{2.5f, 2}, {-0.5f, 0}}},
    };
    CalmoraOpenCv s;
    ASSERT_TRUE(s.init(base));
    EXPECT_EQ(everyParam(s), baseSeen);
    EXPECT_TRUE(s.getParam(0) == -1.0f && s.getParam(21) == -1.0f && s.getParam(-7) == -1.0f);
    for (const int readOnly : {13, 14, 15, 17, 18, 19, 20, 0, 21}) {
        EXPECT_FALSE(s.setParam(readOnly, 1.0f)) << readOnly;
        EXPECT_EQ(everyParam(s), baseSeen) << readOnly;
    }
    for (const Range& r : ranges) {  // a refusal changes nothing
        for (const float value : r.refused) {
            EXPECT_FALSE(s.setParam(r.id, value)) << "id " << r.id << " value " << value;
            EXPECT_EQ(everyParam(s), baseSeen) << "id " << r.id << " value " << value;
        }
    }
    for (const Range& r : ranges) {
        for (const auto& [value, stored] : r.accepted) {
            EXPECT_TRUE(s.setParam(r.id, value)) << "id " << r.id << " value " << value;
            EXPECT_EQ(s.getParam(r.id), stored) << "id " << r.id << " value " << value;
        }
    }
}

TEST(CalmoraOpenCvTest, UncheckedValuesActAsTheNearestValidValue) {
    struct Case {
        const char* name;
        void (*set)(P&, bool odd);
    };
    const Case cases[] = {
        {"scaleFactor 0", [](P& p, bool odd) { p.scaleFactor = odd ? 0 : 1; }},
        {"scaleFactor -4", [](P& p, bool odd) { p.scaleFactor = odd ? -4 : 1; }},
        {"type 7", [](P& p, bool odd) { p.type = odd ? 7 : 2; }},
        {"type -3", [](P& p, bool odd) { p.type = odd ? -3 : 0; }},
        {"NaN coefficient", [](P& p, bool odd) { p.xFilterCoeff = odd ? NaN : 0.0f; }},
        {"coefficient 5", [](P& p, bool odd) { p.yFilterCoeff = odd ? 5.0f : 1.0f; }},
        {"coefficient -2", [](P& p, bool odd) { p.aFilterCoeff = odd ? -2.0f : 0.0f; }},
        {"x limit -5", [](P& p, bool odd) { p.xOffsetLimit = odd ? -5 : 0; }},
        {"NaN rotation limit", [](P& p, bool odd) { p.aOffsetLimit = odd ? NaN : 0.0f; }},
        {"infinite rotation", [](P& p, bool odd) { p.constAOffset = odd ? INF : 0.0f; }},
        {"NaN rotation", [](P& p, bool odd) { p.constAOffset = odd ? NaN : 0.0f; }},
        {"huge shift", [](P& p, bool odd) { p.constXOffset = odd ? INT32_MAX : 1000000; }},
    };
    for (const Case& c : cases) {
        P odd, valid;
        c.set(odd, true);
        c.set(valid, false);
        CalmoraOpenCv a, b;
        a.init(odd);
        b.init(valid);
        std::vector<Frame> outA, outB;
        EXPECT_EQ(run(a, 0, 12, &outA), run(b, 0, 12, &outB)) << c.name;
        for (size_t k = 0; k < outA.size(); ++k) {
            EXPECT_TRUE(sameBytes(outA[k], outB[k])) << c.name << " frame " << k;
        }
    }
}

TEST(CalmoraOpenCvTest, CommandsResetOnlyOnRealChangesAndAtTheNextFrame) {
    constexpr int SET_OFF = -1, SET_ON = -2;  // setParam(ENABLE, 0 or 1)
    struct Case {
        const char* name;
        std::vector<int> act;  // sent between frames 5 and 6
        bool resets, disabled;
    };
    const Case cases[] = {
        {"RESET", {RESET}, true, false},
        {"ON while enabled", {ON}, false, false},
        {"OFF then ON", {OFF, ON}, true, false},
        {"OFF then ENABLE 1", {OFF, SET_ON}, true, false},
        {"ENABLE 0 then ON", {SET_OFF, ON}, true, false},
        {"ENABLE 0 then 1", {SET_OFF, SET_ON}, false, false},
        {"OFF", {OFF}, true, true},
        {"unknown commands", {4, 0}, false, false},
    };
    CalmoraOpenCv reference;
    const std::vector<Seen> plain = run(reference, 0, 12);
    for (const Case& c : cases) {
        CalmoraOpenCv s;
        run(s, 0, 6);
        for (const int act : c.act) {
            const bool ok =
                act < 0 ? s.setParam(ENABLE, act == SET_ON ? 1.0f : 0.0f) : s.executeCommand(act);
            EXPECT_EQ(ok, act < 0 || (act >= RESET && act <= OFF)) << c.name;
        }
        // the published offsets restart at once, the state at the next frame
        EXPECT_EQ(offsetsOf(s), c.resets ? Seen{} : plain[5]) << c.name;
        std::vector<Frame> out;
        const std::vector<Seen> seen = run(s, 6, 12, &out);
        EXPECT_EQ(s.getParam(ENABLE), c.disabled ? 0.0f : 1.0f) << c.name;
        EXPECT_EQ(s.getParams().instantXOffset, static_cast<int>(seen.back()[0])) << c.name;
        if (c.resets) {  // from frame 6 on as a new stabiliser, or disabled
            CalmoraOpenCv fresh;
            EXPECT_EQ(seen, c.disabled ? std::vector<Seen>(6) : run(fresh, 6, 12)) << c.name;
            EXPECT_TRUE(sameBytes(out[0], clip()[6])) << c.name;
        } else {
            EXPECT_EQ(seen, std::vector<Seen>(plain.begin() + 6, plain.end())) << c.name;
        }
    }
}

TEST(CalmoraOpenCvTest, EmptyUnreadableAndTinyFramesAddNoMotion) {
    const Frame& full = clip()[2];
    Frame zeroSize(64, 48, fcc::BGR3), noData, zeroWidth = full, zeroHeight = full;
    Frame shortFrame = full, unknown = full;
    zeroSize.size = 0;
    noData.width = 64;  // a header without a buffer
    noData.height = 48;
    noData.fourcc = fcc::BGR3;
    noData.size = 64 * 48 * 3;
    zeroWidth.width = 0;
    zeroHeight.height = 0;
    shortFrame.size -= 1;
    unknown.fourcc = video::makeFourcc("ABCD");
    auto tiny = [](int w, int h, uint32_t format) {
        cv::Mat bgr(h, w, CV_8UC3, cv::Scalar(10, 200, 90));
        bgr.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 0, 0);
        return calmora_test::toFrame(bgr, format);
    };
    struct Case {
        const char* name;
        const Frame& frame;
        int scaleFactor, type;
        bool accepted;
    };
    const Case cases[] = {
        {"empty", Frame(), 1, 2, false},
        {"size 0", zeroSize, 1, 2, false},
        {"no data", noData, 1, 2, false},
        {"width 0", zeroWidth, 1, 2, false},
        {"height 0", zeroHeight, 1, 2, false},
        {"short", shortFrame, 1, 2, true},
        {"compressed", Frame(320, 240, fcc::JPEG, 1000, full.data), 1, 2, true},
        {"unknown format", unknown, 1, 2, true},
        {"narrower than scaleFactor", tiny(5, 5, fcc::BGR3), 8, 2, true},
        {"below 21 rows", tiny(30, 15, fcc::GRAY), 1, 1, true},
        {"1 x 1 Fourier", tiny(1, 1, fcc::BGR3), 1, 0, true},
        {"2 x 2 NV12", tiny(2, 2, fcc::NV12), 1, 2, true},
    };
    // coefficients 1 hold the smoothed path at 0: the offsets are minus the path
    P frozen;
    frozen.xFilterCoeff = frozen.yFilterCoeff = frozen.aFilterCoeff = 1.0f;
    CalmoraOpenCv reference;
    reference.init(frozen);
    const Seen plain = run(reference, 0, 3)[2];
    ASSERT_NE(plain[0], 0.0f);
    for (const Case& c : cases) {
        // on its own: passed through unchanged, or refused touching nothing
        CalmoraOpenCv alone;
        alone.setParam(SCALE_FACTOR, static_cast<float>(c.scaleFactor));
        alone.setParam(TYPE, static_cast<float>(c.type));
        Frame dst(8, 8, fcc::GRAY);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(alone.stabilise(c.frame, dst), c.accepted) << c.name;
            EXPECT_TRUE(sameBytes(dst, c.accepted ? c.frame : Frame(8, 8, fcc::GRAY))) << c.name;
            EXPECT_EQ(offsetsOf(alone), Seen{}) << c.name;
        }
        // inside a run: the frame after it is measured against the one before
        CalmoraOpenCv s;
        s.init(frozen);
        run(s, 0, 2);
        const std::vector<float> before = everyParam(s);
        dst = clip()[1];
        EXPECT_EQ(s.stabilise(c.frame, dst), c.accepted) << c.name;
        if (!c.accepted) {
            EXPECT_TRUE(sameBytes(dst, clip()[1])) << c.name;
            EXPECT_EQ(everyParam(s), before) << c.name;
        }
        ASSERT_TRUE(s.stabilise(full, dst));
        EXPECT_EQ(offsetsOf(s), plain) << c.name;
    }
}

// The content moves 3.7 right and 2.6 up: the correction of about -3.7 and
// +2.6 (plus a constant shift) is published truncated and, by identifier,
// unrounded. A shift of half the frame or more leaves the picture as it
// was, and the published offsets say so.
TEST(CalmoraOpenCvTest, PublishedOffsetsAreTheAppliedOnes) {
    const cv::Mat scene = calmora_test::texturedScene(400, 300, 17);
    const Frame first =
        calmora_test::toFrame(calmora_test::view(scene, {320, 240}, {40, 30}), fcc::BGR3);
    const Frame second = calmora_test::toFrame(
        calmora_test::view(scene, {320, 240}, {40 - 3.7, 30 + 2.6}), fcc::BGR3);
    struct Case {
        int constX, publishedX;
        bool moved;
    };
    for (const Case& c : {Case{0, -3, true}, {7, 3, true}, {164, 0, false}, {-400, 0, false}}) {
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, 1.0f));
        ASSERT_TRUE(s.setParam(CONST_X_OFFSET, static_cast<float>(c.constX)));
        Frame dst;
        ASSERT_TRUE(s.stabilise(first, dst) && s.stabilise(second, dst));
        EXPECT_NEAR(s.getParam(INSTANT_X_OFFSET), c.moved ? c.constX - 3.7f : 0.0f, 0.15f);
        EXPECT_NEAR(s.getParam(INSTANT_Y_OFFSET), c.moved ? 2.6f : 0.0f, 0.15f) << c.constX;
        EXPECT_EQ(offsetsOf(s)[0], s.getParam(INSTANT_X_OFFSET));
        const P p = s.getParams();
        EXPECT_EQ(p.instantXOffset, c.publishedX) << c.constX;
        EXPECT_EQ(p.instantYOffset, c.moved ? 2 : 0) << c.constX;
        EXPECT_EQ(p.instantAOffset, 0.0f);
        EXPECT_EQ(sameBytes(dst, second), !c.moved) << c.constX;
    }
}

TEST(CalmoraOpenCvTest, RotationIsReportedByIdentifierOnlyForType2) {
    for (const int type : {0, 1, 2}) {
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
        ASSERT_TRUE(s.setParam(CONST_A_OFFSET, 0.05f));
        const float a = run(s, 0, 12).back()[2];
        EXPECT_GT(std::fabs(a), 0.01f) << "type " << type;  // the constant rotation at least
        EXPECT_EQ(s.getParam(INSTANT_A_OFFSET), type == 2 ? a : 0.0f) << "type " << type;
        EXPECT_EQ(s.getParams().instantAOffset, a) << "type " << type;
    }
}

TEST(CalmoraOpenCvTest, ANewAnalysisSizeStartsAgainAtTheNextFrame) {
    CalmoraOpenCv s;
    ASSERT_NE(run(s, 0, 4).back()[0], 0.0f);
    ASSERT_TRUE(s.setParam(TYPE, 0.0f));  // a 256 square instead of 320 x 240
    std::vector<Frame> out;
    const std::vector<Seen> seen = run(s, 4, 6, &out);
    EXPECT_EQ(seen[0], Seen{});
    EXPECT_TRUE(sameBytes(out[0], clip()[4]));
    EXPECT_NE(seen[1][0], 0.0f);
}

}  // namespace
}  // namespace orl::calmora
