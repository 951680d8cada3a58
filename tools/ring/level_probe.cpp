#include "level_probe.h"

#include <algorithm>

#include "level_meter.h"

namespace {
constexpr size_t kWindowFrames = 480;
}

LevelProbe::Reading LevelProbe::read(Clock::time_point now) {
    Reading r;
    r.leftDb = r.rightDb = kSilenceDb;
    if (view_.isOpen() && view_.replaced()) view_.close();
    if (!view_.isOpen()) {
        if (!view_.open(svring::Ring::Access::look)) return r;
        // Whether a ring found already written still moves shows only at the next reading.
        lastIndex_ = view_.writeIndex();
        lastMove_ = now - kStaleAfter;
    }
    r.present = true;
    window_.resize(2 * kWindowFrames);
    const uint64_t w = view_.copyNewest(window_.data(), kWindowFrames);
    if (w != lastIndex_) {
        lastIndex_ = w;
        lastMove_ = now;
    }
    r.writing = now - lastMove_ < kStaleAfter;
    if (!r.writing) return r;
    // A ring younger than the window is measured over the frames it has.
    const auto count = static_cast<size_t>(std::min<uint64_t>(w, kWindowFrames));
    const float* newest = window_.data() + 2 * (kWindowFrames - count);
    r.leftDb = rmsDb(newest, count, 0);
    r.rightDb = rmsDb(newest, count, 1);
    return r;
}
