// Saved states of the multivariate samplers: their boxes and settings, the chains' current
// point, adapted step and counters, the copula's factor and the estimator's cached constant.
// Scratch space is not saved: every transition writes it before reading it. Structured
// bindings name every field of a value (or of its settings), so that a field added to one stops
// the build here until its state has it.
#include <cmath>
#include <limits>

#include "core/finite.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "core/multivar/rejection.hpp"
#include "core/serial.hpp"

namespace varnix {

namespace {

template <class T>
StateResult<T> refused(const StateReader& r) {
    return std::unexpected(r.finish().error());
}

// The chain of chain.hpp: whether it started, and then its current point and log density
// (finite, as init and every accepted transition leave them).
struct ChainFields {
    bool initialized = false;
    std::vector<double> current;
    double log_density = -std::numeric_limits<double>::infinity();
};

template <class Chain>
void write_chain(StateWriter& w, const Chain& c) {
    w.flag(c.initialized());
    if (c.initialized()) {
        w.f64s(c.current());
        w.f64(c.current_log_density());
    }
}

ChainFields read_chain_unchecked(StateReader& r) {
    ChainFields chain;
    chain.initialized = r.flag();
    if (!chain.initialized) return chain;
    chain.current = r.f64s();
    chain.log_density = r.f64();
    return chain;
}

void check_chain(StateReader& r, const ChainFields& chain, std::size_t dim) {
    if (!chain.initialized) return;
    if (r.require(chain.current.size() == dim, "the current point is not of the box's dimension") &&
        r.require(std::isfinite(chain.log_density), "the current log density is not finite")) {
        for (double x : chain.current) {
            if (!r.require(std::isfinite(x), "the current point is not finite")) break;
        }
    }
}

}  // namespace

// --- RejectionSampler -------------------------------------------------------------------------

std::string StateCodec::save(const RejectionSampler& s) {
    StateWriter w("RejectionSampler");
    write_box(w, s.box());
    w.f64(s.pdf_max());
    w.u64(s.max_trials());
    return std::move(w).finish();
}

template <>
StateResult<RejectionSampler> StateCodec::load<RejectionSampler>(std::string_view bytes) {
    StateReader r(bytes, "RejectionSampler");
    auto box = read_box(r);
    const double pdf_max = r.f64();
    const std::uint64_t max_trials = r.u64();
    if (!r.finish()) return refused<RejectionSampler>(r);
    // make's own check: a finite positive pdf_max.
    auto made = RejectionSampler::make(std::move(*box), pdf_max, max_trials);
    if (!made) return std::unexpected(StateError{"RejectionSampler: " + made.error().message()});
    return std::move(*made);
}

namespace {

// The support of a chain: a box as write_box writes it, or, for the whole space, two empty
// bound vectors (whose dimension follows among the chain's later fields).
void write_support(StateWriter& w, const ChainSupport& support) {
    if (support.bounded()) {
        StateCodec::write_box(w, support.box());
    } else {
        w.f64s({});
        w.f64s({});
    }
}

std::optional<ChainSupport> read_support(StateReader& r) {
    const std::vector<double> lo = r.f64s();
    const std::vector<double> hi = r.f64s();
    if (!r.ok()) return std::nullopt;
    if (lo.empty() && hi.empty()) return ChainSupport::whole_space();
    auto box = HyperRect::make(lo, hi);
    if (!r.require(box.has_value(), "the box is not a valid one")) return std::nullopt;
    return ChainSupport(std::move(*box));
}

// The dimension of a whole space (0: still open), among the fields added after the first
// format; a box keeps its own.
void read_whole_space_dim(StateReader& r, std::optional<ChainSupport>& support,
                          std::uint64_t dim) {
    if (!support || support->bounded()) return;
    if (r.require(dim <= (std::uint64_t{1} << 32), "the dimension is too large")) {
        support->fix_dim(static_cast<std::size_t>(dim));
    }
}

}  // namespace

// --- MetropolisHastings -----------------------------------------------------------------------

// Fields added after the first format, at the end: whether f is a log density, and the
// dimension of a whole space. Their absence reads as a density on a box.
std::string StateCodec::save(const MetropolisHastings& s) {
    const auto& [step_size, burn_in, thin, target_accept, adapt_steps, log_density] = s.settings_;
    StateWriter w("MetropolisHastings");
    write_support(w, s.support());
    w.f64(step_size);
    w.u64(burn_in);
    w.u64(thin);
    w.f64(target_accept);
    w.u64(adapt_steps);
    write_chain(w, s);
    w.f64(s.step_size_);
    w.u64(s.iterations_);
    w.u64(s.accepted_);
    w.flag(log_density);
    w.u64(s.support().bounded() ? 0 : s.dim());
    return std::move(w).finish();
}

// Settings are taken as given (no setting is range-checked when a sampler is restored); the
// counters must be those of a run: no more acceptances than transitions, none before init.
template <>
StateResult<MetropolisHastings> StateCodec::load<MetropolisHastings>(std::string_view bytes) {
    StateReader r(bytes, "MetropolisHastings");
    auto support = read_support(r);
    MhSettings settings;
    settings.step_size = r.f64();
    settings.burn_in = r.u64();
    settings.thin = r.u64();
    settings.target_accept = r.f64();
    settings.adapt_steps = r.u64();
    // The chain's point is checked against the dimension once the whole space's is known.
    ChainFields chain = read_chain_unchecked(r);
    const double step_size = r.f64();
    const std::uint64_t iterations = r.u64();
    const std::uint64_t accepted = r.u64();
    if (!r.at_end()) {
        settings.log_density = r.flag();
        read_whole_space_dim(r, support, r.u64());
    }
    if (support) check_chain(r, chain, support->dim());
    r.require(accepted <= iterations, "more acceptances than transitions");
    r.require(chain.initialized || iterations == 0, "transitions counted before init");
    if (!r.finish()) return refused<MetropolisHastings>(r);
    MetropolisHastings s(std::move(*support), settings);
    // The scratch vectors keep the sizes the support gave them.
    s.initialized_ = chain.initialized;
    if (chain.initialized) s.current_ = std::move(chain.current);
    s.current_log_density_ = chain.log_density;
    s.step_size_ = step_size;
    s.iterations_ = iterations;
    s.accepted_ = accepted;
    return s;
}

// --- HmcSampler -------------------------------------------------------------------------------

// Fields added after the first format, at the end: whether f is a log density, where the
// gradient comes from, the jitter, the adaptation's settings and state, the step size and
// counters, and the dimension of a whole space. Their absence reads as the fixed trajectory of
// a density on a box with finite differences, which is what such a state was made with.
std::string StateCodec::save(const HmcSampler& s) {
    const auto& [step_size, leapfrog_steps, grad_eps, log_density, gradient, jitter, adapt_steps,
                 target_accept] = s.settings_;
    StateWriter w("HmcSampler");
    write_support(w, s.support());
    w.f64(step_size);
    w.u64(leapfrog_steps);
    w.f64(grad_eps);
    write_chain(w, s);
    w.flag(log_density);
    w.u8(static_cast<std::uint8_t>(gradient));
    w.f64(jitter);
    w.u64(adapt_steps);
    w.f64(target_accept);
    w.f64(s.step_size_);
    w.u64(s.iterations_);
    w.u64(s.accepted_);
    w.f64(s.adapt_mu_);
    w.f64(s.adapt_log_step_bar_);
    w.f64(s.adapt_h_bar_);
    w.u64(s.support().bounded() ? 0 : s.dim());
    return std::move(w).finish();
}

template <>
StateResult<HmcSampler> StateCodec::load<HmcSampler>(std::string_view bytes) {
    StateReader r(bytes, "HmcSampler");
    auto support = read_support(r);
    HmcSettings settings;
    settings.step_size = r.f64();
    settings.leapfrog_steps = r.u64();
    settings.grad_eps = r.f64();
    ChainFields chain = read_chain_unchecked(r);
    settings.jitter = 0.0;
    double step_size = settings.step_size;
    std::uint64_t iterations = 0, accepted = 0;
    double mu = 0.0, log_step_bar = 0.0, h_bar = 0.0;
    if (!r.at_end()) {
        settings.log_density = r.flag();
        const std::uint8_t gradient = r.u8();
        r.require(gradient <= static_cast<std::uint8_t>(HmcGradient::WithValue),
                  "unknown gradient source");
        settings.gradient = static_cast<HmcGradient>(gradient);
        settings.jitter = r.f64();
        settings.adapt_steps = r.u64();
        settings.target_accept = r.f64();
        step_size = r.f64();
        iterations = r.u64();
        accepted = r.u64();
        mu = r.f64();
        log_step_bar = r.f64();
        h_bar = r.f64();
        read_whole_space_dim(r, support, r.u64());
        r.require(finite_positive(step_size), "the step size is not finite and positive");
        r.require(accepted <= iterations, "more acceptances than transitions");
        r.require(chain.initialized || iterations == 0, "transitions counted before init");
    }
    if (support) check_chain(r, chain, support->dim());
    if (!r.finish()) return refused<HmcSampler>(r);
    HmcSampler s(std::move(*support), settings);
    s.initialized_ = chain.initialized;
    if (chain.initialized) s.current_ = std::move(chain.current);
    s.current_log_density_ = chain.log_density;
    s.step_size_ = step_size;
    s.iterations_ = iterations;
    s.accepted_ = accepted;
    s.adapt_mu_ = mu;
    s.adapt_log_step_bar_ = log_step_bar;
    s.adapt_h_bar_ = h_bar;
    return s;
}

// --- GibbsSampler and ConditionalFactorizationSampler -----------------------------------------

std::string StateCodec::save(const GibbsSampler& s) {
    // The last is scratch, sized by the state.
    [[maybe_unused]] const auto& [state, sweeps, sweep] = s;
    StateWriter w("GibbsSampler");
    w.f64s(state);
    w.u64(sweeps);
    return std::move(w).finish();
}

// The state is whatever the coordinate sampler returned (NaN included); only its dimension,
// that of a box, is checked.
template <>
StateResult<GibbsSampler> StateCodec::load<GibbsSampler>(std::string_view bytes) {
    StateReader r(bytes, "GibbsSampler");
    std::vector<double> state = r.f64s();
    const std::uint64_t sweeps = r.u64();
    r.require(!state.empty(), "the state has no coordinates");
    if (!r.finish()) return refused<GibbsSampler>(r);
    return GibbsSampler(std::move(state), sweeps);
}

std::string StateCodec::save(const ConditionalFactorizationSampler& s) {
    StateWriter w("ConditionalFactorizationSampler");
    w.u64(s.dim());
    return std::move(w).finish();
}

template <>
StateResult<ConditionalFactorizationSampler> StateCodec::load<ConditionalFactorizationSampler>(
    std::string_view bytes) {
    StateReader r(bytes, "ConditionalFactorizationSampler");
    const std::uint64_t dim = r.u64();
    if (!r.finish()) return refused<ConditionalFactorizationSampler>(r);
    return ConditionalFactorizationSampler(dim);
}

// --- GaussianCopula ---------------------------------------------------------------------------

std::string StateCodec::save(const GaussianCopula& c) {
    const auto& [n, factor] = c;
    StateWriter w("GaussianCopula");
    w.u64(n);
    w.f64s(factor);
    return std::move(w).finish();
}

// The factor make leaves: n x n, finite, zero above the diagonal, positive on it.
template <>
StateResult<GaussianCopula> StateCodec::load<GaussianCopula>(std::string_view bytes) {
    StateReader r(bytes, "GaussianCopula");
    const std::uint64_t n = r.u64();
    std::vector<double> factor = r.f64s();
    if (r.require(n > 0 && n <= (std::uint64_t{1} << 32) && factor.size() == n * n,
                  "the factor is not n x n")) {
        bool sound = true;
        for (std::size_t i = 0; i < n && sound; ++i) {
            for (std::size_t j = 0; j < n && sound; ++j) {
                const double v = factor[i * n + j];
                sound = j < i ? std::isfinite(v) : (j == i ? finite_positive(v) : v == 0.0);
            }
        }
        r.require(sound, "the factor is not a lower triangle with a positive diagonal");
    }
    if (!r.finish()) return refused<GaussianCopula>(r);
    return GaussianCopula(n, std::move(factor));
}

// --- CdfMcEstimator ---------------------------------------------------------------------------

std::string StateCodec::save(const CdfMcEstimator& e) {
    // The last two are scratch, sized by the box.
    [[maybe_unused]] const auto& [box, normalization_samples, cdf_samples, normalization, point,
                                  upper] = e;
    StateWriter w("CdfMcEstimator");
    write_box(w, box);
    w.u64(normalization_samples);
    w.u64(cdf_samples);
    w.flag(normalization.has_value());
    if (normalization) w.f64(*normalization);
    return std::move(w).finish();
}

template <>
StateResult<CdfMcEstimator> StateCodec::load<CdfMcEstimator>(std::string_view bytes) {
    StateReader r(bytes, "CdfMcEstimator");
    auto box = read_box(r);
    const std::uint64_t normalization_samples = r.u64();
    const std::uint64_t cdf_samples = r.u64();
    std::optional<double> normalization;
    if (r.flag()) {
        normalization = r.f64();
        r.require(finite_positive(*normalization),
                  "the cached constant is not finite and positive");
    }
    if (!r.finish()) return refused<CdfMcEstimator>(r);
    CdfMcEstimator e(std::move(*box), normalization_samples, cdf_samples);
    e.normalization_ = normalization;
    return e;
}

}  // namespace varnix
