// The saved states of the box and the multivariate samplers: what each state() gives and what
// each from_state checks before it makes the value again.
#include <cmath>

#include "core/finite.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "core/multivar/rejection.hpp"

namespace varnix {

// --- HyperRect --------------------------------------------------------------------------------

HyperRect::State HyperRect::state() const {
    const auto& [lo, hi] = *this;
    return {lo, hi};
}

StateResult<HyperRect> HyperRect::from_state(State s) {
    auto box = make(s.lo, s.hi);
    if (!box) return state_refused("the box is not a valid one");
    return std::move(*box);
}

// --- RejectionSampler -------------------------------------------------------------------------

RejectionSampler::State RejectionSampler::state() const {
    const auto& [box, pdf_max, max_trials] = *this;
    return {box.state(), pdf_max, max_trials};
}

// make's own check: a finite positive pdf_max.
StateResult<RejectionSampler> RejectionSampler::from_state(State s) {
    auto box = HyperRect::from_state(std::move(s.box));
    if (!box) return std::unexpected(box.error());
    auto made = make(std::move(*box), s.pdf_max, s.max_trials);
    if (!made) return state_refused(made.error().message());
    return std::move(*made);
}

// --- ChainSupport -----------------------------------------------------------------------------

StateResult<ChainSupport> ChainSupport::from_state(HyperRect::State box,
                                                   std::uint64_t whole_space_dim) {
    if (box.lo.empty() && box.hi.empty()) {
        if (whole_space_dim > (std::uint64_t{1} << 32)) {
            return state_refused("the dimension is too large");
        }
        return ChainSupport::whole_space(static_cast<std::size_t>(whole_space_dim));
    }
    auto made = HyperRect::from_state(std::move(box));
    if (!made) return std::unexpected(made.error());
    return ChainSupport(std::move(*made));
}

// --- MetropolisHastings -----------------------------------------------------------------------

MetropolisHastings::State MetropolisHastings::state() const {
    return {support_.box_state(), settings_, chain_state(), step_size_, iterations_, accepted_,
            {{settings_.log_density, support_.whole_space_dim()}}};
}

// Settings are taken as given (no setting is range-checked when a sampler is restored); the
// counters must be those of a run: no more acceptances than transitions, none before init.
StateResult<MetropolisHastings> MetropolisHastings::from_state(State s) {
    auto support = ChainSupport::from_state(std::move(s.box), s.added.value.whole_space_dim);
    if (!support) return std::unexpected(support.error());
    const bool started = s.chain.has_value();
    s.settings.log_density = s.added.value.log_density;
    // The scratch vectors take the sizes the support gives them.
    MetropolisHastings m(std::move(*support), s.settings);
    if (auto resumed = m.resume(std::move(s.chain)); !resumed) {
        return std::unexpected(resumed.error());
    }
    if (s.accepted > s.iterations) return state_refused("more acceptances than transitions");
    if (!started && s.iterations != 0) return state_refused("transitions counted before init");
    m.step_size_ = s.step_size;
    m.iterations_ = s.iterations;
    m.accepted_ = s.accepted;
    return m;
}

// --- HmcSampler -------------------------------------------------------------------------------

HmcSampler::State HmcSampler::state() const {
    const HmcSettings& t = settings_;
    return {support_.box_state(), settings_, chain_state(),
            {{t.log_density, t.gradient, t.jitter, t.adapt_steps, t.target_accept, step_size_,
              iterations_, accepted_, adapt_mu_, adapt_log_step_bar_, adapt_h_bar_,
              support_.whole_space_dim()}}};
}

StateResult<HmcSampler> HmcSampler::from_state(State s) {
    const Added& a = s.added.value;
    auto support = ChainSupport::from_state(std::move(s.box), a.whole_space_dim);
    if (!support) return std::unexpected(support.error());
    const bool started = s.chain.has_value();
    HmcSettings settings = s.settings;
    double step_size = settings.step_size;
    if (s.added.present) {
        if (a.gradient > HmcGradient::WithValue) return state_refused("unknown gradient source");
        if (!finite_positive(a.step_size)) {
            return state_refused("the step size is not finite and positive");
        }
        if (a.accepted > a.iterations) return state_refused("more acceptances than transitions");
        if (!started && a.iterations != 0) {
            return state_refused("transitions counted before init");
        }
        settings.log_density = a.log_density;
        settings.gradient = a.gradient;
        settings.adapt_steps = static_cast<std::size_t>(a.adapt_steps);
        settings.target_accept = a.target_accept;
        step_size = a.step_size;
    }
    settings.jitter = a.jitter;  // 0 for a state of the fixed trajectory
    HmcSampler h(std::move(*support), settings);
    if (auto resumed = h.resume(std::move(s.chain)); !resumed) {
        return std::unexpected(resumed.error());
    }
    h.step_size_ = step_size;
    h.iterations_ = a.iterations;
    h.accepted_ = a.accepted;
    h.adapt_mu_ = a.adapt_mu;
    h.adapt_log_step_bar_ = a.adapt_log_step_bar;
    h.adapt_h_bar_ = a.adapt_h_bar;
    return h;
}

// --- GibbsSampler and ConditionalFactorizationSampler -----------------------------------------

GibbsSampler::State GibbsSampler::state() const {
    // The last is scratch, sized by the point.
    [[maybe_unused]] const auto& [point, sweeps, sweep] = *this;
    return {point, sweeps};
}

// The point is whatever the coordinate sampler returned (NaN included); only its dimension,
// that of a box, is checked.
StateResult<GibbsSampler> GibbsSampler::from_state(State s) {
    if (s.point.empty()) return state_refused("the state has no coordinates");
    return GibbsSampler(std::move(s.point), s.sweeps);
}

ConditionalFactorizationSampler::State ConditionalFactorizationSampler::state() const {
    const auto& [dim] = *this;
    return {dim};
}

StateResult<ConditionalFactorizationSampler> ConditionalFactorizationSampler::from_state(
    State s) {
    return ConditionalFactorizationSampler(s.dim);
}

// --- GaussianCopula ---------------------------------------------------------------------------

GaussianCopula::State GaussianCopula::state() const {
    const auto& [n, factor] = *this;
    return {n, factor};
}

// The factor make leaves: n x n, finite, zero above the diagonal, positive on it.
StateResult<GaussianCopula> GaussianCopula::from_state(State s) {
    const std::uint64_t n = s.n;
    if (!(n > 0 && n <= (std::uint64_t{1} << 32) && s.factor.size() == n * n)) {
        return state_refused("the factor is not n x n");
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double v = s.factor[i * n + j];
            const bool sound = j < i ? std::isfinite(v) : (j == i ? finite_positive(v) : v == 0.0);
            if (!sound) {
                return state_refused("the factor is not a lower triangle with a positive diagonal");
            }
        }
    }
    return GaussianCopula(n, std::move(s.factor));
}

// --- CdfMcEstimator ---------------------------------------------------------------------------

CdfMcEstimator::State CdfMcEstimator::state() const {
    // The last two are scratch, sized by the box.
    [[maybe_unused]] const auto& [box, normalization_samples, cdf_samples, normalization, point,
                                  upper] = *this;
    return {box.state(), normalization_samples, cdf_samples, normalization};
}

StateResult<CdfMcEstimator> CdfMcEstimator::from_state(State s) {
    auto box = HyperRect::from_state(std::move(s.box));
    if (!box) return std::unexpected(box.error());
    if (s.normalization && !finite_positive(*s.normalization)) {
        return state_refused("the cached constant is not finite and positive");
    }
    CdfMcEstimator e(std::move(*box), s.normalization_samples, s.cdf_samples);
    e.normalization_ = s.normalization;
    return e;
}

}  // namespace varnix
