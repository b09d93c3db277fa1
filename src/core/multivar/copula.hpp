// Gaussian copula: a Gaussian dependence structure with arbitrary marginals given by the
// caller's quantile functions.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>  // std::invoke, used by FunctionRef
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/random.hpp"

namespace varnix {

// ppf(i, u): the quantile of coordinate i's marginal at u, or the error that ends the draw.
using QuantileRef = FunctionRef<SampleResult<double>(std::size_t, double)>;

class GaussianCopula {
public:
    // Cholesky-Banachiewicz factor of the lower triangle (diagonal included) of corr; entries
    // above the diagonal are never read, symmetry and a unit diagonal are not required.
    // CorrelationError when corr has no rows, a row's length is not the number of rows (all
    // rows are checked before any arithmetic), or a pivot is NaN, infinite, zero or negative.
    static std::expected<GaussianCopula, CorrelationError> make(
        std::span<const std::vector<double>> corr);

    std::size_t dim() const { return n_; }

    // The factor, row-major n x n, zero above the diagonal.
    std::span<const double> factor() const { return factor_; }

    // One draw into out (exactly dim() entries). McmcFailed, before any uniform is drawn, when
    // ppf_count differs from dim(). Otherwise 2n uniforms for n standard normals, correlated by
    // the factor, mapped to u in [1e-12, 0.999999999999] and passed to ppf(0, u0), ppf(1, u1),
    // ... in order; the first failing call ends the draw with its error (out then holds partial
    // values).
    SampleResult<void> draw(ChaChaRng& rng, std::size_t ppf_count, QuantileRef ppf,
                            std::span<double> out) const;

private:
    GaussianCopula(std::size_t n, std::vector<double> factor)
        : n_(n), factor_(std::move(factor)) {}

    std::size_t n_;
    std::vector<double> factor_;
};

// The standard normal distribution function at y as the copula computes it: a Chebyshev-fitted
// complementary error function approximation (absolute error below about 1.2e-7), clamped to
// [1e-12, 0.999999999999].
double copula_normal_cdf(double y);

}  // namespace varnix
