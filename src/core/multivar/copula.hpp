// Gaussian copula: a Gaussian dependence structure with arbitrary marginals given by the
// caller's quantile functions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <expected>
#include <functional>  // std::invoke, used by FunctionRef
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/multivar/lookahead.hpp"
#include "core/multivar/points.hpp"
#include "core/random.hpp"
#include "core/serial.hpp"

namespace varnix {

// ppf(i, u): the quantile of coordinate i's marginal at u, or the error that ends the draw.
using QuantileRef = FunctionRef<SampleResult<double>(std::size_t, double)>;

// The batch form of the quantile functions: ppf_batch(i, u, values) writes values[k], the
// quantile of coordinate i's marginal at u[k], for every k; NaN where it has no value (a failing
// call writes NaN throughout). A NaN is taken back to the scalar form, which tells a failure
// from a NaN quantile.
using QuantileBatchRef =
    FunctionRef<void(std::size_t, std::span<const double>, std::span<double>)>;
using OptionalQuantileBatch = std::optional<QuantileBatchRef>;

class GaussianCopula {
public:
    class Bound;

    // Cholesky-Banachiewicz factor of the lower triangle (diagonal included) of corr; entries
    // above the diagonal are never read, symmetry and a unit diagonal are not required.
    // CorrelationError when corr has no rows, a row's length is not the number of rows (all
    // rows are checked before any arithmetic), or a pivot is NaN, infinite, zero or negative.
    static std::expected<GaussianCopula, CorrelationError> make(
        std::span<const std::vector<double>> corr);

    // The copula paired with the caller's quantile functions (ppf_count of them, reached
    // through ppf, and through ppf_batch as well when the caller has their batch form), for
    // the duration of one call.
    Bound with(QuantileRef ppf, std::size_t ppf_count,
               OptionalQuantileBatch ppf_batch = std::nullopt) const;

    std::size_t dim() const { return n_; }

    // The factor, row-major n x n, zero above the diagonal.
    std::span<const double> factor() const { return factor_; }

    // Saved state (core/serial.hpp): the factor as make leaves it.
    struct State {
        static constexpr const char* name = "GaussianCopula";
        std::uint64_t n = 0;
        std::vector<double> factor;
        static auto fields(auto& s) {
            auto& [n, factor] = s;
            return std::tie(n, factor);
        }
    };
    State state() const;
    static StateResult<GaussianCopula> from_state(State s);

private:

    GaussianCopula(std::size_t n, std::vector<double> factor)
        : n_(n), factor_(std::move(factor)) {}

    std::size_t n_;
    std::vector<double> factor_;
};

class GaussianCopula::Bound {
public:
    // One draw into point (exactly dim() entries). McmcFailed, before any uniform is drawn,
    // when ppf_count differs from dim(). Otherwise 2n uniforms for n standard normals,
    // correlated by the factor, mapped to u in [1e-12, 0.999999999999] and passed to
    // ppf(0, u0), ppf(1, u1), ... in order; the first failing call ends the draw with its error
    // (point then holds partial values).
    template <WordSource R>
    SampleResult<void> sample(R& rng, std::span<double> point) const;

    // out.size() / dim() draws, row by row, from one generator: the values of as many calls of
    // sample in a row. The quantile functions are counted first, so that a wrong count fails
    // even when there is nothing to draw. The first failing draw stops the fill (FillStop
    // counts the points before it).
    //
    // With the batch form (and a source whose copies are independent, CopyableWordSource), the
    // draws go in rounds of up to max_batch_points: the words of the round's points first,
    // then one batch call per marginal over the round's coordinates, marginal 0 first, each over
    // the points not yet known to fail. A NaN it gives is asked of the scalar form, which then
    // finds the failing draw and its error. The same words, values, failure and rows as one
    // draw at a time, for a batch form that gives the scalar form's values; sample draws
    // through the scalar form.
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng) const;

    // Rows of dim() uniforms in out (points of a low-discrepancy sequence, say) turned into
    // draws in place: each coordinate's normal score is normal_quantile of its uniform (floored
    // at 2^-53, so that a point on the cube's lower faces has finite scores), and the scores go
    // on as sample's normals do. Fails as fill does; draws no word of any generator.
    FillResult map_points(std::span<double> out) const;

    // Every draw takes exactly this many words of the source: two uniforms per coordinate.
    std::size_t words_per_draw() const { return 2 * c_.n_; }
    // Every draw calls the quantile functions.
    bool draws_call_user_function() const { return true; }

private:
    friend class GaussianCopula;
    // point holds dim() standard normal scores: correlated by the factor, mapped through
    // copula_normal_cdf and the quantile functions, in place.
    SampleResult<void> correlate_and_map(std::span<double> point) const;

    // point's normal scores correlated by the factor, in place.
    void correlate(std::span<double> point) const;

    Bound(const GaussianCopula& copula, QuantileRef ppf, std::size_t ppf_count,
          OptionalQuantileBatch ppf_batch)
        : c_(copula), ppf_(ppf), ppf_count_(ppf_count), ppf_batch_(ppf_batch) {}

