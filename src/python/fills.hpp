// sample_n, sample_into and sample_array of every class, made by the templates below from the
// engine's fill and the core's fill driver (core/fill.hpp): draws as a list, written into a
// caller's float64 buffer, or into a new numpy array, the same values in every form.
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

#include <vector>

#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/multivar/points.hpp"
#include "core/random.hpp"
#include "core/sobol.hpp"
#include "python/args.hpp"
#include "python/bridge.hpp"
#include "python/buffers.hpp"
#include "python/chunked_list.hpp"
#include "python/declaration.hpp"
#include "python/handles.hpp"

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

// Quasi-random draws: the univariate distributions' (with threads) and the copula's (whose
// quantile functions are Python's, so without).
inline constexpr Declaration sample_qmc_declaration{
    "sample_qmc", {"n", {"seed", None}, {"start", 0}, {"threads", None}, {"scramble", true}}};
inline constexpr Declaration points_qmc_declaration{
    "sample_qmc", {"n", "ppfs", {"seed", None}, {"start", 0}, {"scramble", true}}};

// Threads a fill uses when the call does not say: the processors available, at most this many.
inline constexpr std::size_t max_default_threads = 8;
// The available processors, at most max_default_threads.
std::size_t default_threads();
// A threads argument (parameter i): None for default_threads(), or an int from 1 to 256
// (ValueError otherwise).
std::size_t threads_arg(const Args& a, std::size_t i);
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

// Raises the error that stopped a fill.
[[noreturn]] void raise_stop(const FillStop& stop);

// Refuses, before anything is drawn, a start that cannot be honoured: start != 0 without a
// seed, start != 0 for an engine without a fixed number of words per draw (variable_reason
// says why it has none), and draws that run past the end of the seeded stream (2**64 words).
void check_start(const FillOptions& o, const EngineTraits& engine, const char* variable_reason,
                 std::uint64_t n);

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

// work(), with the interpreter lock released around it when `release` is set: when every user
// function it may call needs no interpreter (compiled ones), and it touches no Python object.
template <class Work>
decltype(auto) released_if(bool release, Work&& work) {
    if (!release) return work();
    WithoutLock released;
    return work();
}

// The binding's side of the fill driver: rounds that call no Python run with the interpreter
// lock released; between rounds a signal handler that raises (Ctrl-C: KeyboardInterrupt) ends
// the call, and the batch's progress is shown when it is on.
class PythonFillHook final : public FillHook {
public:
    void unlocked(FunctionRef<void()> work) override;
    void between_rounds(std::uint64_t done, std::uint64_t total) override;
};

// An engine as the batch methods see it: its traits, why it refuses start != 0 when it has
// no fixed count of words per draw, the values per draw (1, or a point's coordinates), and
// fill(span, count, rng), which writes count draws into span (count * width values).
template <class Fill>
struct BatchEngine {
    EngineTraits traits;
    const char* variable_reason;
    std::size_t width;
    Fill fill;
};
template <class Fill>
BatchEngine(EngineTraits, const char*, std::size_t, Fill) -> BatchEngine<Fill>;

// How the driver cuts a fill into a caller's buffer: rounds that call Python are as long as a
// list chunk and keep the lock; the others take some milliseconds each, without the lock, and
// split over threads.
RoundPlan buffer_plan(const EngineTraits& engine);
// How it cuts a batch made into a list: list chunks, on the calling thread, with the lock.
RoundPlan list_plan();

FillStream stream_of(const FillOptions& o);

// sample_into: rows draws into out (check_start first). Raises the first failing draw's error
// (out then holds unspecified values).
template <class Fill>
void fill_rows_into(BatchEngine<Fill>& e, std::span<double> out, std::size_t rows,
                    const FillOptions& o) {
    check_start(o, e.traits, e.variable_reason, rows);
    PythonFillHook hook;
    const FillResult r = drive_fill(
        rows, e.traits, stream_of(o), buffer_plan(e.traits), hook,
        [&](std::size_t begin, std::size_t count, ChaChaRng& rng) {
            return e.fill(out.subspan(begin * e.width, count * e.width), count, rng);
        });
    if (!r) raise_stop(r.error());
}

