// Error conversion between the core and Python.
//
// Inside the binding layer a Python exception that is already set travels up as PyErrorSet;
// the trampoline of every function and method (guarded) turns it, a core error value, an
// internal fault or any other C++ exception into a Python exception, so no C++ exception ever
// crosses into the interpreter. Core error values become Python exceptions through one table,
// python_type_of, and one function, unwrap.
#pragma once

#include "core/continuous/options.hpp"
#include "core/errors.hpp"
#include "core/serial.hpp"
#include "python/bridge.hpp"
#include "python/handles.hpp"

#include <expected>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace varnix::py {

// Thrown when a Python exception is set and the current call must end with it.
struct PyErrorSet {};

// Sets an exception and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Throws PyErrorSet if a Python exception is pending.
void throw_if_error();
// Checks a new reference from the C API: null means a Python exception is set, and it ends
// the current call (PyErrorSet). The callable bridge, which discards the exceptions of user
// code, has its own check for its temporaries (fault_if_null in bridge.cpp).
PyObject* check(PyObject* o);

// The module's exception types, created once per process on first use.
PyObject* build_error_type();
PyObject* sample_error_type();
// The internal-fault exception type (derives from BaseException).
PyObject* internal_fault_type();

// The Python exception type of each core error type: one row per type, and an error type
// without a row does not compile. The message is always the core's message().
template <class E>
PyObject* python_type_of() = delete;
template <>
inline PyObject* python_type_of<BuildError>() { return build_error_type(); }
template <>
inline PyObject* python_type_of<SampleError>() { return sample_error_type(); }
template <>
inline PyObject* python_type_of<UnknownTransform>() { return PyExc_ValueError; }
template <>
inline PyObject* python_type_of<CorrelationError>() { return PyExc_ValueError; }
template <>
inline PyObject* python_type_of<StateError>() { return PyExc_ValueError; }
template <>
inline PyObject* python_type_of<ResolutionOutOfRange>() { return PyExc_ValueError; }

template <class E>
[[noreturn]] void raise_error(const E& e) {
    raise(python_type_of<E>(), e.message());
}

// The value of a core result, or its error raised as the Python exception of the table.
template <class T, class E>
T unwrap(std::expected<T, E>&& r) {
    if (!r) raise_error(r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

void set_internal_fault(const char* message);

// When the exception (type, value, traceback), just fetched from the interpreter, is a
// BuildError or SampleError, adds to it (PEP 678 notes) what the record of the call that raised
// it explains: the first user call that failed (which function, its arguments, what it raised or
// returned, and how many calls failed), the first negative value a density returned, and the
// call's own note (note_if_call_fails). The exception is normalised on the way. Notes that cannot
// be made are left out; nothing else changes.
void explain_failure(const PythonCallScope& scope, PyObject** type, PyObject** value,
                     PyObject** traceback);

// The note for a copula given `given` quantile functions for `dim` coordinates, whose error
// text ("mcmc sampler failed") does not say so; empty when the counts agree.
std::string quantile_count_note(std::size_t given, std::size_t dim);

// Runs body, converting every C++ failure into a Python exception; returns null on failure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    PythonCallScope scope;
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (const PyErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A result too large to hold (sample_n with an enormous n).
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_fault(e.what());
    } catch (...) {
        set_internal_fault("unknown internal fault");
    }
    scope.finish(result == nullptr);
    return result;
}

}  // namespace varnix::py
