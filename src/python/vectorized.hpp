// The vectorized(f) marker type: f takes a float64 array of points and returns one value each.
#pragma once

#include "python/handles.hpp"

namespace varnix::py {

// The type, created on first use (the module registers it as `vectorized`).
PyObject* vectorized_type();

// The function a vectorized marker wraps (borrowed), or null when o is no such marker.
PyObject* vectorized_function_of(PyObject* o);

}  // namespace varnix::py
