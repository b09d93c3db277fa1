#include "python/buffers.hpp"

#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <string>

#include "python/errors.hpp"

namespace varnix::py {
namespace {

// The pending exception, normalised and taken out of the error indicator (to become the cause of
// a clearer error).
PyRef take_pending_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return PyRef::steal(value);
}

// The struct-module formats of a native little- or big-endian IEEE double.
bool is_float64_format(const char* format, Py_ssize_t itemsize) {
    if (itemsize != 8 || format == nullptr) return false;
    if (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
        std::strcmp(format, "=d") == 0) {
        return true;
    }
    if constexpr (std::endian::native == std::endian::little) {
        return std::strcmp(format, "<d") == 0;
    } else {
        return std::strcmp(format, ">d") == 0;
    }
}

std::string format_text(const Py_buffer& view) {
    std::string text = "format '";
    text += view.format != nullptr ? view.format : "B";
    text += "' with " + std::to_string(view.itemsize) + "-byte items";
    return text;
}

std::string prefix(const char* param) { return std::string("argument '") + param + "': "; }

// The module's type `type` when the module is already imported, else null (no error).
PyRef loaded_type(const char* module, const char* type) {
    PyRef name = PyRef::steal(check(PyUnicode_FromString(module)));
    PyRef mod = PyRef::steal(PyImport_GetModule(name.get()));
    if (!mod) {
        throw_if_error();
        return PyRef();
    }
    PyRef cls = PyRef::steal(PyObject_GetAttrString(mod.get(), type));
    if (!cls) PyErr_Clear();
    return cls;
}

bool is_instance_of_loaded(PyObject* o, const char* module, const char* type) {
    PyRef cls = loaded_type(module, type);
    if (!cls) return false;
    const int r = PyObject_IsInstance(o, cls.get());
    if (r < 0) throw PyErrorSet{};
    return r == 1;
}

// Takes o's buffer (strides and format, read-only allowed) into view. An exporter that refuses
// that request (an object array, one with indirect dimensions) is reported as a TypeError that
// says what was expected, with the exporter's own error as its cause.
void get_buffer(PyObject* o, Py_buffer* view, const std::string& expected) {
    if (PyObject_GetBuffer(o, view, PyBUF_RECORDS_RO) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw PyErrorSet{};
    }
    PyRef cause = take_pending_exception();
    const std::string text = expected + ", got a '" + type_name(o) +
                             "' whose buffer cannot be read as one";
    PyRef message = PyRef::steal(check(PyUnicode_FromString(text.c_str())));
    PyRef error =
        PyRef::steal(check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)));
    if (cause) PyException_SetCause(error.get(), cause.release());  // steals
    PyErr_SetObject(PyExc_TypeError, error.get());
    throw PyErrorSet{};
}

PyRef shape_tuple(std::span<const Py_ssize_t> shape) {
    PyRef tuple = PyRef::steal(check(PyTuple_New(static_cast<Py_ssize_t>(shape.size()))));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i),
                        check(PyLong_FromSsize_t(shape[i])));
    }
    return tuple;
}

Py_ssize_t checked_bytes(std::span<const Py_ssize_t> shape) {
    Py_ssize_t count = 1;
    for (const Py_ssize_t s : shape) {
        if (s != 0 && count > PY_SSIZE_T_MAX / 8 / s) throw std::length_error("array too large");
        count *= s;
    }
    return count * 8;
}

}  // namespace

Float64View::Float64View(Float64View&& other) noexcept
    : view_(other.view_), held_(std::exchange(other.held_, false)) {}

Float64View::~Float64View() {
    if (held_) PyBuffer_Release(&view_);
}

std::size_t Float64View::size() const {
    std::size_t n = 1;
    for (const Py_ssize_t s : shape()) n *= static_cast<std::size_t>(s);
    return n;
}

bool Float64View::c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') == 1; }

std::span<double> Float64View::flat() const {
    return {static_cast<double*>(view_.buf), size()};
}

std::span<const double> Float64View::elements(std::vector<double>& scratch) const {
    if (c_contiguous()) return flat();
    // Walk the index in C order, the last axis fastest.
    const std::size_t nd = ndim();
    const std::size_t n = size();
    scratch.resize(n);
    if (n == 0) return scratch;
    std::vector<Py_ssize_t> index(nd, 0);
    const char* base = static_cast<const char*>(view_.buf);
    for (std::size_t k = 0; k < n; ++k) {
        Py_ssize_t offset = 0;
        for (std::size_t a = 0; a < nd; ++a) offset += index[a] * view_.strides[a];
        std::memcpy(&scratch[k], base + offset, sizeof(double));
        for (std::size_t a = nd; a-- > 0;) {
            if (++index[a] < view_.shape[a]) break;
            index[a] = 0;
        }
    }
    return scratch;
}

