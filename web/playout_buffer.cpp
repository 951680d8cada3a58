#include "playout_buffer.h"

#include <algorithm>
#include <cmath>

namespace {
// Per chunk: halves a peak in about 460 chunks (9 s).
constexpr double kDecayPerChunk = 0.9985;
// A link that still stalls (a Wi-Fi in power-save, every few seconds) keeps
// its peak; after this many chunks without half of it, the peak decays.
constexpr int kHoldChunks = 500;
// A link that stalled once may stall longer next time (a Wi-Fi's stalls vary
// by half): the target covers 2.5 times the peak's part beyond one chunk, and
// a stall (a peak beyond two chunks) takes the whole depth the person chose.
constexpr double kHeadroom = 2.5;
constexpr double kStallChunks = 2.0;
}  // namespace

void PlayoutBuffer::setMaxDepth(int chunks) {
    maxDepth_ = std::max(chunks, kMinDepth);
    target_ = std::min(target_, maxDepth_);
}

void PlayoutBuffer::push(Chunk chunk, Clock::time_point arrival) {
    using std::chrono::microseconds;
    if (!origin_) origin_ = arrival;
    const auto offset = std::chrono::duration_cast<microseconds>(arrival - *origin_) -
                        kChunk * static_cast<int64_t>(arrivals_);
    if (arrivals_ % kBucketChunks == 0) {
        bucketMinimum_.push_back(offset);
        if (bucketMinimum_.size() > kWindowBuckets) bucketMinimum_.pop_front();
    } else {
        bucketMinimum_.back() = std::min(bucketMinimum_.back(), offset);
    }
    ++arrivals_;
    const auto onTime = *std::min_element(bucketMinimum_.begin(), bucketMinimum_.end());
    updateTarget(offset - onTime);

    chunks_.push_back(std::move(chunk));
    if (young() && stalled() && chunks_.size() < static_cast<size_t>(target_)) refilling_ = true;
    if (chunks_.size() > static_cast<size_t>(target_ + 2)) {
        while (chunks_.size() > static_cast<size_t>(target_)) {
            chunks_.pop_front();
            ++dropped_;
        }
    }
}

void PlayoutBuffer::updateTarget(std::chrono::microseconds lateness) {
    const auto late = static_cast<double>(lateness.count());
    if (late >= peakUs_) {
        peakUs_ = late;
        calmChunks_ = 0;
    } else if (late >= peakUs_ / 2) {
        calmChunks_ = 0;
    } else if (++calmChunks_ > kHoldChunks) {
        peakUs_ *= kDecayPerChunk;
    }
    const double chunk = static_cast<double>(kChunk.count());
    const double cover = peakUs_ <= chunk ? peakUs_ : chunk + kHeadroom * (peakUs_ - chunk);
    const int wanted = stalled() ? maxDepth_ : static_cast<int>(std::ceil(cover / chunk)) + 1;
    const int target = std::clamp(wanted, kMinDepth, maxDepth_);
    target_ = target;
}

bool PlayoutBuffer::stalled() const {
    return peakUs_ > kStallChunks * static_cast<double>(kChunk.count());
}

std::optional<PlayoutBuffer::Chunk> PlayoutBuffer::tick() {
    if (!playing_) {
        if (chunks_.size() < static_cast<size_t>(target_)) return std::nullopt;
        playing_ = true;
        emptyTicks_ = 0;
    }
    // Later, the chunks a stall held back arrive together and are the cushion
    // for the next stall: nothing is concealed to deepen it.
    if (refilling_ && (chunks_.size() >= static_cast<size_t>(target_) || !young())) refilling_ = false;
    if (!chunks_.empty() && !refilling_) {
        emptyTicks_ = 0;
        if (chunks_.size() > static_cast<size_t>(target_) && ++fullTicks_ >= kDriftTicks) {
            chunks_.pop_front();
            ++dropped_;
            fullTicks_ = 0;
        } else if (chunks_.size() <= static_cast<size_t>(target_)) {
            fullTicks_ = 0;
        }
        Chunk chunk = std::move(chunks_.front());
        chunks_.pop_front();
        return chunk;
    }
    if (chunks_.empty() && ++emptyTicks_ > kPausedTicks) {
        // Paused: the next chunks start a fresh stream with its own on-time line.
        playing_ = false;
        refilling_ = false;
        origin_.reset();
        arrivals_ = 0;
        bucketMinimum_.clear();
        return std::nullopt;
    }
    // A young stream that runs dry fills up to its target at once: a gap while
    // it starts is better than one at each longer stall later.
    if (young()) refilling_ = true;
    ++concealed_;
    return Chunk{};
}
