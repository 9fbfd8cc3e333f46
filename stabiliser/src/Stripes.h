#pragma once

// Independent stripes of work spread over OpenCV's threads.

#include <opencv2/core/utility.hpp>

#if defined(__SANITIZE_THREAD__)
#define CALMORA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CALMORA_TSAN 1
#endif
#endif

#ifdef CALMORA_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace orl::calmora {

namespace stripes_detail {

// OpenCV's thread pool is not instrumented for ThreadSanitizer, which then
// cannot see that the stripes start after the call and end before it
// returns. These tell it so; each stripe still only sees the caller's
// writes, not the other stripes', so a race between stripes is reported.
inline void handOver([[maybe_unused]] const void* token) {
#ifdef CALMORA_TSAN
    __tsan_release(const_cast<void*>(token));
#endif
}

inline void takeOver([[maybe_unused]] const void* token) {
#ifdef CALMORA_TSAN
    __tsan_acquire(const_cast<void*>(token));
#endif
}

template <typename Body>
class StripeLoop : public cv::ParallelLoopBody {
  public:
    explicit StripeLoop(const Body& body) : body_(body) {}
    void operator()(const cv::Range& range) const override {
        takeOver(&started_);
        for (int stripe = range.start; stripe < range.end; ++stripe) {
            body_(stripe);
        }
        handOver(&finished_);
    }

    char started_{0};
    char finished_{0};

  private:
    const Body& body_;
};

}  // namespace stripes_detail

/// Calls body(stripe) for stripe = 0 .. count - 1 over OpenCV's threads and
/// returns when all are done. The stripes must write disjoint data; the
/// result is then the same for any number of threads (one included).
template <typename Body>
void forEachStripe(int count, const Body& body) {
    stripes_detail::StripeLoop<Body> loop(body);
    stripes_detail::handOver(&loop.started_);
    cv::parallel_for_(cv::Range(0, count), loop);
    stripes_detail::takeOver(&loop.finished_);
}

}  // namespace orl::calmora
