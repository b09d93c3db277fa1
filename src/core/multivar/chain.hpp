// What the two chain samplers (Metropolis-Hastings and HMC) share: the chain state, its start,
// a transition at a time, and the batch loop (one loop: fill_rows).
//
// A chain moves in a box or on the whole of R^d (ChainSupport) and samples a target given as a
// density or as its logarithm (ChainTarget). The chain (current point and its log density)
// persists between calls; init starts or restarts it, at a uniform point of the box or at a
// point the caller gives. A derived chain supplies its transition (template <WordSource R>
// void transition(R&, const ChainTarget&)), the shape of its batches (batch_shape()), may reset
// its own counters on a successful init (on_init()) and size its scratch space when the
// dimension is fixed late (on_dimension(d)).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/multivar/box.hpp"
#include "core/multivar/density.hpp"
#include "core/multivar/points.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

namespace varnix {

// Draws uniform points of the box (u * (hi - lo) + lo, one uniform per coordinate in order)
// into point until one has a finite log density, at most `tries` times. Returns that log
// density, or nothing when no try was usable; point then holds the last try.
template <WordSource R>
std::optional<double> find_usable_start(const HyperRect& box, R& rng, const ChainTarget& f,
                                        std::span<double> point, std::size_t tries) {
    const std::size_t d = box.dim();
    const double* lo = box.lo().data();
    const double* hi = box.hi().data();
    for (std::size_t t = 0; t < tries; ++t) {
        // Evaluation order is frozen (docs/architecture.md).
        for (std::size_t j = 0; j < d; ++j) point[j] = uniform(rng) * (hi[j] - lo[j]) + lo[j];
        const double l = f.log_at(std::span<const double>(point));
        if (std::isfinite(l)) return l;
    }
    return std::nullopt;
}

// Why a start point given to init_at was refused; nothing changes then.
enum class StartRefused : std::uint8_t {
    WrongDimension,      // not of the chain's dimension
    NotFinite,           // a coordinate is NaN or infinite
    OutsideBox,          // a coordinate outside the box
    LogDensityNotFinite, // the target's log density there is not finite (value: what it was)
};
struct StartRefusal {
    StartRefused why;
    double value = 0.0;
};

template <class Chain>
class BoxChain {
public:
    static constexpr std::size_t max_init_tries = 100000;

    class Bound;

    // The chain paired with the density it samples, for the duration of one call; the chain
    // never keeps the callable.
    Bound with(const ChainTarget& f) { return Bound(static_cast<Chain&>(*this), f); }
    Bound with(DensityRef f) { return Bound(static_cast<Chain&>(*this), ChainTarget(f)); }

    std::size_t dim() const { return support_.dim(); }
    const ChainSupport& support() const { return support_; }
    bool bounded() const { return support_.bounded(); }
    const HyperRect& box() const { return support_.box(); }  // bounded() only
    bool initialized() const { return initialized_; }
    std::span<const double> current() const {  // empty before init
        if (!initialized_) return {};
        return current_;
    }
    double current_log_density() const { return current_log_density_; }  // -inf before init
    // Transitions per returned point of a batch.
    std::size_t thinning() const { return static_cast<const Chain&>(*this).batch_shape().thin; }

    // The chain's part of a saved state (core/serial.hpp), present once it has started.
    struct Current {
        std::vector<double> point;
        double log_density = 0.0;
        static auto fields(auto& s) {
            auto& [point, log_density] = s;
            return std::tie(point, log_density);
        }
    };

protected:
    std::optional<Current> chain_state() const {
        if (!initialized_) return std::nullopt;
        return Current{current_, current_log_density_};
    }
    // Resumes a chain made on the support from its saved part: a point of its dimension,
    // finite, with a finite log density, as init and every accepted transition leave them.
    StateResult<void> resume(std::optional<Current> c) {
        if (!c) return {};
        if (c->point.size() != support_.dim()) {
            return state_refused("the current point is not of the box's dimension");
        }
        if (!std::isfinite(c->log_density)) {
            return state_refused("the current log density is not finite");
        }
        for (double x : c->point) {
            if (!std::isfinite(x)) return state_refused("the current point is not finite");
        }
        initialized_ = true;
        current_ = std::move(c->point);
        current_log_density_ = c->log_density;
        return {};
    }

    explicit BoxChain(ChainSupport support)
        : support_(std::move(support)),
          current_(support_.dim()),
          current_log_density_(-std::numeric_limits<double>::infinity()),
          proposal_(support_.dim()) {}

    // How sample_n runs: burn_in transitions first (whatever n is), then thin transitions per
    // returned point. An uninitialised chain is refused when n > 0, and also for n = 0 when
    // refuse_empty is set.
    struct BatchShape {
        std::size_t burn_in;
        std::size_t thin;
        bool refuse_empty;
    };

    void on_init() {}
    void on_dimension(std::size_t) {}

    // Fixes the dimension of a chain on the whole space whose dimension was left open, and sizes
    // the scratch space for it.
    void fix_dim(std::size_t d) {
        support_.fix_dim(d);
        current_.assign(d, 0.0);
        proposal_.assign(d, 0.0);
        static_cast<Chain&>(*this).on_dimension(d);
    }

