// The callable bridge: the only place where user Python callables are called (the second level
// of the user-function layer, see call_record.hpp).
//
// Arguments are passed as new float (and int, list) objects; the result goes through the float
// conversion. An exception raised by user code that is an Exception is discarded and the value
// becomes NaN (or InversionFailed for the checked form). Any other exception (KeyboardInterrupt,
// SystemExit, the module's own internal fault, ...) ends the enclosing call: it stays set and
// PyErrorSet travels up through the core, which leaves every object as it was before the
// interrupted step. Each call ensures the interpreter lock around itself, cheaply inside a call
// from Python (PythonCalls).
//
// Every call from Python keeps a record of the user calls it made (CallRecord): how many, how
// many failed (raised, or returned something that is not a number, or NaN), and the first
// failure in full, so that an error the call ends with can say what went wrong (notes.hpp).
// Densities also record the first negative value they return. Recording costs a few counter
// updates per call; the details are kept only for the first failure, and the Python objects
// behind them are turned into text only when the call fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/errors.hpp"
#include "python/call_record.hpp"
#include "python/errors.hpp"
#include "python/handles.hpp"
#include "python/user_function.hpp"

namespace varnix::py {

// The Python objects behind a recorded call's outcome: the raised exception, as fetched
// (normalised only for a note), or the returned object that did not convert; neither for a
// value.
struct OutcomeObjects {
    PyRef exception_type;
    PyRef exception;
    PyRef returned;
};

// The Python objects behind a recorded call.
struct CallObjects {
    PyRef callable;
    OutcomeObjects outcome;
    OutcomeObjects list_form;
};

class PythonCalls;

// Told how far a call from Python has got: every so many user calls (by the bridge) and
// after each chunk of a batch (by the batch loops). The progress display is one.
class CallWatcher {
public:
    // May end the call (PyErrorSet).
    virtual void on_calls(const PythonCalls& calls) = 0;
    virtual void on_draws(const PythonCalls& calls, std::uint64_t done, std::uint64_t total) = 0;

protected:
    ~CallWatcher() = default;
};

// The user calls of one call from Python in progress on this thread (the innermost, when a
// user callable calls back into the module): the record the bridge writes, the Python objects
// behind its recorded calls, and the argument tuple it reuses. Opened by the entry trampoline
// (guarded, entry.hpp), which holds the interpreter lock and keeps it until it returns: user
// code that releases it takes it back before returning to the module, and where the module
// releases it for work that calls no Python (WithoutLock, fills.hpp) python_calls_in_progress
// reads 0 meanwhile. So a thread inside such a call holds the lock, and the bridge need not
// ask for it.
class PythonCalls {
public:
    PythonCalls() noexcept;
    ~PythonCalls();
    PythonCalls(const PythonCalls&) = delete;
    PythonCalls& operator=(const PythonCalls&) = delete;

    // The innermost call on this thread, or null outside every call from Python.
    static PythonCalls* current() noexcept;

    bool outermost() const noexcept { return enclosing_ == nullptr; }

    // Drops the Python objects behind the recorded calls, and the calls themselves.
    void drop_recorded() noexcept;

    CallRecord record;
    CallObjects first_failure;  // behind record.first_failure
    PyRef first_negative;       // the callable behind record.first_negative
    CallWatcher* watcher = nullptr;
    // The argument tuple of the last call of a density of more coordinates than are passed
    // directly, for the next such call when nothing else holds it (see call_vector).
    PyRef spare_arguments;

private:
    PythonCalls* enclosing_;
};

// The number of calls from Python in progress on this thread.
inline thread_local int python_calls_in_progress = 0;

// The argument floats of the last few calls of a multivariate density, kept so that a
// returned point equal to a proposal the density was called with can hold the very float
// objects of that call instead of new ones (floats are immutable, so sharing them is safe).
// A sampler's accepted proposal is one of its latest calls: the last one for rejection, one of
// the last `thin` ones for a chain.
class ArgumentKeeper {
public:
    static constexpr std::size_t calls_kept = 4;

    explicit ArgumentKeeper(std::size_t d);
    ~ArgumentKeeper();
    ArgumentKeeper(const ArgumentKeeper&) = delete;
    ArgumentKeeper& operator=(const ArgumentKeeper&) = delete;

