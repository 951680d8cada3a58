#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>

// Stops PIN guessing: after kMaxFailures failed hellos from one peer address
// within kWindow, every further hello from that address is refused, whatever PIN
// it carries, until kWindow has passed without a failure. A refused hello counts
// as another failure. Other addresses are not affected.
class HelloGuard {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr int kMaxFailures = 5;
    static constexpr std::chrono::seconds kWindow{60};

    bool isBlocked(uint32_t address, TimePoint now) const;
    void recordFailure(uint32_t address, TimePoint now);
    size_t trackedAddresses() const { return failures_.size(); }

private:
    struct Record {
        int count = 0;
        TimePoint last{};
    };
    void forgetStale(TimePoint now);

    std::unordered_map<uint32_t, Record> failures_;
};
