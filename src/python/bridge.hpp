// The callable bridge: the only place where user Python callables are called.
//
// Arguments are passed as new float (and int, list) objects; the result goes through the float
// conversion. An exception raised by user code that is an Exception is discarded and the value
// becomes NaN (or InversionFailed for the checked form). Any other exception (KeyboardInterrupt,
// SystemExit, the module's own internal fault, ...) ends the enclosing call: it stays set and
// PyErrorSet travels up through the core, which leaves every object as it was before the
// interrupted step. Each call ensures the interpreter lock around itself, cheaply inside a call
// from Python (PythonCallScope).
//
// Every call from Python keeps a record of the user calls it made: how many, how many failed
// (raised, or returned something that is not a number, or NaN), and the first failure in full,
// so that an error the call ends with can say what went wrong (see explain_failure in
// errors.hpp). Densities also record the first negative value they return. Recording costs a
// few counter updates per call; the details are kept only for the first failure and turned
// into text only when the call fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "python/handles.hpp"
#include "python/progress.hpp"

namespace varnix::py {

// What a user callable is to the call that uses it: named in the notes of a failed call and in
// progress lines.
enum class Role : std::uint8_t {
    Density,               // f(x) of a univariate density
    DistributionFunction,  // f(x) of from_cdf
    Derivative,            // dpdf(x)
    ExpectFunction,        // expect's func(x)
    MultivariateDensity,   // f(x0, ..., xd-1) or f([x0, ..., xd-1])
    CoordinateSampler,     // Gibbs: sample_coord(i, x)
    ConditionalSampler,    // sample_i(i, prev)
    QuantileFunction,      // the copula's ppfs[i](u)
};

// "the density", "the quantile function ppfs[2]", ...
std::string role_text(Role role, std::size_t index);
// "density", "quantile function", ...: what the progress line counts calls of.
const char* role_noun(Role role);

// What one failing call did: raised an exception, returned an object that is not a number, or
// returned a number the caller cannot use (NaN; a negative density value).
struct CallOutcome {
    PyRef exception_type;  // the raised exception, as fetched (normalised only for a note), or
    PyRef exception;
    PyRef returned;        // the returned object that did not convert, or neither and:
    double value = 0.0;
};

// The first failing call of a top-level call, in full.
struct RecordedCall {
    Role role;
    std::size_t index = 0;       // the quantile function's index
    PyRef callable;
    std::vector<double> args;    // x (one or d values), or the list given with i
    std::optional<std::size_t> i;  // the coordinate index of the indexed forms
    CallOutcome outcome;         // of the call, or of the separate-floats form of f(x0, ...)
    std::optional<CallOutcome> list_form;  // f([x0, ...]) after the separate-floats form failed
};

// One call from Python in progress on this thread (the innermost, when a user callable calls
// back into the module). Every entry from Python runs inside guarded (errors.hpp), which holds a
// PythonCallScope with the interpreter lock held and keeps the lock until it returns: user code
// that releases it takes it back before returning to the module, and where the module releases
// it for work that calls no Python (WithoutLock, fills.hpp) python_calls_in_progress reads 0
// meanwhile. So a thread inside such a call holds the lock, and the bridge need not ask for it.
class PythonCallScope {
public:
    PythonCallScope() noexcept;
    ~PythonCallScope();
    PythonCallScope(const PythonCallScope&) = delete;
    PythonCallScope& operator=(const PythonCallScope&) = delete;

    // The innermost call on this thread, or null outside every call from Python.
    static PythonCallScope* current() noexcept;

    bool outermost() const noexcept { return enclosing_ == nullptr; }

    // Called once, when the body has returned: with a BuildError or SampleError pending, adds
    // the notes that explain it; ends the progress display; drops what the record holds. Keeps
    // whatever exception is pending as it is.
    void finish(bool failed) noexcept {
        if (first_failure || first_negative || hint || progress.shown) [[unlikely]] {
            finish_recorded(failed);
        }
    }

    std::uint64_t calls = 0;
    std::uint64_t failures = 0;
    std::uint64_t negatives = 0;
    std::unique_ptr<RecordedCall> first_failure;
    std::unique_ptr<RecordedCall> first_negative;
    std::unique_ptr<std::string> hint;  // a note for a failure whose text would mislead
    ProgressState progress;
    Role last_role = Role::Density;
    // The argument tuple of the last call of a density of more coordinates than are passed
    // directly, for the next such call when nothing else holds it (see call_vector).
    PyRef spare_arguments;

private:
    void finish_recorded(bool failed) noexcept;

    PythonCallScope* enclosing_;
};

// The number of calls from Python in progress on this thread.
inline thread_local int python_calls_in_progress = 0;

// Adds text as a note to the BuildError or SampleError the current call may end with (for a
// cause the error's own text would hide). Nothing is shown when the call succeeds.
void note_if_call_fails(std::string text);

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

// The user calls are recorded in `scope`, the call from Python they are made for (null: none).
// The function objects below find it once, when they are made, rather than on every call.
double call_scalar(PyObject* f, double x, Role role = Role::Density,
                   PythonCallScope* scope = PythonCallScope::current());
SampleResult<double> call_scalar_checked(PyObject* f, double u, std::size_t index = 0);
// f(x0, ..., xd-1) first; f([x0, ..., xd-1]) if that fails. The argument floats go to
// `keeper` when one is given.
double call_vector(PyObject* f, std::span<const double> x, Role role = Role::MultivariateDensity,
                   PythonCallScope* scope = PythonCallScope::current(),
                   ArgumentKeeper* keeper = nullptr);
// f(i, [values...]): the Gibbs coordinate form and the conditional form.
double call_indexed(PyObject* f, std::size_t i, std::span<const double> values,
                    Role role = Role::CoordinateSampler,
                    PythonCallScope* scope = PythonCallScope::current());

// Function objects over a held callable, for handing to the core as FunctionRefs. Made inside
// the call from Python that uses them, and used only during it.
struct ScalarFn {
    PyObject* f;
    Role role = Role::Density;
    PythonCallScope* scope = PythonCallScope::current();
    double operator()(double x) const { return call_scalar(f, x, role, scope); }
};
struct VectorFn {
    PyObject* f;
    Role role = Role::MultivariateDensity;
    PythonCallScope* scope = PythonCallScope::current();
    ArgumentKeeper* keeper = nullptr;
    double operator()(std::span<const double> x) const {
        return call_vector(f, x, role, scope, keeper);
    }
};
struct IndexedFn {
    PyObject* f;
    Role role = Role::CoordinateSampler;
    PythonCallScope* scope = PythonCallScope::current();
    double operator()(std::size_t i, std::span<const double> x) const {
        return call_indexed(f, i, x, role, scope);
    }
};

}  // namespace varnix::py
