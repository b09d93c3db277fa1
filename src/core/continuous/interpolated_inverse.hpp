// The quantile function of a density, interpolated to a chosen accuracy in u.
//
// Built from the density alone: a PanelTable gives the distribution function (the mass left and
// right of any point for a few density calls), and the quantile function x(u) is interpolated
// on intervals placed adaptively from the lower end of the mass to the upper one. Each interval
// has nodes at its ends and its middle in x; at a node the mass from the interval's start gives
// u, and the density, which the Gauss-Lobatto rule has evaluated there anyway, gives the slope
// dx/du = 1/f. A Newton polynomial with doubled nodes (Hermite interpolation) of degree 5 thus
// comes from three nodes, about half the density calls of degree 5 through six plain nodes;
// degree 3 uses the ends only, degree 4 leaves out the middle slope.
//
// Between every two nodes the error |F(x(u)) - u| and its slope are measured at the point where
// the interpolation error peaks. The slope is zero at the peak of a smooth error curve; where it
// is not (a kink in between), the estimate is widened by it. An interval is accepted when the
// estimate is at most 0.6 of the resolution, and shrunk otherwise; where one step between
// neighbouring doubles holds more mass than that (a few units in the last place from a pole),
// that mass is the limit, and max_u_error() reports it. Straight pieces cover the tails beyond
// the first and last interval, which hold less than a twentieth of the resolution; near an end
// where the density is infinite the intervals run on into the panel table's end model.
//
// A distribution given by its distribution function F instead has no density for the slopes:
// build_from_cdf interpolates through six plain nodes per interval (Chebyshev-Lobatto points
// in x, each u read from F), tests the error the same way, and finds the ends of the mass by
// bisection of F. It keeps no panel table, so it has no summaries. Both builds run one builder
// over a node source, the panel table or the distribution function (inverse_builder.cpp).
//
// Afterwards nothing calls the density: a quantile is a guide-table lookup and one polynomial;
// the distribution function is the same polynomial solved for u, so cdf and quantile agree; the
// masses above each interval are kept apart, so sf keeps its digits in the upper tail; and the
// summaries come from the panel table. The built object can therefore serve as a model of the
// distribution wherever a density-defined one needs checking.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/continuous/panel_table.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/word_source.hpp"

namespace varnix {

struct InterpolationOptions {
    // The largest |F(Q(u)) - u| allowed, between min_u_resolution and max_u_resolution.
    double u_resolution = 1e-10;
    // Degree of the interpolating polynomials: 3, 4 or 5 (5 needs the fewest density calls).
    int order = 5;
    // Points inside the interval where the density has a kink or a jump (optional): panel and
    // interval edges are placed on them.
    std::span<const double> breakpoints = {};
    // On a support that is unbounded or too wide to partition evenly, points near which the
    // mass is likely to lie, searched from besides 0, the finite ends and the middle (the
    // image of 0 under a shift and scale, say).
    std::span<const double> centres = {};
    // The intervals are marched in parts of this many panels of the density's table, each part
    // from a panel edge on its own (0: one march over the whole range, as a distribution
    // function's always is). A batch density then answers the points of all the parts together,
    // in as many calls as the longest part needs, and the parts may run on threads.
    std::size_t panels_per_part = 0;
    // The engine's parts: 4 panels at a u_resolution of 1e-12 and below (a normal then takes
    // 74 batch calls instead of 700, and 2-5% more density values), more where coarser
    // intervals span more panels (15 at 1e-5), so that the intervals cut short at the parts'
    // ends stay few.
    static std::size_t panels_per_part_for(double u_resolution) {
        const double grown = 4.0 * std::pow(std::max(u_resolution / 1e-12, 1.0), 1.0 / 12.0);
        return static_cast<std::size_t>(std::lround(grown));
    }
    // Threads the parts may be marched on, with the same result for every count. Only for a
    // density that may be called from several threads at once, and never with a batch (whose
    // calls go together).
    std::size_t threads = 1;
};

class InterpolatedInverse {
public:
    static constexpr double min_u_resolution = 1e-14;
    static constexpr double max_u_resolution = 1e-5;

    // The quantile function of density on [lo, hi]. Fails with InvalidSupport,
    // InvalidResolution, the density's own faults (DensityNegative, DensityNotFinite,
    // DensityZero, MassNotFound) or InterpolationFailed. With batch, the density's batch form,
    // the points the build can evaluate together go to it in one call (see DensityProbe): for a
    // batch that gives density's values, the same result, error and density_calls().
    static BuildResult<InterpolatedInverse> build(FunctionRef<double(double)> density, double lo,
                                                  double hi, double u_resolution,
                                                  OptionalBatch batch = std::nullopt);
    static BuildResult<InterpolatedInverse> build(FunctionRef<double(double)> density, double lo,
                                                  double hi, const InterpolationOptions& options,
                                                  OptionalBatch batch = std::nullopt);
    // The quantile function of a distribution function cdf on [lo, hi] that rises from 0 at lo
    // to 1 at hi (the caller rescales; cdf is not called at the ends). The order option is not
    // read (always quintic); breakpoints are. Fails with InvalidSupport, InvalidResolution,
    // CdfNotFinite, CdfDecreasing (a fall of more than the resolution) or InterpolationFailed.
    static BuildResult<InterpolatedInverse> build_from_cdf(FunctionRef<double(double)> cdf,
                                                           double lo, double hi,
                                                           const InterpolationOptions& options);

