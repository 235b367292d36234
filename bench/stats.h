// Medians and percentiles of benchmark samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace marlox::bench {

// The value below which the fraction q (0 to 1) of samples lie; 0 for no samples.
// Reorders samples.
template <class T>
T percentile(std::vector<T>& samples, double q) {
    if (samples.empty()) return T{};
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                     samples.end());
    return samples[rank];
}

// The median of a copy, so a caller's order stays.
template <class T>
T median(std::vector<T> samples) {
    return percentile(samples, 0.5);
}

}  // namespace marlox::bench
