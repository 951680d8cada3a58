#include "gateway_stats.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int64_t kChunkUs = 20000;

int64_t microseconds(GatewayStats::Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

double rounded(double value) {
    return std::round(value * 10) / 10;
}
}  // namespace

void GatewayStats::begin(Clock::time_point now) {
    *this = GatewayStats();
    start_ = previousAt_ = now;
}

void GatewayStats::chunk(Clock::time_point arrival) {
    jitter_.add(static_cast<int64_t>(total_.chunks) * kChunkUs, microseconds(arrival - start_));
    ++total_.chunks;
}

QJsonObject GatewayStats::sample(Clock::time_point now, uint64_t concealed, uint64_t dropped,
                                 int depthChunks) {
    total_.concealed = concealed;
    total_.dropped = dropped;
    const double seconds = std::max(static_cast<double>(microseconds(now - previousAt_)) / 1e6, 1e-3);
    const auto rate = [seconds](uint64_t after, uint64_t before) {
        return rounded(static_cast<double>(after - before) / seconds);
    };
    QJsonObject perSecond{{"chunks", rate(total_.chunks, previous_.chunks)},
                          {"concealed", rate(total_.concealed, previous_.concealed)},
                          {"dropped", rate(total_.dropped, previous_.dropped)}};
    previous_ = total_;
    previousAt_ = now;
    QJsonObject object{{"chunks", static_cast<qint64>(total_.chunks)},
                       {"concealed", static_cast<qint64>(total_.concealed)},
                       {"dropped", static_cast<qint64>(total_.dropped)},
                       {"jitterMs", rounded(jitter_.us() / 1000)},
                       {"depthMs", static_cast<int>(depthChunks * kChunkUs / 1000)},
                       {"perSecond", perSecond}};
    if (roundTripMs_) object.insert("roundTripMs", rounded(*roundTripMs_));
    return object;
}
