#include "python/bridge.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "python/errors.hpp"

namespace varnix::py {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

thread_local PythonCallScope* innermost = nullptr;

// Every this many user calls of one call from Python, pending signals are checked (a user
// function written in C runs no bytecode, so the interpreter would not check them) and
// progress is looked at.
constexpr std::uint64_t signal_check_calls = 1024;
constexpr std::uint64_t progress_tick_calls = 64;

// Holds the interpreter lock for the scope of one user call. Inside a call from Python the
// thread holds it already (see PythonCallScope), and asking the interpreter again would cost
// two thread-state lookups per user call; anywhere else it is acquired here.
class EnsureLock {
public:
    EnsureLock() : acquired_(python_calls_in_progress == 0) {
        if (acquired_) state_ = PyGILState_Ensure();
    }
    ~EnsureLock() {
        if (acquired_) PyGILState_Release(state_);
    }
    EnsureLock(const EnsureLock&) = delete;
    EnsureLock& operator=(const EnsureLock&) = delete;

private:
    bool acquired_;
    PyGILState_STATE state_{};
};

// The pending exception is the user's. An Exception is taken off the interpreter: into *keep
// when given, else dropped. Anything else (KeyboardInterrupt, SystemExit, GeneratorExit, the
// module's internal fault) stays set and ends the current call.
void take_error(CallOutcome* keep) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    if (keep == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    keep->exception = PyRef::steal(value);
}

// Checks a new reference the bridge makes for a call (an argument, a tuple, a list). Unlike
// check(), which lets the pending Python exception end the call, a temporary that cannot be
// made (memory exhausted) is an internal fault: the bridge discards the exceptions of user
// code, and this one must not be mistaken for them.
PyObject* fault_if_null(PyObject* o) {
    if (o == nullptr) {
        PyErr_Clear();
        throw InternalFault("could not create the arguments of a user function call");
    }
    return o;
}

// Converts a call's result; false when the call or the conversion failed (the failure then is
// in *keep when given).
bool to_double(PyObject* result, double& out, CallOutcome* keep) {
    if (result == nullptr) {
        take_error(keep);
        return false;
    }
    PyRef held = PyRef::steal(result);
    const double v = PyFloat_AsDouble(result);
    if (v == -1.0 && PyErr_Occurred()) {
        take_error(nullptr);  // the conversion's TypeError says less than the object itself
        if (keep != nullptr) keep->returned = std::move(held);
        return false;
    }
    out = v;
    return true;
}

bool is_density(Role role) {
    return role == Role::Density || role == Role::MultivariateDensity;
}

// The bookkeeping of one user call in the record of the current call from Python.
class UserCall {
public:
    UserCall(Role role, std::size_t index = 0) : scope_(innermost), role_(role), index_(index) {
        if (scope_ == nullptr) return;
        const std::uint64_t n = ++scope_->calls;
        scope_->last_role = role;
        if (n % signal_check_calls == 0 && PyErr_CheckSignals() < 0) throw PyErrorSet{};
        if (n % progress_tick_calls == 0 && scope_->progress.on) progress_tick(*scope_);
    }

    // Where the details of a failure go: only the first failure of a call is kept.
    CallOutcome* keep(CallOutcome& outcome) const {
        return scope_ != nullptr && !scope_->first_failure ? &outcome : nullptr;
    }

    // A value returned by a call that succeeded. NaN counts as a failure; a negative density
    // value is noted apart.
    double returned(PyObject* f, double v, std::span<const double> args,
                    std::optional<std::size_t> i = std::nullopt) {
        if (scope_ == nullptr) return v;
        if (std::isnan(v)) {
            CallOutcome outcome;
            outcome.value = v;
            failed(f, args, i, std::move(outcome));
        } else if (v < 0.0 && is_density(role_)) {
            if (scope_->negatives++ == 0) {
                scope_->first_negative = make(f, args, i);
                scope_->first_negative->outcome.value = v;
            }
        }
        return v;
    }

    void failed(PyObject* f, std::span<const double> args, std::optional<std::size_t> i,
                CallOutcome&& outcome, std::optional<CallOutcome> list_form = std::nullopt) {
        if (scope_ == nullptr) return;
        if (scope_->failures++ != 0) return;
        scope_->first_failure = make(f, args, i);
        scope_->first_failure->outcome = std::move(outcome);
        scope_->first_failure->list_form = std::move(list_form);
    }

private:
    std::unique_ptr<RecordedCall> make(PyObject* f, std::span<const double> args,
                                       std::optional<std::size_t> i) const {
        auto call = std::make_unique<RecordedCall>();
        call->role = role_;
        call->index = index_;
        call->callable = PyRef::borrow(f);
        call->args.assign(args.begin(), args.end());
        call->i = i;
        return call;
    }

    PythonCallScope* scope_;
    Role role_;
    std::size_t index_;
};

// f(x): the argument goes to the vectorcall protocol directly, without an argument tuple
// (for a Python function the tuple is only unpacked again on the other side; for a callable
// that wants one, the interpreter builds it).
PyObject* call_one_float(PyObject* f, double x) {
    PyRef value = PyRef::steal(fault_if_null(PyFloat_FromDouble(x)));
    return PyObject_CallFunctionObjArgs(f, value.get(), nullptr);
}

// f(args[0], ..., args[N-1]) the same way, for a fixed small N.
template <std::size_t... I>
PyObject* call_fixed(PyObject* f, const PyRef* args, std::index_sequence<I...>) {
    return PyObject_CallFunctionObjArgs(f, args[I].get()..., nullptr);
}

// Points of up to this many coordinates are passed without an argument tuple.
constexpr std::size_t max_direct_args = 8;

template <std::size_t... N>
PyObject* call_direct(PyObject* f, const PyRef* args, std::size_t n, std::index_sequence<N...>) {
    PyObject* result = nullptr;
    // Picks the call_fixed of arity n; exactly one term runs.
    ((n == N + 1 ? (result = call_fixed(f, args, std::make_index_sequence<N + 1>{}), true)
                 : false) ||
     ...);
    return result;
}

PyRef float_list(std::span<const double> values) {
    PyRef list =
        PyRef::steal(fault_if_null(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       fault_if_null(PyFloat_FromDouble(values[i])));
    }
    return list;
}

}  // namespace

