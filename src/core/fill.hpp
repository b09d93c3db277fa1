// Filling a caller's span with draws, and splitting such a fill over threads.
//
// A batch sampler's fill(out, rng) writes draws into out in order, the same values as its
// sample_n(out.size(), rng). When a draw fails the fill stops there: FillStop says how many
// draws were written before it and which error ended the fill.
//
// Engines that take a fixed number of words per draw can start any draw at its own position
// in a ChaCha stream (ChaChaRng::keyed_at), so a fill can be cut into consecutive parts,
// each drawn on its own thread from its own generator, and give exactly the values of one
// generator drawing them all in order, whatever the number of parts.
//
// drive_fill is the one loop every batch of draws runs through, whatever its result (a list,
// a caller's buffer, a new array): it cuts the batch into rounds, picks the generator (the
// seeded stream at the first draw's word, or the calling thread's), splits a round over
// threads when the engine allows it, and between rounds hands over to a FillHook, through
// which the caller reports progress and ends the batch on an interruption.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <expected>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/parts.hpp"
#include "core/random.hpp"
#include "core/word_source.hpp"

namespace varnix {

struct FillStop {
    std::size_t filled;  // draws written before the failing one
    SampleError error;
};

using FillResult = std::expected<void, FillStop>;

inline FillResult fill_stopped(std::size_t filled, SampleError error) {
    return std::unexpected(FillStop{filled, error});
}

// The processors this process may run on (its affinity mask), at least 1.
std::size_t available_cores();

// A fresh 256-bit key from a word source: four words, each split low half first, as the
// generators lay out their own words.
template <WordSource R>
std::array<std::uint32_t, 8> key_from(R& rng) {
    std::array<std::uint32_t, 8> key{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint64_t w = rng.next_u64();
        key[2 * i] = static_cast<std::uint32_t>(w);
        key[2 * i + 1] = static_cast<std::uint32_t>(w >> 32);
    }
    return key;
}

// How many parts a fill of n draws is cut into: one per thread asked for, but none shorter
// than min_part draws (starting a thread costs tens of microseconds), and at least one.
inline std::size_t part_count(std::size_t n, std::size_t threads, std::size_t min_part) {
    const std::size_t by_size = min_part == 0 ? n : n / min_part;
    return std::max<std::size_t>(1, std::min(threads, by_size));
}

// Runs fill_part(begin, end) -> FillResult over `parts` consecutive, nearly equal ranges of
// [0, n): the first on the calling thread, the others on threads of their own (or on the
// calling thread when a thread cannot be started). Returns the outcome of the whole range as
// one fill in order would report it: the first failing part's stop, its count made absolute.
// An exception thrown by a part is rethrown here, the first part's first.
template <class FillPart>
FillResult fill_in_parts(std::size_t n, std::size_t parts, FillPart&& fill_part) {
    parts = std::max<std::size_t>(1, std::min(parts, std::max<std::size_t>(n, 1)));
    if (parts == 1) return fill_part(std::size_t{0}, n);

    struct Outcome {
        std::size_t begin = 0;
        std::size_t end = 0;
        FillResult result;
        std::exception_ptr thrown;
    };
    std::vector<Outcome> outcomes(parts);
    for (std::size_t p = 0; p < parts; ++p) {
        outcomes[p].begin = n / parts * p + std::min(p, n % parts);
        outcomes[p].end = outcomes[p].begin + n / parts + (p < n % parts ? 1 : 0);
    }
    run_parts(parts, [&](std::size_t p) noexcept {
        Outcome& o = outcomes[p];
        try {
            o.result = fill_part(o.begin, o.end);
        } catch (...) {
            o.thrown = std::current_exception();
        }
    });

    for (auto& o : outcomes) {
        if (o.thrown) std::rethrow_exception(o.thrown);
        if (!o.result) {
            return fill_stopped(o.begin + o.result.error().filled, o.result.error().error);
        }
    }
    return {};
}

// What the driver knows of an engine: how many words each draw takes when that number is fixed
// (so that draw k can be started at word k * words, on any thread), and whether its draws
// call user code (then they run on the calling thread, with whatever that code needs held).
struct EngineTraits {
    std::optional<std::size_t> words_per_draw;
    bool calls_user;
    // Each draw calls code that runs without the lock but takes long (a compiled user
    // function, many times per draw for numerical inversion): rounds are shorter, and a round
    // is split over threads from far fewer draws on.
    bool costly_draws = false;
    // The user function takes many points per call (a function over arrays): a round is one
    // call per function, so rounds are as long as for costly draws, not as for one call a
    // point.
    bool batched_user = false;
};

// Where a batch's words come from: the seeded stream from draw `start` on, or, without a seed,
// the calling thread's generator. threads: how many threads a round may use.
struct FillStream {
    std::optional<std::uint64_t> seed;
    std::uint64_t start = 0;
    std::size_t threads = 1;
};

// How the driver cuts a batch: rounds of `round` draws, each run through FillHook::unlocked
// when `unlocked` (only such rounds go to threads), with no part of a split round shorter than
// min_part draws.
struct RoundPlan {
    std::size_t round;
    bool unlocked;
    std::size_t min_part;
};

// The caller's side of a batch. Both calls may end the batch by throwing; the driver is
// exception-neutral, and what the rounds before wrote stays written.
class FillHook {
public:
    // Runs work (draws that call no user code) as it sees fit: the binding releases the
    // interpreter lock around it.
    virtual void unlocked(FunctionRef<void()> work) { work(); }
    // After each non-empty round: `done` of the batch's `total` draws are written.
    virtual void between_rounds(std::uint64_t /*done*/, std::uint64_t /*total*/) {}

protected:
    ~FillHook() = default;
};

// The hook of a batch nobody watches: rounds run as they come.
inline FillHook& no_fill_hook() {
    struct Quiet final : FillHook {};
    static Quiet quiet;
    return quiet;
}

// Draws n draws through round(begin, count, rng) -> FillResult, which writes draws begin ..
// begin + count - 1 from rng (positioned at draw begin). Rounds run in order; a batch of no
// draws still runs one empty round, so that an engine that refuses even an empty batch (or
// does work ahead of its first draw) is asked. A round may be split into parts drawn on
// threads of their own only when the engine takes a fixed number of words per draw and calls
// no user code; each part's generator is started at its own first draw of the batch's stream,
// so the values are the same for every thread count. Returns the first failing draw's stop,
// its count absolute.
//
// The stream: with a seed, the seeded stream started at word start * words_per_draw (start is
// refused by the caller for an engine without a fixed count); without one, one round on the
// calling thread continues that thread's generator, and a split round draws from a stream
// keyed from it (four words), so that a fill split over threads is as random as one on one
// thread but not the same values.
template <class Round>
FillResult drive_fill(std::size_t n, const EngineTraits& engine, const FillStream& stream,
                      const RoundPlan& plan, FillHook& hook, Round&& round) {
    const std::size_t words = engine.words_per_draw.value_or(0);
    const bool splits = engine.words_per_draw && !engine.calls_user && plan.unlocked;
    const std::size_t threads = splits ? std::max<std::size_t>(1, stream.threads) : 1;
    const std::uint64_t first_word = stream.seed ? stream.start * words : 0;
    const std::size_t per_round = std::max<std::size_t>(1, plan.round);

    if (part_count(n, threads, plan.min_part) == 1) {
        std::optional<ChaChaRng> own;
        if (stream.seed) own.emplace(ChaChaRng::seeded_at(*stream.seed, first_word));
        ChaChaRng& rng = own ? *own : ChaChaRng::thread_local_rng();
        std::size_t begin = 0;
        do {
            const std::size_t count = std::min(per_round, n - begin);
            FillResult r;
            if (plan.unlocked) {
                hook.unlocked([&] { r = round(begin, count, rng); });
            } else {
                r = round(begin, count, rng);
            }
            if (!r) return fill_stopped(begin + r.error().filled, r.error().error);
            begin += count;
            if (count != 0) hook.between_rounds(begin, n);
        } while (begin < n);
        return {};
    }

    const auto key = stream.seed ? seeded_key(*stream.seed) : key_from(ChaChaRng::thread_local_rng());
    const std::size_t split_round = per_round * threads;
    for (std::size_t begin = 0; begin < n;) {
        const std::size_t count = std::min(split_round, n - begin);
        FillResult r;
        hook.unlocked([&] {
            r = fill_in_parts(count, part_count(count, threads, plan.min_part),
                              [&](std::size_t b, std::size_t e) {
                                  auto rng = ChaChaRng::keyed_at(
                                      key, first_word + (begin + b) * words);
                                  return round(begin + b, e - b, rng);
                              });
        });
        if (!r) return fill_stopped(begin + r.error().filled, r.error().error);
        begin += count;
        hook.between_rounds(begin, n);
    }
    return {};
}

// A row sink writing row after row into a span: rows of `width` values, in order.
struct SpanRows {
    std::span<double> out;
    std::size_t width;
    std::size_t written = 0;

    void start() {}
    void put(std::span<const double> row) {
        std::copy(row.begin(), row.end(), out.begin() + written * width);
        ++written;
    }
};

// n draws of an engine (fill(span, rng) -> FillResult, draws of `width` values each) into out,
// which holds the draws written before a stop, no more (their values only when the engine
// stops cleanly: after an exception out's length is n * width and its tail unspecified).
template <class Engine, WordSource R>
SampleResult<void> fill_vector(Engine& engine, std::size_t n, std::size_t width, R& rng,
                               std::vector<double>& out) {
    if (width != 0 && n > out.max_size() / width) throw std::length_error("too many values");
    out.assign(n * width, 0.0);
    const FillResult r = engine.fill(std::span<double>(out), rng);
    if (!r) {
        out.resize(r.error().filled * width);
        return std::unexpected(r.error().error);
    }
    return {};
}

}  // namespace varnix
