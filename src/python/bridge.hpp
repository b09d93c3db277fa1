// The callable bridge: the only place where user Python callables are called.
//
// Arguments are passed as new float (and int, list) objects; the result goes through the float
// conversion. Every exception raised by user code is discarded and the value becomes NaN (or
// InversionFailed for the checked form), except the module's own internal fault, which keeps
// travelling up as PyErrorSet. Each call ensures the interpreter lock around itself, cheaply
// inside a call from Python (PythonCallScope).
#pragma once

#include <cstddef>
#include <span>

#include "core/errors.hpp"
#include "python/handles.hpp"

namespace varnix::py {

// The calls from Python in progress on this thread. Every entry from Python runs inside
// guarded (errors.hpp), which holds a PythonCallScope, with the interpreter lock held, and
// keeps the lock until it returns: user code that releases it takes it back before returning
// to the module, and where the module releases it for work that calls no Python (WithoutLock,
// fills.hpp) the count reads 0 meanwhile. So a thread inside such a call holds the lock, and
// the bridge need not ask for it.
inline thread_local int python_calls_in_progress = 0;

class PythonCallScope {
public:
    PythonCallScope() noexcept { ++python_calls_in_progress; }
    ~PythonCallScope() { --python_calls_in_progress; }
    PythonCallScope(const PythonCallScope&) = delete;
    PythonCallScope& operator=(const PythonCallScope&) = delete;
};

double call_scalar(PyObject* f, double x);
SampleResult<double> call_scalar_checked(PyObject* f, double u);
// f(x0, ..., xd-1) first; f([x0, ..., xd-1]) if that fails.
double call_vector(PyObject* f, std::span<const double> x);
// f(i, [values...]): the Gibbs coordinate form and the conditional form.
double call_indexed(PyObject* f, std::size_t i, std::span<const double> values);

// Function objects over a held callable, for handing to the core as FunctionRefs.
struct ScalarFn {
    PyObject* f;
    double operator()(double x) const { return call_scalar(f, x); }
};
struct VectorFn {
    PyObject* f;
    double operator()(std::span<const double> x) const { return call_vector(f, x); }
};
struct IndexedFn {
    PyObject* f;
    double operator()(std::size_t i, std::span<const double> x) const {
        return call_indexed(f, i, x);
    }
};

}  // namespace varnix::py
