// sample_into and sample_array: draws written into a caller's float64 buffer, or into a new
// numpy array, the same values as sample_n gives as a list.
//
// The arguments after out (or n) are seed, start and, for the univariate distributions,
// threads. start = k gives draws k .. k+n-1 of the seeded stream, so that any split of one
// seeded sample over calls, processes or machines reproduces it; it needs a seed and an engine
// whose draws each take a fixed number of words. Draws that call no Python (a Hermite table,
// a histogram, a discrete table) run with the interpreter lock released and, above a size
// threshold, on several threads, each part of the fill drawn from the stream started at its
// own first draw: the values are the same for every thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/random.hpp"
#include "python/args.hpp"
#include "python/bridge.hpp"
#include "python/buffers.hpp"
#include "python/declaration.hpp"

namespace varnix::py {

// The declarations every univariate distribution shares, and the multivariate samplers'
// (which run Python callables, so have no threads).
inline constexpr Declaration sample_into_declaration{
    "sample_into", {"out", {"seed", None}, {"start", 0}, {"threads", None}}};
inline constexpr Declaration sample_array_declaration{
    "sample_array", {"n", {"seed", None}, {"start", 0}, {"threads", None}}};
inline constexpr Declaration points_into_declaration{
    "sample_into", {"out", {"seed", None}, {"start", 0}}};
inline constexpr Declaration points_array_declaration{
    "sample_array", {"n", {"seed", None}, {"start", 0}}};

// Threads a fill uses when the call does not say: the processors available, at most this many.
inline constexpr std::size_t max_default_threads = 8;
// No part of a split fill is shorter than this many draws: a thread costs tens of
// microseconds to start, some thousands of draws.
inline constexpr std::size_t min_part_draws = std::size_t{1} << 16;

// seed, start and threads of one call, converted in that order.
struct FillOptions {
    std::optional<std::uint64_t> seed;
    std::uint64_t start = 0;
    std::size_t threads = 1;
};

// Converts seed (parameter i), start (i + 1) and, when with_threads, threads (i + 2).
// start: an int from 0 to 2**64 - 1 (ValueError otherwise); threads: None for the default,
// or an int of at least 1.
FillOptions fill_options(const Args& a, std::size_t i, bool with_threads);

// What a fill needs to know of the engine that draws.
struct EngineTraits {
    std::optional<std::size_t> words_per_draw;  // none: a variable number
    bool calls_python;                         // draws call a Python function
    const char* variable_reason;               // why start is refused without a fixed count
};

// Refuses, before anything is drawn, a start that cannot be honoured: start != 0 without a
// seed, start != 0 for an engine without a fixed number of words per draw, and draws that
// run past the end of the seeded stream (2**64 words).
void check_start(const FillOptions& o, const EngineTraits& engine, std::uint64_t n);

// The generator of a fill drawn on the calling thread: the seeded stream started at the first
// draw, or the calling thread's own generator.
class FillRng {
public:
    FillRng(const FillOptions& o, const EngineTraits& engine);
    ChaChaRng& get() { return own_ ? *own_ : ChaChaRng::thread_local_rng(); }

private:
    std::optional<ChaChaRng> own_;
};

// fill(part, rng) writes the draws of part, in order, from rng.
using SpanFill = FunctionRef<FillResult(std::span<double>, ChaChaRng&)>;

// Fills out with the draws of a univariate engine: check_start, then the draws on the calling
// thread, or, when they call no Python, with the lock released and split over o.threads
// threads. Raises the first failing draw's error (out then holds unspecified values).
void fill_draws(std::span<double> out, const FillOptions& o, const EngineTraits& engine,
                SpanFill fill);

// The shape checks of out: one dimension for draws; (n, d) or flat n * d for points, which
// returns n. ValueError, naming out, otherwise.
void require_draws_shape(const Float64View& out);
std::size_t points_in(const Float64View& out, std::size_t d);

// Raises the error that stopped a fill.
[[noreturn]] void raise_stop(const FillStop& stop);

// A new reference to the object a fill returns: its out argument.
PyObject* returned(const Float64View& out);

// The interpreter lock released for a scope in which no Python object is touched. The bridge
// then sees no call from Python in progress on this thread, so that anything reaching it
// takes the lock again rather than assume it held.
class WithoutLock {
public:
    WithoutLock() : saved_calls_(python_calls_in_progress) {
        python_calls_in_progress = 0;
        state_ = PyEval_SaveThread();
    }
    ~WithoutLock() {
        PyEval_RestoreThread(state_);
        python_calls_in_progress = saved_calls_;
    }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

private:
    int saved_calls_;
    PyThreadState* state_;
};

}  // namespace varnix::py
