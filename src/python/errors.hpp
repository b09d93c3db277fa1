// Error conversion between the core and Python.
//
// Inside the binding layer a Python exception that is already set travels up as PyErrorSet;
// the trampoline of every function and method (guarded, entry.hpp) turns it, a core error
// value, an internal fault or any other C++ exception into a Python exception, so no C++
// exception ever crosses into the interpreter. Core error values become Python exceptions
// through one table, python_type_of, and one function, unwrap.
#pragma once

#include "core/errors.hpp"
#include "python/handles.hpp"

#include <expected>
#include <string>
#include <type_traits>
#include <variant>

namespace varnix {
struct StateError;            // core/serial.hpp
struct UnknownTransform;      // core/continuous/options.hpp
struct ResolutionOutOfRange;  // core/continuous/options.hpp
}  // namespace varnix

namespace varnix::py {

// The kind of the core error a pending exception was raised for, when it is a BuildError or
// a SampleError: the notes that explain a failed call are chosen by it.
using ErrorKind = std::variant<std::monostate, BuildErrorKind, SampleErrorKind>;

// Thrown when a Python exception is set and the current call must end with it; kind says which
// core error it was raised for (unwrap), if any.
struct PyErrorSet {
    ErrorKind kind{};
};

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

// Sets the exception of type with the whole message as its text (embedded NULs and lone
// surrogates included); throws PyErrorSet if the text cannot be made.
void set_exception(PyObject* type, const std::string& message);

template <class E>
[[noreturn]] void raise_error(const E& e) {
    set_exception(python_type_of<E>(), e.message());
    if constexpr (std::is_same_v<E, BuildError> || std::is_same_v<E, SampleError>) {
        throw PyErrorSet{e.kind};
    } else {
        throw PyErrorSet{};
    }
}

// The value of a core result, or its error raised as the Python exception of the table.
template <class T, class E>
T unwrap(std::expected<T, E>&& r) {
    if (!r) raise_error(r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

void set_internal_fault(const char* message);

// ---- texts of Python objects, for messages ----

// The __name__ of o's type, or "?" when it cannot be had (nothing is left pending).
std::string type_name(PyObject* o);
// The UTF-8 bytes of a str, lone surrogates kept as their three-byte forms, so that any str
// round-trips through raise(). A str that cannot be encoded ends the call (PyErrorSet).
std::string utf8_of(PyObject* str);

}  // namespace varnix::py