// sample_array: check_start, then before() (a refusal that must not depend on n), then a new
// array of n draws (shape (n,) when points is false, else (n, width)) filled as sample_into.
template <class Fill, class Before>
PyObject* new_array_of(BatchEngine<Fill>& e, std::uint64_t n, bool points, const FillOptions& o,
                       Before&& before) {
    check_start(o, e.traits, e.variable_reason, n);
    before();
    PyRef array;
    if (points) {
        const Py_ssize_t shape[] = {array_length(n, e.width), static_cast<Py_ssize_t>(e.width)};
        array = new_numpy_array(shape, "sample_array");
    } else {
        const Py_ssize_t shape[] = {array_length(n)};
        array = new_numpy_array(shape, "sample_array");
    }
    {
        const Float64View out = Float64View::writable(array.get(), "out");
        fill_rows_into(e, out.flat(), static_cast<std::size_t>(n), o);
    }
    return array.release();
}

// ---- Quasi-random draws (sample_qmc) ----
//
// Draw k of sample_qmc is made from point start + k of a Sobol sequence: the point's
// coordinates are uniforms, and the engine maps them to a draw (a quantile, or the copula's
// normal scores and quantile functions). The points are scrambled (the default) from the seed's
// stream, or from the calling thread's generator without a seed, or plain. Each point is found
// from its index alone, so the fill runs through the same driver as sample_array, split over
// threads when the engine calls no Python, and gives the same values for every thread count and
// every split of [start, start + n).

// seed, start, threads (when with_threads) and scramble of one call, converted in that order.
struct QmcOptions {
    FillOptions fill;
    bool scramble = true;
};
QmcOptions qmc_options(const Args& a, std::size_t i, bool with_threads);

// The sequence of a call whose draws take d coordinates each, after its checks (ValueError):
// d from 1 to SobolSequence::max_dim, points start .. start + n - 1 within the sequence's
// 2**32, and, for scrambled points, start = 0 unless there is a seed (each call without one
// scrambles afresh, so no later point could continue an earlier call).
SobolSequence qmc_sequence(const QmcOptions& o, std::size_t d, std::uint64_t n);
// The first of those checks alone.
void check_qmc_dimension(std::uint64_t d);

// An engine as sample_qmc sees it: whether its map calls user code, the coordinates per draw
// (1 for a univariate distribution: its draws are the quantiles of the first coordinate), and
// map(span) -> FillResult, which turns rows of uniforms into draws in place.
template <class Map>
struct QmcEngine {
    bool calls_user;
    std::size_t width;
    Map map;
};
template <class Map>
QmcEngine(bool, std::size_t, Map) -> QmcEngine<Map>;

// sample_qmc: a new array of n draws (shape (n,) when points is false, else (n, width)).
template <class Map>
PyObject* qmc_array_of(QmcEngine<Map>& e, std::uint64_t n, bool points, const QmcOptions& o) {
    const SobolSequence seq = qmc_sequence(o, e.width, n);
    PyRef array;
    if (points) {
        const Py_ssize_t shape[] = {array_length(n, e.width), static_cast<Py_ssize_t>(e.width)};
        array = new_numpy_array(shape, "sample_qmc");
    } else {
        const Py_ssize_t shape[] = {array_length(n)};
        array = new_numpy_array(shape, "sample_qmc");
    }
    {
        const Float64View view = Float64View::writable(array.get(), "out");
        const std::span<double> out = view.flat();
        // No draw takes a word of any stream: every part of a split round starts at its own
        // point, and the driver's stream (which it keys but never reads) is a fixed one.
        const EngineTraits traits{std::size_t{0}, e.calls_user};
        const FillStream stream{std::uint64_t{0}, 0, o.fill.threads};
        PythonFillHook hook;
        const FillResult r = drive_fill(
            static_cast<std::size_t>(n), traits, stream, buffer_plan(traits), hook,
            [&](std::size_t begin, std::size_t count, ChaChaRng&) {
                const std::span<double> part = out.subspan(begin * e.width, count * e.width);
                seq.fill(o.fill.start + begin, count, part);
                return e.map(part);
            });
        if (!r) raise_stop(r.error());
    }
    return array.release();
}

