#include "post_order.h"

#include <algorithm>

#include "sequence.h"

std::vector<QByteArray> PostOrder::take(uint32_t seq, QByteArray body) {
    const auto held = [&](uint32_t s) {
        return std::find_if(held_.begin(), held_.end(), [s](const auto& h) { return h.first == s; });
    };
    if (seqIsEarlier(seq, next_) || held(seq) != held_.end()) return {};
    held_.emplace_back(seq, std::move(body));

    std::vector<QByteArray> ready;
    while (!held_.empty()) {
        if (const auto at = held(next_); at != held_.end()) {
            ready.push_back(std::move(at->second));
            held_.erase(at);
            ++next_;
            continue;
        }
        const auto byDistance = [this](const auto& a, const auto& b) {
            return seqDistance(next_, a.first) < seqDistance(next_, b.first);
        };
        const auto [oldest, newest] = std::minmax_element(held_.begin(), held_.end(), byDistance);
        // A request this far behind the newest one is not coming any more.
        if (seqDistance(next_, newest->first) < kWindow) break;
        next_ = oldest->first;
    }
    return ready;
}
