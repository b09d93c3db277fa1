#include "python/errors.hpp"

#include <string>

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

void set_exception(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "surrogatepass");
    if (text == nullptr) throw PyErrorSet{};
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    set_exception(type, message);
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

std::string type_name(PyObject* o) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

std::string utf8_of(PyObject* str) {
    PyRef bytes = PyRef::steal(check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) throw PyErrorSet{};
    return std::string(data, static_cast<std::size_t>(len));
}

}  // namespace varnix::py