    ChainSupport support_;
    bool initialized_ = false;
    std::vector<double> current_;  // d entries; meaningful once initialized_
    double current_log_density_;
    std::vector<double> proposal_;  // d entries of scratch: init candidates, proposals
};

template <class Chain>
class BoxChain<Chain>::Bound {
public:
    // Up to max_init_tries uniform points in the box until one has a finite log density; that
    // point becomes current (and the chain's counters restart). McmcFailed if none was usable,
    // and then nothing changes.
    // A chain on the whole space has no uniform start: McmcFailed without a call (init_at).
    template <WordSource R>
    SampleResult<void> init(R& rng) {
        BoxChain& c = chain_;
        if (!c.support_.bounded()) {
            return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
        }
        const auto l = find_usable_start(c.support_.box(), rng, f_, c.proposal_, max_init_tries);
        if (!l) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
        std::swap(c.current_, c.proposal_);
        c.current_log_density_ = *l;
        c.initialized_ = true;
        chain_.on_init();
        return {};
    }

    // Starts (or restarts) the chain at the given point: of the chain's dimension (which it
    // fixes on a whole space left open), finite, inside the box, with a finite log density.
    // One call of f; refused with nothing changed otherwise.
    std::expected<void, StartRefusal> init_at(std::span<const double> point) {
        BoxChain& c = chain_;
        const bool open = !c.support_.bounded() && c.support_.dim() == 0;
        if (point.empty() || (!open && point.size() != c.dim())) {
            return std::unexpected(StartRefusal{StartRefused::WrongDimension});
        }
        for (std::size_t i = 0; i < point.size(); ++i) {
            if (!std::isfinite(point[i])) {
                return std::unexpected(StartRefusal{StartRefused::NotFinite});
            }
            if (c.support_.bounded() &&
                (point[i] < c.box().lo()[i] || point[i] > c.box().hi()[i])) {
                return std::unexpected(StartRefusal{StartRefused::OutsideBox});
            }
        }
        const double l = f_.log_at(point);
        if (!std::isfinite(l)) {
            return std::unexpected(StartRefusal{StartRefused::LogDensityNotFinite, l});
        }
        if (open) c.fix_dim(point.size());
        std::copy(point.begin(), point.end(), c.current_.begin());
        c.current_log_density_ = l;
        c.initialized_ = true;
        chain_.on_init();
        return {};
    }

    // One transition; the returned view is current() and stays valid until the next call that
    // changes the chain. McmcNotInitialized before a successful init.
    template <WordSource R>
    SampleResult<std::span<const double>> step(R& rng) {
        const BoxChain& c = chain_;
        if (!c.initialized_) return not_initialized();
        chain_.transition(rng, f_);
        return std::span<const double>(c.current_);
    }

    // The chain's burn-in, then n points, each after the chain's thinning, row by row into out:
    // fill over a vector (core/fill.hpp), a batch of its own (the burn-in runs again).
    // Transitions made stay made.
    template <WordSource R>
    SampleResult<void> sample_n(std::size_t n, R& rng, std::vector<double>& out) {
        begun_ = false;
        return fill_vector(*this, n, chain_.dim(), rng, out);
    }

    // The next out.size() / dim() points of this batch into out, row by row: see fill_rows.
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng) {
        SpanRows rows{out, chain_.dim()};
        return fill_rows(out.size() / chain_.dim(), rows, rng);
    }

    // The next n points of this batch, each after the chain's thinning, handed in order to
    // rows.put(point) (point: current(), valid for the call). The first call of a Bound starts
    // the batch: an uninitialised chain is refused (when n > 0, and also for n = 0 when the
    // chain's batch shape says so), then the burn-in runs, whatever n is, then rows.start().
    // Later calls continue the batch, so that it can be drawn in rounds. Rows: SpanRows, or
    // the binding's list of points (which shares the floats of unchanged coordinates).
    template <class Rows, WordSource R>
    FillResult fill_rows(std::size_t n, Rows& rows, R& rng) {
        const BoxChain& c = chain_;
        const BatchShape shape = chain_.batch_shape();
        if (!begun_) {
            if (!c.initialized_ && (n > 0 || shape.refuse_empty)) {
                return fill_stopped(0, not_initialized().error());
            }
            for (std::size_t k = 0; k < shape.burn_in; ++k) chain_.transition(rng, f_);
            begun_ = true;
            rows.start();
        }
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t t = 0; t < shape.thin; ++t) chain_.transition(rng, f_);
            rows.put(std::span<const double>(c.current_));
        }
        return {};
    }

    std::optional<std::size_t> words_per_draw() const { return std::nullopt; }
    bool draws_call_user_function() const { return true; }

private:
    friend class BoxChain;
    Bound(Chain& chain, const ChainTarget& f) : chain_(chain), f_(f) {}

    static std::unexpected<SampleError> not_initialized() {
        return std::unexpected(SampleError::of(SampleErrorKind::McmcNotInitialized));
    }

    Chain& chain_;
    ChainTarget f_;
    bool begun_ = false;  // this batch's burn-in has run
};

}  // namespace varnix
