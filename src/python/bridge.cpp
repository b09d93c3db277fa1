#include "python/bridge.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "python/errors.hpp"

namespace varnix::py {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

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

// Discards the pending exception, unless it is the module's internal fault, which continues.
void discard_error() {
    if (PyErr_ExceptionMatches(internal_fault_type())) throw PyErrorSet{};
    PyErr_Clear();
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

// Converts a call's result; false (exception discarded) when the call or conversion failed.
bool to_double(PyObject* result, double& out) {
    if (result == nullptr) {
        discard_error();
        return false;
    }
    PyRef held = PyRef::steal(result);
    const double v = PyFloat_AsDouble(result);
    if (v == -1.0 && PyErr_Occurred()) {
        discard_error();
        return false;
    }
    out = v;
    return true;
}

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

// A callable cleared by the garbage collector (only while a reference cycle is torn down)
// counts as one that fails.

double call_scalar(PyObject* f, double x) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    double out = nan;
    return to_double(call_one_float(f, x), out) ? out : nan;
}

SampleResult<double> call_scalar_checked(PyObject* f, double u) {
    if (f == nullptr) return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    EnsureLock lock;
    double out = nan;
    if (!to_double(call_one_float(f, u), out)) {
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    return out;
}

// f(x0, ..., xd-1) first, then f([x0, ..., xd-1]): the second call only when the first fails.
// Evaluation order is frozen (docs/architecture.md).
double call_vector(PyObject* f, std::span<const double> x) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    double out = nan;
    if (!x.empty() && x.size() <= max_direct_args) {
        PyRef args[max_direct_args];
        for (std::size_t i = 0; i < x.size(); ++i) {
            args[i] = PyRef::steal(fault_if_null(PyFloat_FromDouble(x[i])));
        }
        PyObject* result =
            call_direct(f, args, x.size(), std::make_index_sequence<max_direct_args>{});
        if (to_double(result, out)) return out;
    } else {
        PyRef args =
            PyRef::steal(fault_if_null(PyTuple_New(static_cast<Py_ssize_t>(x.size()))));
        for (std::size_t i = 0; i < x.size(); ++i) {
            PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i),
                            fault_if_null(PyFloat_FromDouble(x[i])));
        }
        if (to_double(PyObject_Call(f, args.get(), nullptr), out)) return out;
    }
    PyRef list = float_list(x);
    PyRef args = PyRef::steal(fault_if_null(PyTuple_New(1)));
    PyTuple_SetItem(args.get(), 0, list.release());
    return to_double(PyObject_Call(f, args.get(), nullptr), out) ? out : nan;
}

double call_indexed(PyObject* f, std::size_t i, std::span<const double> values) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    PyObject* index = fault_if_null(PyLong_FromSize_t(i));
    PyRef args = PyRef::steal(PyTuple_New(2));
    if (!args) {
        Py_DECREF(index);
        fault_if_null(nullptr);
    }
    PyTuple_SetItem(args.get(), 0, index);
    PyTuple_SetItem(args.get(), 1, float_list(values).release());
    double out = nan;
    return to_double(PyObject_Call(f, args.get(), nullptr), out) ? out : nan;
}

}  // namespace varnix::py
