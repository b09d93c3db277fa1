// RAII ownership of Python references. Every new reference the binding layer receives is held
// in a PyRef, so an early return or a thrown error never leaks one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace varnix::py {

class PyRef {
public:
    PyRef() = default;
    // Takes ownership of a new reference (may be null).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace varnix::py
