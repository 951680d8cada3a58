#pragma once

#include <QByteArray>

#include <cstdint>
#include <utility>
#include <vector>

// Puts a POST session's request bodies back in the page's order. The page
// numbers every request after its Hello (X-Seq, from 1, wrapping at 2^32) and
// keeps a few in flight, so they may arrive swapped. Edge policies:
//   in order     read at once, with every held body it frees
//   early        held while it lies less than kWindow ahead of the next one
//   far ahead    the gap before the oldest held body is given up
//   late         (already read or given up) dropped, as is a duplicate
class PostOrder {
public:
    static constexpr uint32_t kWindow = 4;

    explicit PostOrder(uint32_t first = 1) : next_(first) {}

    // The bodies that may be read now, in the page's order.
    std::vector<QByteArray> take(uint32_t seq, QByteArray body);

private:
    uint32_t next_;
    std::vector<std::pair<uint32_t, QByteArray>> held_;
};
