#include "python/pickling.hpp"

#include <map>
#include <string>

namespace varnix::py {
namespace {

// The restorer of each class saved as a state, by class name. Filled once, while the module
// initialises (under the interpreter lock), and only read afterwards.
std::map<std::string, Restorer, std::less<>>& restorers() {
    static std::map<std::string, Restorer, std::less<>> table;
    return table;
}

// The _restore function object, kept for the process like the module's types.
PyObject* restore_function = nullptr;

PyObject* tuple_arg(const Args& a, std::size_t i) {
    return a.convert(i, [](PyObject* o) -> PyObject* {
        if (!PyTuple_Check(o)) raise_downcast(o, "PyTuple");
        return o;
    });
}

std::string_view bytes_arg(const Args& a, std::size_t i) {
    return a.convert(i, [](PyObject* o) -> std::string_view {
        if (!PyBytes_Check(o)) raise_downcast(o, "PyBytes");
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(o, &data, &size) < 0) throw PyErrorSet{};
        return {data, static_cast<std::size_t>(size)};
    });
}

constexpr Declaration kRestore{"_restore", {"class_name", "callables", "state"}};

// The class name first, then the callables' type, then the state's; the state is read by the
// class's restorer, which checks the callables against it.
PyObject* restore(const Args& a) {
    const std::string class_name = a.text(0);
    PyObject* callables = tuple_arg(a, 1);
    const std::string_view bytes = bytes_arg(a, 2);  // a view of the argument, alive for the call
    const auto found = restorers().find(class_name);
    if (found == restorers().end()) {
        raise(PyExc_ValueError, "invalid saved state: no class '" + class_name +
                                    "' is restored from a saved state");
    }
    return found->second(SavedState{class_name, callables, bytes});
}

PyMethodDef restore_def[] = {
    function<kRestore, &restore>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* reduce_to_state(const char* class_name, std::initializer_list<PyObject*> callables,
                          const std::string& state) {
    if (restore_function == nullptr) throw InternalFault("_restore is not registered");
    PyRef held = PyRef::steal(check(PyTuple_New(static_cast<Py_ssize_t>(callables.size()))));
    Py_ssize_t i = 0;
    for (PyObject* f : callables) {
        PyObject* item = f != nullptr ? f : Py_None;
        Py_INCREF(item);
        PyTuple_SetItem(held.get(), i++, item);  // steals item
    }
    PyRef name = PyRef::steal(check(PyUnicode_FromString(class_name)));
    PyRef bytes = PyRef::steal(
        check(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size()))));
    PyRef args = PyRef::steal(check(PyTuple_Pack(3, name.get(), held.get(), bytes.get())));
    return check(PyTuple_Pack(2, restore_function, args.get()));
}

PyObject* reduce_to_constructor(PyTypeObject* type, PyObject* args) {
    PyRef owned = PyRef::steal(check(args));
    return check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(type), owned.get()));
}

PyRef SavedState::callable(bool required) const {
    const std::string name(class_name);
    if (PyTuple_Size(callables) != 1) {
        raise(PyExc_TypeError, name + " is restored with exactly one callable (or None)");
    }
    PyObject* f = PyTuple_GetItem(callables, 0);
    if (!required) {
        if (f != Py_None) {
            raise(PyExc_TypeError, "this " + name + " holds no callable: None expected");
        }
        return PyRef();
    }
    if (!PyCallable_Check(f)) {
        raise(PyExc_TypeError, name + " is restored with the callable it holds, not a '" +
                                   type_name(f) + "' object");
    }
    return PyRef::borrow(f);
}

void SavedState::no_callables() const {
    if (PyTuple_Size(callables) != 0) {
        raise(PyExc_TypeError, std::string(class_name) + " holds no callable: () expected");
    }
}

void add_restorer(const char* class_name, Restorer restore) {
    restorers().emplace(class_name, restore);
}

void register_pickling(PyObject* module) {
    PyRef module_name = PyRef::steal(check(PyModule_GetNameObject(module)));
    PyRef fn = PyRef::steal(check(PyCFunction_NewEx(restore_def, nullptr, module_name.get())));
    if (PyModule_AddObjectRef(module, restore_def[0].ml_name, fn.get()) < 0) throw PyErrorSet{};
    restore_function = fn.release();
    // The exception types are named BuildErrorPy and SampleErrorPy but published as BuildError
    // and SampleError; a pickler finds a class by its own name, so that name is an attribute
    // too (outside __all__). An error raised in a worker process then reaches the parent.
    for (PyObject* type : {build_error_type(), sample_error_type()}) {
        PyRef name = PyRef::steal(check(PyObject_GetAttrString(type, "__name__")));
        if (PyObject_SetAttr(module, name.get(), type) < 0) throw PyErrorSet{};
    }
}

void refuse_unpicklable(const UserFunction& f) {
    const NativeFunction* native = f.native();
    if (native == nullptr || !native->bare()) return;
    raise(PyExc_TypeError,
          "cannot pickle an object built from a compiled function given as a bare address (" +
              type_name(f.get()) + "): the address means nothing in another process. Pickle "
              "a factory that builds the object instead (it rebuilds the function there), or "
              "give a compiled function that pickles itself, such as a numba cfunc");
}

}  // namespace varnix::py
