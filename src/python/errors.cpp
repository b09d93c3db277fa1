#include "python/errors.hpp"

#include <span>
#include <string>
#include <vector>

namespace varnix::py {
namespace {

PyObject* make_exception_type(const char* qualified_name, PyObject* base) {
    PyObject* type = PyErr_NewException(qualified_name, base, nullptr);
    if (type == nullptr) {
        PyErr_Clear();
        throw InternalFault("Failed to initialize new exception type.");
    }
    return type;
}

}  // namespace

PyObject* build_error_type() {
    static PyObject* type = make_exception_type("_varnix.BuildErrorPy", PyExc_RuntimeError);
    return type;
}

PyObject* sample_error_type() {
    static PyObject* type = make_exception_type("_varnix.SampleErrorPy", PyExc_RuntimeError);
    return type;
}

PyObject* internal_fault_type() {
    static PyObject* type = make_exception_type("_varnix.InternalFault", PyExc_BaseException);
    return type;
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    // The whole text, embedded NULs and user text with lone surrogates included.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "surrogatepass");
    if (text == nullptr) throw PyErrorSet{};
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    throw PyErrorSet{};
}

void throw_if_error() {
    if (PyErr_Occurred()) throw PyErrorSet{};
}

PyObject* check(PyObject* o) {
    if (o == nullptr) throw PyErrorSet{};
    return o;
}

void set_internal_fault(const char* message) {
    PyObject* type = nullptr;
    try {
        type = internal_fault_type();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, message);
        return;
    }
    PyErr_SetString(type, message);
}


// ---- notes that explain a failed call ----

namespace {

constexpr std::size_t max_repr_length = 200;
constexpr std::size_t max_listed_values = 8;

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// repr(o), shortened when long; a repr that fails is named by the object's type.
std::string repr_of(PyObject* o) {
    PyRef text = PyRef::steal(PyObject_Repr(o));
    std::string s;
    if (text) s = utf8_of(text.get());
    if (!text || s.empty()) {
        PyErr_Clear();
        PyRef type_name = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
        if (!type_name) PyErr_Clear();
        return "<unprintable " + (type_name ? utf8_of(type_name.get()) : std::string("?")) +
               " object>";
    }
    if (s.size() > max_repr_length) s = s.substr(0, max_repr_length) + "...";
    return s;
}

std::string float_text(double x) {
    PyRef f = PyRef::steal(PyFloat_FromDouble(x));
    if (!f) {
        PyErr_Clear();
        return "?";
    }
    return repr_of(f.get());
}

std::string list_text(std::span<const double> values) {
    std::string s = "[";
    for (std::size_t k = 0; k < values.size() && k < max_listed_values; ++k) {
        if (k != 0) s += ", ";
        s += float_text(values[k]);
    }
    if (values.size() > max_listed_values) {
        s += ", ... (" + std::to_string(values.size()) + " values)";
    }
    return s + "]";
}

// The callable's __qualname__ (a function, a class), or what it is an instance of.
std::string name_of(PyObject* f) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(f, "__qualname__"));
    if (name && PyUnicode_Check(name.get())) return utf8_of(name.get());
    PyErr_Clear();
    PyRef type_name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(f)), "__qualname__"));
    if (!type_name) {
        PyErr_Clear();
        return "(an object)";
    }
    return "(an object of type " + utf8_of(type_name.get()) + ")";
}

// The exception as the user would see it, normalised from what was fetched.
std::string exception_text(const CallOutcome& outcome) {
    PyObject* type = outcome.exception_type.get();
    PyObject* value = outcome.exception.get();
    PyObject* traceback = nullptr;
    Py_XINCREF(type);
    Py_XINCREF(value);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef held_type = PyRef::steal(type);
    PyRef held_value = PyRef::steal(value);
    Py_XDECREF(traceback);
    if (!held_value) return "raised an exception";
    return "raised " + repr_of(held_value.get());
}

std::string outcome_text(const CallOutcome& outcome) {
    if (outcome.exception_type) return exception_text(outcome);
    if (outcome.returned) return "returned " + repr_of(outcome.returned.get()) + " (not a number)";
    return "returned " + float_text(outcome.value);
}

std::string arguments_text(const RecordedCall& call) {
    if (call.i) {
        const char* values = call.role == Role::ConditionalSampler ? "prev" : "x";
        return "i=" + std::to_string(*call.i) + ", " + values + "=" + list_text(call.args);
    }
    const char* name = call.role == Role::QuantileFunction ? "u" : "x";
    if (call.role == Role::MultivariateDensity) return std::string(name) + "=" + list_text(call.args);
    return std::string(name) + "=" + (call.args.empty() ? "?" : float_text(call.args[0]));
}

std::string call_text(const RecordedCall& call) {
    return role_text(call.role, call.index) + " " + name_of(call.callable.get());
}

std::string failure_note(const PythonCallScope& scope) {
    const RecordedCall& call = *scope.first_failure;
    std::string note =
        call_text(call) + " " + outcome_text(call.outcome) + " at " + arguments_text(call);
    if (call.list_form) {
        note += " (and, given the coordinates as one list, " + outcome_text(*call.list_form) + ")";
    }
    return note + " (" + std::to_string(scope.failures) + " of " + std::to_string(scope.calls) +
           " calls failed)";
}

std::string negative_note(const PythonCallScope& scope) {
    const RecordedCall& call = *scope.first_negative;
    return call_text(call) + " returned " + float_text(call.outcome.value) + " at " +
           arguments_text(call) + " (" + std::to_string(scope.negatives) + " of " +
           std::to_string(scope.calls) +
           " calls returned a negative value): a density is never negative, and a log density "
           "is not a density (return exp of it)";
}

bool add_note(PyObject* exception, const std::string& note) {
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    if (!text) return false;
    PyRef done = PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", text.get()));
    return static_cast<bool>(done);
}

}  // namespace

void explain_failure(const PythonCallScope& scope, PyObject** type, PyObject** value,
                     PyObject** traceback) {
    if (!PyErr_GivenExceptionMatches(*type, build_error_type()) &&
        !PyErr_GivenExceptionMatches(*type, sample_error_type())) {
        return;
    }
    if (!scope.first_failure && !scope.first_negative && !scope.hint) return;
    PyErr_NormalizeException(type, value, traceback);
    if (*value == nullptr) return;
    std::vector<std::string> notes;
    if (scope.first_failure) notes.push_back(failure_note(scope));
    if (scope.first_negative) {
        // Not where the error's own text already says that a value was negative.
        PyRef text = PyRef::steal(PyObject_Str(*value));
        const std::string message = text ? utf8_of(text.get()) : std::string();
        if (message.find("negative") == std::string::npos) notes.push_back(negative_note(scope));
    }
    if (scope.hint) notes.push_back(*scope.hint);
    for (const std::string& note : notes) {
        if (!add_note(*value, note)) break;
    }
    PyErr_Clear();
}

std::string quantile_count_note(std::size_t given, std::size_t dim) {
    if (given == dim) return {};
    return "the copula has " + std::to_string(dim) + (dim == 1 ? " coordinate" : " coordinates") +
           " but " + std::to_string(given) +
           (given == 1 ? " quantile function was" : " quantile functions were") +
           " given: ppfs needs one quantile function per coordinate";
}

}  // namespace varnix::py
