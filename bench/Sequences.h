#pragma once

// The moving camera sequence the benchmarks play: a slow pan across a
// larger textured scene with random jitter of a few pixels and a few
// milliradians per frame, played forwards then backwards so that cycling it
// never jumps. Frames are generated once, before any timing.

#include "Synthetic.h"

#include <calmora/Frame.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

namespace calmora_bench {

class Sequence {
  public:
    Sequence(int width, int height, uint32_t code, int frames = 20) {
        const int margin = 64;
        const cv::Mat scene =
            calmora_test::texturedScene(width + 2 * margin, height + 2 * margin, 11);
        cv::RNG rng(42);
        for (int i = 0; i < frames; ++i) {
            const cv::Point2d topLeft(margin + 1.5 * i - 15 + rng.uniform(-4.0, 4.0),
                                      margin + 0.5 * i - 5 + rng.uniform(-3.0, 3.0));
            const double angle = rng.uniform(-0.005, 0.005);
            frames_.push_back(calmora_test::toFrame(
                calmora_test::view(scene, {width, height}, topLeft, angle), code));
        }
        for (int i = 0; i < frames; ++i) {
            order_.push_back(i);
        }
        for (int i = frames - 2; i > 0; --i) {
            order_.push_back(i);
        }
    }

    const orl::video::Frame& next() {
        const orl::video::Frame& f = frames_[static_cast<size_t>(order_[pos_])];
        pos_ = (pos_ + 1) % order_.size();
        return f;
    }

  private:
    std::vector<orl::video::Frame> frames_;
    std::vector<int> order_;
    size_t pos_{0};
};

/// The sequence of one geometry, kept until another is asked for: twenty
/// 1080p "BGR3" frames alone take about 125 MB.
inline Sequence& sequenceFor(int width, int height, uint32_t code) {
    static std::tuple<int, int, uint32_t> key{0, 0, 0};
    static std::unique_ptr<Sequence> seq;
    const auto wanted = std::make_tuple(width, height, code);
    if (!seq || key != wanted) {
        seq.reset();
        seq = std::make_unique<Sequence>(width, height, code);
        key = wanted;
    }
    return *seq;
}

}  // namespace calmora_bench
