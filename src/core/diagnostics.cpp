#include "core/diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <string>

namespace varnix {
namespace {

// Chains as rows of a matrix: rows x cols values in C order.
struct Chains {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> v;

    Chains(std::size_t r, std::size_t c) : rows(r), cols(c), v(r * c) {}
    double* row(std::size_t i) { return v.data() + i * cols; }
    const double* row(std::size_t i) const { return v.data() + i * cols; }
};

// Pairwise summation: rounding error grows with log n rather than n, which keeps the means
// and variances of chains of tens of thousands of draws at full precision.
double pairwise_sum(const double* x, std::size_t n) {
    if (n < 8) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += x[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = x[j];
        std::size_t i = 8;
        for (; i + 8 <= n; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += x[i + j];
        }
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += x[i];
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(x, half) + pairwise_sum(x + half, n - half);
}

double mean_of(const double* x, std::size_t n) {
    return pairwise_sum(x, n) / static_cast<double>(n);
}

// The sample variance with n - 1 in the denominator, in two passes.
double variance_of(const double* x, std::size_t n) {
    const double mean = mean_of(x, n);
    std::vector<double> sq(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double dev = x[i] - mean;
        sq[i] = dev * dev;
    }
    return pairwise_sum(sq.data(), n) / static_cast<double>(n - 1);
}

// The first and last floor(n/2) draws of every chain as chains of their own: all first
// halves, then all second halves.
Chains split_chains(const Chains& x) {
    const std::size_t half = x.cols / 2;
    Chains out(2 * x.rows, half);
    for (std::size_t c = 0; c < x.rows; ++c) {
        std::copy_n(x.row(c), half, out.row(c));
        std::copy_n(x.row(c) + (x.cols - half), half, out.row(x.rows + c));
    }
    return out;
}

// Every value replaced by the normal quantile of its fractional rank among all values (ties
// share their average rank): (rank - 3/8) / (N - 3/4 + 1), Blom's offsets.
Chains z_scale(const Chains& x) {
    const std::size_t n = x.v.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return x.v[a] < x.v[b]; });
    constexpr double c = 3.0 / 8.0;
    const double denominator = static_cast<double>(n) - 2.0 * c + 1.0;
    Chains z(x.rows, x.cols);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && x.v[order[j]] == x.v[order[i]]) ++j;
        // Positions i .. j-1 (ranks i+1 .. j) share the average rank.
        const double rank = 0.5 * (static_cast<double>(j) + static_cast<double>(i) + 1.0);
        const double value = normal_quantile((rank - c) / denominator);
        for (std::size_t k = i; k < j; ++k) z.v[order[k]] = value;
        i = j;
    }
    return z;
}

// The median of all values: the mean of the two middle ones for an even count.
double median_of(std::vector<double> values) {
    const std::size_t n = values.size();
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), mid, values.end());
    const double upper = *mid;
    if (n % 2 == 1) return upper;
    const double lower = *std::max_element(values.begin(), mid);
    return (lower + upper) / 2.0;
}

// The quantile at p of all values by linear interpolation between order statistics (type 7),
// evaluated as (1 - gamma) x[k-1] + gamma x[k] with k and gamma from n p + (1 - p).
double quantile_of(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const double n = static_cast<double>(values.size());
    const double m = 1.0 + p * -1.0;
    const double aleph = n * p + m;
    const double k = std::floor(std::clamp(aleph, 1.0, n - 1.0));
    const double gamma = std::clamp(aleph - k, 0.0, 1.0);
    const auto i = static_cast<std::size_t>(k);
    return (1.0 - gamma) * values[i - 1] + gamma * values[i];
}

// The classic R-hat of chains (no splitting): sqrt((B/W + n - 1) / n).
double classic_rhat(const Chains& x) {
    const std::size_t n = x.cols;
    std::vector<double> means(x.rows);
    std::vector<double> variances(x.rows);
    for (std::size_t c = 0; c < x.rows; ++c) {
        means[c] = mean_of(x.row(c), n);
        variances[c] = variance_of(x.row(c), n);
    }
    const double nd = static_cast<double>(n);
    const double between = nd * variance_of(means.data(), means.size());
    const double within = mean_of(variances.data(), variances.size());
    return std::sqrt((between / within + nd - 1.0) / nd);
}

