// The quantile engines of a continuous distribution (the interface is in engine.hpp).
//
//   InversionEngine     numeric inversion of the distribution function, or its Hermite table
//   TdrEngine           transformed density rejection for draws; quantiles by inversion
//   InterpolatedEngine  the interpolated inverse: every query but pdf without the user function
//
// The first two work from the source (the user's cdf or integrals of the density) and may be
// checked against the check model (Checked<E>); the third is built instead of the normalising
// integral and answers from its own tables.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "core/continuous/checked.hpp"
#include "core/continuous/engine.hpp"
#include "core/continuous/hermite.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "core/continuous/options.hpp"
#include "core/continuous/tdr.hpp"

namespace varnix {

// One uniform, one binary search and one cubic per draw. The uniforms of a block are drawn
// first and the table evaluated on the block, its searches interleaved. Draws, their order and
// a failing draw's place are as if one at a time.
template <WordSource R>
FillResult fill_table(const HermiteTable& table, std::span<double> out, R& rng) {
    constexpr std::size_t block = 64;
    double us[block];
    const std::size_t n = out.size();
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        for (std::size_t j = 0; j < count; ++j) {
            const double u = uniform(rng);
            if (!(u > 0.0 && u < 1.0)) {
                table.evaluate_many(us, out.data() + start, j);
                return fill_stopped(start + j, SampleError::quantile_out_of_range(u));
            }
            us[j] = u;
        }
        table.evaluate_many(us, out.data() + start, count);
    }
    return {};
}

// What plain inversion and TDR answer alike, from the source: probabilities through its
// distribution function, summaries by adaptive integration (summary.cpp).
struct SourceAnswers {
    static double sf_of_cdf(double p) { return source_queries::sf_of_cdf(p); }
    static double logsf_of_cdf(double p) { return source_queries::logsf_of_cdf(p); }
    double cdf(const QueryContext& c, double x) const { return source_queries::cdf(c, x); }
    double sf(const QueryContext& c, double x) const { return sf_of_cdf(cdf(c, x)); }
    double logsf(const QueryContext& c, double x) const { return logsf_of_cdf(cdf(c, x)); }
    SampleResult<double> mean(const QueryContext& c) const { return source_queries::mean(c); }
    SampleResult<double> var(const QueryContext& c) const { return source_queries::var(c); }
    SampleResult<double> entropy(const QueryContext& c) const {
        return source_queries::entropy(c);
    }
    SampleResult<double> expect(const QueryContext& c, UserFn func,
                                std::vector<Evaluation>* seen) const {
        return source_queries::expect(c, func, seen);
    }
};

// Quantiles by numeric inversion of the distribution function: the settings, and the Hermite
// table built from them when the options ask for one.
struct InversionEngine : SourceAnswers {
    double ppf_tolerance;
    std::uint32_t max_iterations;
    bool use_newton;
    std::optional<HermiteTable> table;
    // The table's largest u-error as measure_table found it against the check model; none
    // without a table or a model. Not saved: a table read back is measured again against the
    // model read with it, which gives the same number.
    std::optional<double> table_u_error = std::nullopt;

    static constexpr bool draws_by_quantile = true;
    static constexpr bool interval_upper_from_masses = false;

    // The settings from the options; cdf is called only to build a table the options ask for.
    static InversionEngine build(const BuildOptions& options, FunctionRef<double(double)> cdf,
                                 Interval support);

    // The quantile at u, strictly inside (0, 1): the table when there is one; otherwise
    // bisection of cdf, polished by Newton steps when use_newton is set and a density is given.
    SampleResult<double> quantile(double u, FunctionRef<double(double)> cdf,
                                  std::optional<FunctionRef<double(double)>> density,
                                  Interval support) const;