    // Keeps the d floats of one call, the items of its argument tuple (new references are
    // taken), dropping the oldest call.
    void keep(PyObject* tuple, std::span<const double> x);
    // The floats of the latest kept call whose arguments equal point bit for bit (borrowed:
    // valid until the next keep), or null.
    PyObject* const* find(std::span<const double> point) const;

private:
    std::size_t d_;
    std::size_t kept_ = 0;  // calls kept, up to calls_kept
    std::size_t next_ = 0;  // the slot the next call goes to
    std::vector<double> values_;       // calls_kept rows of d
    std::vector<PyObject*> objects_;   // the same rows as float objects (owned; null: none)
};

// The user calls are recorded in `calls`, the call from Python they are made for (null: none).
// The function objects below find it once, when they are made, rather than on every call.
double call_scalar(PyObject* f, double x, Role role = Role::Density,
                   PythonCalls* calls = PythonCalls::current());
SampleResult<double> call_scalar_checked(PyObject* f, double u, std::size_t index = 0);
// f(x0, ..., xd-1) first; f([x0, ..., xd-1]) if that fails. The argument floats go to
// `keeper` when one is given.
double call_vector(PyObject* f, std::span<const double> x, Role role = Role::MultivariateDensity,
                   PythonCalls* calls = PythonCalls::current(),
                   ArgumentKeeper* keeper = nullptr);
// The gradient of a chain's log density at x into out (x.size() numbers): grad(x0, ..., xd-1)
// first, grad([x0, ..., xd-1]) if that fails; with_value, f returns (log density, gradient)
// and the log density is returned (NaN otherwise). A call that fails (raises, or returns
// something other than a sequence of x.size() numbers, or a pair of a number and one) is
// recorded and fills out with NaN, returning NaN.
double call_gradient(PyObject* f, std::span<const double> x, std::span<double> out,
                     bool with_value, PythonCalls* calls = PythonCalls::current());
// f(i, [values...]): the Gibbs coordinate form and the conditional form.
double call_indexed(PyObject* f, std::size_t i, std::span<const double> values,
                    Role role = Role::CoordinateSampler,
                    PythonCalls* calls = PythonCalls::current());

// f(points), for a function over arrays (vectorized): points holds m = values.size() rows of d
// coordinates, passed as a float64 numpy array of shape (m, d) for a multivariate density and
// (m,) otherwise; the result must be a float64 array of m values. A call that raises or returns
// anything else fails at every point (all values NaN), and is recorded once with what came
// back; a NaN value fails at its point, as a scalar call returning NaN does. numpy is imported
// on the first such call (ImportError when it is missing).
void call_batch(PyObject* f, std::span<const double> points, std::size_t d,
                std::span<double> values, Role role = Role::Density,
                PythonCalls* calls = PythonCalls::current());

// Function objects over a user function, for handing to the core as FunctionRefs. Made inside
// the call from Python that uses them, and used only during it. A compiled function (native) is
// called directly; otherwise f, a Python callable, through the bridge. A null callable (one the
// garbage collector has cleared) gives NaN without a call. Make them from a held UserFunction
// with scalar_fn, vector_fn and indexed_fn.
struct ScalarFn {
    PyObject* f;
    Role role = Role::Density;
    PythonCalls* calls = PythonCalls::current();
    const NativeFunction* native = nullptr;
    bool over_arrays = false;  // f takes an array: one point is passed as an array of one
    double operator()(double x) const {
        if (native != nullptr) return (*native)(x);
        if (over_arrays) [[unlikely]] return one_point(x);
        return call_scalar(f, x, role, calls);
    }
    // The batch form: f over many points at once (call_batch), or f at each point in turn.
    void operator()(std::span<const double> xs, std::span<double> values) const {
        if (over_arrays) return call_batch(f, xs, 1, values, role, calls);
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = (*this)(xs[k]);
    }

private:
    double one_point(double x) const {
        double v;
        call_batch(f, std::span<const double>(&x, 1), 1, std::span<double>(&v, 1), role, calls);
        return v;
    }
};
struct VectorFn {
    PyObject* f;
    Role role = Role::MultivariateDensity;
    PythonCalls* calls = PythonCalls::current();
    ArgumentKeeper* keeper = nullptr;
    const NativeFunction* native = nullptr;
    bool over_arrays = false;  // f takes an (m, d) array: one point is passed as (1, d)
    double operator()(std::span<const double> x) const {
        if (native != nullptr) return (*native)(x);
        if (over_arrays) [[unlikely]] {
            double v;
            call_batch(f, x, x.size(), std::span<double>(&v, 1), role, calls);
            return v;
        }
        return call_vector(f, x, role, calls, keeper);
    }
    // The batch form: values.size() points of equal length in points, in one call over arrays
    // (call_batch), or one call each.
    void operator()(std::span<const double> points, std::span<double> values) const {
        const std::size_t d = values.empty() ? 0 : points.size() / values.size();
        if (over_arrays) return call_batch(f, points, d, values, role, calls);
        for (std::size_t k = 0; k < values.size(); ++k) {
            values[k] = (*this)(points.subspan(k * d, d));
        }
    }
};
// A chain's gradient function (or its function giving the log density with the gradient), for
// the core's GradientRef; and the log density alone of a function giving both.
struct GradientFn {
    PyObject* f;
    bool with_value = false;
    PythonCalls* calls = PythonCalls::current();
    const NativeFunction* native = nullptr;  // a compiled gradient (never with_value)
    double operator()(std::span<const double> x, std::span<double> out) const {
        if (native != nullptr) {
            native->gradient(x, out);
            return 0.0;
        }
        return call_gradient(f, x, out, with_value, calls);
    }
};
struct ValueOfPairFn {
    PyObject* f;
    PythonCalls* calls = PythonCalls::current();
    double operator()(std::span<const double> x) const {
        std::vector<double> grad(x.size());
        return call_gradient(f, x, grad, true, calls);
    }
};
struct IndexedFn {
    PyObject* f;
    Role role = Role::CoordinateSampler;
    PythonCalls* calls = PythonCalls::current();
    const NativeFunction* native = nullptr;
    double operator()(std::size_t i, std::span<const double> x) const {
        if (native != nullptr) return (*native)(i, x);
        return call_indexed(f, i, x, role, calls);
    }
};

// The batch form of a function object, for the core, when its function is one over arrays
// (otherwise none: the core then calls it point by point, as it always has).
template <class Fn>
OptionalBatch batch_of(const Fn& fn) {
    if (!fn.over_arrays) return std::nullopt;
    return BatchFn(fn);
}

inline ScalarFn scalar_fn(const UserFunction& f, Role role = Role::Density) {
    return ScalarFn{f.python_callable(), role, PythonCalls::current(), f.native(),
                    f.vectorized()};
}
inline VectorFn vector_fn(const UserFunction& f, ArgumentKeeper* keeper = nullptr) {
    return VectorFn{f.python_callable(), Role::MultivariateDensity, PythonCalls::current(), keeper,
                    f.native(), f.vectorized()};
}
inline IndexedFn indexed_fn(const UserFunction& f, Role role = Role::CoordinateSampler) {
    return IndexedFn{f.python_callable(), role, PythonCalls::current(), f.native()};
}

}  // namespace varnix::py
