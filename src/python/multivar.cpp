// Python classes and functions of the multivariate samplers.
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {

void register_multivar(PyObject*) {}

}  // namespace varnix::py