// ---- autocovariance by FFT ----

using Complex = std::complex<double>;

// In-place radix-2 FFT (forward: exp(-2 pi i jk/m)) of a power-of-two length, with the
// twiddle factors each computed from its own angle.
class Fft {
public:
    explicit Fft(std::size_t m) : m_(m), twiddle_(m / 2) {
        for (std::size_t j = 0; j < m / 2; ++j) {
            const double angle =
                -2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(m);
            twiddle_[j] = Complex(std::cos(angle), std::sin(angle));
        }
    }

    void forward(std::vector<Complex>& a) const {
        for (std::size_t i = 1, j = 0; i < m_; ++i) {
            std::size_t bit = m_ >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            if (i < j) std::swap(a[i], a[j]);
        }
        for (std::size_t len = 2; len <= m_; len <<= 1) {
            const std::size_t step = m_ / len;
            const std::size_t half = len / 2;
            for (std::size_t start = 0; start < m_; start += len) {
                for (std::size_t k = 0; k < half; ++k) {
                    const Complex u = a[start + k];
                    const Complex t = a[start + k + half] * twiddle_[k * step];
                    a[start + k] = u + t;
                    a[start + k + half] = u - t;
                }
            }
        }
    }

private:
    std::size_t m_;
    std::vector<Complex> twiddle_;
};

// The autocovariances of every chain at lags 0 .. n-1, each divided by n (the biased
// estimate), from the centred chain zero-padded to at least 2n. Two real chains share one
// complex transform: the first as the real part, the second as the imaginary part.
Chains autocovariances(const Chains& x) {
    const std::size_t n = x.cols;
    std::size_t m = 1;
    while (m < 2 * n) m <<= 1;
    const Fft fft(m);
    Chains out(x.rows, n);
    std::vector<Complex> a(m);
    std::vector<Complex> power(m);
    for (std::size_t c = 0; c < x.rows; c += 2) {
        const bool pair = c + 1 < x.rows;
        const double mean0 = mean_of(x.row(c), n);
        const double mean1 = pair ? mean_of(x.row(c + 1), n) : 0.0;
        std::fill(a.begin(), a.end(), Complex(0.0, 0.0));
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = Complex(x.row(c)[i] - mean0, pair ? x.row(c + 1)[i] - mean1 : 0.0);
        }
        fft.forward(a);
        // The spectra of the two chains from the joint one, and their powers: one chain's
        // in the real part, the other's in the imaginary part.
        for (std::size_t k = 0; k < m; ++k) {
            const Complex zk = a[k];
            const Complex zr = std::conj(a[(m - k) & (m - 1)]);
            const double p0 = std::norm(zk + zr) / 4.0;
            const double p1 = std::norm(zk - zr) / 4.0;
            power[k] = Complex(p0, -p1);  // conjugated, for the inverse by the forward
        }
        fft.forward(power);
        const double scale = static_cast<double>(m) * static_cast<double>(n);
        for (std::size_t t = 0; t < n; ++t) {
            out.row(c)[t] = power[t].real() / scale;
            if (pair) out.row(c + 1)[t] = -power[t].imag() / scale;
        }
    }
    return out;
}

