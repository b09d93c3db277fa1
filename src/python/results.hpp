// Conversions of results to Python objects: new references, or PyErrorSet when the object
// cannot be made.
#pragma once

#include "python/handles.hpp"

#include <cstddef>
#include <cstdint>

namespace varnix::py {

PyObject* to_py(double x);
PyObject* to_py_bool(bool b);
PyObject* to_py_size(std::uint64_t n);
PyObject* to_py_list(const double* values, std::size_t n);
// n points of d coordinates, stored one after the other: a list of n lists.
PyObject* to_py_points(const double* flat, std::size_t n, std::size_t d);
PyObject* none();

}  // namespace varnix::py
