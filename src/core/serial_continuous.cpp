// Saved states of continuous distributions: the source's numbers, the support, the
// normalising constant and the sampler as built (a TDR hat, or the inversion settings with the
// Hermite table's nodes). Reading one back calls no user function and integrates nothing.
// The histogram, the Hermite table and the TDR hat own their parts of the state (State,
// state(), from_state; defined first below); the distribution's own fields, the interpolated
// inverse and its panel table are still written and read here field by field.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "core/continuous/distribution.hpp"
#include "core/finite.hpp"
#include "core/serial.hpp"

namespace varnix {

namespace {

constexpr const char* kName = "ContinuousDistribution";

// Tags of the source and sampler alternatives. Part of the format: never renumbered.
enum class SourceTag : std::uint8_t {
    Pdf = 0,
    Cdf = 1,
    Histogram = 2,
    LocScale = 3,
    Truncated = 4,
};
enum class SamplerTag : std::uint8_t { Tdr = 0, Inversion = 1, Interpolated = 2 };

template <class E>
std::uint8_t tag(E e) {
    return static_cast<std::uint8_t>(e);
}

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

// --- ContinuousDistribution -------------------------------------------------------------------

namespace {

// A signed int of a state (an exponent, an order) as the u64 of its two's complement.
void write_int(StateWriter& w, int v) {
    w.u64(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
}

int read_int(StateReader& r) {
    const auto v = static_cast<std::int64_t>(r.u64());
    if (!r.require(v >= INT32_MIN && v <= INT32_MAX, "an integer field is out of range")) return 0;
    return static_cast<int>(v);
}

void write_end_model(StateWriter& w, const std::optional<EndModel::Parameters>& model) {
    w.flag(model.has_value());
    if (model) w.f64s(*model);
}

std::optional<EndModel::Parameters> read_end_model(StateReader& r) {
    if (!r.flag()) return std::nullopt;
    const std::vector<double> q = r.f64s();
    EndModel::Parameters p{};
    if (!r.require(q.size() == p.size(), "an end model has the wrong number of parameters")) {
        return p;
    }
    std::copy(q.begin(), q.end(), p.begin());
    return p;
}

// The interpolated inverse as InterpolatedInverse::state() gives it, and its panel table.
void write_interpolated(StateWriter& w, const InterpolatedInverse& inverse) {
    const auto [lo, hi, u_resolution, order, max_u_error, density_calls, x, u, s, width,
                coefficients, panels] = inverse.state();
    w.f64(lo);
    w.f64(hi);
    w.f64(u_resolution);
    write_int(w, order);
    w.f64(max_u_error);
    w.u64(density_calls);
    w.f64s(x);
    w.f64s(u);
    w.f64s(s);
    w.f64s(width);
    w.f64s(coefficients);
    w.flag(panels.has_value());
    if (!panels) return;
    const auto& [p_lo, p_hi, exponent, mass, unresolved, mean, variance, entropy, edges, masses,
                 values, below, above, lo_model, hi_model] = *panels;
    w.f64(p_lo);
    w.f64(p_hi);
    write_int(w, exponent);
    w.f64(mass);
    w.f64(unresolved);
    w.f64(mean);
    w.f64(variance);
    w.f64(entropy);
    w.f64s(edges);
    w.f64s(masses);
    w.f64s(values);
    w.f64s(below);
    w.f64s(above);
    write_end_model(w, lo_model);
    write_end_model(w, hi_model);
}

InterpolatedInverse::State read_interpolated(StateReader& r) {
    InterpolatedInverse::State st;
    st.lo = r.f64();
    st.hi = r.f64();
    st.u_resolution = r.f64();
    st.order = read_int(r);
    st.max_u_error = r.f64();
    st.density_calls = r.u64();
    st.x = r.f64s();
    st.u = r.f64s();
    st.s = r.f64s();
    st.width = r.f64s();
    st.coefficients = r.f64s();
    if (r.flag()) {
        PanelTable::State p;
        p.lo = r.f64();
        p.hi = r.f64();
        p.exponent = read_int(r);
        p.mass = r.f64();
        p.unresolved = r.f64();
        p.mean = r.f64();
        p.variance = r.f64();
        p.entropy = r.f64();
        p.edges = r.f64s();
        p.masses = r.f64s();
        p.values = r.f64s();
        p.below = r.f64s();
        p.above = r.f64s();
        p.lo_model = read_end_model(r);
        p.hi_model = read_end_model(r);
        st.panels = std::move(p);
    }
    return st;
}

// The fields of a source as read, before they become one of ContinuousSource's alternatives.
struct SourceFields {
    SourceTag tag = SourceTag::Pdf;
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;  // in the order the alternative declares them
    std::optional<HistogramDensity> histogram;
};

// The numbers a builder required finite are finite, and the support is the one the builder
// derived from them.
SourceFields read_source(StateReader& r, Interval support, double norm) {
    SourceFields s;
    const std::uint8_t t = r.u8();
    s.tag = static_cast<SourceTag>(t);
    if (!r.require(t <= tag(SourceTag::Truncated), "unknown source kind")) return s;
    if (s.tag == SourceTag::Cdf) {
        s.a = r.f64();
        s.b = r.f64();
        r.require(std::isnan(norm), "a distribution-function source has a normalising constant");
        r.require(std::isfinite(s.a) && finite_positive(s.b),
                  "the distribution function's rise is not finite and positive");
        return s;
    }
    HistogramDensity::State histogram;
    if (s.tag == SourceTag::Histogram) {
        r.field(histogram);
    } else if (s.tag == SourceTag::LocScale) {
        s.a = r.f64();
        s.b = r.f64();
        s.c = r.f64();
        s.d = r.f64();
    } else if (s.tag == SourceTag::Truncated) {
        s.a = r.f64();
        s.b = r.f64();
        s.c = r.f64();
    }
    r.require(finite_positive(norm), "the normalising constant is not finite and positive");
    switch (s.tag) {
        case SourceTag::Histogram:
            if (!r.ok()) break;
            if (auto h = HistogramDensity::from_state(std::move(histogram)); !h) {
                r.refuse(h.error());
            } else if (r.require(h->lo() == support.lo() && h->hi() == support.hi(),
                                 "the histogram does not span the support")) {
                s.histogram = std::move(*h);
            }
            break;
        case SourceTag::LocScale:
            r.require(std::isfinite(s.a) && std::isfinite(s.b) && s.a < s.b,
                      "the base interval is not a valid one");
            r.require(std::isfinite(s.c) && finite_positive(s.d),
                      "loc or scale is not a valid one");
            // Exactly the bounds loc_scale computed from these numbers.
            r.require(support.lo() == s.c + s.d * s.a && support.hi() == s.c + s.d * s.b,
                      "the support is not the shifted and scaled base interval");
            break;
        case SourceTag::Truncated:
            r.require(std::isfinite(s.a) && std::isfinite(s.b) && s.a <= support.lo() &&
                          support.hi() <= s.b,
                      "the truncation is not inside the base interval");
            r.require(finite_positive(s.c), "the truncated mass is not finite and positive");
            break;
        default:
            break;
    }
    return s;
}

// The fields of a sampler as read.
struct SamplerFields {
    SamplerTag tag = SamplerTag::Inversion;
    std::optional<TdrHat> hat;  // checked and made by TdrHat::from_state
    // Inversion
    double ppf_tolerance = 0.0;
    std::uint64_t max_iterations = 0;
    bool use_newton = false;
    std::optional<HermiteTable> table;  // checked and made by HermiteTable::from_state
    // Interpolated inverse (checked by InterpolatedInverse::from_state)
    InterpolatedInverse::State interpolated;
};

// The inversion settings (the iteration cap is 32 bits) and the Hermite table, if any.
void read_inversion(StateReader& r, SamplerFields& s, Interval support) {
    s.ppf_tolerance = r.f64();  // an option, stored as given
    s.max_iterations = r.u64();
    s.use_newton = r.flag();
    std::optional<HermiteTable::State> table;
    r.field(table);
    r.require(s.max_iterations <= UINT32_MAX, "the iteration cap is out of range");
    if (!table || !r.ok()) return;
    if (auto made = HermiteTable::from_state(std::move(*table), support.lo(), support.hi())) {
        s.table = std::move(*made);
    } else {
        r.refuse(made.error());
    }
}

SamplerFields read_sampler(StateReader& r, Interval support, SourceTag source) {
    SamplerFields s;
    const std::uint8_t t = r.u8();
    s.tag = static_cast<SamplerTag>(t);
    if (!r.require(t <= tag(SamplerTag::Interpolated), "unknown sampler kind")) return s;
    if (s.tag == SamplerTag::Interpolated) {
        s.interpolated = read_interpolated(r);
        r.require(s.interpolated.lo == support.lo() && s.interpolated.hi == support.hi(),
                  "the interpolated inverse does not span the support");
        // Built from the density's panel table, or from a distribution function without one.
        r.require(s.interpolated.panels.has_value() == (source != SourceTag::Cdf),
                  "the interpolated inverse does not match its source");
        return s;
    }
    if (s.tag == SamplerTag::Tdr) {
        TdrHat::State hat;
        r.field(hat);
        r.require(source != SourceTag::Cdf, "a TDR hat without a density");
        if (!r.ok()) return s;
        if (auto made = TdrHat::from_state(std::move(hat), support)) {
            s.hat = std::move(*made);
        } else {
            r.refuse(made.error());
        }
        return s;
    }
    read_inversion(r, s, support);
    return s;
}

// The check model of a density-defined distribution: an interpolated inverse of the raw density
// over the support, with its panel table.
std::optional<InterpolatedInverse::State> read_check_model(StateReader& r, Interval support,
                                                          SourceTag source) {
    if (!r.flag()) return std::nullopt;
    InterpolatedInverse::State st = read_interpolated(r);
    r.require(source != SourceTag::Cdf, "a distribution-function source has a check model");
    r.require(st.lo == support.lo() && st.hi == support.hi() && st.panels.has_value(),
              "the check model does not span the support");
    return st;
}

// The saved fields of an engine: the hat, the inversion settings or the interpolated inverse,
// without the check model's wrapper (its model is saved after them).
const TdrHat& saved_engine(const Checked<TdrEngine>& e) { return e.engine.hat; }
const InversionEngine& saved_engine(const Checked<InversionEngine>& e) { return e.engine; }
const InterpolatedInverse& saved_engine(const InterpolatedEngine& e) { return e.inverse; }

}  // namespace

// Every value is taken apart by a structured binding, which names all of its fields: a field
// added to one of them stops the build here until the saved state (and its reading) has it.
std::string StateCodec::save(const ContinuousDistribution& d) {
    const auto& [source, support, norm, quad_tolerance, sampler] = d;
    const InterpolatedInverse* check = d.check_model();
    StateWriter w(kName);
    w.f64(support.lo());
    w.f64(support.hi());
    w.f64(norm);
    w.f64(quad_tolerance);

    std::visit(
        [&w](const auto& s) {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, PdfSource>) {
                w.u8(tag(SourceTag::Pdf));
            } else if constexpr (std::is_same_v<S, CdfSource>) {
                const auto& [cdf_lo, cdf_span] = s;
                w.u8(tag(SourceTag::Cdf));
                w.f64(cdf_lo);
                w.f64(cdf_span);
            } else if constexpr (std::is_same_v<S, HistogramSource>) {
                w.u8(tag(SourceTag::Histogram));
                w.field(s.histogram.state());
            } else if constexpr (std::is_same_v<S, LocScaleSource>) {
                const auto& [base_lo, base_hi, loc, scale] = s;
                w.u8(tag(SourceTag::LocScale));
                w.f64(base_lo);
                w.f64(base_hi);
                w.f64(loc);
                w.f64(scale);
            } else {
                // A source added to ContinuousDistribution needs its own tag and fields here.
                static_assert(std::is_same_v<S, TruncatedSource>, "a source with no saved state");
                const auto& [base_lo, base_hi, mass] = s;
                w.u8(tag(SourceTag::Truncated));
                w.f64(base_lo);
                w.f64(base_hi);
                w.f64(mass);
            }
        },
        source);