Float64View Float64View::writable(PyObject* o, const char* param) {
    if (!PyObject_CheckBuffer(o)) {
        raise(PyExc_TypeError, prefix(param) +
                                   "expected a writable buffer of float64 (a numpy array, "
                                   "array.array('d') or a memoryview), got '" +
                                   type_name(o) + "'");
    }
    Float64View v;
    get_buffer(o, &v.view_, prefix(param) + "expected a writable buffer of float64");
    v.held_ = true;
    if (v.view_.readonly) {
        raise(PyExc_TypeError,
              prefix(param) + "the buffer is read-only; expected a writable buffer of float64");
    }
    if (!is_float64_format(v.view_.format, v.view_.itemsize)) {
        raise(PyExc_TypeError, prefix(param) + "expected a buffer of float64 (format 'd'), got " +
                                   format_text(v.view_));
    }
    if (!v.c_contiguous()) {
        raise(PyExc_ValueError,
              prefix(param) + "the buffer is not C-contiguous; expected a C-contiguous buffer of "
                              "float64 (numpy.ascontiguousarray gives one)");
    }
    return v;
}

std::optional<Float64View> Float64View::array_argument(PyObject* o, const char* param) {
    if (!PyObject_CheckBuffer(o)) return std::nullopt;
    Float64View v;
    get_buffer(o, &v.view_, prefix(param) + "expected a float or a buffer of float64");
    v.held_ = true;
    if (v.view_.ndim == 0) return std::nullopt;
    if (!is_float64_format(v.view_.format, v.view_.itemsize)) {
        raise(PyExc_TypeError, prefix(param) +
                                   "expected a float or a buffer of float64 (format 'd'), got " +
                                   format_text(v.view_));
    }
    return v;
}

bool exports_array(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();  // not usable as an array: the caller's own check decides
        return false;
    }
    const bool array = view.ndim >= 1;
    PyBuffer_Release(&view);
    return array;
}

std::optional<std::vector<double>> float64_items(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::optional<std::vector<double>> items;
    if (view.ndim == 1 && is_float64_format(view.format, view.itemsize)) {
        items.emplace(static_cast<std::size_t>(view.shape[0]));
        const char* base = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < items->size(); ++i) {
            std::memcpy(&(*items)[i], base + static_cast<Py_ssize_t>(i) * view.strides[0],
                        sizeof(double));
        }
    }
    PyBuffer_Release(&view);
    return items;
}

PyObject* numpy_module(const char* what) {
    static PyObject* numpy = nullptr;
    if (numpy != nullptr) return numpy;
    PyObject* module = PyImport_ImportModule("numpy");
    if (module == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyErrorSet{};
        PyRef cause = take_pending_exception();
        const std::string text = std::string(what) + " needs numpy, which could not be imported";
        PyRef message = PyRef::steal(check(PyUnicode_FromString(text.c_str())));
        PyRef error = PyRef::steal(
            check(PyObject_CallFunctionObjArgs(PyExc_ImportError, message.get(), nullptr)));
        if (cause) {
            PyException_SetCause(error.get(), cause.release());  // steals
        }
        PyErr_SetObject(PyExc_ImportError, error.get());
        throw PyErrorSet{};
    }
    numpy = module;  // kept for the process lifetime, like the module's own types
    return numpy;
}

PyRef new_numpy_array(std::span<const Py_ssize_t> shape, const char* what) {
    PyObject* numpy = numpy_module(what);
    checked_bytes(shape);
    PyRef empty = PyRef::steal(check(PyObject_GetAttrString(numpy, "empty")));
    PyRef dims = shape_tuple(shape);
    return PyRef::steal(check(PyObject_CallFunctionObjArgs(empty.get(), dims.get(), nullptr)));
}

PyRef new_result_like(PyObject* like, std::span<const Py_ssize_t> shape) {
    if (is_instance_of_loaded(like, "numpy", "ndarray")) {
        return new_numpy_array(shape, "an array-valued query");
    }
    const Py_ssize_t bytes = checked_bytes(shape);
    if (shape.size() == 1) {
        if (PyRef array_type = loaded_type("array", "array")) {
            const int r = PyObject_IsInstance(like, array_type.get());
            if (r < 0) throw PyErrorSet{};
            if (r == 1) {
                PyRef one = PyRef::steal(check(PyObject_CallFunction(array_type.get(), "s[d]",
                                                                     "d", 0.0)));
                return PyRef::steal(check(PySequence_Repeat(one.get(), shape[0])));
            }
        }
    }
    PyRef storage = PyRef::steal(check(PyByteArray_FromStringAndSize(nullptr, bytes)));
    PyRef view = PyRef::steal(check(PyMemoryView_FromObject(storage.get())));
    PyRef cast = PyRef::steal(check(PyObject_GetAttrString(view.get(), "cast")));
    PyRef format = PyRef::steal(check(PyUnicode_FromString("d")));
    PyRef dims = shape_tuple(shape);
    return PyRef::steal(
        check(PyObject_CallFunctionObjArgs(cast.get(), format.get(), dims.get(), nullptr)));
}

Py_ssize_t array_length(std::uint64_t n, std::size_t d) {
    const auto limit = static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 8 / (d == 0 ? 1 : d);
    if (n > limit) throw std::length_error("array too large");
    return static_cast<Py_ssize_t>(n);
}

std::string shape_text(std::span<const Py_ssize_t> shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    if (shape.size() == 1) text += ",";
    return text + ")";
}

}  // namespace varnix::py
