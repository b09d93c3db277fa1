#include "python/entry.hpp"

#include "python/results.hpp"

namespace varnix::py {

void CallScope::finish_recorded(bool failed, const ErrorKind& kind) noexcept {
    // Notes are made, and the record's objects dropped, with no exception pending: both may run
    // Python code.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (failed && type != nullptr) {
        try {
            explain_failure(calls_, kind, &type, &value, &traceback);
        } catch (...) {  // a note that cannot be made (memory) is left out
        }
    }
    if (progress_.shown()) progress_.finish(calls_, !failed);
    calls_.drop_recorded();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

namespace {

// _set_progress(reporter, delay): reporter None switches progress off.
PyObject* set_progress(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* new_reporter = nullptr;
        double delay = 0.0;
        if (!PyArg_ParseTuple(args, "Od:_set_progress", &new_reporter, &delay)) {
            throw PyErrorSet{};
        }
        set_progress_reporter(new_reporter, delay);
        return none();
    });
}

PyMethodDef set_progress_def = {
    "_set_progress", &set_progress, METH_VARARGS,
    "_set_progress(reporter, delay)\n--\n\nInstalls the progress reporter of the varnix "
    "package (None: no progress). Private: use varnix.progress() or varnix.show_progress()."};

}  // namespace

void register_progress(PyObject* module) {
    PyRef module_name = PyRef::steal(check(PyModule_GetNameObject(module)));
    PyRef fn = PyRef::steal(check(PyCFunction_NewEx(&set_progress_def, nullptr, module_name.get())));
    if (PyModule_AddObjectRef(module, "_set_progress", fn.get()) < 0) throw PyErrorSet{};
}

}  // namespace varnix::py
