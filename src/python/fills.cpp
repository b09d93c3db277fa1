#include "python/fills.hpp"

#include <algorithm>
#include <string>

#include "python/errors.hpp"
#include "python/progress.hpp"

namespace varnix::py {
namespace {

// Draws between two looks for a pending signal and two progress lines: a round of a fill that
// calls Python (as many as a list chunk), and of one that does not (some milliseconds of work).
constexpr std::size_t python_round = list_chunk;
constexpr std::size_t lock_free_round = std::size_t{1} << 20;
// Rounds of draws that call a compiled user function, and the shortest part of such a round a
// thread is started for: such draws take microseconds to milliseconds each.
constexpr std::size_t costly_round = 4096;
constexpr std::size_t min_costly_part_draws = 64;
constexpr std::uint64_t max_threads = 256;

std::string text_of(PyObject* o) {
    PyRef s = PyRef::steal(check(PyObject_Str(o)));
    const char* text = PyUnicode_AsUTF8AndSize(s.get(), nullptr);
    if (text == nullptr) throw PyErrorSet{};
    return text;
}

// An int parameter as a Python int (TypeError naming the parameter otherwise), and whether it
// is negative.
PyRef index_arg(const Args& a, std::size_t i, bool& negative) {
    PyRef index = a.convert(i, [](PyObject* o) { return PyRef::steal(check(PyNumber_Index(o))); });
    PyRef zero = PyRef::steal(check(PyLong_FromLong(0)));
    const int below = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (below < 0) throw PyErrorSet{};
    negative = below == 1;
    return index;
}

std::uint64_t start_arg(const Args& a, std::size_t i) {
    if (!a.given(i)) return a.count(i);  // the declared default
    bool negative = false;
    PyRef index = index_arg(a, i, negative);
    if (negative) {
        raise(PyExc_ValueError, "start must be a non-negative int (the index of the first draw), "
                                "got " + text_of(index.get()));
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        raise(PyExc_ValueError, "start must be below 2**64 (a seeded stream holds 2**64 words), "
                                "got " + text_of(index.get()));
    }
    return v;
}

std::string out_shape_error(const Float64View& out) {
    return "got shape " + shape_text(out.shape());
}

}  // namespace

std::size_t default_threads() {
    return std::min(available_cores(), max_default_threads);
}

std::size_t threads_arg(const Args& a, std::size_t i) {
    if (!a.given(i)) return default_threads();
    bool negative = false;
    PyRef index = index_arg(a, i, negative);
    const unsigned long long v = negative ? 0 : PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) PyErr_Clear();
    if (negative || v == 0 || v > max_threads) {
        raise(PyExc_ValueError, "threads must be from 1 to " + std::to_string(max_threads) +
                                    " (or None for the available processors, at most " +
                                    std::to_string(max_default_threads) + "), got " +
                                    text_of(index.get()));
    }
    return static_cast<std::size_t>(v);
}

FillOptions fill_options(const Args& a, std::size_t i, bool with_threads) {
    FillOptions o;
    o.seed = a.seed(i);
    o.start = start_arg(a, i + 1);
    if (with_threads) o.threads = threads_arg(a, i + 2);
    return o;
}

void check_start(const FillOptions& o, const EngineTraits& engine, const char* variable_reason,
                 std::uint64_t n) {
    const std::string start = std::to_string(o.start);
    if (o.start != 0 && !o.seed) {
        raise(PyExc_ValueError,
              "start=" + start + " needs a seed: without one the draws continue the calling "
              "thread's generator, which has no position to start from");
    }
    if (o.start != 0 && !engine.words_per_draw) {
        raise(PyExc_ValueError, "start=" + start + " is refused: " + variable_reason);
    }
    if (o.seed && engine.words_per_draw) {
        using Wide = unsigned __int128;
        const Wide words = (Wide{o.start} + n) * *engine.words_per_draw;
        if (words > (Wide{1} << 64)) {
            raise(PyExc_ValueError,
                  "draws " + start + " to " + start + " + " + std::to_string(n) +
                      " run past the end of the seeded stream, which holds 2**64 words (" +
                      std::to_string(*engine.words_per_draw) + " per draw)");
        }
    }
}

QmcOptions qmc_options(const Args& a, std::size_t i, bool with_threads) {
    QmcOptions o;
    o.fill = fill_options(a, i, with_threads);
    o.scramble = a.boolean(with_threads ? i + 3 : i + 2);
    return o;
}

void check_qmc_dimension(std::uint64_t d) {
    if (d == 0 || d > SobolSequence::max_dim) {
        raise(PyExc_ValueError, "a Sobol sequence has from 1 to " +
                                    std::to_string(SobolSequence::max_dim) +
                                    " dimensions, asked for " + std::to_string(d));
    }
}

SobolSequence qmc_sequence(const QmcOptions& o, std::size_t d, std::uint64_t n) {
    check_qmc_dimension(d);
    const std::string start = std::to_string(o.fill.start);
    if (o.fill.start > SobolSequence::period || n > SobolSequence::period - o.fill.start) {
        raise(PyExc_ValueError, "points " + start + " to " + start + " + " + std::to_string(n) +
                                    " run past the end of the Sobol sequence, which holds "
                                    "2**32 points");
    }
    if (!o.scramble) return SobolSequence::plain(d);
    if (o.fill.start != 0 && !o.fill.seed) {
        raise(PyExc_ValueError,
              "start=" + start + " needs a seed: without one each call scrambles the sequence "
              "afresh, so its points do not continue another call's");
    }
    if (o.fill.seed) {
        ChaChaRng rng = ChaChaRng::seeded(*o.fill.seed);
        return SobolSequence::scrambled(d, rng);
    }
    return SobolSequence::scrambled(d, ChaChaRng::thread_local_rng());
}

void PythonFillHook::unlocked(FunctionRef<void()> work) {
    WithoutLock unlocked;
    work();
}

void PythonFillHook::between_rounds(std::uint64_t done, std::uint64_t total) {
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
    if (progress_enabled) progress_batch(done, total);
}

RoundPlan buffer_plan(const EngineTraits& engine) {
    if (engine.calls_user) {
        return {engine.batched_user ? costly_round : python_round, false, min_part_draws};
    }
    if (engine.costly_draws) return {costly_round, true, min_costly_part_draws};
    return {lock_free_round, true, min_part_draws};
}

RoundPlan list_plan() { return {list_chunk, false, min_part_draws}; }

FillStream stream_of(const FillOptions& o) { return {o.seed, o.start, o.threads}; }

[[noreturn]] void raise_stop(const FillStop& stop) { raise_error(stop.error); }

PyObject* returned(const Float64View& out) {
    Py_INCREF(out.object());
    return out.object();
}

void require_draws_shape(const Float64View& out) {
    if (out.ndim() != 1) {
        raise(PyExc_ValueError,
              "argument 'out': expected a one-dimensional buffer, " + out_shape_error(out));
    }
}

std::size_t points_in(const Float64View& out, std::size_t d) {
    const auto shape = out.shape();
    if (out.ndim() == 2 && static_cast<std::size_t>(shape[1]) == d) {
        return static_cast<std::size_t>(shape[0]);
    }
    if (out.ndim() == 1) {
        const auto len = static_cast<std::size_t>(shape[0]);
        if (d == 0 && len == 0) return 0;
        if (d != 0 && len % d == 0) return len / d;
    }
    const std::string dim = std::to_string(d);
    raise(PyExc_ValueError, "argument 'out': expected shape (n, " + dim +
                                ") or a flat buffer of a multiple of " + dim + " entries, " +
                                out_shape_error(out));
}

}  // namespace varnix::py
