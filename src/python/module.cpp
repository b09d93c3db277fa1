// The module's single entry point: creates the module once per process and registers the
// exception types, classes and functions in their fixed order (also the order of __all__).
#include "python/classes.hpp"
#include "python/pickling.hpp"
#include "python/registry.hpp"
#include "python/vectorized.hpp"

namespace varnix::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_varnix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool initialized = false;

}  // namespace
}  // namespace varnix::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__varnix() {
    using namespace varnix::py;
    if (initialized) {
        PyErr_SetString(PyExc_ImportError,
                        "the _varnix module may only be initialized once per interpreter process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        internal_fault_type();  // created up front: the bridge matches against it
        register_name(module, "BuildError", build_error_type());
        register_name(module, "SampleError", sample_error_type());
        register_continuous(module);
        register_discrete(module);
        register_multivar(module);
        register_diagnostics(module);
        register_qmc(module);
        register_name(module, "vectorized", vectorized_type());
        register_progress(module);
        register_pickling(module);  // _restore, outside __all__
        return module;
    });
    if (result == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    initialized = true;
    return module;
}
