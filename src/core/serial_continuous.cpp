// Saved states of continuous distributions: the source's numbers, the support, the
// normalising constant and the engine as built (a TDR hat, the inversion settings with the
// Hermite table's nodes, or the interpolated inverse), and the check model. Reading one back
// calls no user function and integrates nothing. The interpolated inverse and its panel table
// keep theirs beside their code; the histogram, the Hermite table, the TDR hat, the inversion
// engine and the distribution itself are defined here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "core/continuous/distribution.hpp"
#include "core/finite.hpp"
#include "core/serial.hpp"

namespace varnix {

namespace {

bool all_finite(const std::vector<double>& v) {
    for (double x : v) {
        if (!std::isfinite(x)) return false;
    }
    return true;
}

bool strictly_increasing(const std::vector<double>& v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (!(v[i - 1] < v[i])) return false;
    }
    return true;
}

bool non_decreasing(const std::vector<double>& v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (!(v[i - 1] <= v[i])) return false;
    }
    return true;
}

bool all_within(const std::vector<double>& v, double lo, double hi) {
    for (double x : v) {
        if (!(lo <= x && x <= hi)) return false;
    }
    return true;
}

}  // namespace

// --- HistogramDensity -------------------------------------------------------------------------

HistogramDensity::State HistogramDensity::state() const {
    const auto& [edges, bin_density] = *this;
    return {edges, bin_density};
}

// The numbers build required finite are finite, the edges increase and the bins are values of
// a density.
StateResult<HistogramDensity> HistogramDensity::from_state(State s) {
    if (!(s.edges.size() >= 2 && s.bin_density.size() + 1 == s.edges.size())) {
        return state_refused("histogram edges and bins do not match");
    }
    if (!(all_finite(s.edges) && strictly_increasing(s.edges))) {
        return state_refused("histogram edges are not finite and increasing");
    }
    if (!(all_finite(s.bin_density) && all_within(s.bin_density, 0.0, INFINITY))) {
        return state_refused("a histogram bin is not finite and non-negative");
    }
    HistogramDensity h;
    h.edges_ = std::move(s.edges);
    h.bin_density_ = std::move(s.bin_density);
    return h;
}

// --- HermiteTable -----------------------------------------------------------------------------

HermiteTable::State HermiteTable::state() const {
    [[maybe_unused]] const auto& [lo, hi, nodes, quantiles, slopes, guide_origin, guide_scale] =
        *this;
    return {nodes, quantiles};
}

// At least two nodes strictly increasing inside (0, 1), each with a finite quantile.
StateResult<HermiteTable> HermiteTable::from_state(State s, double lo, double hi) {
    if (!(s.nodes.size() >= 2 && s.nodes.size() == s.quantiles.size())) {
        return state_refused("the Hermite table's nodes and quantiles do not match");
    }
    if (!(all_finite(s.nodes) && strictly_increasing(s.nodes) && s.nodes.front() > 0.0 &&
          s.nodes.back() < 1.0)) {
        return state_refused("the Hermite table's nodes are not increasing inside (0, 1)");
    }
    if (!all_finite(s.quantiles)) return state_refused("a Hermite table quantile is not finite");
    return from_nodes(lo, hi, std::move(s.nodes), std::move(s.quantiles));
}

// --- TdrHat -----------------------------------------------------------------------------------

TdrHat::State TdrHat::state() const {
    [[maybe_unused]] const auto& [options, lo, hi, kind, relative, judged_above, pdf_max, xs, ys,
                                  slopes, z, cum, guide, guide_scale, segments, chords, gaps] =
        *this;
    State s{options, kind, pdf_max, xs, ys, slopes, z, cum, relative, judged_above, {}, {}, {}};
    s.segments.reserve(8 * segments.size());
    for (const auto& seg : segments) {
        const auto& [left, right, slope, intercept, point, log_f, base, span, spread] = seg;
        s.segments.insert(s.segments.end(),
                          {left, right, slope, intercept, point, log_f, base, span});
        s.spreads.push_back(static_cast<std::uint8_t>(spread));
    }
    s.chords.reserve(4 * chords.size());
    for (const auto& chord : chords) {
        const auto& [x0, x1, y0, slope] = chord;
        s.chords.insert(s.chords.end(), {x0, x1, y0, slope});
    }
    return s;
}

