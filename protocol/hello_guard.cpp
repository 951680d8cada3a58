#include "hello_guard.h"

namespace {
// Records of addresses that stopped failing are pruned once this many exist.
constexpr size_t kPruneThreshold = 256;
}  // namespace

bool HelloGuard::isBlocked(uint32_t address, TimePoint now) const {
    const auto it = failures_.find(address);
    return it != failures_.end() && it->second.count >= kMaxFailures && now - it->second.last < kWindow;
}

void HelloGuard::recordFailure(uint32_t address, TimePoint now) {
    if (failures_.size() >= kPruneThreshold) forgetStale(now);
    Record& record = failures_[address];
    if (record.count > 0 && now - record.last >= kWindow) record.count = 0;
    ++record.count;
    record.last = now;
}

void HelloGuard::forgetStale(TimePoint now) {
    std::erase_if(failures_, [now](const auto& entry) { return now - entry.second.last >= kWindow; });
}