    // A table's nodes were checked against the model when it was built (check_nodes); its
    // quantiles between them are its cubic's, not compared query by query.
    bool quantiles_checked_at_build() const { return table.has_value(); }
    // When a table node's quantile disagrees with the model (Rule::Node), the table is built
    // on the model's quantiles at the same probabilities.
    void check_nodes(const InterpolatedInverse& model, Interval support);
    // Measures the table's u-error |model cdf(x(u)) - u| without calling the user function:
    // at the midpoint of every segment between nodes, and in the first and last segments (the
    // tails, where the cubic is coarsest) at the fractions table_probe_fractions of their
    // width. Sets table_u_error to the largest.
    void measure_table(const InterpolatedInverse& model);
    static constexpr double table_probe_fractions[] = {0.01, 0.1, 0.25, 0.75, 0.9, 0.99};

    // Saved state (core/serial.hpp), a part of its distribution's: the settings (the iteration
    // cap as a u64) and the table's state. The table is made again on the owner's support.
    struct State {
        double ppf_tolerance = 0.0;  // an option, saved as given
        std::uint64_t max_iterations = 0;
        bool use_newton = false;
        std::optional<HermiteTable::State> table;
        static auto fields(auto& s) {
            auto& [ppf_tolerance, max_iterations, use_newton, table] = s;
            return std::tie(ppf_tolerance, max_iterations, use_newton, table);
        }
    };
    State state() const;
    static StateResult<InversionEngine> from_state(State s, Interval support);

    // --- The engine interface (engine.hpp), beside what SourceAnswers gives. ---
    // Through the user's cdf for a cdf source (no density), else through the density model.
    SampleResult<double> quantile(const QueryContext& c, double u) const;
    SampleResult<double> quantile_upper(const QueryContext& c, double q) const {
        return quantile_inside_unit(*this, c, 1.0 - q);
    }
    // Through a table a block of quantiles is evaluated at once.
    FillResult quantile_many(const QueryContext& c, std::span<const double> u,
                             std::span<double> out) const;
    // Through a table, the table's quantiles at 1 - q, reported as u = 1 - q when one fails.
    FillResult quantile_upper_many(const QueryContext& c, std::span<const double> q,
                                   std::span<double> out) const;
    template <WordSource R>
    SampleResult<double> sample(const QueryContext& c, R& rng) const {
        return quantile_inside_unit(*this, c, uniform(rng));
    }
    template <WordSource R>
    FillResult fill(const QueryContext& c, std::span<double> out, R& rng) const {
        if (table) return fill_table(*table, out, rng);
        return fill_one_by_one(out, [&] { return sample(c, rng); });
    }
    std::optional<std::size_t> words_per_draw() const { return 1; }
    // A table answers quantiles and draws without the user function.
    bool calls_user(Query q) const {
        if (q == Query::Quantile || q == Query::Draw) return !table.has_value();
        return true;
    }
};

// Draws by transformed density rejection; everything else from the source, quantiles by
// inversion with fixed settings (the hat keeps none of its own).
struct TdrEngine : SourceAnswers {
    TdrHat hat;

    static constexpr bool draws_by_quantile = false;
    static constexpr bool interval_upper_from_masses = false;
    static InversionEngine quantile_settings() {
        return InversionEngine{{}, 1e-12, 128, true, std::nullopt};
    }

    bool quantiles_checked_at_build() const { return false; }

    SampleResult<double> quantile(const QueryContext& c, double u) const {
        return quantile_settings().quantile(c, u);
    }
    SampleResult<double> quantile_upper(const QueryContext& c, double q) const {
        return quantile_inside_unit(*this, c, 1.0 - q);
    }
    FillResult quantile_many(const QueryContext& c, std::span<const double> u,
                             std::span<double> out) const {
        return each_of(u, out, [&](double v) { return quantile_inside_unit(*this, c, v); });
    }
    FillResult quantile_upper_many(const QueryContext& c, std::span<const double> q,
                                   std::span<double> out) const {
        return each_of(q, out, [&](double v) { return quantile_upper(c, v); });
    }
    template <WordSource R>
    SampleResult<double> sample(const QueryContext& c, R& rng) const {
        const DensityModel model = c.density_model();
        auto density = [&model](double x) { return model.density(x); };
        return hat.draw(rng, density);
    }
    template <WordSource R>
    FillResult fill(const QueryContext& c, std::span<double> out, R& rng) const {
        const DensityModel model = c.density_model();
        auto density = [&model](double x) { return model.density(x); };
        return hat.fill(out, rng, density);
    }
    // Trials vary in number: no fixed count.
    std::optional<std::size_t> words_per_draw() const { return std::nullopt; }
    bool calls_user(Query) const { return true; }
};