// A hat as build leaves it: a constant hat at a finite positive height (and no tangents), or
// at least four tangents at increasing points inside the support with finite logs and slopes,
// their intersections in order within the support, and cumulative areas ending at exactly 1.
StateResult<TdrHat> TdrHat::from_state(State s, Interval support) {
    if (!(static_cast<std::uint8_t>(s.options.transform) <=
          static_cast<std::uint8_t>(TdrTransform::InvSqrt))) {
        return state_refused("unknown TDR transform");
    }
    const bool constant = s.options.transform == TdrTransform::InvSqrt;
    if (s.kind != (constant ? Kind::Constant : Kind::Tangent)) {
        return state_refused("the hat's kind is not its transform's");
    }
    const std::size_t k = s.xs.size();
    if (constant) {
        if (!finite_positive(s.pdf_max)) {
            return state_refused("the hat's height is not finite and positive");
        }
        // A constant hat is its height alone: the tables build leaves empty stay so.
        if (!(k == 0 && s.ys.empty() && s.slopes.empty() && s.z.empty() && s.cum.empty() &&
              s.segments.empty() && s.spreads.empty() && s.chords.empty())) {
            return state_refused("the hat's tables do not match");
        }
    } else {
        if (!(k >= 2 && s.ys.size() == k && s.slopes.size() == k && s.z.size() == k - 1 &&
              s.cum.size() == k && s.segments.size() == 8 * k && s.spreads.size() == k &&
              s.chords.size() == 4 * (k + 1))) {
            return state_refused("the hat's tables do not match");
        }
        if (!(all_finite(s.xs) && strictly_increasing(s.xs) &&
              all_within(s.xs, support.lo(), support.hi()))) {
            return state_refused("the hat's points are not increasing inside the support");
        }
        if (!(all_finite(s.ys) && all_finite(s.slopes))) {
            return state_refused("the hat's tangents are not finite");
        }
        if (!(all_finite(s.z) && non_decreasing(s.z) &&
              all_within(s.z, support.lo(), support.hi()))) {
            return state_refused("the hat's intersections are not in order inside the support");
        }
        if (!(all_finite(s.cum) && non_decreasing(s.cum) && s.cum.front() >= 0.0 &&
              s.cum.back() == 1.0)) {
            return state_refused("the hat's cumulative areas do not rise to 1");
        }
        // Segments: finite numbers, left <= right inside the support, a known way of spreading.
        bool segments_sound = all_finite(s.segments);
        for (std::size_t j = 0; j < k && segments_sound; ++j) {
            const double left = s.segments[8 * j];
            const double right = s.segments[8 * j + 1];
            segments_sound = left <= right && support.lo() <= left && right <= support.hi() &&
                             s.spreads[j] <= 3;
        }
        if (!segments_sound) return state_refused("a hat segment is not a sound one");
        // Chords: the outer two empty (x0 > x1), the others finite.
        bool chords_sound = true;
        for (std::size_t i = 0; i <= k && chords_sound; ++i) {
            const double* c = s.chords.data() + 4 * i;
            const bool outer = i == 0 || i == k;
            chords_sound = outer ? c[0] > c[1] && !std::isnan(c[2]) && !std::isnan(c[3])
                                 : std::isfinite(c[0]) && std::isfinite(c[1]) && c[0] <= c[1] &&
                                       std::isfinite(c[2]) && std::isfinite(c[3]);
        }
        if (!chords_sound) return state_refused("a squeeze chord is not a sound one");
        if (std::isnan(s.judged_above)) return state_refused("the hat's judging level is NaN");
    }

    TdrHat hat;
    hat.options_ = s.options;
    hat.lo_ = support.lo();
    hat.hi_ = support.hi();
    hat.kind_ = s.kind;
    hat.pdf_max_ = s.pdf_max;
    hat.xs_ = std::move(s.xs);
    hat.ys_ = std::move(s.ys);
    hat.slopes_ = std::move(s.slopes);
    hat.z_ = std::move(s.z);
    hat.cum_ = std::move(s.cum);
    hat.relative_ = s.relative;
    hat.judged_above_ = s.judged_above;
    for (std::size_t j = 0; j < s.spreads.size(); ++j) {
        const double* q = s.segments.data() + 8 * j;
        hat.segments_.push_back(Segment{q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7],
                                        static_cast<Spread>(s.spreads[j])});
    }
    for (std::size_t i = 0; i + 3 < s.chords.size(); i += 4) {
        const double* c = s.chords.data() + i;
        hat.chords_.push_back(Chord{c[0], c[1], c[2], c[3]});
    }
    hat.make_lookups();
    return hat;
}

