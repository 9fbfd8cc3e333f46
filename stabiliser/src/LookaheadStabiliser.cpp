// Stabilisation with a fixed latency of N frames.
// - Every frame is measured as it arrives (MotionMeasurer; the residual
//   evidence only when cuts are looked for); its point of the
//   camera path, the running sum of the motion since its shot began, goes
//   into a ring of the last 2N + 1 points, the frame itself into a ring of N
//   copies whose buffers are reused.
// - Once N frames are held, each new frame pushes the oldest out: it is
//   written moved onto the path smoothed over the N frames before it and the
//   N after it, the local-line smoother with sigma N / 3, whose 3-sigma
//   window reaches exactly N frames ahead. A pan is followed without lag and
//   the shake is averaged away.
// - Only points of the frame's own shot enter its window: cut(), a cut the
//   detector finds, or a change of frame geometry starts a new shot, and the
//   held frames of the old one are still written on their own path,
//   one-sided at its end.
// - The correction (smoothed minus measured) is held within the offset limits
//   and written with the live stabiliser's compensation, zoom included: one
//   warp per frame. The path is taken relative to the frame being written,
//   so a long pan's large sums never reach the line fit.
// - With a readout set, every frame's motion is also measured per band of
//   rows, kept in a ring beside the path; the frame written gets the shifts
//   within it that the path in time rebuilt from its shot's bands within
//   BAND_WINDOW_FRAMES on either side gives, in the same warp.

#include <calmora/LookaheadStabiliser.h>

#include <calmora/CameraPath.h>
#include <calmora/CutDetector.h>
#include <calmora/MotionMeasurer.h>

#include "RollingShutter.h"
#include "RunParams.h"

#include <algorithm>
#include <vector>

namespace orl::calmora {

namespace {

bool sameGeometry(const video::Frame& a, const video::Frame& b) {
    return a.width == b.width && a.height == b.height && a.fourcc == b.fourcc;
}

}  // namespace

struct LookaheadStabiliser::State {
    explicit State(int latency)
        : n(latency),
          span(2 * latency + 1),
          frames(static_cast<size_t>(latency)),
          points(static_cast<size_t>(span)),
          shots(static_cast<size_t>(span)),
          window(static_cast<size_t>(span)),
          bands(static_cast<size_t>(span)),
          bandWindow(static_cast<size_t>(span)) {}

    const int n;     // latency, frames
    const int span;  // path points kept: N behind, the frame, N ahead
    CalmoraParams params{initialParams()};
    double zoom{MIN_ZOOM};
    MotionMeasurer measurer;
    CutDetector cuts;
    bool detectCuts{false};
    bool refinements{DEFAULT_REFINEMENTS};
    bool foundCut{false};                // the frame last recorded was found to be a cut
    std::vector<video::Frame> frames;    // frame k at k % n
    std::vector<PathPoint> points;       // path point of frame k at k % span
    std::vector<long long> shots;        // shot of frame k at k % span
    std::vector<PathPoint> window;       // scratch for the smoother
    std::vector<BandMotion> bands;       // band motions of frame k at k % span
    std::vector<BandMotion> bandWindow;  // scratch for the path in time
    double readout{0.0};                 // frame intervals; 0: no bands
    long long added{0};                  // frames taken since the last reset
    long long written{0};                // frames written since the last reset
    long long shot{0};
    bool cutPending{false};
    Correction last;

    PathPoint& pointOf(long long k) { return points[static_cast<size_t>(k % span)]; }
    long long& shotOf(long long k) { return shots[static_cast<size_t>(k % span)]; }
    BandMotion& bandsOf(long long k) { return bands[static_cast<size_t>(k % span)]; }
    video::Frame& frameOf(long long k) { return frames[static_cast<size_t>(k % n)]; }

    // Measures `src` and records its path point as frame `added`.
    void record(const video::Frame& src) {
        if (added > 0 && !sameGeometry(src, frameOf(added - 1)))
            cutPending = true;
        bool startsShot = added == 0 || cutPending;
        if (cutPending) {
            measurer.reset();
            ++shot;
            cutPending = false;
        }
        measurer.setRefinements(refinements);
        measurer.setBands(readout > 0.0);
        const Measurement m =
            detectCuts ? measurer.measure(src, params) : measurer.measureMotion(src, params);
        // the motion measured across a cut never happened: the measurer keeps
        // the cut frame as the one the next is compared with, the path starts again
        foundCut = detectCuts && cuts.isCut(src, m);
        if (foundCut) {
            startsShot = true;
            ++shot;
        }
        const PathPoint previous = startsShot ? PathPoint{} : pointOf(added - 1);
        pointOf(added) = startsShot
                             ? PathPoint{}
                             : PathPoint{previous.x + m.x, previous.y + m.y, previous.a + m.a};
        shotOf(added) = shot;
        bandsOf(added) = bandMotionOf(m);
        ++added;
    }