PythonCallScope::PythonCallScope() noexcept : enclosing_(innermost) {
    ++python_calls_in_progress;
    innermost = this;
    if (progress_enabled && enclosing_ == nullptr) progress_start(progress);
}

PythonCallScope::~PythonCallScope() {
    innermost = enclosing_;
    --python_calls_in_progress;
}

PythonCallScope* PythonCallScope::current() noexcept { return innermost; }

void PythonCallScope::finish(bool failed) noexcept {
    if (!first_failure && !first_negative && !hint && !progress.shown) return;
    // Notes are made, and the record's references dropped, with no exception pending: both
    // may run Python code.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (failed && type != nullptr) {
        explain_failure(*this, &type, &value, &traceback);
    }
    if (progress.shown) progress_finish(*this, !failed);
    first_failure.reset();
    first_negative.reset();
    hint.reset();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void note_if_call_fails(std::string text) {
    if (innermost == nullptr || text.empty()) return;
    innermost->hint = std::make_unique<std::string>(std::move(text));
}

const char* role_noun(Role role) {
    switch (role) {
        case Role::Density: return "density";
        case Role::DistributionFunction: return "distribution function";
        case Role::Derivative: return "derivative";
        case Role::ExpectFunction: return "expect function";
        case Role::MultivariateDensity: return "density";
        case Role::CoordinateSampler: return "coordinate sampler";
        case Role::ConditionalSampler: return "conditional sampler";
        case Role::QuantileFunction: return "quantile function";
    }
    return "user function";
}

std::string role_text(Role role, std::size_t index) {
    switch (role) {
        case Role::ExpectFunction: return "expect's function";
        case Role::QuantileFunction:
            return "the quantile function ppfs[" + std::to_string(index) + "]";
        default: return std::string("the ") + role_noun(role);
    }
}

// A callable cleared by the garbage collector (only while a reference cycle is torn down)
// counts as one that fails.

double call_scalar(PyObject* f, double x, Role role) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    UserCall call(role);
    CallOutcome outcome;
    double out = nan;
    if (to_double(call_one_float(f, x), out, call.keep(outcome))) {
        return call.returned(f, out, {&x, 1});
    }
    call.failed(f, {&x, 1}, std::nullopt, std::move(outcome));
    return nan;
}

SampleResult<double> call_scalar_checked(PyObject* f, double u, std::size_t index) {
    if (f == nullptr) return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    EnsureLock lock;
    UserCall call(Role::QuantileFunction, index);
    CallOutcome outcome;
    double out = nan;
    if (!to_double(call_one_float(f, u), out, call.keep(outcome))) {
        call.failed(f, {&u, 1}, std::nullopt, std::move(outcome));
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    return out;
}

// f(x0, ..., xd-1) first, then f([x0, ..., xd-1]): the second call only when the first fails.
// Evaluation order is frozen (docs/architecture.md).
double call_vector(PyObject* f, std::span<const double> x, Role role) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    UserCall call(role);
    CallOutcome separate;
    double out = nan;
    if (!x.empty() && x.size() <= max_direct_args) {
        PyRef args[max_direct_args];
        for (std::size_t i = 0; i < x.size(); ++i) {
            args[i] = PyRef::steal(fault_if_null(PyFloat_FromDouble(x[i])));
        }
        PyObject* result =
            call_direct(f, args, x.size(), std::make_index_sequence<max_direct_args>{});
        if (to_double(result, out, call.keep(separate))) return call.returned(f, out, x);
    } else {
        PyRef args =
            PyRef::steal(fault_if_null(PyTuple_New(static_cast<Py_ssize_t>(x.size()))));
        for (std::size_t i = 0; i < x.size(); ++i) {
            PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i),
                            fault_if_null(PyFloat_FromDouble(x[i])));
        }
        if (to_double(PyObject_Call(f, args.get(), nullptr), out, call.keep(separate))) {
            return call.returned(f, out, x);
        }
    }
    PyRef list = float_list(x);
    PyRef args = PyRef::steal(fault_if_null(PyTuple_New(1)));
    PyTuple_SetItem(args.get(), 0, list.release());
    CallOutcome as_list;
    if (to_double(PyObject_Call(f, args.get(), nullptr), out, call.keep(as_list))) {
        return call.returned(f, out, x);
    }
    call.failed(f, x, std::nullopt, std::move(separate), std::move(as_list));
    return nan;
}

double call_indexed(PyObject* f, std::size_t i, std::span<const double> values, Role role) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    UserCall call(role);
    PyObject* index = fault_if_null(PyLong_FromSize_t(i));
    PyRef args = PyRef::steal(PyTuple_New(2));
    if (!args) {
        Py_DECREF(index);
        fault_if_null(nullptr);
    }
    PyTuple_SetItem(args.get(), 0, index);
    PyTuple_SetItem(args.get(), 1, float_list(values).release());
    CallOutcome outcome;
    double out = nan;
    if (to_double(PyObject_Call(f, args.get(), nullptr), out, call.keep(outcome))) {
        return call.returned(f, out, values, i);
    }
    call.failed(f, values, i, std::move(outcome));
    return nan;
}

}  // namespace varnix::py