    // The quantile at u in [0, 1] (lo at 0, hi at 1, NaN stays NaN).
    double quantile(double u) const {
        if (!(u > 0.0)) return u == 0.0 ? lo_ : u;
        if (u >= 1.0) return hi_;
        return evaluate(u);
    }
    // The point with mass q above it, q in [0, 1], found from the masses summed from hi: for q
    // below 1e-16 too, where 1 - q would round to 1.
    double quantile_upper(double q) const;
    // The distribution function and its complement, both to the resolution; sf from the masses
    // summed from hi, without the loss of 1 - cdf in the upper tail.
    double cdf(double x) const;
    double sf(double x) const;

    // One draw: exactly one uniform, one guide-table lookup and one polynomial.
    template <WordSource R>
    double sample(R& rng) const {
        return evaluate(uniform(rng));
    }
    // n draws into out (cleared first): the same values as n calls of sample. The uniforms of
    // a block are drawn first and then evaluated, so that the evaluations, which do not depend
    // on each other, overlap in the processor.
    template <WordSource R>
    void sample_n(std::size_t n, R& rng, std::vector<double>& out) const {
        out.resize(n);
        fill(out.data(), n, rng);
    }
    template <WordSource R>
    void fill(double* out, std::size_t n, R& rng) const {
        constexpr std::size_t block = 64;
        double us[block];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = std::min(block, n - start);
            for (std::size_t j = 0; j < count; ++j) us[j] = uniform(rng);
            for (std::size_t j = 0; j < count; ++j) out[start + j] = evaluate(us[j]);
        }
    }

    // Whether it was built from a density, and so has the panel table and the summaries.
    bool has_density() const { return table_.has_value(); }
    // Summaries of the normalised density, from the panel table (no density call); only when
    // has_density(). Where the support was cut to a window, the tails beyond it are continued
    // as the power law |x - m|^-p (m the median) that the density follows at the window's
    // edge: their masses are below the resolution, but not their moments. A moment that an
    // unbounded tail does not have (p at most 2 for the mean, 3 for the variance) is NaN, and
    // tail_decay() gives p.
    double mean() const;
    double variance() const;
    // The smallest decay exponent p of a cut side whose end is infinite; +inf when there is
    // none.
    double tail_decay() const;
    double entropy() const { return panels().entropy(); }
    // One call of func per panel node, and (on a cut support) 32 per cut tail.
    double expect(FunctionRef<double(double)> func) const;
    // The entropy -integral f ln f dx of the interpolated distribution itself, whose density at
    // x(u) is 1 / x'(u): the integral of ln x'(u) over (0, 1), from the polynomials' slopes,
    // with no density call. For one built from a distribution function, which has no panel
    // table; NaN where a slope is not positive and finite.
    double interpolant_entropy() const;

    // The mass of the density on [lo, hi] (NaN when built from a distribution function).
    double norm() const {
        return table_ ? table_->norm() : std::numeric_limits<double>::quiet_NaN();
    }
    double lo() const { return lo_; }
    double hi() const { return hi_; }
    // The part of [lo, hi] the intervals cover: all of it, or the window cut from a wide or
    // unbounded support, beyond which each side holds less than a hundredth of the resolution.
    double first_edge() const { return x_.front(); }
    double last_edge() const { return x_.back(); }
    bool cut() const { return x_.front() > lo_ || x_.back() < hi_; }
    double u_resolution() const { return u_resolution_; }
    int order() const { return order_; }
    // The largest |F(x(u)) - u| the build measured (at the test points between nodes, and the
    // whole mass of each straight piece), or more where the density's mass lies closer to an
    // end or a point than double precision can resolve.
    double max_u_error() const { return max_u_error_; }
    std::size_t intervals() const { return polys_.size(); }
    // The density values the build read: its calls of the scalar density (as many with a
    // batch, whose calls group them differently).
    std::size_t density_calls() const { return density_calls_; }
    // Bytes held by the interpolation (what sampling reads) and in all (with the panel table).
    std::size_t interpolation_bytes() const;
    std::size_t memory_bytes() const {
        return interpolation_bytes() + (table_ ? table_->memory_bytes() : 0);
    }
    const PanelTable& panels() const {
        if (!table_) throw InternalFault("an inverse built from a distribution function has no panels");
        return *table_;
    }

