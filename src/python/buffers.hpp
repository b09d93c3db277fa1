// Float64 data through the buffer protocol (in the limited API since 3.11): the out argument
// a fill writes into, array-valued arguments of the queries, and the new arrays results are
// made in. numpy is never needed to build or import the module: it is imported on first use
// by the calls that return a numpy array, and otherwise only recognised when already loaded.
#pragma once

#include "python/handles.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <optional>
#include <span>
#include <vector>

namespace varnix::py {

// A buffer of doubles, held from acquisition to destruction: while it is held, its exporter
// keeps the memory in place (a bytearray refuses to resize, for one).
class Float64View {
public:
    Float64View(const Float64View&) = delete;
    Float64View& operator=(const Float64View&) = delete;
    Float64View(Float64View&& other) noexcept;
    Float64View& operator=(Float64View&&) = delete;
    ~Float64View();

    // The exporting object (borrowed).
    PyObject* object() const { return view_.obj; }
    std::size_t ndim() const { return static_cast<std::size_t>(view_.ndim); }
    std::span<const Py_ssize_t> shape() const {
        return {view_.shape, static_cast<std::size_t>(view_.ndim)};
    }
    // Number of elements: the product of the shape (1 for a 0-d buffer).
    std::size_t size() const;
    bool c_contiguous() const;
    // The elements in C order, for a C-contiguous buffer.
    std::span<double> flat() const;
    // The elements in C order, whatever the strides: the buffer itself when it is
    // C-contiguous, otherwise a copy gathered into scratch.
    std::span<const double> elements(std::vector<double>& scratch) const;

    // The out argument of a fill: a writable, C-contiguous buffer of float64. TypeError or
    // ValueError, naming the parameter, for anything else; its shape is the caller's to check.
    static Float64View writable(PyObject* o, const char* param);
    // An array-valued argument: a float64 buffer of one dimension or more, any strides. None
    // for an object that exports no buffer, or a 0-d one (both are scalars to the caller);
    // TypeError for a buffer of another item type.
    static std::optional<Float64View> array_argument(PyObject* o, const char* param);

private:
    Float64View() = default;
    Py_buffer view_{};
    bool held_ = false;
};

// Sequences of floats given as arrays: whether o exports a buffer of one dimension or more
// (a numpy array, an array.array, a memoryview), and the items of a one-dimensional float64
// buffer, read directly (nullopt for any other object, whose items are to be iterated).
bool exports_array(PyObject* o);
std::optional<std::vector<double>> float64_items(PyObject* o);

// numpy, imported on first use; ImportError saying that `what` needs it otherwise.
PyObject* numpy_module(const char* what);
// A new numpy.ndarray of float64 of the given shape, uninitialised (numpy.empty).
PyRef new_numpy_array(std::span<const Py_ssize_t> shape, const char* what);
// A new array of float64 of the given shape for results computed from the argument like: a
// numpy array when like is one, an array.array('d') when like is one (one-dimensional), and
// a memoryview of format 'd' and that shape over a new bytearray otherwise.
PyRef new_result_like(PyObject* like, std::span<const Py_ssize_t> shape);

// n (times d) doubles as a length; std::length_error (MemoryError) when they cannot be held.
Py_ssize_t array_length(std::uint64_t n, std::size_t d = 1);

// "(3, 4)": a shape as Python writes a tuple.
std::string shape_text(std::span<const Py_ssize_t> shape);

}  // namespace varnix::py
