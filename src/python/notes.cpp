#include "python/notes.hpp"

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace varnix::py {
namespace {

constexpr std::size_t max_repr_length = 200;
constexpr std::size_t max_listed_values = 8;

// The text of a str as a note shows it: only valid UTF-8 is shown, so a str with lone
// surrogates gives an empty text (nothing is left pending), and its object is named instead.
std::string shown_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// The __qualname__ of o's type; null (nothing pending) when it cannot be had.
PyRef type_qualname(PyObject* o) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (!name) PyErr_Clear();
    return name;
}

// repr(o), shortened when long; a repr that fails is named by the object's type.
std::string repr_of(PyObject* o) {
    PyRef text = PyRef::steal(PyObject_Repr(o));
    std::string s;
    if (text) s = shown_text(text.get());
    if (!text || s.empty()) {
        PyErr_Clear();
        PyRef name = type_qualname(o);
        return "<unprintable " + (name ? shown_text(name.get()) : std::string("?")) + " object>";
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
    if (name && PyUnicode_Check(name.get())) return shown_text(name.get());
    PyErr_Clear();
    PyRef type_name = type_qualname(f);
    if (!type_name) return "(an object)";
    return "(an object of type " + shown_text(type_name.get()) + ")";
}

// The exception as the user would see it, normalised from what was fetched.
std::string exception_text(const OutcomeObjects& outcome) {
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

// What a function over arrays returned: an array's shape and dtype, or the object's repr.
std::string array_description(PyObject* o) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(o, "shape"));
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(o, "dtype"));
    if (!shape || !dtype) {
        PyErr_Clear();
        return repr_of(o);
    }
    PyRef shape_text = PyRef::steal(PyObject_Str(shape.get()));
    PyRef dtype_text = PyRef::steal(PyObject_Str(dtype.get()));
    if (!shape_text || !dtype_text) {
        PyErr_Clear();
        return repr_of(o);
    }
    return "an array of shape " + shown_text(shape_text.get()) + " and dtype " +
           shown_text(dtype_text.get());
}

std::string outcome_text(const CallOutcome& outcome, const OutcomeObjects& objects) {
    switch (outcome.what) {
        case CallOutcome::What::Raised: return exception_text(objects);
        case CallOutcome::What::NotANumber:
            return "returned " + repr_of(objects.returned.get()) + " (not a number)";
        case CallOutcome::What::WrongArray:
            return "returned " + array_description(objects.returned.get()) +
                   " (a vectorized function returns a float64 array of one value per point)";
        case CallOutcome::What::Value: break;
    }
    return "returned " + float_text(outcome.value);
}

std::string arguments_text(const RecordedCall& call) {
    if (call.i) {
        const char* values = call.role == Role::ConditionalSampler ? "prev" : "x";
        return "i=" + std::to_string(*call.i) + ", " + values + "=" + list_text(call.args);
    }
    const char* name = call.role == Role::QuantileFunction ? "u" : "x";
    const std::string more =
        call.points > 1 ? " and " + std::to_string(call.points - 1) + " more points in one call"
                        : "";
    if (call.role == Role::MultivariateDensity || call.role == Role::LogDensity ||
        call.role == Role::Gradient || call.role == Role::LogDensityAndGradient) {
        return std::string(name) + "=" + list_text(call.args) + more;
    }
    return std::string(name) + "=" + (call.args.empty() ? "?" : float_text(call.args[0])) + more;
}

std::string call_text(const RecordedCall& call, PyObject* callable) {
    return role_text(call.role, call.index) + " " + name_of(callable);
}

std::string failure_note(const PythonCalls& calls) {
    const CallRecord& record = calls.record;
    const RecordedCall& call = *record.first_failure;
    const CallObjects& objects = calls.first_failure;
    std::string note = call_text(call, objects.callable.get()) + " " +
                       outcome_text(call.outcome, objects.outcome) + " at " + arguments_text(call);
    if (call.list_form) {
        note += " (and, given the coordinates as one list, " +
                outcome_text(*call.list_form, objects.list_form) + ")";
    }
    return note + " (" + std::to_string(record.failures) + " of " + std::to_string(record.calls) +
           " calls failed)";
}

std::string negative_note(const PythonCalls& calls) {
    const CallRecord& record = calls.record;
    const RecordedCall& call = *record.first_negative;
    return call_text(call, calls.first_negative.get()) + " returned " +
           float_text(call.outcome.value) + " at " + arguments_text(call) + " (" +
           std::to_string(record.negatives) + " of " + std::to_string(record.calls) +
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

void explain_failure(const PythonCalls& calls, const ErrorKind& kind, PyObject** type,
                     PyObject** value, PyObject** traceback) {
    if (std::holds_alternative<std::monostate>(kind)) return;
    const CallRecord& record = calls.record;
    if (!record.has_details()) return;
    PyErr_NormalizeException(type, value, traceback);
    if (*value == nullptr) return;
    std::vector<std::string> notes;
    if (record.first_failure) notes.push_back(failure_note(calls));
    // Not where the error itself is that a density value was negative.
    if (record.first_negative && kind != ErrorKind{BuildErrorKind::DensityNegative}) {
        notes.push_back(negative_note(calls));
    }
    if (record.hint) notes.push_back(*record.hint);
    for (const std::string& note : notes) {
        if (!add_note(*value, note)) break;
    }
    PyErr_Clear();
}

void note_if_call_fails(std::string text) {
    PythonCalls* calls = PythonCalls::current();
    if (calls == nullptr || text.empty()) return;
    calls->record.hint = std::make_unique<std::string>(std::move(text));
}

std::string quantile_count_note(std::size_t given, std::size_t dim) {
    if (given == dim) return {};
    return "the copula has " + std::to_string(dim) + (dim == 1 ? " coordinate" : " coordinates") +
           " but " + std::to_string(given) +
           (given == 1 ? " quantile function was" : " quantile functions were") +
           " given: ppfs needs one quantile function per coordinate";
}

}  // namespace varnix::py
