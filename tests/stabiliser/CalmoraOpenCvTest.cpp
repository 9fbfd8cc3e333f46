// The public class: initial values, parameter ranges, unchecked records,
// commands and resets, and the frame operation's bookkeeping.

#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

bool sameBytes(const Frame& a, const Frame& b) {
    return a.width == b.width && a.height == b.height && a.fourcc == b.fourcc && a.size == b.size &&
           (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;  // NaN equals NaN
}

bool sameParams(const CalmoraParams& a, const CalmoraParams& b) {
    return a.scaleFactor == b.scaleFactor && a.xOffsetLimit == b.xOffsetLimit &&
           a.yOffsetLimit == b.yOffsetLimit && sameFloat(a.aOffsetLimit, b.aOffsetLimit) &&
           sameFloat(a.xFilterCoeff, b.xFilterCoeff) && sameFloat(a.yFilterCoeff, b.yFilterCoeff) &&
           sameFloat(a.aFilterCoeff, b.aFilterCoeff) && a.enable == b.enable &&
           a.transparentBorder == b.transparentBorder && a.constXOffset == b.constXOffset &&
           a.constYOffset == b.constYOffset && sameFloat(a.constAOffset, b.constAOffset) &&
           a.instantXOffset == b.instantXOffset && a.instantYOffset == b.instantYOffset &&
           sameFloat(a.instantAOffset, b.instantAOffset) && a.type == b.type &&
           sameFloat(a.cutFrequencyHz, b.cutFrequencyHz) && sameFloat(a.fps, b.fps) &&
           a.processingTimeMks == b.processingTimeMks && a.logMod == b.logMod;
}

struct OffsetsSeen {
    float x{0}, y{0}, a{0};
};

OffsetsSeen offsetsOf(CalmoraOpenCv& s) {
    OffsetsSeen o;
    s.getOffsets(o.x, o.y, o.a);
    return o;
}

// A short shaky clip as frames of one format, shared by the tests.
const std::vector<Frame>& clip(uint32_t format = fcc::BGR3) {
    static const calmora_test::ShakyClip shaky = calmora_test::shakyClip({320, 240}, 12, 6.0, 0.01);
    static std::vector<std::pair<uint32_t, std::vector<Frame>>> cache;
    for (auto& entry : cache) {
        if (entry.first == format) {
            return entry.second;
        }
    }
    std::vector<Frame> frames;
    for (const cv::Mat& bgr : shaky.frames) {
        frames.push_back(calmora_test::toFrame(bgr, format));
    }
    cache.emplace_back(format, std::move(frames));
    return cache.back().second;
}

TEST(CalmoraOpenCvTest, VersionAndInitialParameters) {
    EXPECT_EQ(CalmoraOpenCv::getVersion(), "4.0.1");
    CalmoraOpenCv s;
    const CalmoraParams p = s.getParams();
    EXPECT_EQ(p.scaleFactor, 1);
    EXPECT_EQ(p.xOffsetLimit, 150);
    EXPECT_EQ(p.yOffsetLimit, 150);
    EXPECT_FLOAT_EQ(p.aOffsetLimit, 0.2f);
    EXPECT_EQ(p.xFilterCoeff, 0.0f);
    EXPECT_EQ(p.yFilterCoeff, 0.0f);
    EXPECT_EQ(p.aFilterCoeff, 0.0f);
    EXPECT_TRUE(p.enable);
    EXPECT_TRUE(p.transparentBorder);
    EXPECT_EQ(p.constXOffset, 0);
    EXPECT_EQ(p.constYOffset, 0);
    EXPECT_EQ(p.constAOffset, 0.0f);
    EXPECT_EQ(p.instantXOffset, 0);
    EXPECT_EQ(p.instantYOffset, 0);
    EXPECT_EQ(p.instantAOffset, 0.0f);
    EXPECT_EQ(p.type, 2);
    EXPECT_EQ(p.cutFrequencyHz, 0.0f);
    EXPECT_EQ(p.fps, 0.0f);
    EXPECT_EQ(p.processingTimeMks, 0);
    EXPECT_EQ(p.logMod, 0);
    const OffsetsSeen o = offsetsOf(s);
    EXPECT_EQ(o.x, 0.0f);
    EXPECT_EQ(o.a, 0.0f);
}

TEST(CalmoraOpenCvTest, SetParamRangesAndConversions) {
    struct Case {
        int id;
        float value;
        bool accepted;
        float stored;  // getParam afterwards, when accepted
    };
    const Case cases[] = {
        {SCALE_FACTOR, 9.0f, false, 0},
        {SCALE_FACTOR, 0.9f, false, 0},
        {SCALE_FACTOR, 8.9f, true, 8.0f},
        {SCALE_FACTOR, 1.0f, true, 1.0f},
        {X_OFFSET_LIMIT, 1024.0f, true, 1024.0f},
        {X_OFFSET_LIMIT, 1025.0f, false, 0},
        {X_OFFSET_LIMIT, 0.0f, false, 0},
        {Y_OFFSET_LIMIT, 1.5f, true, 1.0f},
        {Y_OFFSET_LIMIT, -1.0f, false, 0},
        {A_OFFSET_LIMIT, 89.0f, true, 89.0f},
        {A_OFFSET_LIMIT, 89.5f, false, 0},
        {A_OFFSET_LIMIT, -0.1f, false, 0},
        {A_OFFSET_LIMIT, 0.0f, true, 0.0f},
        {X_FILTER_COEFF, 1.0f, true, 1.0f},
        {X_FILTER_COEFF, 0.0f, true, 0.0f},
        {X_FILTER_COEFF, 1.01f, false, 0},
        {Y_FILTER_COEFF, 0.75f, true, 0.75f},
        {Y_FILTER_COEFF, -0.01f, false, 0},
        {A_FILTER_COEFF, 0.5f, true, 0.5f},
        {A_FILTER_COEFF, 2.0f, false, 0},
        {ENABLE, 2.0f, false, 0},
        {ENABLE, 1.7f, true, 1.0f},
        {ENABLE, -0.5f, true, 0.0f},
        {ENABLE, -1.0f, false, 0},
        {TRANSPARENT_BORDER, 0.2f, true, 0.0f},
        {TRANSPARENT_BORDER, 1.0f, true, 1.0f},
        {CONST_X_OFFSET, -12.7f, true, -12.0f},
        {CONST_Y_OFFSET, 33.9f, true, 33.0f},
        {CONST_X_OFFSET, 1e20f, true, 2147483647.0f},
        {CONST_A_OFFSET, -0.25f, true, -0.25f},
        {TYPE, 3.0f, false, 0},
        {TYPE, 2.5f, true, 2.0f},
        {TYPE, -0.5f, true, 0.0f},
        {TYPE, -1.0f, false, 0},
        // read-only and unknown identifiers
        {INSTANT_X_OFFSET, 1.0f, false, 0},
        {INSTANT_Y_OFFSET, 1.0f, false, 0},
        {INSTANT_A_OFFSET, 1.0f, false, 0},
        {CUT_FREQUENCY_HZ, 1.0f, false, 0},
        {FPS, 25.0f, false, 0},
        {PROCESSING_TIME_MKS, 1.0f, false, 0},
        {LOG_MOD, 1.0f, false, 0},
        {0, 1.0f, false, 0},
        {21, 1.0f, false, 0},
        // values that are not numbers
        {CONST_A_OFFSET, NaN, false, 0},
        {X_FILTER_COEFF, NaN, false, 0},
        {CONST_X_OFFSET, INF, false, 0},
        {SCALE_FACTOR, NaN, false, 0},
    };
    for (const Case& c : cases) {
        CalmoraOpenCv s;
        s.setParam(ENABLE, 0.0f);  // a non-initial value to see that refusals change nothing
        const CalmoraParams before = s.getParams();
        EXPECT_EQ(s.setParam(c.id, c.value), c.accepted) << "id " << c.id << " value " << c.value;
        if (c.accepted) {
            EXPECT_EQ(s.getParam(c.id), c.stored) << "id " << c.id << " value " << c.value;
        } else {
            EXPECT_TRUE(sameParams(before, s.getParams())) << "id " << c.id << " value " << c.value;
        }
    }
}

TEST(CalmoraOpenCvTest, GetParamReportsEveryIdentifier) {
    CalmoraOpenCv s;
    CalmoraParams p;  // record defaults differ from the stabiliser's initial values
    p.scaleFactor = 3;
    p.cutFrequencyHz = 2.5f;
    p.fps = 25.0f;
    p.logMod = 4;
    p.processingTimeMks = 77;
    p.enable = false;
    p.type = 1;
    ASSERT_TRUE(s.init(p));
    EXPECT_EQ(s.getParam(SCALE_FACTOR), 3.0f);
    EXPECT_EQ(s.getParam(A_OFFSET_LIMIT), 10.0f);
    EXPECT_EQ(s.getParam(X_FILTER_COEFF), 0.9f);
    EXPECT_EQ(s.getParam(ENABLE), 0.0f);
    EXPECT_EQ(s.getParam(TRANSPARENT_BORDER), 1.0f);
    EXPECT_EQ(s.getParam(TYPE), 1.0f);
    EXPECT_EQ(s.getParam(CUT_FREQUENCY_HZ), 2.5f);
    EXPECT_EQ(s.getParam(FPS), 25.0f);
    EXPECT_EQ(s.getParam(LOG_MOD), 4.0f);
    EXPECT_EQ(s.getParam(PROCESSING_TIME_MKS), 77.0f);
    EXPECT_EQ(s.getParam(0), -1.0f);
    EXPECT_EQ(s.getParam(21), -1.0f);
    EXPECT_EQ(s.getParam(-7), -1.0f);
}

TEST(CalmoraOpenCvTest, InitStoresRecordsUnchecked) {
    CalmoraOpenCv s;
    CalmoraParams p;
    p.scaleFactor = 0;
    p.type = 9;
    p.xOffsetLimit = -5;
    p.xFilterCoeff = NaN;
    p.constAOffset = INF;
    p.instantXOffset = 12;
    p.processingTimeMks = -3;
    ASSERT_TRUE(s.init(p));
    EXPECT_TRUE(sameParams(s.getParams(), p));
}

// Runs `frames` through `s`, returning the published offsets of every frame.
std::vector<OffsetsSeen> run(CalmoraOpenCv& s, const std::vector<Frame>& frames,
                             std::vector<Frame>* outputs = nullptr) {
    std::vector<OffsetsSeen> seen;
    Frame dst;
    for (const Frame& src : frames) {
        EXPECT_TRUE(s.stabilise(src, dst));
        seen.push_back(offsetsOf(s));
        if (outputs != nullptr) {
            outputs->push_back(dst);
        }
    }
    return seen;
}

TEST(CalmoraOpenCvTest, UncheckedValuesBehaveLikeTheirNearestValidValue) {
    struct Case {
        const char* name;
        void (*odd)(CalmoraParams&);
        void (*equivalent)(CalmoraParams&);
    };
    const Case cases[] = {
        {"scaleFactor 0", [](CalmoraParams& p) { p.scaleFactor = 0; },
         [](CalmoraParams& p) { p.scaleFactor = 1; }},
        {"scaleFactor -4", [](CalmoraParams& p) { p.scaleFactor = -4; },
         [](CalmoraParams& p) { p.scaleFactor = 1; }},
        {"type 7", [](CalmoraParams& p) { p.type = 7; }, [](CalmoraParams& p) { p.type = 2; }},
        {"type -3", [](CalmoraParams& p) { p.type = -3; }, [](CalmoraParams& p) { p.type = 0; }},
        {"NaN coefficient", [](CalmoraParams& p) { p.xFilterCoeff = NaN; },
         [](CalmoraParams& p) { p.xFilterCoeff = 0.0f; }},
        {"coefficient 5", [](CalmoraParams& p) { p.yFilterCoeff = 5.0f; },
         [](CalmoraParams& p) { p.yFilterCoeff = 1.0f; }},
        {"coefficient -2", [](CalmoraParams& p) { p.aFilterCoeff = -2.0f; },
         [](CalmoraParams& p) { p.aFilterCoeff = 0.0f; }},
        {"negative x limit", [](CalmoraParams& p) { p.xOffsetLimit = -5; },
         [](CalmoraParams& p) { p.xOffsetLimit = 0; }},
        {"NaN rotation limit", [](CalmoraParams& p) { p.aOffsetLimit = NaN; },
         [](CalmoraParams& p) { p.aOffsetLimit = 0.0f; }},
        {"infinite constant rotation", [](CalmoraParams& p) { p.constAOffset = INF; },
         [](CalmoraParams& p) { p.constAOffset = 0.0f; }},
        {"NaN constant rotation", [](CalmoraParams& p) { p.constAOffset = NaN; },
         [](CalmoraParams& p) { p.constAOffset = 0.0f; }},
        {"huge constant shift",
         [](CalmoraParams& p) { p.constXOffset = std::numeric_limits<int>::max(); },
         [](CalmoraParams& p) { p.constXOffset = 1000000; }},
    };
    for (const Case& c : cases) {
        CalmoraParams odd;
        CalmoraParams equivalent;
        c.odd(odd);
        c.equivalent(equivalent);
        CalmoraOpenCv a;
        CalmoraOpenCv b;
        a.init(odd);
        b.init(equivalent);
        std::vector<Frame> outA;
        std::vector<Frame> outB;
        const std::vector<OffsetsSeen> seenA = run(a, clip(), &outA);
        const std::vector<OffsetsSeen> seenB = run(b, clip(), &outB);
        for (size_t k = 0; k < seenA.size(); ++k) {
            EXPECT_TRUE(std::isfinite(seenA[k].x) && std::isfinite(seenA[k].y) &&
                        std::isfinite(seenA[k].a))
                << c.name << " frame " << k;
            EXPECT_EQ(seenA[k].x, seenB[k].x) << c.name << " frame " << k;
            EXPECT_EQ(seenA[k].y, seenB[k].y) << c.name << " frame " << k;
            EXPECT_EQ(seenA[k].a, seenB[k].a) << c.name << " frame " << k;
            EXPECT_TRUE(sameBytes(outA[k], outB[k])) << c.name << " frame " << k;
        }
    }
}

TEST(CalmoraOpenCvTest, WorstRecordNeverCrashesAnyFormat) {
    CalmoraParams p;
    p.scaleFactor = -100;
    p.type = -1;
    p.xOffsetLimit = std::numeric_limits<int>::min();
    p.yOffsetLimit = std::numeric_limits<int>::max();
    p.aOffsetLimit = -INF;
    p.xFilterCoeff = INF;
    p.yFilterCoeff = NaN;
    p.aFilterCoeff = -INF;
    p.constXOffset = std::numeric_limits<int>::min();
    p.constYOffset = std::numeric_limits<int>::max();
    p.constAOffset = NaN;
    for (const int type : {-1, 1, 2, 99}) {
        p.type = type;
        for (const uint32_t format : {fcc::BGR3, fcc::NV12, fcc::YUYV, fcc::GRAY, fcc::YU12}) {
            CalmoraOpenCv s;
            s.init(p);
            for (const OffsetsSeen& o : run(s, clip(format))) {
                EXPECT_TRUE(std::isfinite(o.x) && std::isfinite(o.y) && std::isfinite(o.a))
                    << type << " " << format;
            }
        }
    }
}

TEST(CalmoraOpenCvTest, CommandsResetOnlyOnRealChanges) {
    // Reference offsets of an undisturbed run; a reset shows as exactly zero
    // offsets on the next frame (its previous image is uniform) followed by
    // different offsets than the reference.
    CalmoraOpenCv reference;
    const std::vector<OffsetsSeen> plain = run(reference, clip());
    ASSERT_NE(plain[6].x, 0.0f);

    struct Case {
        const char* name;
        void (*act)(CalmoraOpenCv&);  // sent after frame 5, before frame 6
        bool resets;
        bool disabled;  // frame 6 passes through
    };
    const Case cases[] = {
        {"RESET", [](CalmoraOpenCv& s) { EXPECT_TRUE(s.executeCommand(RESET)); }, true, false},
        {"ON while enabled", [](CalmoraOpenCv& s) { EXPECT_TRUE(s.executeCommand(ON)); }, false,
         false},
        {"OFF then ON",
         [](CalmoraOpenCv& s) {
             EXPECT_TRUE(s.executeCommand(OFF));
             EXPECT_TRUE(s.executeCommand(ON));
         },
         true, false},
        {"OFF then ENABLE 1",
         [](CalmoraOpenCv& s) {
             EXPECT_TRUE(s.executeCommand(OFF));  // this one resets
             EXPECT_TRUE(s.setParam(ENABLE, 1.0f));
         },
         true, false},
        {"ENABLE 0 then ON",
         [](CalmoraOpenCv& s) {
             EXPECT_TRUE(s.setParam(ENABLE, 0.0f));
             EXPECT_TRUE(s.executeCommand(ON));  // this one resets
         },
         true, false},
        {"ENABLE 0 then 1",
         [](CalmoraOpenCv& s) {
             EXPECT_TRUE(s.setParam(ENABLE, 0.0f));
             EXPECT_TRUE(s.setParam(ENABLE, 1.0f));
         },
         false, false},
        {"OFF", [](CalmoraOpenCv& s) { EXPECT_TRUE(s.executeCommand(OFF)); }, true, true},
        {"unknown command",
         [](CalmoraOpenCv& s) {
             EXPECT_FALSE(s.executeCommand(4));
             EXPECT_FALSE(s.executeCommand(0));
         },
         false, false},
    };
    for (const Case& c : cases) {
        CalmoraOpenCv s;
        Frame dst;
        std::vector<OffsetsSeen> seen;
        for (size_t k = 0; k < clip().size(); ++k) {
            if (k == 6) {
                c.act(s);
                const OffsetsSeen now = offsetsOf(s);
                if (c.resets) {
                    EXPECT_EQ(now.x, 0.0f) << c.name << ": reported offsets restart at once";
                } else {
                    EXPECT_EQ(now.x, plain[5].x) << c.name;
                }
            }
            ASSERT_TRUE(s.stabilise(clip()[k], dst));
            seen.push_back(offsetsOf(s));
            if (k == 6 && (c.resets || c.disabled)) {
                EXPECT_TRUE(sameBytes(dst, clip()[k])) << c.name;
            }
        }
        if (c.disabled) {
            EXPECT_EQ(s.getParam(ENABLE), 0.0f);
            EXPECT_EQ(seen[6].x, 0.0f) << c.name;
        } else if (c.resets) {
            EXPECT_EQ(seen[6].x, 0.0f) << c.name;
            EXPECT_EQ(seen[6].y, 0.0f) << c.name;
            EXPECT_NE(seen[8].x, plain[8].x) << c.name;
        } else {
            for (size_t k = 0; k < seen.size(); ++k) {
                EXPECT_EQ(seen[k].x, plain[k].x) << c.name << " frame " << k;
                EXPECT_EQ(seen[k].y, plain[k].y) << c.name << " frame " << k;
            }
        }
    }
}

TEST(CalmoraOpenCvTest, EmptySourceIsRefusedWithNothingChanged) {
    CalmoraOpenCv s;
    Frame dst;
    ASSERT_TRUE(s.stabilise(clip()[0], dst));
    ASSERT_TRUE(s.stabilise(clip()[1], dst));
    const Frame dstBefore = dst;
    const CalmoraParams paramsBefore = s.getParams();
    const OffsetsSeen offsetsBefore = offsetsOf(s);

    Frame empty;
    Frame zeroSize(64, 48, fcc::BGR3);
    zeroSize.size = 0;
    Frame noData;  // header without a buffer
    noData.width = 64;
    noData.height = 48;
    noData.fourcc = fcc::BGR3;
    noData.size = 64 * 48 * 3;
    Frame zeroWidth = clip()[2];
    zeroWidth.width = 0;
    Frame zeroHeight = clip()[2];
    zeroHeight.height = 0;
    for (const Frame* bad : {&empty, &zeroSize, &noData, &zeroWidth, &zeroHeight}) {
        EXPECT_FALSE(s.stabilise(*bad, dst));
        EXPECT_TRUE(sameBytes(dst, dstBefore));
        EXPECT_TRUE(sameParams(s.getParams(), paramsBefore));
        const OffsetsSeen o = offsetsOf(s);
        EXPECT_EQ(o.x, offsetsBefore.x);
        EXPECT_EQ(o.y, offsetsBefore.y);
    }
    // the state was not touched either: the next frame continues the run
    CalmoraOpenCv reference;
    const std::vector<OffsetsSeen> plain = run(reference, {clip()[0], clip()[1], clip()[2]});
    ASSERT_TRUE(s.stabilise(clip()[2], dst));
    EXPECT_EQ(offsetsOf(s).x, plain[2].x);
}

TEST(CalmoraOpenCvTest, DisabledGivesExactCopyAndStillPublishesTime) {
    for (const uint32_t format : {fcc::BGR3, fcc::NV12, fcc::GRAY}) {
        CalmoraOpenCv s;
        CalmoraParams p = s.getParams();
        p.enable = false;
        p.constXOffset = 20;  // constant offsets are not applied either
        p.constAOffset = 0.1f;
        p.processingTimeMks = -1;
        p.instantXOffset = 99;
        s.init(p);
        Frame dst(16, 16, fcc::GRAY);
        for (size_t k = 0; k < 3; ++k) {
            ASSERT_TRUE(s.stabilise(clip(format)[k], dst));
            EXPECT_TRUE(sameBytes(dst, clip(format)[k])) << format;
        }
        const CalmoraParams after = s.getParams();
        EXPECT_GE(after.processingTimeMks, 0);
        EXPECT_EQ(after.instantXOffset, 0);
        EXPECT_EQ(after.instantYOffset, 0);
        EXPECT_EQ(after.instantAOffset, 0.0f);
    }
}

TEST(CalmoraOpenCvTest, PublishedOffsetsAreTruncatedTowardZero) {
    // Content moves +3.7 right and -2.6 up: the correction is about -3.7 and
    // +2.6, published as -3 and 2, reported unrounded by getParam.
    const cv::Mat scene = calmora_test::texturedScene(400, 300, 17);
    const Frame first =
        calmora_test::toFrame(calmora_test::view(scene, {320, 240}, {40, 30}), fcc::BGR3);
    const Frame second = calmora_test::toFrame(
        calmora_test::view(scene, {320, 240}, {40 - 3.7, 30 + 2.6}), fcc::BGR3);
    CalmoraOpenCv s;
    ASSERT_TRUE(s.setParam(TYPE, 1.0f));
    Frame dst;
    ASSERT_TRUE(s.stabilise(first, dst));
    ASSERT_TRUE(s.stabilise(second, dst));
    EXPECT_NEAR(s.getParam(INSTANT_X_OFFSET), -3.7f, 0.15f);
    EXPECT_NEAR(s.getParam(INSTANT_Y_OFFSET), 2.6f, 0.15f);
    const CalmoraParams p = s.getParams();
    EXPECT_EQ(p.instantXOffset, -3);
    EXPECT_EQ(p.instantYOffset, 2);
    EXPECT_EQ(p.instantAOffset, 0.0f);
}

TEST(CalmoraOpenCvTest, RotationIsReportedByIdentifierOnlyForType2) {
    for (const int type : {0, 1, 2}) {
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
        ASSERT_TRUE(s.setParam(CONST_A_OFFSET, 0.05f));
        run(s, clip());
        const OffsetsSeen o = offsetsOf(s);
        EXPECT_GT(std::fabs(o.a), 0.01f) << "type " << type;  // the constant rotation at least
        EXPECT_EQ(s.getParam(INSTANT_A_OFFSET), type == 2 ? o.a : 0.0f) << "type " << type;
        EXPECT_EQ(s.getParams().instantAOffset, o.a) << "type " << type;
    }
}

TEST(CalmoraOpenCvTest, DestinationTakesTheSourceGeometry) {
    CalmoraOpenCv s;
    Frame dst(32, 32, fcc::GRAY);
    ASSERT_TRUE(s.stabilise(clip()[0], dst));
    EXPECT_TRUE(sameBytes(dst, clip()[0]));  // first frame: no motion yet
    ASSERT_TRUE(s.stabilise(clip(fcc::NV12)[1], dst));
    EXPECT_EQ(dst.fourcc, fcc::NV12);
    EXPECT_EQ(dst.size, clip(fcc::NV12)[1].size);
    // formats without luma are copied unchanged
    Frame jpeg(320, 240, fcc::JPEG);
    jpeg.data[0] = 0xFF;
    jpeg.data[1] = 0xD8;
    ASSERT_TRUE(s.stabilise(jpeg, dst));
    EXPECT_TRUE(sameBytes(dst, jpeg));
}

TEST(CalmoraOpenCvTest, ParameterChangesApplyFromTheNextFrame) {
    // Switching to type 0 changes the analysis size (320 x 240 -> 256 square):
    // the next frame starts again from a reset.
    CalmoraOpenCv s;
    Frame dst;
    for (size_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(s.stabilise(clip()[k], dst));
    }
    ASSERT_NE(offsetsOf(s).x, 0.0f);
    ASSERT_TRUE(s.setParam(TYPE, 0.0f));
    ASSERT_TRUE(s.stabilise(clip()[4], dst));
    EXPECT_EQ(offsetsOf(s).x, 0.0f);
    EXPECT_TRUE(sameBytes(dst, clip()[4]));
    ASSERT_TRUE(s.stabilise(clip()[5], dst));
    EXPECT_NE(offsetsOf(s).x, 0.0f);  // type 0 measures from here on
}

TEST(CalmoraOpenCvTest, FramesTooSmallToMeasurePassSafely) {
    struct Case {
        int width, height, scaleFactor, type;
        uint32_t format;
    };
    const Case cases[] = {
        {5, 5, 8, 2, fcc::BGR3},    // narrower than scaleFactor: 0 x 0 analysed
        {30, 15, 1, 1, fcc::GRAY},  // below 21 rows
        {1, 1, 1, 0, fcc::BGR3},    // the Fourier square is up-scaled
        {2, 2, 1, 2, fcc::NV12},
    };
    for (const Case& c : cases) {
        CalmoraOpenCv s;
        s.setParam(SCALE_FACTOR, static_cast<float>(c.scaleFactor));
        s.setParam(TYPE, static_cast<float>(c.type));
        cv::Mat bgr(c.height, c.width, CV_8UC3, cv::Scalar(10, 200, 90));
        bgr.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 0, 0);
        const Frame src = calmora_test::toFrame(bgr, c.format);
        Frame dst;
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(s.stabilise(src, dst));
            EXPECT_TRUE(sameBytes(dst, src)) << c.width << "x" << c.height;
            EXPECT_EQ(offsetsOf(s).x, 0.0f);
        }
    }
    // a tiny frame inside a run neither resets nor disturbs the analysed pair:
    // the frame after it is measured against the frame before it
    CalmoraOpenCv s;
    s.setParam(TYPE, 1.0f);
    Frame dst;
    const Frame tiny =
        calmora_test::toFrame(cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(90)), fcc::BGR3);
    ASSERT_TRUE(s.stabilise(clip()[0], dst));
    ASSERT_TRUE(s.stabilise(tiny, dst));
    EXPECT_EQ(dst.width, 10u);
    ASSERT_TRUE(s.stabilise(clip()[1], dst));
    EXPECT_NE(offsetsOf(s).x, 0.0f);
}