// --- InversionEngine --------------------------------------------------------------------------

InversionEngine::State InversionEngine::state() const {
    // The table's u-error is measured again against the check model read back with it.
    [[maybe_unused]] const auto& [ppf_tolerance, max_iterations, use_newton, table,
                                  table_u_error] = *this;
    return {ppf_tolerance, max_iterations, use_newton,
            table ? std::optional(table->state()) : std::nullopt};
}

// The iteration cap fits the engine's 32 bits; the table is one on the support.
StateResult<InversionEngine> InversionEngine::from_state(State s, Interval support) {
    if (s.max_iterations > UINT32_MAX) return state_refused("the iteration cap is out of range");
    std::optional<HermiteTable> table;
    if (s.table) {
        auto made = HermiteTable::from_state(std::move(*s.table), support.lo(), support.hi());
        if (!made) return std::unexpected(made.error());
        table = std::move(*made);
    }
    return InversionEngine{{}, s.ppf_tolerance, static_cast<std::uint32_t>(s.max_iterations),
                           s.use_newton, std::move(table)};
}

// --- ContinuousDistribution -------------------------------------------------------------------

namespace {

// The saved form of each source: the histogram's state, the others as they are.
ContinuousDistribution::State::Source saved_source(const HistogramSource& s) {
    return s.histogram.state();
}
template <class S>
ContinuousDistribution::State::Source saved_source(const S& s) {
    return ContinuousDistribution::State::Source(std::in_place_type<S>, s);
}

// The saved form of each engine, without the check model's wrapper (its model is saved after
// it).
ContinuousDistribution::State::Sampler saved_engine(const Checked<TdrEngine>& e) {
    return e.engine.hat.state();
}
ContinuousDistribution::State::Sampler saved_engine(const Checked<InversionEngine>& e) {
    return e.engine.state();
}
ContinuousDistribution::State::Sampler saved_engine(const InterpolatedEngine& e) {
    return e.inverse.state();
}

// A source read back: the numbers a builder required finite are finite, and the support is the
// one the builder derived from them. A density's norm is finite and positive; a distribution
// function has none.
using SourceResult = StateResult<ContinuousSource>;

SourceResult source_from_state(PdfSource s, Interval, double norm) {
    if (!finite_positive(norm)) {
        return state_refused("the normalising constant is not finite and positive");
    }
    return s;
}

SourceResult source_from_state(CdfSource s, Interval, double norm) {
    if (!std::isnan(norm)) {
        return state_refused("a distribution-function source has a normalising constant");
    }
    if (!(std::isfinite(s.cdf_lo) && finite_positive(s.cdf_span))) {
        return state_refused("the distribution function's rise is not finite and positive");
    }
    return s;
}

SourceResult source_from_state(HistogramDensity::State s, Interval support, double norm) {
    if (!finite_positive(norm)) {
        return state_refused("the normalising constant is not finite and positive");
    }
    auto h = HistogramDensity::from_state(std::move(s));
    if (!h) return std::unexpected(h.error());
    if (!(h->lo() == support.lo() && h->hi() == support.hi())) {
        return state_refused("the histogram does not span the support");
    }
    return HistogramSource{std::move(*h)};
}

SourceResult source_from_state(LocScaleSource s, Interval support, double norm) {
    if (!finite_positive(norm)) {
        return state_refused("the normalising constant is not finite and positive");
    }
    if (!Interval::support(s.base_lo, s.base_hi)) {
        return state_refused("the base interval is not a valid one");
    }
    if (!(std::isfinite(s.loc) && finite_positive(s.scale))) {
        return state_refused("loc or scale is not a valid one");
    }
    // Exactly the bounds loc_scale computed from these numbers.
    if (!(support.lo() == s.loc + s.scale * s.base_lo &&
          support.hi() == s.loc + s.scale * s.base_hi)) {
        return state_refused("the support is not the shifted and scaled base interval");
    }
    return s;
}

SourceResult source_from_state(TruncatedSource s, Interval support, double norm) {
    if (!finite_positive(norm)) {
        return state_refused("the normalising constant is not finite and positive");
    }
    if (!(Interval::support(s.base_lo, s.base_hi) && s.base_lo <= support.lo() &&
          support.hi() <= s.base_hi)) {
        return state_refused("the truncation is not inside the base interval");
    }
    if (!finite_positive(s.mass)) {
        return state_refused("the truncated mass is not finite and positive");
    }
    return s;
}

// An engine read back, checked against its source and the support. The hat and the inversion
// settings are made here; the interpolated inverse only passes these checks (nullopt), and is
// made once the check model has passed its own.
using EngineResult = StateResult<std::optional<ContinuousDistribution::Engine>>;

EngineResult engine_from_state(TdrHat::State s, Interval support, bool has_density) {
    if (!has_density) return state_refused("a TDR hat without a density");
    auto hat = TdrHat::from_state(std::move(s), support);
    if (!hat) return std::unexpected(hat.error());
    return Checked<TdrEngine>{TdrEngine{{}, std::move(*hat)}, std::nullopt};
}

EngineResult engine_from_state(InversionEngine::State s, Interval support, bool) {
    auto inversion = InversionEngine::from_state(std::move(s), support);
    if (!inversion) return std::unexpected(inversion.error());
    return Checked<InversionEngine>{std::move(*inversion), std::nullopt};
}

EngineResult engine_from_state(const InterpolatedInverse::State& s, Interval support,
                               bool has_density) {
    if (!(s.lo == support.lo() && s.hi == support.hi())) {
        return state_refused("the interpolated inverse does not span the support");
    }
    // Built from the density's panel table, or from a distribution function without one.
    if (s.panels.has_value() != has_density) {
        return state_refused("the interpolated inverse does not match its source");
    }
    return std::nullopt;
}

}  // namespace

