#include "stream_stats.h"

#include <time.h>

#include "sv_ring.h"

void StreamStats::begin(uint64_t nowUs) {
    *this = StreamStats();
    startedUs_ = nowUs;
}

void StreamStats::firstArrival(uint32_t seq, uint64_t nowUs) {
    if (!firstSeq_) firstSeq_ = seq;
    // Distance from the first number as a signed 32-bit value: wraps through 0.
    const auto place = static_cast<int64_t>(static_cast<int32_t>(seq - *firstSeq_));
    jitter_.add(place * static_cast<int64_t>(kPacketUs), static_cast<int64_t>(nowUs));
}

void StreamStats::arrived(uint32_t seq, JitterBuffer::Push verdict, uint64_t nowUs) {
    ++received_;
    Mark& m = mark(seq);
    const bool known = m.seq == seq && (m.flags & kArrived) != 0;
    if (verdict == JitterBuffer::Push::Duplicate || (verdict == JitterBuffer::Push::Late && known)) {
        ++duplicated_;
        return;
    }
    if (verdict == JitterBuffer::Push::Late) {
        ++late_;
        if (m.seq == seq && (m.flags & kConcealed) != 0) ++recovered_;
    }
    m = {seq, kArrived};
    firstArrival(seq, nowUs);
}

void StreamStats::played(uint32_t seq, bool concealed, bool missing) {
    concealed_ += concealed ? 1 : 0;
    if (!missing) return;
    ++missing_;
    mark(seq) = {seq, kConcealed};
}

SVStats StreamStats::snapshot(uint64_t nowUs, size_t heldPackets, uint64_t ringUnreadFrames) const {
    SVStats s{};
    s.updatedUs = nowUs;
    s.startedUs = startedUs_;
    s.received = received_;
    s.lost = missing_ - recovered_;
    s.concealed = concealed_;
    s.late = late_;
    s.duplicated = duplicated_;
    s.jitterUs = static_cast<uint64_t>(jitter_.us());
    const uint64_t unread = ringUnreadFrames <= SVRING_FRAMES ? ringUnreadFrames : 0;
    s.delayUs = heldPackets * kPacketUs + unread * 1000000 / 48000;
    return s;
}

uint64_t StreamStats::nowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}