    std::visit(
        [&w](const auto& held) {
            const auto& engine = saved_engine(held);
            using S = std::decay_t<decltype(engine)>;
            if constexpr (std::is_same_v<S, TdrHat>) {
                w.u8(tag(SamplerTag::Tdr));
                w.field(engine.state());
            } else if constexpr (std::is_same_v<S, InterpolatedInverse>) {
                w.u8(tag(SamplerTag::Interpolated));
                write_interpolated(w, engine);
            } else {
                // A sampler added to ContinuousDistribution needs its own tag and fields here.
                static_assert(std::is_same_v<S, InversionEngine>, "a sampler with no saved state");
                const auto& [ppf_tolerance, max_iterations, use_newton, table] = engine;
                w.u8(tag(SamplerTag::Inversion));
                w.f64(ppf_tolerance);
                w.u64(max_iterations);
                w.flag(use_newton);
                w.field(table ? std::optional(table->state()) : std::nullopt);
            }
        },
        sampler);

    // The check model, built on the density after the engine (none for a distribution
    // function, nor where the density could not be checked).
    w.flag(check != nullptr);
    if (check) write_interpolated(w, *check);
    return std::move(w).finish();
}

template <>
StateResult<ContinuousDistribution> StateCodec::load<ContinuousDistribution>(
    std::string_view bytes) {
    StateReader r(bytes, kName);
    const double lo = r.f64();
    const double hi = r.f64();
    const double norm = r.f64();
    const double quad_tolerance = r.f64();  // an option, stored as given
    const auto support = Interval::make(lo, hi);
    if (!r.require(support.has_value(), "the support is not a valid interval")) {
        return std::unexpected(r.finish().error());
    }
    SourceFields src = read_source(r, *support, norm);
    SamplerFields smp = read_sampler(r, *support, src.tag);
    std::optional<InterpolatedInverse::State> check = read_check_model(r, *support, src.tag);
    if (auto done = r.finish(); !done) return std::unexpected(done.error());

    ContinuousSource source;
    switch (src.tag) {
        case SourceTag::Pdf: source = PdfSource{}; break;
        case SourceTag::Cdf: source = CdfSource{src.a, src.b}; break;
        case SourceTag::Histogram: source = HistogramSource{std::move(*src.histogram)}; break;
        case SourceTag::LocScale: source = LocScaleSource{src.a, src.b, src.c, src.d}; break;
        case SourceTag::Truncated: source = TruncatedSource{src.a, src.b, src.c}; break;
    }

    auto refused = [](const char* what) {
        return std::unexpected(StateError{std::string(kName) + ": " + what});
    };
    ContinuousDistribution::Engine sampler = Checked<InversionEngine>{};
    if (smp.tag == SamplerTag::Interpolated) {
        auto inverse = InterpolatedInverse::from_state(std::move(smp.interpolated));
        if (!inverse) return refused(inverse.error());
        sampler = InterpolatedEngine{std::move(*inverse)};
    } else if (smp.tag == SamplerTag::Tdr) {
        sampler = Checked<TdrEngine>{TdrEngine{std::move(*smp.hat)}, std::nullopt};
    } else {
        sampler = Checked<InversionEngine>{
            InversionEngine{smp.ppf_tolerance, static_cast<std::uint32_t>(smp.max_iterations),
                            smp.use_newton, std::move(smp.table)},
            std::nullopt};
    }
    ContinuousDistribution d(std::move(source), *support, norm, quad_tolerance,
                             std::move(sampler));
    if (check) {
        auto model = InterpolatedInverse::from_state(std::move(*check));
        if (!model) return refused(model.error());
        d.set_check_model(std::move(*model));
    }
    return d;
}

}  // namespace varnix
