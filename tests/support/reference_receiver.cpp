#include "reference_receiver.h"

#include <opus.h>

#include <algorithm>

namespace testsupport {

namespace {
constexpr int kFrames = 960;
constexpr uint32_t kLongestConcealment = 50;

// How far to lies ahead of from, modulo 2^32.
uint32_t ahead(uint32_t from, uint32_t to) {
    return to - from;
}
}  // namespace

ReferenceReceiver::ReferenceReceiver(int target) : target_(static_cast<size_t>(std::max(target, 0))) {
    int error = 0;
    decoder_ = opus_decoder_create(48000, 2, &error);
}

ReferenceReceiver::~ReferenceReceiver() {
    opus_decoder_destroy(decoder_);
}

void ReferenceReceiver::decode(const Packet* payload) {
    std::vector<float> pcm(2 * kFrames);
    const bool conceal = payload == nullptr || payload->empty();
    const int n =
        opus_decode_float(decoder_, conceal ? nullptr : payload->data(),
                          conceal ? 0 : static_cast<opus_int32>(payload->size()), pcm.data(), kFrames, 0);
    if (n > 0) samples_.insert(samples_.end(), pcm.begin(), pcm.begin() + 2 * n);
}

void ReferenceReceiver::arrive(uint32_t seq, const Packet& payload) {
    if (!started_) {
        started_ = true;
        next_ = seq;
    }
    // Late: behind the next number to play, read as a signed 32-bit distance.
    if (static_cast<int32_t>(seq - next_) < 0) return;
    const auto same = [seq](const auto& held) { return held.first == seq; };
    if (std::any_of(held_.begin(), held_.end(), same)) return;
    held_.emplace_back(seq, payload);
    playIfReady();
}

void ReferenceReceiver::playIfReady() {
    if (held_.empty() || (!playing_ && held_.size() < target_)) return;
    playing_ = true;

    while (!held_.empty()) {
        const auto nearest = std::min_element(
            held_.begin(), held_.end(),
            [this](const auto& a, const auto& b) { return ahead(next_, a.first) < ahead(next_, b.first); });
        uint32_t gap = ahead(next_, nearest->first);
        if (gap > kLongestConcealment) {  // a new stream: a fresh decoder, nothing concealed
            opus_decoder_destroy(decoder_);
            int error = 0;
            decoder_ = opus_decoder_create(48000, 2, &error);
            next_ = nearest->first;
            gap = 0;
        }
        for (; gap > 0; --gap, ++next_) {
            concealed_.push_back(next_);
            decode(nullptr);
        }
        ++played_;
        decode(&nearest->second);
        ++next_;
        held_.erase(nearest);
    }
}

}  // namespace testsupport
