// Python class and function of finite discrete distributions.
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {

void register_discrete(PyObject*) {}

}  // namespace varnix::py