    // Writes the oldest held frame onto the path smoothed over its shot's
    // frames within N on either side.
    void writeOldest(video::Frame& dst) {
        const long long i = written;
        long long lo = i, hi = i;
        while (lo > std::max(i - n, 0LL) && shotOf(lo - 1) == shotOf(i))
            --lo;
        while (hi < std::min(i + n, added - 1) && shotOf(hi + 1) == shotOf(i))
            ++hi;
        const PathPoint origin = pointOf(i);
        for (long long k = lo; k <= hi; ++k) {
            const PathPoint& p = pointOf(k);
            window[static_cast<size_t>(k - lo)] = {p.x - origin.x, p.y - origin.y, p.a - origin.a};
        }
        const PathPoint smooth = localLineAt(window.data(), static_cast<int>(hi - lo + 1),
                                             static_cast<int>(i - lo), n / 3.0);
        // smoothed minus measured; the measured point is the origin
        last = params.enable ? limitedCorrection({smooth.x, smooth.y, smooth.a, zoom}, params)
                             : Correction{};
        RowShifts rows;
        if (readout > 0.0 && params.enable)
            rowsOf(i, std::max(lo, i - BAND_WINDOW_FRAMES), std::min(hi, i + BAND_WINDOW_FRAMES),
                   rows);
        writeCorrected(frameOf(i), dst, last, params, refinements, &rows);
        ++written;
    }

    // The shifts within frame i from the bands of frames lo .. hi.
    void rowsOf(long long i, long long lo, long long hi, RowShifts& rows) {
        for (long long k = lo; k <= hi; ++k)
            bandWindow[static_cast<size_t>(k - lo)] = bandsOf(k);
        fitBandPath(bandWindow.data(), static_cast<int>(hi - lo + 1), readout,
                    static_cast<int>(i - lo), &rows);
    }
};

LookaheadStabiliser::LookaheadStabiliser(int latencyFrames)
    : state_(std::make_unique<State>(
          std::clamp(latencyFrames, MIN_LATENCY_FRAMES, MAX_LATENCY_FRAMES))) {}

LookaheadStabiliser::~LookaheadStabiliser() = default;

bool LookaheadStabiliser::init(const CalmoraParams& params) {
    state_->params = params;
    return true;
}

bool LookaheadStabiliser::configure(const ModeSettings& settings, std::string* error) {
    const std::optional<ModeSettings> accepted =
        settingsFor(StabiliserMode::LOOKAHEAD, settings, error);
    if (!accepted) {
        return false;
    }
    const ModeSettings& lookahead = *accepted;
    if (lookahead.latencyFrames != state_->n) {
        state_ = std::make_unique<State>(lookahead.latencyFrames);
    }
    state_->params = lookahead.params;
    state_->zoom = lookahead.zoom;
    state_->detectCuts = lookahead.detectCuts;
    state_->refinements = lookahead.refinements;
    state_->readout = lookahead.rollingShutter;
    return true;
}

CalmoraParams LookaheadStabiliser::getParams() const {
    return state_->params;
}

bool LookaheadStabiliser::setZoom(double zoom) {
    if (!(zoom >= MIN_ZOOM && zoom <= MAX_ZOOM))
        return false;
    state_->zoom = zoom;
    return true;
}

int LookaheadStabiliser::latency() const {
    return state_->n;
}

bool LookaheadStabiliser::stabilise(const video::Frame& src, video::Frame& dst) {
    State& s = *state_;
    if (src.size == 0 || src.width == 0 || src.height == 0 || src.data == nullptr)
        return false;
    const bool full = s.added - s.written == s.n;
    s.record(src);
    // the oldest frame leaves its slot to the new one
    if (full)
        s.writeOldest(dst);
    s.frameOf(s.added - 1) = src;
    return full;
}

bool LookaheadStabiliser::drain(video::Frame& dst) {
    State& s = *state_;
    if (s.written == s.added)
        return false;
    s.writeOldest(dst);
    return true;
}

Correction LookaheadStabiliser::lastCorrection() const {
    return state_->last;
}

void LookaheadStabiliser::cut() {
    state_->cutPending = true;
}

void LookaheadStabiliser::setCutDetection(bool on) {
    state_->detectCuts = on;
}

void LookaheadStabiliser::setRefinements(bool on) {
    state_->refinements = on;
}

bool LookaheadStabiliser::lastWasCut() const {
    return state_->foundCut;
}

void LookaheadStabiliser::reset() {
    State& s = *state_;
    s.measurer.reset();
    s.cuts.reset();
    s.foundCut = false;
    s.added = 0;
    s.written = 0;
    s.cutPending = false;
    s.last = Correction{};
}

}  // namespace orl::calmora
