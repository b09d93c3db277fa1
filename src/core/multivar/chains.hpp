// Several chains of one sampler, for diagnostics that compare them (R-hat, effective sample
// size): each chain a copy of the sampler, started independently and run on its own stream.
//
// Chain c draws every word it takes (its uniform start, its transitions) from the ChaCha8
// stream of one key started at word c * 2^48: a stretch no chain can run out of, so the chains
// never share a word, and chain c's draws do not depend on how many chains run, nor on which
// thread runs it. The chains can therefore run on threads (fill_in_parts) when the target may be
// called from any thread, with the same result for every thread count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/fill.hpp"
#include "core/multivar/chain.hpp"
#include "core/random.hpp"

namespace varnix {

inline constexpr unsigned chain_stream_shift = 48;
// The most chains a key can give streams of their own to.
inline constexpr std::size_t max_chains = std::size_t{1} << (64 - chain_stream_shift);

inline ChaChaRng chain_stream(const std::array<std::uint32_t, 8>& key, std::size_t chain) {
    return ChaChaRng::keyed_at(key, static_cast<std::uint64_t>(chain) << chain_stream_shift);
}

struct ChainsPlan {
    std::size_t chains = 4;
    std::size_t n = 0;       // points per chain
    std::size_t warmup = 0;  // transitions after the start, before the first point
    std::array<std::uint32_t, 8> key{};
    // chains * d start points, chain after chain; empty: each chain's uniform start in the box.
    std::span<const double> starts;
    std::size_t parts = 1;   // threads to share the chains between (1: the calling thread)
};

// Runs plan.chains copies of proto on target f: chain c starts (at its start point, or at a
// uniform point of the box from its stream), makes plan.warmup transitions, then plan.n points,
// each after the sampler's thinning, written to out[c * n * d ...]. proto itself is not changed.
// On failure the FillStop's count is the first failing chain (in chain order); a start point
// refused by init_at is reported in refusals[that chain] (refusals: chains entries), with the
// error McmcFailed. An exception from f is rethrown, the first chain's first.
template <class Chain>
FillResult run_chains(const Chain& proto, const ChainTarget& f, const ChainsPlan& plan,
                      std::span<double> out, std::vector<std::optional<StartRefusal>>& refusals) {
    refusals.assign(plan.chains, std::nullopt);
    auto run_one = [&](std::size_t c) -> SampleResult<void> {
        Chain chain = proto;
        auto rng = chain_stream(plan.key, c);
        auto bound = chain.with(f);
        if (plan.starts.empty()) {
            auto started = bound.init(rng);
            if (!started) return started;
        } else {
            const std::size_t d = plan.starts.size() / plan.chains;
            auto started = bound.init_at(plan.starts.subspan(c * d, d));
            if (!started) {
                refusals[c] = started.error();
                return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
            }
        }
        const std::size_t d = chain.dim();
        for (std::size_t k = 0; k < plan.warmup; ++k) (void)bound.step(rng);
        const std::size_t thin = chain.thinning();
        double* row = out.data() + c * plan.n * d;
        for (std::size_t k = 0; k < plan.n; ++k, row += d) {
            std::span<const double> point;
            for (std::size_t t = 0; t < thin; ++t) point = *bound.step(rng);
            std::copy(point.begin(), point.end(), row);
        }
        return {};
    };
    auto run_part = [&](std::size_t begin, std::size_t end) -> FillResult {
        for (std::size_t c = begin; c < end; ++c) {
            auto r = run_one(c);
            if (!r) return fill_stopped(c - begin, r.error());
        }
        return {};
    };
    return fill_in_parts(plan.chains, plan.parts, run_part);
}

}  // namespace varnix