    // The correlated normals of one draw from 2n words of rng, into point.
    template <WordSource R>
    void correlated_normals(R& rng, std::span<double> point) const;

    template <CopyableWordSource R>
    FillResult fill_batched(std::span<double> out, R& rng, QuantileBatchRef ppf_batch) const;

    const GaussianCopula& c_;
    QuantileRef ppf_;
    std::size_t ppf_count_;
    OptionalQuantileBatch ppf_batch_;
};

inline GaussianCopula::Bound GaussianCopula::with(QuantileRef ppf, std::size_t ppf_count,
                                                  OptionalQuantileBatch ppf_batch) const {
    return Bound(*this, ppf, ppf_count, ppf_batch);
}

// The standard normal distribution function at y as the copula computes it: a Chebyshev-fitted
// complementary error function approximation (absolute error below about 1.2e-7), clamped to
// [1e-12, 0.999999999999].
double copula_normal_cdf(double y);

template <WordSource R>
void GaussianCopula::Bound::correlated_normals(R& rng, std::span<double> point) const {
    // All 2n uniforms first: one cosine Box-Muller normal per coordinate, u1 then u2.
    standard_normals(rng, point);
    correlate(point);
}

inline void GaussianCopula::Bound::correlate(std::span<double> point) const {
    const std::size_t n = c_.n_;
    const double* factor = c_.factor_.data();
    // Correlate in place, last row first: row r reads z[0 .. r] only, which are still intact.
    // Evaluation order is frozen (docs/architecture.md).
    for (std::size_t r = n; r-- > 0;) {
        double s = 0.0;
        for (std::size_t j = 0; j <= r; ++j) s += factor[r * n + j] * point[j];
        point[r] = s;
    }
}

inline SampleResult<void> GaussianCopula::Bound::correlate_and_map(std::span<double> point) const {
    correlate(point);
    for (std::size_t i = 0; i < c_.n_; ++i) {
        const auto v = ppf_(i, copula_normal_cdf(point[i]));
        if (!v) return std::unexpected(v.error());
        point[i] = *v;
    }
    return {};
}

template <WordSource R>
SampleResult<void> GaussianCopula::Bound::sample(R& rng, std::span<double> point) const {
    const std::size_t n = c_.n_;
    if (ppf_count_ != n) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    if (point.size() != n) throw InternalFault("copula draw: point buffer of wrong length");
    standard_normals(rng, point);
    return correlate_and_map(point);
}

template <WordSource R>
FillResult GaussianCopula::Bound::fill(std::span<double> out, R& rng) const {
    const std::size_t n = c_.n_;
    if (ppf_count_ != n) return fill_stopped(0, SampleError::of(SampleErrorKind::McmcFailed));
    if constexpr (CopyableWordSource<R>) {
        if (ppf_batch_) return fill_batched(out, rng, *ppf_batch_);
    }
    const std::size_t rows = out.size() / n;
    for (std::size_t k = 0; k < rows; ++k) {
        auto drawn = sample(rng, out.subspan(k * n, n));
        if (!drawn) return fill_stopped(k, drawn.error());
    }
    return {};
}

// The rows of the scalar fill: a draw's coordinates are found marginal by marginal and the first
// failing quantile ends the fill, its row holding the quantiles before it and the correlated
// normals from it on. A failure at point p of marginal i ends the later marginals' calls
// before p; one at an earlier point of a later marginal comes first in draw order and replaces
// it.
template <CopyableWordSource R>
FillResult GaussianCopula::Bound::fill_batched(std::span<double> out, R& rng,
                                               QuantileBatchRef ppf_batch) const {
    const std::size_t n = c_.n_;
    const std::size_t rows = out.size() / n;
    const std::size_t room = std::min(rows, max_batch_points);
    std::vector<double> round(flat_size(room, n));  // the normals, then the quantiles
    std::vector<double> u(room), values(room);
    for (std::size_t first = 0; first < rows;) {
        const std::size_t m = std::min(rows - first, room);
        WordLookahead<R> ahead(rng);
        for (std::size_t p = 0; p < m; ++p) {
            correlated_normals(ahead, std::span<double>(round.data() + p * n, n));
        }

        std::size_t good = m;  // the points before the first failure found so far
        std::optional<SampleError> failure;
        for (std::size_t i = 0; i < n && good > 0; ++i) {
            for (std::size_t p = 0; p < good; ++p) u[p] = copula_normal_cdf(round[p * n + i]);
            ppf_batch(i, std::span<const double>(u.data(), good),
                      std::span<double>(values.data(), good));
            for (std::size_t p = 0; p < good; ++p) {
                double v = values[p];
                if (std::isnan(v)) {
                    const auto scalar = ppf_(i, u[p]);
                    if (!scalar) {
                        failure = scalar.error();
                        good = p;
                        break;
                    }
                    v = *scalar;
                }
                round[p * n + i] = v;
            }
        }

        const std::size_t through = failure ? good + 1 : good;  // the failing draw's row too
        std::copy_n(round.data(), through * n, out.data() + first * n);
        ahead.commit(2 * n * through);
        if (failure) return fill_stopped(first + good, *failure);
        first += m;
    }
    return {};
}

}  // namespace varnix