    // Everything the built object holds, as plain numbers, and the object made from them
    // again without a call of the density (the guide table is rebuilt): a part of its
    // distribution's saved state (core/serial.hpp). from_state checks what
    // the queries rely on (sizes, finite and ordered values, the resolution's range) and
    // refuses anything else with a fixed text.
    struct State {
        double lo = 0.0;
        double hi = 0.0;
        double u_resolution = 0.0;
        int order = 5;
        double max_u_error = 0.0;
        std::uint64_t density_calls = 0;
        std::vector<double> x;             // intervals + 1 edges
        std::vector<double> u;             // intervals + 1; the last is +inf
        std::vector<double> s;             // intervals + 1; the last is 0
        std::vector<double> width;         // intervals
        std::vector<double> coefficients;  // 10 per interval: c0 to c5, then v1 to v4
        std::optional<PanelTable::State> panels;  // absent when built from a cdf
        static auto fields(auto& state) {
            auto& [lo, hi, u_resolution, order, max_u_error, density_calls, x, u, s, width,
                   coefficients, panels] = state;
            return std::tie(lo, hi, u_resolution, order, max_u_error, density_calls, x, u, s,
                            width, coefficients, panels);
        }
    };
    State state() const;
    static StateResult<InterpolatedInverse> from_state(State s);

    // Interval i's polynomial x(v) for v = u - (mass left of the interval's start), in Newton
    // form: c0 + v (c1 + (v - v1) (c2 + (v - v2) (c3 + (v - v3) (c4 + (v - v4) c5)))), v1 to
    // v4 being the second to fifth of its nodes (a doubled node counts twice). Unused degrees
    // have zero coefficients.
    struct Poly {
        double c[6];
        double v[4];
    };

private:
    template <class Source>
    friend class InverseBuilder;
    explicit InterpolatedInverse(std::optional<PanelTable> table) : table_(std::move(table)) {}
    static BuildResult<InterpolatedInverse> finish(InterpolatedInverse inv, std::size_t calls);
    void make_guide();

    static double newton(const Poly& p, double v) {
        // Order matters: the build tests exactly this evaluation.
        double r = p.c[5];
        r = p.c[4] + (v - p.v[3]) * r;
        r = p.c[3] + (v - p.v[2]) * r;
        r = p.c[2] + (v - p.v[1]) * r;
        r = p.c[1] + (v - p.v[0]) * r;
        return p.c[0] + v * r;
    }
    // The same with the derivative dx/dv, for the build's tests and for solve.
    static void newton_with_slope(const Poly& p, double v, double& x, double& dx) {
        double r = p.c[5];
        double d = 0.0;
        for (int j = 4; j >= 1; --j) {
            d = r + (v - p.v[j - 1]) * d;
            r = p.c[j] + (v - p.v[j - 1]) * r;
        }
        dx = r + v * d;
        x = p.c[0] + v * r;
    }

    // The quantile at u in [0, 1).
    double evaluate(double u) const {
        std::size_t i = guide_[static_cast<std::size_t>(u * guide_scale_)];
        // Mostly zero, one or two steps: taken without branches (the sentinel +inf at the end
        // stops them), and the rare longer walks (in the tails, where intervals are short in
        // u) by the loop.
        i += static_cast<std::size_t>(u_[i + 1] <= u);
        i += static_cast<std::size_t>(u_[i + 1] <= u);
        while (u_[i + 1] <= u) ++i;
        return piece(i, u - u_[i]);
    }
    double piece(std::size_t i, double v) const {
        const double x = newton(polys_[i], v);
        if (x < x_[i]) return x_[i];
        if (x > x_[i + 1]) return x_[i + 1];
        return x;
    }
    // v in [0, width_[i]] with piece(i, v) = x, for x_[i] < x < x_[i + 1].
    double solve(std::size_t i, double x) const;

    std::optional<PanelTable> table_;  // absent when built from a distribution function
    double lo_ = 0.0;
    double hi_ = 0.0;
    double u_resolution_ = 0.0;
    int order_ = 5;
    double max_u_error_ = 0.0;
    std::size_t density_calls_ = 0;
    std::vector<double> x_;      // intervals + 1 edges, lo to hi
    std::vector<double> u_;      // mass left of each edge over the total; the last is +inf
    std::vector<double> s_;      // mass right of each edge over the total, summed from hi
    std::vector<double> width_;  // each interval's own range of v
    std::vector<Poly> polys_;
    std::vector<std::uint32_t> guide_;  // guide_[k]: the last interval starting at or below k/G
    double guide_scale_ = 0.0;          // G
};

}  // namespace varnix
