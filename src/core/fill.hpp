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
#include <thread>
#include <vector>

#include "core/errors.hpp"
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
    auto run = [&fill_part](Outcome& o) noexcept {
        try {
            o.result = fill_part(o.begin, o.end);
        } catch (...) {
            o.thrown = std::current_exception();
        }
    };

    std::vector<std::thread> workers;
    workers.reserve(parts - 1);
    std::vector<std::size_t> inline_parts;
    inline_parts.reserve(parts - 1);
    for (std::size_t p = 1; p < parts; ++p) {
        try {
            workers.emplace_back(run, std::ref(outcomes[p]));
        } catch (...) {
            // No thread to be had (std::system_error, or no memory for its state): the part is
            // drawn here instead, and the threads already started are still joined below.
            inline_parts.push_back(p);
        }
    }
    run(outcomes[0]);
    for (const std::size_t p : inline_parts) run(outcomes[p]);
    for (auto& w : workers) w.join();

    for (auto& o : outcomes) {
        if (o.thrown) std::rethrow_exception(o.thrown);
        if (!o.result) {
            return fill_stopped(o.begin + o.result.error().filled, o.result.error().error);
        }
    }
    return {};
}

}  // namespace varnix
