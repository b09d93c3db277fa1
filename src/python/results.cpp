#include "python/results.hpp"

#include "python/errors.hpp"

namespace varnix::py {

PyObject* to_py(double x) { return check(PyFloat_FromDouble(x)); }
PyObject* to_py_bool(bool b) { return check(PyBool_FromLong(b ? 1 : 0)); }
PyObject* to_py_size(std::uint64_t n) { return check(PyLong_FromUnsignedLongLong(n)); }
PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* to_py_list(const double* values, std::size_t n) {
    PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = check(PyFloat_FromDouble(values[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// Millions of points take seconds: a pending signal (Ctrl-C) is looked at every few thousand,
// and ends the call with its exception. The list is then cut to its filled items before it is
// released, so that releasing it does not walk the empty rest.
PyObject* to_py_points(const double* flat, std::size_t n, std::size_t d) {
    PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
    std::size_t i = 0;
    try {
        for (; i < n; ++i) {
            if (i % 4096 == 4095 && PyErr_CheckSignals() < 0) throw PyErrorSet{};
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py_list(flat + i * d, d));
        }
    } catch (...) {
        Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.get()), static_cast<Py_ssize_t>(i));
        throw;
    }
    return list.release();
}

}  // namespace varnix::py