// Every value is taken apart by a structured binding, which names all of its fields: a field
// added to the distribution stops the build here until its state has it. A source or engine
// added to its variant does not compile until saved_source or saved_engine can save it.
ContinuousDistribution::State ContinuousDistribution::state() const {
    const auto& [source, support, norm, quad_tolerance, engine] = *this;
    State s{support.lo(), support.hi(), norm, quad_tolerance, {}, {}, {}};
    s.source = std::visit([](const auto& src) { return saved_source(src); }, source);
    s.engine = std::visit([](const auto& e) { return saved_engine(e); }, engine);
    // The check model, built on the density after the engine (none for a distribution
    // function, nor where the density could not be checked).
    if (const InterpolatedInverse* model = check_model()) s.check_model = model->state();
    return s;
}

StateResult<ContinuousDistribution> ContinuousDistribution::from_state(State s) {
    const auto support = Interval::support(s.lo, s.hi);
    if (!support) return state_refused("the support is not a valid interval");
    if (!support->bounded() && !std::holds_alternative<InterpolatedInverse::State>(s.engine)) {
        return state_refused("an unbounded support with an engine that needs a bounded one");
    }
    auto source = std::visit(
        [&](auto& src) { return source_from_state(std::move(src), *support, s.norm); },
        s.source);
    if (!source) return std::unexpected(source.error());
    const bool has_density = !std::holds_alternative<CdfSource>(*source);

    auto engine = std::visit(
        [&](auto& e) { return engine_from_state(std::move(e), *support, has_density); },
        s.engine);
    if (!engine) return std::unexpected(engine.error());

    // The check model of a density-defined distribution: an interpolated inverse of the raw
    // density over the support, with its panel table.
    if (s.check_model) {
        if (!has_density) {
            return state_refused("a distribution-function source has a check model");
        }
        if (!(s.check_model->lo == support->lo() && s.check_model->hi == support->hi() &&
              s.check_model->panels.has_value())) {
            return state_refused("the check model does not span the support");
        }
    }
    if (!*engine) {
        auto inverse = InterpolatedInverse::from_state(
            std::move(std::get<InterpolatedInverse::State>(s.engine)));
        if (!inverse) return std::unexpected(inverse.error());
        *engine = InterpolatedEngine{std::move(*inverse)};
    }
    ContinuousDistribution d(std::move(*source), *support, s.norm, s.quad_tolerance,
                             std::move(**engine));
    if (s.check_model) {
        auto model = InterpolatedInverse::from_state(std::move(*s.check_model));
        if (!model) return std::unexpected(model.error());
        d.set_check_model(std::move(*model));
    }
    return d;
}

}  // namespace varnix
