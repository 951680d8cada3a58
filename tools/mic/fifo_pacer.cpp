#include "fifo_pacer.h"

#include <algorithm>
#include <cmath>

namespace {
using namespace std::chrono_literals;
// The largest read is learnt over windows of this length, so the level comes
// down again when a recording program with a smaller cycle takes over.
constexpr auto kWindow = 2s;
// Room for a late tick on top of the largest read.
constexpr auto kMargin = 10ms;
}  // namespace

FifoPacer::FifoPacer(Mode mode, double levelMs, double rate)
    : mode_(mode), rate_(rate), minLevel_(static_cast<size_t>(std::llround(levelMs * rate / 1000.0))) {}

uint64_t FifoPacer::framesIn(Clock::duration d) const {
    return static_cast<uint64_t>(std::llround(std::chrono::duration<double>(d).count() * rate_));
}

void FifoPacer::start(Clock::time_point now) {
    start_ = now;
    handed_ = 0;
    afterWrite_ = 0;
    largestRead_ = previousLargest_ = 0;
    windowEnd_ = now + kWindow;
}

size_t FifoPacer::level() const {
    return std::max(minLevel_,
                    std::max(largestRead_, previousLargest_) + static_cast<size_t>(framesIn(kMargin)));
}

FifoPacer::Plan FifoPacer::plan(Clock::time_point now, size_t queued) {
    Plan p;
    if (mode_ == Mode::clock) {
        const uint64_t due = now > start_ ? framesIn(now - start_) - handed_ : 0;
        const uint64_t catchUp = std::min(due, framesIn(kMaxCatchUp));
        handed_ += due;
        if (queued < framesIn(kMaxQueued)) p.frames = static_cast<size_t>(catchUp);
        return p;
    }
    if (afterWrite_ > queued) largestRead_ = std::max(largestRead_, afterWrite_ - queued);
    if (now >= windowEnd_) {
        previousLargest_ = largestRead_;
        largestRead_ = 0;
        windowEnd_ = now + kWindow;
    }
    p.starved = queued == 0 && afterWrite_ > 0;
    const size_t target = level();
    p.frames = target > queued ? target - queued : 0;
    afterWrite_ = queued + p.frames;
    return p;
}
