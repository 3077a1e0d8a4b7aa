#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The q-quantile of a sample (q in [0, 1]), nearest rank.
inline double quantile(std::vector<double> sample, double q)
{
    if (sample.empty())
        return 0;
    std::sort(sample.begin(), sample.end());
    const auto index = static_cast<std::size_t>(q * static_cast<double>(sample.size() - 1) + 0.5);
    return sample[index];
}

// Element-wise ratios of two interleaved samples, a[i] / b[i].
inline std::vector<double> ratios(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> r;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        r.push_back(a[i] / b[i]);
    return r;
}
