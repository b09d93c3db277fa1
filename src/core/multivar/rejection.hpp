// Plain accept-reject in a box against a constant envelope pdf_max.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/multivar/box.hpp"
#include "core/multivar/density.hpp"
#include "core/multivar/lookahead.hpp"
#include "core/multivar/points.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

namespace varnix {

class RejectionSampler {
public:
    class Bound;

    // InvalidPdfMax unless pdf_max is finite and > 0.
    static BuildResult<RejectionSampler> make(HyperRect box, double pdf_max,
                                              std::size_t max_trials);

    // The sampler paired with the density it samples, for the duration of one call, and with
    // the density's batch form when the caller has one (see Bound::fill).
    Bound with(DensityRef f, OptionalBatch batch = std::nullopt) const;

    std::size_t dim() const { return box_.dim(); }
    double pdf_max() const { return pdf_max_; }
    std::size_t max_trials() const { return max_trials_; }
    const HyperRect& box() const { return box_; }

    // Saved state (core/serial.hpp): the box and the settings, read back through make.
    struct State {
        static constexpr const char* name = "RejectionSampler";
        HyperRect::State box;
        double pdf_max = 0.0;
        std::uint64_t max_trials = 0;
        static auto fields(auto& s) {
            auto& [box, pdf_max, max_trials] = s;
            return std::tie(box, pdf_max, max_trials);
        }
    };
    State state() const;
    static StateResult<RejectionSampler> from_state(State s);

private:
    RejectionSampler(HyperRect box, double pdf_max, std::size_t max_trials)
        : box_(std::move(box)), pdf_max_(pdf_max), max_trials_(max_trials) {}

    HyperRect box_;
    double pdf_max_;
    std::size_t max_trials_;
};

class RejectionSampler::Bound {
public:
    // One accepted point written to point (exactly dim() entries), or RejectionExhausted after
    // max_trials rejected proposals. Each proposal takes d uniforms for the point and one more
    // only when f(x) is finite and >= 0. A proposal where f(x) is above pdf_max ends the draw
    // with DensityAboveBound (naming the value and the point) before that uniform: the
    // envelope does not cover the density, and accepting would bias the draws. point is the
    // proposal buffer itself: after a failure or an exception from f it holds the last
    // proposal.
    template <WordSource R>
    SampleResult<void> sample(R& rng, std::span<double> point) const;

    // n points from one generator, row by row into out: fill over a vector (core/fill.hpp).
    // The first failing point ends the call with its error; out then holds the points
    // accepted before it.
    template <WordSource R>
    SampleResult<void> sample_n(std::size_t n, R& rng, std::vector<double>& out) const {
        return fill_vector(*this, n, s_.box_.dim(), rng, out);
    }

    // out.size() / dim() points into out, row by row: the values of sample_n. The first
    // failing point stops the fill (FillStop counts the points written before it; that
    // point's row holds its last proposal).
    //
    // With a batch form (and a source whose copies are independent, CopyableWordSource), the
    // proposals are evaluated in batches, one call each, and decided in order afterwards: the
    // same points, words, values and failures as one proposal at a time, for a batch function
    // that gives the scalar function's values. A batch holds at most as many proposals as
    // there are points still to draw (each proposal yields at most one) and max_batch_points.
    // Its proposals are laid out as if each took its acceptance uniform: after one that does
    // not (a NaN, infinite or negative value) the rest of the batch was laid out on the wrong
    // words and is proposed again (in a batch at most twice as long as the part used), and
    // after one above pdf_max or the last trial of a point the fill ends; only there are
    // points evaluated that one at a time would not evaluate. An exception from the batch
    // function leaves the source where that batch began. sample draws through the scalar
    // function.
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng) const;

    std::optional<std::size_t> words_per_draw() const { return std::nullopt; }
    bool draws_call_user_function() const { return true; }

private:
    friend class RejectionSampler;
    Bound(const RejectionSampler& sampler, DensityRef f, OptionalBatch batch)
        : s_(sampler), f_(f), batch_(batch) {}

    template <CopyableWordSource R>
    FillResult fill_batched(std::span<double> out, R& rng, BatchFn batch) const;

    const RejectionSampler& s_;
    DensityRef f_;
    OptionalBatch batch_;
};

inline RejectionSampler::Bound RejectionSampler::with(DensityRef f, OptionalBatch batch) const {
    return Bound(*this, f, batch);
}

