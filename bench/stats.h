#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

// Order statistics of a sample; all take the sample by value and sort it.
namespace stats {

// Nearest-rank percentile, p in 0..100; 0 for an empty sample.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(v.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return v[std::min(index, v.size() - 1)];
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double maximum(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

}  // namespace stats