// The effective sample size of a set of chains (absolute, not relative to their size).
double effective_size(const Chains& x) {
    const double size = static_cast<double>(x.rows * x.cols);
    const auto [lo, hi] = std::minmax_element(x.v.begin(), x.v.end());
    // Values that barely vary count as independent draws.
    if (*hi - *lo < 1e-15) return size;

    const std::size_t chains = x.rows;
    const std::size_t n = x.cols;
    const double nd = static_cast<double>(n);
    const Chains acov = autocovariances(x);
    std::vector<double> means(chains);
    for (std::size_t c = 0; c < chains; ++c) means[c] = mean_of(x.row(c), n);
    // The mean over chains of the autocovariance at lag t.
    std::vector<double> column(chains);
    auto mean_acov = [&](std::size_t t) {
        for (std::size_t c = 0; c < chains; ++c) column[c] = acov.row(c)[t];
        return mean_of(column.data(), chains);
    };

    const double mean_var = mean_acov(0) * nd / (nd - 1.0);
    double var_plus = mean_var * (nd - 1.0) / nd;
    if (chains > 1) var_plus += variance_of(means.data(), chains);
    auto rho = [&](std::size_t t) { return 1.0 - (mean_var - mean_acov(t)) / var_plus; };

    std::vector<double> rho_hat(n, 0.0);
    double rho_even = 1.0;
    double rho_odd = rho(1);
    rho_hat[0] = rho_even;
    rho_hat[1] = rho_odd;

    // Geyer's initial positive sequence: sums of adjacent pairs while they stay positive.
    std::size_t t = 1;
    while (t + 3 < n && rho_even + rho_odd > 0.0) {
        rho_even = rho(t + 1);
        rho_odd = rho(t + 2);
        if (rho_even + rho_odd >= 0.0) {
            rho_hat[t + 1] = rho_even;
            rho_hat[t + 2] = rho_odd;
        }
        t += 2;
    }
    // max_t = t - 2 >= -1; kept shifted by one to stay unsigned.
    const std::size_t max_t1 = t - 1;  // max_t + 1
    if (rho_even > 0.0) rho_hat[max_t1] = rho_even;

    // Geyer's initial monotone sequence: the pair sums made non-increasing.
    for (t = 1; t + 3 <= max_t1; t += 2) {
        if (rho_hat[t + 1] + rho_hat[t + 2] > rho_hat[t - 1] + rho_hat[t]) {
            rho_hat[t + 1] = (rho_hat[t - 1] + rho_hat[t]) / 2.0;
            rho_hat[t + 2] = rho_hat[t + 1];
        }
    }

    const double head = pairwise_sum(rho_hat.data(), max_t1);
    const double tail = max_t1 < n ? rho_hat[max_t1] : 0.0;
    double tau = -1.0 + 2.0 * head + tail;
    tau = std::max(tau, 1.0 / std::log10(size));
    for (const double r : rho_hat) {
        if (std::isnan(r)) return std::numeric_limits<double>::quiet_NaN();
    }
    return size / tau;
}

Chains indicator(const Chains& x, double q) {
    Chains out(x.rows, x.cols);
    for (std::size_t i = 0; i < x.v.size(); ++i) out.v[i] = x.v[i] <= q ? 1.0 : 0.0;
    return out;
}

struct Coordinate {
    double rhat, ess_bulk, ess_tail, mcse_mean;
};

Coordinate diagnose(const Chains& x) {
    const Chains split = split_chains(x);

    const Chains z = z_scale(split);
    const double rhat_bulk = classic_rhat(z);
    const double median = median_of(split.v);
    Chains folded = split;
    for (double& value : folded.v) value = std::abs(value - median);
    const double rhat_tail = classic_rhat(z_scale(folded));
    // The larger, the bulk value when either is NaN first.
    const double rhat = rhat_tail > rhat_bulk ? rhat_tail : rhat_bulk;

    const double ess_bulk = effective_size(z);

    const double ess_low = effective_size(split_chains(indicator(x, quantile_of(x.v, 0.05))));
    const double ess_high = effective_size(split_chains(indicator(x, quantile_of(x.v, 0.95))));
    const double ess_tail = ess_high < ess_low ? ess_high : ess_low;

    const double sd = std::sqrt(variance_of(x.v.data(), x.v.size()));
    const double mcse = sd / std::sqrt(effective_size(split));
    return {rhat, ess_bulk, ess_tail, mcse};
}

}  // namespace

