// Error conversion between the core and Python.
//
// Inside the binding layer a Python exception that is already set travels up as PyErrorSet;
// the trampoline of every function and method (guarded) turns it, a core error value, an
// internal fault or any other C++ exception into a Python exception, so no C++ exception ever
// crosses into the interpreter.
#pragma once

#include "core/errors.hpp"
#include "python/handles.hpp"

#include <expected>
#include <new>
#include <stdexcept>
#include <string>

namespace varnix::py {

// Thrown when a Python exception is set and the current call must end with it.
struct PyErrorSet {};

// Sets an exception and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_build_error(const BuildError& e);
[[noreturn]] void raise_sample_error(const SampleError& e);
// Throws PyErrorSet if a Python exception is pending.
void throw_if_error();
// Checks a new reference from the C API: null means an exception is set.
PyObject* check(PyObject* o);

// The module's exception types, created once per process on first use.
PyObject* build_error_type();
PyObject* sample_error_type();
// The internal-fault exception type (derives from BaseException).
PyObject* internal_fault_type();

template <class T>
T unwrap(std::expected<T, BuildError>&& r) {
    if (!r) raise_build_error(r.error());
    return std::move(*r);
}
template <class T>
T unwrap(std::expected<T, SampleError>&& r) {
    if (!r) raise_sample_error(r.error());
    return std::move(*r);
}
inline void unwrap(std::expected<void, SampleError>&& r) {
    if (!r) raise_sample_error(r.error());
}

void set_internal_fault(const char* message);

// Marks the calls from Python in progress on this thread. Every entry from Python runs inside
// guarded, with the interpreter lock held, and keeps it until it returns: the module never
// releases it, and user code that does takes it back before returning to the module. So a
// thread inside such a call holds the lock, and the callable bridge need not ask for it.
inline thread_local int python_calls_in_progress = 0;

class PythonCallScope {
public:
    PythonCallScope() noexcept { ++python_calls_in_progress; }
    ~PythonCallScope() { --python_calls_in_progress; }
    PythonCallScope(const PythonCallScope&) = delete;
    PythonCallScope& operator=(const PythonCallScope&) = delete;
};

// Runs body, converting every C++ failure into a Python exception; returns null on failure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    PythonCallScope scope;
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        // A result too large to hold (sample_n with an enormous n).
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        set_internal_fault(e.what());
        return nullptr;
    } catch (...) {
        set_internal_fault("unknown internal fault");
        return nullptr;
    }
}

}  // namespace varnix::py
