// Goodness-of-fit helpers for the sampling tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace stats {

// Kolmogorov-Smirnov distance between the samples' empirical cdf and cdf.
template <class Cdf>
double ks_statistic(std::vector<double> samples, Cdf&& cdf) {
    std::sort(samples.begin(), samples.end());
    const double n = static_cast<double>(samples.size());
    double d = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double f = cdf(samples[i]);
        d = std::max(d, std::max(f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f));
    }
    return d;
}

// Asymptotic critical value of the statistic at the 1% level.
inline double ks_critical_1pct(std::size_t n) { return 1.6276 / std::sqrt(static_cast<double>(n)); }

inline double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

inline double normal_pdf(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * M_PI); }

}  // namespace stats
