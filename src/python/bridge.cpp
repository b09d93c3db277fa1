#include "python/bridge.hpp"

#include <cmath>
#include <limits>

#include "python/errors.hpp"

namespace varnix::py {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Holds the interpreter lock for the scope of one user call.
class EnsureLock {
public:
    EnsureLock() : state_(PyGILState_Ensure()) {}
    ~EnsureLock() { PyGILState_Release(state_); }
    EnsureLock(const EnsureLock&) = delete;
    EnsureLock& operator=(const EnsureLock&) = delete;

private:
    PyGILState_STATE state_;
};

// Discards the pending exception, unless it is the module's internal fault, which continues.
void discard_error() {
    if (PyErr_ExceptionMatches(internal_fault_type())) throw PyErrorSet{};
    PyErr_Clear();
}

// A temporary the bridge cannot create (memory exhausted) is an internal fault.
PyObject* made(PyObject* o) {
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

PyRef one_float_tuple(double x) {
    PyObject* value = made(PyFloat_FromDouble(x));
    PyObject* args = PyTuple_New(1);
    if (args == nullptr) {
        Py_DECREF(value);
        made(nullptr);
    }
    PyTuple_SetItem(args, 0, value);
    return PyRef::steal(args);
}

PyRef float_list(std::span<const double> values) {
    PyRef list = PyRef::steal(made(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), made(PyFloat_FromDouble(values[i])));
    }
    return list;
}

}  // namespace

// A callable cleared by the garbage collector (only while a reference cycle is torn down)
// counts as one that fails.

double call_scalar(PyObject* f, double x) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    PyRef args = one_float_tuple(x);
    double out = nan;
    return to_double(PyObject_Call(f, args.get(), nullptr), out) ? out : nan;
}

SampleResult<double> call_scalar_checked(PyObject* f, double u) {
    if (f == nullptr) return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    EnsureLock lock;
    PyRef args = one_float_tuple(u);
    double out = nan;
    if (!to_double(PyObject_Call(f, args.get(), nullptr), out)) {
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    return out;
}

double call_vector(PyObject* f, std::span<const double> x) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    double out = nan;
    {
        PyRef args = PyRef::steal(made(PyTuple_New(static_cast<Py_ssize_t>(x.size()))));
        for (std::size_t i = 0; i < x.size(); ++i) {
            PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), made(PyFloat_FromDouble(x[i])));
        }
        if (to_double(PyObject_Call(f, args.get(), nullptr), out)) return out;
    }
    PyRef list = float_list(x);
    PyRef args = PyRef::steal(made(PyTuple_New(1)));
    PyTuple_SetItem(args.get(), 0, list.release());
    return to_double(PyObject_Call(f, args.get(), nullptr), out) ? out : nan;
}

double call_indexed(PyObject* f, std::size_t i, std::span<const double> values) {
    if (f == nullptr) return nan;
    EnsureLock lock;
    PyObject* index = made(PyLong_FromSize_t(i));
    PyRef args = PyRef::steal(PyTuple_New(2));
    if (!args) {
        Py_DECREF(index);
        made(nullptr);
    }
    PyTuple_SetItem(args.get(), 0, index);
    PyTuple_SetItem(args.get(), 1, float_list(values).release());
    double out = nan;
    return to_double(PyObject_Call(f, args.get(), nullptr), out) ? out : nan;
}

}  // namespace varnix::py
