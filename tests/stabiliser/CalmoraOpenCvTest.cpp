#include <calmora/CalmoraOpenCv.h>

#include "Synthetic.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <array>
#include <cmath>
#include <tuple>
#include <vector>

namespace orl::calmora {
namespace {

namespace fcc = video::fourcc;
using video::Frame;
using P = CalmoraParams;
using Seen = std::array<float, 3>;  // getOffsets: x, y, a

std::vector<uint8_t> bytesOf(const Frame& f) {
    return {f.data, f.data + f.size};
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

const std::vector<Frame>& clip() {
    static std::vector<Frame> frames;
    if (frames.empty()) {
        for (const cv::Mat& bgr : calmora_test::shakyClip({320, 240}, 12, 6.0, 0.01).frames) {
            frames.push_back(calmora_test::toFrame(bgr, fcc::BGR3));
        }
    }
    return frames;
}

std::vector<Seen> run(CalmoraOpenCv& s, size_t from, size_t to) {
    std::vector<Seen> seen;
    Frame dst;
    for (size_t k = from; k < to; ++k) {
        EXPECT_TRUE(s.stabilise(clip()[k], dst));
        seen.push_back(offsetsOf(s));
    }
    return seen;
}

template <typename T>
P with(T P::*field, T value) {
    P p;
    p.*field = value;
    return p;
}

TEST(CalmoraOpenCvTest, ParametersByIdentifier) {
    const P base{3, 77,    66, 5,  0.3f, 0.4f, 0.5f, true, true, -7,
                 8, 0.25f, 12, 13, 0.5f, 1,    2.5f, 25,   99,   4};
    // 13 to 15 report the offsets published since, none yet
    const std::vector<float> baseSeen = {3, 77,    66, 5, 0.3f, 0.4f, 0.5f, 1,  1,  -7,
                                         8, 0.25f, 0,  0, 0,    1,    2.5f, 25, 99, 4};
    struct Range {
        int id;
        std::vector<float> refused;
        std::vector<std::pair<float, float>> accepted;  // value, then getParam
    };
    const Range ranges[] = {
        {SCALE_FACTOR, {9, 0.9f, NAN}, {{8.9f, 8}, {1, 1}}},
        {X_OFFSET_LIMIT, {1025, 0}, {{1024, 1024}}},
        {Y_OFFSET_LIMIT, {-1}, {{1.5f, 1}}},
        {A_OFFSET_LIMIT, {89.5f, -0.1f}, {{89, 89}, {0, 0}}},
        {X_FILTER_COEFF, {1.01f, NAN}, {{1, 1}, {0, 0}}},
        {Y_FILTER_COEFF, {-0.01f}, {{0.75f, 0.75f}}},
        {A_FILTER_COEFF, {2}, {{0.6f, 0.6f}}},
        {ENABLE, {2, -1}, {{1.7f, 1}, {-0.5f, 0}}},
        {TRANSPARENT_BORDER, {2}, {{0.2f, 0}}},
        {CONST_X_OFFSET, {INFINITY}, {{-12.7f, -12}, {1e20f, 2147483647.0f}}},
        {CONST_Y_OFFSET, {}, {{33.9f, 33}}},
        {CONST_A_OFFSET, {NAN}, {{-0.25f, -0.25f}}},
        {TYPE, {3, -1}, {{2.5f, 2}, {-0.5f, 0}}},
    };
    CalmoraOpenCv s;
    ASSERT_TRUE(s.init(base));
    EXPECT_EQ(everyParam(s), baseSeen);
    EXPECT_TRUE(s.getParam(0) == -1.0f && s.getParam(21) == -1.0f && s.getParam(-7) == -1.0f);
    const auto refuses = [&](int id, float value) {  // and changes nothing
        const std::vector<float> before = everyParam(s);
        EXPECT_TRUE(!s.setParam(id, value) && everyParam(s) == before) << id << ": " << value;
    };
    for (const int readOnly : {13, 14, 15, 17, 18, 19, 20, 0, 21}) {
        refuses(readOnly, 1.0f);
    }
    for (const Range& r : ranges) {
        for (const float value : r.refused) {
            refuses(r.id, value);
        }
        for (const auto& [value, stored] : r.accepted) {
            EXPECT_TRUE(s.setParam(r.id, value)) << r.id << ": " << value;
            EXPECT_EQ(s.getParam(r.id), stored) << r.id << ": " << value;
        }
    }
}

TEST(CalmoraOpenCvTest, UncheckedValuesActAsTheNearestValidValue) {
    const std::tuple<const char*, P, P> cases[] = {
        {"scaleFactor 0", with(&P::scaleFactor, 0), with(&P::scaleFactor, 1)},
        {"type 7", with(&P::type, 7), with(&P::type, 2)},
        {"type -3", with(&P::type, -3), with(&P::type, 0)},
        {"NaN coefficient", with(&P::xFilterCoeff, NAN), with(&P::xFilterCoeff, 0.0f)},
        {"coefficient 5", with(&P::yFilterCoeff, 5.0f), with(&P::yFilterCoeff, 1.0f)},
        {"x limit -5", with(&P::xOffsetLimit, -5), with(&P::xOffsetLimit, 0)},
        {"NaN rotation limit", with(&P::aOffsetLimit, NAN), with(&P::aOffsetLimit, 0.0f)},
        {"NaN rotation", with(&P::constAOffset, NAN), with(&P::constAOffset, 0.0f)},
    };
    for (const auto& [name, odd, valid] : cases) {
        CalmoraOpenCv a, b;
        a.init(odd);
        b.init(valid);
        EXPECT_EQ(run(a, 0, 12), run(b, 0, 12)) << name;
    }
}

// Between frames 5 and 6 a command, a parameter change or an odd frame: only
// a real change restarts the state at frame 6, and an odd frame adds no motion.
// Coefficients 1 make the offsets minus the path, so no motion leaves them.
TEST(CalmoraOpenCvTest, OnlyRealChangesResetAndOddFramesAddNoMotion) {
    const Frame& full = clip()[2];
    Frame noData, zeroSize = full, zeroWidth = full, zeroHeight = full, shortFrame = full;
    Frame unknown = full;
    zeroSize.size = 0;
    noData.width = 64;  // a header without a buffer
    noData.height = 48;
    noData.size = 64 * 48 * 3;
    zeroWidth.width = 0;
    zeroHeight.height = 0;
    shortFrame.size -= 1;
    unknown.fourcc = video::makeFourcc("ABCD");
    auto tiny = [](int w, int h, uint32_t format) {
        return calmora_test::toFrame(cv::Mat(h, w, CV_8UC3, cv::Scalar(10, 200, 90)), format);
    };
    constexpr int SET_OFF = -1, SET_ON = -2, SET_FOURIER = -3;  // setParam ENABLE 0, 1, TYPE 0
    struct Case {
        const char* name;
        std::vector<int> act;
        bool clears, restarts, disabled;  // published offsets at once; state at frame 6
        const Frame* odd = nullptr;       // a frame in between, instead
        bool refused = false;
    };
    const Frame compressed(320, 240, fcc::JPEG, 1000, full.data), gray = tiny(30, 15, fcc::GRAY),
                                                                  nv12 = tiny(2, 2, fcc::NV12);
    const Case cases[] = {
        {"RESET", {RESET}, true, true, false},
        {"ON while enabled", {ON}, false, false, false},
        {"OFF then ON", {OFF, ON}, true, true, false},
        {"OFF then ENABLE 1", {OFF, SET_ON}, true, true, false},
        {"ENABLE 0 then ON", {SET_OFF, ON}, true, true, false},
        {"ENABLE 0 then 1", {SET_OFF, SET_ON}, false, false, false},
        {"OFF", {OFF}, true, true, true},
        {"unknown commands", {4, 0}, false, false, false},
        {"new analysis size", {SET_FOURIER}, false, true, false},  // 256 square, not 320 x 240
        {"size 0", {}, false, false, false, &zeroSize, true},
        {"no data", {}, false, false, false, &noData, true},
        {"width 0", {}, false, false, false, &zeroWidth, true},
        {"height 0", {}, false, false, false, &zeroHeight, true},
        {"short", {}, false, false, false, &shortFrame},
        {"compressed", {}, false, false, false, &compressed},
        {"unknown format", {}, false, false, false, &unknown},
        {"below 21 rows", {}, false, false, false, &gray},
        {"2 x 2 NV12", {}, false, false, false, &nv12},
    };
    P frozen;
    frozen.xFilterCoeff = frozen.yFilterCoeff = frozen.aFilterCoeff = 1.0f;
    CalmoraOpenCv reference;
    reference.init(frozen);
    const std::vector<Seen> plain = run(reference, 0, 12);
    for (const Case& c : cases) {
        CalmoraOpenCv s, fresh;
        s.init(frozen);
        fresh.init(frozen);
        run(s, 0, 6);
        for (const int act : c.act) {
            const bool ok = act == SET_FOURIER ? s.setParam(TYPE, 0.0f)
                            : act < 0          ? s.setParam(ENABLE, act == SET_ON ? 1.0f : 0.0f)
                                               : s.executeCommand(act);
            EXPECT_EQ(ok, act < 0 || (act >= RESET && act <= OFF)) << c.name;
        }
        if (c.odd != nullptr) {  // refused touching nothing, or accepted
            const std::vector<float> before = everyParam(s);
            Frame dst = clip()[5];
            EXPECT_NE(s.stabilise(*c.odd, dst), c.refused) << c.name;
            EXPECT_TRUE(!c.refused ||
                        (bytesOf(dst) == bytesOf(clip()[5]) && everyParam(s) == before));
        } else {
            EXPECT_EQ(offsetsOf(s), c.clears ? Seen{} : plain[5]) << c.name;
        }
        const std::vector<Seen> seen = run(s, 6, 12);
        EXPECT_EQ(s.getParam(ENABLE), c.disabled ? 0.0f : 1.0f) << c.name;
        EXPECT_EQ(s.getParams().instantXOffset, static_cast<int>(seen.back()[0])) << c.name;
        fresh.setParam(TYPE, s.getParam(TYPE));  // a new stabiliser from frame 6, or disabled
        const std::vector<Seen> restarted = c.disabled ? std::vector<Seen>(6) : run(fresh, 6, 12);
        EXPECT_EQ(seen, c.restarts ? restarted : std::vector<Seen>(plain.begin() + 6, plain.end()))
            << c.name;
    }
}

// The content moves 3.7 right, 2.6 up: the correction (plus a constant shift) is published
// truncated, by identifier unrounded; half the frame or more is not applied nor published.
TEST(CalmoraOpenCvTest, PublishedOffsetsAreTheAppliedOnes) {
    const cv::Mat scene = calmora_test::texturedScene(400, 300, 17);
    const Frame first =
        calmora_test::toFrame(calmora_test::view(scene, {320, 240}, {40, 30}), fcc::BGR3);
    const Frame second = calmora_test::toFrame(
        calmora_test::view(scene, {320, 240}, {40 - 3.7, 30 + 2.6}), fcc::BGR3);
    for (const auto& [constX, publishedX] : {std::pair{0, -3}, {7, 3}, {164, 0}, {-400, 0}}) {
        const bool moved = publishedX != 0;
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, 1.0f) && s.setParam(CONST_X_OFFSET, constX));
        Frame dst;
        ASSERT_TRUE(s.stabilise(first, dst) && s.stabilise(second, dst));
        EXPECT_NEAR(s.getParam(INSTANT_X_OFFSET), moved ? constX - 3.7f : 0.0f, 0.15f);
        EXPECT_NEAR(s.getParam(INSTANT_Y_OFFSET), moved ? 2.6f : 0.0f, 0.15f) << constX;
        EXPECT_EQ(offsetsOf(s)[0], s.getParam(INSTANT_X_OFFSET));
        const P p = s.getParams();
        EXPECT_EQ(p.instantXOffset, publishedX) << constX;
        EXPECT_EQ(p.instantYOffset, moved ? 2 : 0) << constX;
        EXPECT_EQ(bytesOf(dst) == bytesOf(second), !moved) << constX;
    }
}

TEST(CalmoraOpenCvTest, RotationIsReportedByIdentifierOnlyForType2) {
    for (const float type : {0.0f, 1.0f, 2.0f}) {
        CalmoraOpenCv s;
        ASSERT_TRUE(s.setParam(TYPE, type) && s.setParam(CONST_A_OFFSET, 0.05f));
        const float a = run(s, 0, 12).back()[2];
        EXPECT_GT(std::fabs(a), 0.01f) << "type " << type;  // the constant rotation at least
        EXPECT_EQ(s.getParam(INSTANT_A_OFFSET), type == 2 ? a : 0.0f) << "type " << type;
        EXPECT_EQ(s.getParams().instantAOffset, a) << "type " << type;
    }
}

constexpr size_t WARM_UP = 8;  // frames before the smoothing has a history

// Mean length of the frame-to-frame translation of the central region.
double meanMotion(const std::vector<Frame>& frames) {
    double sum = 0.0;
    cv::Mat previous, current;
    for (size_t k = WARM_UP; k < frames.size(); ++k, previous = current.clone()) {
        calmora_test::lumaOf(frames[k])(cv::Rect(160, 90, 320, 180)).convertTo(current, CV_64F);
        if (!previous.empty()) {
            const cv::Point2d shift = cv::phaseCorrelate(previous, current);
            sum += std::hypot(shift.x, shift.y);
        }
    }
    return sum / static_cast<double>(frames.size() - WARM_UP - 1);
}

TEST(CalmoraOpenCvTest, ShakySequencesComeOutSteadierForEveryTypeAndFormat) {
    const calmora_test::ShakyClip still = calmora_test::shakyClip({640, 360}, 72, 10.0, 0.0, 31);
    const calmora_test::ShakyClip turning = calmora_test::shakyClip({640, 360}, 72, 10, 0.015, 31);
    for (const int type : {0, 1, 2}) {
        for (const uint32_t format : {fcc::BGR3, fcc::NV12}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " format " << format);
            const bool rotating = type == 2 && format == fcc::BGR3;  // NV12 never turns
            const calmora_test::ShakyClip& clip = rotating ? turning : still;
            CalmoraOpenCv s;
            ASSERT_TRUE(s.setParam(TYPE, static_cast<float>(type)));
            std::vector<Frame> in, out;
            double residual = 0.0, jitter = 0.0;  // of the camera angle, squared
            for (size_t k = 0; k < clip.frames.size(); ++k) {
                in.push_back(calmora_test::toFrame(clip.frames[k], format));
                out.emplace_back();
                ASSERT_TRUE(s.stabilise(in.back(), out.back()));
                const auto [x, y, a] = offsetsOf(s);  // motion is limited to 150 and smoothed
                ASSERT_TRUE(std::fabs(x) < 320 && std::fabs(y) < 320 && std::fabs(a) < 0.5f) << k;
                if (rotating && k >= WARM_UP) {  // the angle's mean is 0 by construction
                    residual += (a - clip.angle[k]) * (a - clip.angle[k]);
                    jitter += clip.angle[k] * clip.angle[k];
                }
            }
            const double before = meanMotion(in), after = meanMotion(out);
            EXPECT_GT(before, 8.0);  // the clip really shakes
            EXPECT_LT(after * 4.0, before) << after << " of " << before;
            // offsetA follows the camera angle; uncorrected, residual = jitter
            EXPECT_LE(residual * 4.0, jitter) << residual << " of " << jitter;
        }
    }
}

}  // namespace
}  // namespace orl::calmora