// Frames whose picture cannot be read give zero motion: the motion path
// after them is the one of a run without them. Before, the previous pair
// was measured again and its motion counted twice.
TEST(CalmoraOpenCvTest, UnreadableFramesAddNoMotion) {
    auto frozen = [](CalmoraOpenCv& s) {
        // coefficients 1 hold the smoothed path at 0: offsets are minus the path
        s.setParam(X_FILTER_COEFF, 1.0f);
        s.setParam(Y_FILTER_COEFF, 1.0f);
        s.setParam(A_FILTER_COEFF, 1.0f);
    };
    CalmoraOpenCv reference;
    frozen(reference);
    const std::vector<OffsetsSeen> plain = run(reference, {clip()[0], clip()[1], clip()[2]});
    ASSERT_NE(plain[1].x, 0.0f);  // the clip moves between its first frames

    Frame shortFrame = clip()[2];
    shortFrame.size -= 1;
    Frame compressed(320, 240, fcc::JPEG, 1000, clip()[2].data);
    Frame unknownWithData = clip()[2];
    unknownWithData.fourcc = video::makeFourcc("ABCD");
    for (const Frame* unreadable : {&shortFrame, &compressed, &unknownWithData}) {
        CalmoraOpenCv s;
        frozen(s);
        Frame dst;
        ASSERT_TRUE(s.stabilise(clip()[0], dst));
        ASSERT_TRUE(s.stabilise(clip()[1], dst));
        ASSERT_TRUE(s.stabilise(*unreadable, dst));
        ASSERT_TRUE(s.stabilise(*unreadable, dst));
        ASSERT_TRUE(s.stabilise(clip()[2], dst));
        EXPECT_EQ(offsetsOf(s).x, plain[2].x) << unreadable->fourcc;
        EXPECT_EQ(offsetsOf(s).y, plain[2].y) << unreadable->fourcc;
        EXPECT_EQ(offsetsOf(s).a, plain[2].a) << unreadable->fourcc;
    }
}

}  // namespace
}  // namespace orl::calmora
