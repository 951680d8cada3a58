#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

// Puts Opus payloads back into sequence order and turns every sequence number
// into one play-out step: the payload, or a loss report.
//
// - Before the first play-out it waits until `target` packets are stored; after
//   that every pop hands out whatever is stored.
// - late: a number earlier than the next play-out number is dropped on push.
// - duplicate: a number already stored keeps its first payload.
// - gap: each missing number is reported as lost, one pop each, up to
//   kMaxLossReports of them.
// - jump: a gap wider than kMaxLossReports is a new stream (a phone that started
//   again): play-out goes on at the nearest stored number without any loss
//   report, and newStream() tells the caller to start its decoder afresh.
// - Payloads are moved in and out, never copied.
// push tells what became of the packet: stored, late or a duplicate.
class JitterBuffer {
public:
    static constexpr uint32_t kMaxLossReports = 50;
    enum class Push { Stored, Late, Duplicate };

    void configure(int32_t target) { target_ = target; }
    Push push(uint32_t seq, std::vector<uint8_t>&& payload);
    bool pop(std::vector<uint8_t>& out, bool& lost);
    // True when the step just popped begins a new stream after a jump.
    bool newStream() const { return newStream_; }

    int32_t target() const { return target_; }
    uint32_t nextSeq() const { return nextSeq_; }
    bool started() const { return started_; }
    bool playing() const { return playing_; }
    size_t size() const { return packets_.size(); }

private:
    uint32_t earliestStored() const;
    void skipJump();

    int32_t target_ = 4;
    uint32_t nextSeq_ = 0;
    bool started_ = false;
    bool playing_ = false;
    bool newStream_ = false;
    std::map<uint32_t, std::vector<uint8_t>> packets_;
};