// sample_n of a univariate engine: n draws from one generator (seeded, or the thread's) as a
// list of floats, built round by round.
template <class Fill>
PyObject* draws_list(BatchEngine<Fill>& e, std::uint64_t n, std::optional<std::uint64_t> seed) {
    DrawList list(n);
    std::vector<double> buf(n < list_chunk ? static_cast<std::size_t>(n) : list_chunk);
    PythonFillHook hook;
    const FillResult r = drive_fill(
        static_cast<std::size_t>(n), e.traits, FillStream{seed, 0, 1}, list_plan(), hook,
        [&](std::size_t, std::size_t count, ChaChaRng& rng) -> FillResult {
            const std::span<double> part = std::span<double>(buf).first(count);
            const FillResult drawn =
                released_if(!e.traits.calls_user, [&] { return e.fill(part, count, rng); });
            if (drawn) list.add(part);
            return drawn;
        });
    if (!r) raise_stop(r.error());
    return list.release();
}

// sample_n of a sampler of points: n points as a list of lists, built round by round into
// rows (a PointRows), started (the list made) before the first draw.
template <class Fill, class Rows>
PyObject* points_list(BatchEngine<Fill>& e, std::uint64_t n, std::optional<std::uint64_t> seed,
                      Rows& rows) {
    rows.start();
    std::vector<double> buf(flat_size(n < list_chunk ? static_cast<std::size_t>(n) : list_chunk,
                                      e.width));
    PythonFillHook hook;
    const FillResult r = drive_fill(
        static_cast<std::size_t>(n), e.traits, FillStream{seed, 0, 1}, list_plan(), hook,
        [&](std::size_t, std::size_t count, ChaChaRng& rng) -> FillResult {
            const std::span<double> part = std::span<double>(buf).first(count * e.width);
            const FillResult drawn =
                released_if(!e.traits.calls_user, [&] { return e.fill(part, count, rng); });
            if (drawn) {
                for (std::size_t k = 0; k < count; ++k) {
                    rows.put(part.subspan(k * e.width, e.width));
                }
            }
            return drawn;
        });
    if (!r) raise_stop(r.error());
    return rows.release();
}

// sample_n of a chain: its rows go straight to rows (the chain starts it after its burn-in),
// through fill_rows(count, rows, rng) of one batch.
template <class Chain, class Rows>
PyObject* chain_points_list(Chain& bound, std::uint64_t n, std::optional<std::uint64_t> seed,
                            Rows& rows) {
    PythonFillHook hook;
    const EngineTraits traits{bound.words_per_draw(), bound.draws_call_user_function()};
    const FillResult r = drive_fill(
        static_cast<std::size_t>(n), traits, FillStream{seed, 0, 1}, list_plan(), hook,
        [&](std::size_t, std::size_t count, ChaChaRng& rng) {
            return bound.fill_rows(count, rows, rng);
        });
    if (!r) raise_stop(r.error());
    return rows.release();
}

// The shape checks of out: one dimension for draws; (n, d) or flat n * d for points, which
// returns n. ValueError, naming out, otherwise.
void require_draws_shape(const Float64View& out);
std::size_t points_in(const Float64View& out, std::size_t d);

// A new reference to the object a fill returns: its out argument.
PyObject* returned(const Float64View& out);

}  // namespace varnix::py