template <WordSource R>
SampleResult<void> RejectionSampler::Bound::sample(R& rng, std::span<double> point) const {
    const std::size_t d = s_.box_.dim();
    if (point.size() != d) throw InternalFault("rejection draw: point buffer of wrong length");
    const double* lo = s_.box_.lo().data();
    const double* hi = s_.box_.hi().data();
    for (std::size_t trial = 0; trial < s_.max_trials_; ++trial) {
        // Evaluation order is frozen (docs/architecture.md).
        for (std::size_t j = 0; j < d; ++j) point[j] = (hi[j] - lo[j]) * uniform(rng) + lo[j];
        const double y = f_(std::span<const double>(point));
        // NaN, infinite and negative values reject without a further uniform; -0.0 passes.
        if (std::isnan(y) || std::isinf(y) || y < 0.0) continue;
        if (y > s_.pdf_max_) [[unlikely]] {
            return std::unexpected(SampleError::density_above_bound(y, s_.pdf_max_, point));
        }
        if (y >= uniform(rng) * s_.pdf_max_) return {};
    }
    return std::unexpected(SampleError::of(SampleErrorKind::RejectionExhausted));
}

template <WordSource R>
FillResult RejectionSampler::Bound::fill(std::span<double> out, R& rng) const {
    if constexpr (CopyableWordSource<R>) {
        if (batch_) return fill_batched(out, rng, *batch_);
    }
    const std::size_t d = s_.box_.dim();
    const std::size_t n = out.size() / d;
    for (std::size_t k = 0; k < n; ++k) {
        auto drawn = sample(rng, out.subspan(k * d, d));
        if (!drawn) return fill_stopped(k, drawn.error());
    }
    return {};
}

// The steps of sample, proposal by proposal, with the density values of a batch.
// Evaluation order is frozen (docs/architecture.md).
template <CopyableWordSource R>
FillResult RejectionSampler::Bound::fill_batched(std::span<double> out, R& rng,
                                                 BatchFn batch) const {
    const std::size_t d = s_.box_.dim();
    const std::size_t n = out.size() / d;
    const std::size_t max_trials = s_.max_trials_;
    const double pdf_max = s_.pdf_max_;
    const double* lo = s_.box_.lo().data();
    const double* hi = s_.box_.hi().data();
    const std::size_t room = std::min(n, max_batch_points);
    std::vector<double> points(flat_size(room, d));
    std::vector<double> values(room);
    std::vector<std::uint64_t> acceptance(room);  // the word after each proposal's point

    std::size_t k = 0;       // points written
    std::size_t trials = 0;  // proposals made for point k
    std::size_t reach = max_batch_points;  // the most proposals the next batch lays out
    while (k < n) {
        if (trials == max_trials) {
            return fill_stopped(k, SampleError::of(SampleErrorKind::RejectionExhausted));
        }
        const std::size_t m = std::min(n - k, reach);
        WordLookahead<R> ahead(rng);
        for (std::size_t p = 0; p < m; ++p) {
            double* x = points.data() + p * d;
            for (std::size_t j = 0; j < d; ++j) x[j] = (hi[j] - lo[j]) * uniform(ahead) + lo[j];
            acceptance[p] = ahead.next_u64();
        }
        batch(std::span<const double>(points.data(), m * d), std::span<double>(values.data(), m));

        std::size_t taken = 0;  // words of the source the proposals decided so far take
        std::size_t used = m;   // proposals decided
        for (std::size_t p = 0; p < m; ++p) {
            const std::span<double> row = out.subspan(k * d, d);
            std::copy_n(points.data() + p * d, d, row.begin());
            ++trials;
            taken += d;
            const double y = values[p];
            // Rejected without an acceptance uniform: the next proposal starts on the word the
            // batch gave this one's, so the rest of the batch is laid out afresh.
            if (std::isnan(y) || std::isinf(y) || y < 0.0) {
                used = p + 1;
                break;
            }
            if (y > pdf_max) [[unlikely]] {
                ahead.commit(taken);
                return fill_stopped(k, SampleError::density_above_bound(y, pdf_max, row));
            }
            ++taken;
            if (y >= unit_from_bits(acceptance[p]) * pdf_max) {
                ++k;
                trials = 0;
            } else if (trials == max_trials) {
                break;  // point k ran out of trials: the fill ends at the top of the loop
            }
        }
        ahead.commit(taken);
        // After a batch cut short, the next lays out at most twice the proposals this one used,
        // so that those evaluated in vain stay about as many as those used, however often the
        // density is unusable; a batch used whole lets the next one double.
        reach = used < m ? std::max<std::size_t>(1, 2 * used)
                         : std::min(2 * reach, max_batch_points);
    }
    return {};
}

}  // namespace varnix