// The interpolated quantile function, built to the options' u_resolution. It answers every
// query but pdf without calling the user function; sf and the upper quantiles come from the
// masses summed from hi, without the loss of 1 - cdf in the upper tail. Its variance is
// centred on the mean.
struct InterpolatedEngine {
    InterpolatedInverse inverse;

    static constexpr bool draws_by_quantile = true;
    static constexpr bool interval_upper_from_masses = true;
    // ppf(0) and ppf(1) are the support's ends (the first point of a plain Sobol sequence is 0).
    static constexpr bool closed_unit = true;

    double cdf(const QueryContext&, double x) const { return inverse.cdf(x); }
    double sf(const QueryContext&, double x) const { return inverse.sf(x); }
    double logsf(const QueryContext&, double x) const {
        const double s = inverse.sf(x);
        return s > 0.0 ? std::log(s) : (s == 0.0 ? -INFINITY : s);
    }
    SampleResult<double> quantile(const QueryContext&, double u) const {
        return inverse.quantile(u);
    }
    // Out of range as ppf(1 - q) would be; for q too small for 1 - q to resolve too.
    SampleResult<double> quantile_upper(const QueryContext&, double q) const {
        if (!(q >= 0.0 && q <= 1.0)) {
            return std::unexpected(SampleError::quantile_out_of_range(1.0 - q));
        }
        return inverse.quantile_upper(q);
    }
    FillResult quantile_many(const QueryContext& c, std::span<const double> u,
                             std::span<double> out) const {
        return each_of(u, out, [&](double v) { return quantile_inside_unit(*this, c, v); });
    }
    FillResult quantile_upper_many(const QueryContext& c, std::span<const double> q,
                                   std::span<double> out) const {
        return each_of(q, out, [&](double v) { return quantile_upper(c, v); });
    }
    // A moment that an unbounded tail does not have is an error that says so.
    SampleResult<double> mean(const QueryContext&) const {
        if (const double p = inverse.tail_decay(); !(p > 2.0)) {
            return std::unexpected(SampleError::moment_undefined(1, p));
        }
        return finite_or_failed(inverse.mean());
    }
    SampleResult<double> var(const QueryContext&) const {
        if (const double p = inverse.tail_decay(); !(p > 3.0)) {
            return std::unexpected(SampleError::moment_undefined(2, p));
        }
        const auto v = finite_or_failed(inverse.variance());
        if (!v) return v;
        return *v > 0.0 ? *v : 0.0;
    }
    SampleResult<double> entropy(const QueryContext&) const {
        return finite_or_failed(inverse.entropy());
    }
    // func is called once per node of the panels.
    SampleResult<double> expect(const QueryContext&, UserFn func,
                                std::vector<Evaluation>*) const {
        return finite_or_failed(inverse.expect(func));
    }
    template <WordSource R>
    SampleResult<double> sample(const QueryContext&, R& rng) const {
        return inverse.sample(rng);
    }
    template <WordSource R>
    FillResult fill(const QueryContext&, std::span<double> out, R& rng) const {
        inverse.fill(out.data(), out.size(), rng);  // a draw of the interpolation never fails
        return {};
    }
    std::optional<std::size_t> words_per_draw() const { return 1; }
    bool calls_user(Query q) const { return q == Query::Density; }
};

static_assert(QuantileEngine<InversionEngine>);
static_assert(QuantileEngine<TdrEngine>);
static_assert(QuantileEngine<InterpolatedEngine>);
static_assert(QuantileEngine<Checked<InversionEngine>>);
static_assert(QuantileEngine<Checked<TdrEngine>>);

}  // namespace varnix
