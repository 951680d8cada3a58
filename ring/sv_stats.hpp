// C++ ownership of one attachment to the engine's stream statistics.
#pragma once

#include <optional>

#include "sv_stats.h"

namespace svring {

// Owns one SVStatsHandle and closes it when destroyed: the engine's writer
// (Access::write) or a look-only reader (Access::look). One owner thread.
class StatsBlock {
public:
    enum class Access { look, write };

    StatsBlock() = default;
    ~StatsBlock() { close(); }
    StatsBlock(const StatsBlock&) = delete;
    StatsBlock& operator=(const StatsBlock&) = delete;

    // Closes any earlier attachment, then attaches. A look fails while there is no block.
    bool open(Access access) {
        close();
        return access == Access::look ? SVStats_OpenView(&h_) : SVStats_OpenWriter(&h_);
    }
    void close() { SVStats_Close(&h_); }
    bool isOpen() const { return h_.base != nullptr; }
    bool replaced() const { return SVStats_Replaced(&h_); }

    void publish(const SVStats& values) { SVStats_Publish(&h_, &values); }
    std::optional<SVStats> read() const {
        SVStats values{};
        return SVStats_Read(&h_, &values) ? std::optional<SVStats>(values) : std::nullopt;
    }

private:
    SVStatsHandle h_{-1, nullptr};
};

}  // namespace svring