double normal_quantile(double p) {
    if (std::isnan(p) || p < 0.0 || p > 1.0) return std::numeric_limits<double>::quiet_NaN();
    if (p == 0.0) return -std::numeric_limits<double>::infinity();
    if (p == 1.0) return std::numeric_limits<double>::infinity();
    const double q = p - 0.5;
    if (std::abs(q) <= 0.425) {
        const double r = 0.180625 - q * q;
        const double num =
            (((((((2509.0809287301226727 * r + 33430.575583588128105) * r +
                  67265.770927008700853) * r + 45921.953931549871457) * r +
                13731.693765509461125) * r + 1971.5909503065514427) * r +
              133.14166789178437745) * r + 3.387132872796366608);
        const double den =
            (((((((5226.495278852545925 * r + 28729.085735721942674) * r +
                  39307.89580009271061) * r + 21213.794301586595867) * r +
                5394.1960214247511077) * r + 687.1870074920579083) * r +
              42.313330701600911252) * r + 1.0);
        return q * num / den;
    }
    double r = q < 0.0 ? p : 1.0 - p;
    r = std::sqrt(-std::log(r));
    double value;
    if (r <= 5.0) {
        r -= 1.6;
        const double num =
            (((((((7.7454501427834140764e-4 * r + 0.0227238449892691845833) * r +
                  0.24178072517745061177) * r + 1.27045825245236838258) * r +
                3.64784832476320460504) * r + 5.7694972214606914055) * r +
              4.6303378461565452959) * r + 1.42343711074968357734);
        const double den =
            (((((((1.05075007164441684324e-9 * r + 5.475938084995344946e-4) * r +
                  0.0151986665636164571966) * r + 0.14810397642748007459) * r +
                0.68976733498510000455) * r + 1.6763848301838038494) * r +
              2.05319162663775882187) * r + 1.0);
        value = num / den;
    } else {
        r -= 5.0;
        const double num =
            (((((((2.01033439929228813265e-7 * r + 2.71155556874348757815e-5) * r +
                  0.0012426609473880784386) * r + 0.026532189526576123093) * r +
                0.29656057182850489123) * r + 1.7848265399172913358) * r +
              5.4637849111641143699) * r + 6.6579046435011037772);
        const double den =
            (((((((2.04426310338993978564e-15 * r + 1.4215117583164458887e-7) * r +
                  1.8463183175100546818e-5) * r + 7.868691311456132591e-4) * r +
                0.0148753612908506148525) * r + 0.13692988092273580531) * r +
              0.59983220655588793769) * r + 1.0);
        value = num / den;
    }
    return q < 0.0 ? -value : value;
}

std::string diagnostics_refusal(std::span<const double> draws, const DrawsShape& shape) {
    if (shape.chains < 2) {
        return "at least 2 chains are needed, got " + std::to_string(shape.chains);
    }
    if (shape.draws < 4) {
        return "at least 4 draws per chain are needed, got " + std::to_string(shape.draws);
    }
    if (draws.size() / shape.chains / shape.draws != shape.coordinates ||
        draws.size() % (shape.chains * shape.draws) != 0) {
        return "the draws do not fill their shape";
    }
    for (std::size_t i = 0; i < draws.size(); ++i) {
        if (std::isnan(draws[i])) {
            const std::size_t d = shape.coordinates;
            return "draws contain NaN (chain " + std::to_string(i / d / shape.draws) +
                   ", draw " + std::to_string(i / d % shape.draws) + ", coordinate " +
                   std::to_string(i % d) + ")";
        }
    }
    return {};
}

ChainDiagnostics chain_diagnostics(std::span<const double> draws, const DrawsShape& shape) {
    if (const std::string why = diagnostics_refusal(draws, shape); !why.empty()) {
        throw std::invalid_argument(why);
    }
    const std::size_t d = shape.coordinates;
    ChainDiagnostics out;
    out.rhat.reserve(d);
    out.ess_bulk.reserve(d);
    out.ess_tail.reserve(d);
    out.mcse_mean.reserve(d);
    Chains x(shape.chains, shape.draws);
    for (std::size_t j = 0; j < d; ++j) {
        for (std::size_t i = 0; i < x.v.size(); ++i) x.v[i] = draws[i * d + j];
        const Coordinate c = diagnose(x);
        out.rhat.push_back(c.rhat);
        out.ess_bulk.push_back(c.ess_bulk);
        out.ess_tail.push_back(c.ess_tail);
        out.mcse_mean.push_back(c.mcse_mean);
    }
    return out;
}

}  // namespace varnix
