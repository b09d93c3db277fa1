#include "python/errors.hpp"

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

}  // namespace varnix::py
