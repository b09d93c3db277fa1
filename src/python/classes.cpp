#include "python/classes.hpp"

namespace varnix::py {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef name = PyRef::steal(
            check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__")));
        PyRef message = PyRef::steal(
            check(PyUnicode_FromFormat("No constructor defined for %U", name.get())));
        PyErr_SetObject(PyExc_TypeError, message.get());
        throw PyErrorSet{};
    });
}

}  // namespace

std::string qualified_name(const ClassDef& def) { return std::string("_varnix.") + def.name; }

PyTypeObject* create_type(const ClassDef& def, Py_ssize_t basicsize, destructor dealloc,
                          traverseproc traverse, inquiry clear) {
    // The interpreter keeps pointing at the name and doc texts: they live for the process.
    const auto* name = new std::string(qualified_name(def));
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    if (def.ctor != nullptr) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.ctor_impl)});
        slots.push_back({Py_tp_doc, const_cast<char*>(
            signature_of(CallKind::Constructor, def.name, *def.ctor).doc.c_str())});
    } else {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
    }
    if (def.methods != nullptr) slots.push_back({Py_tp_methods, def.methods});
    if (def.getset != nullptr) slots.push_back({Py_tp_getset, def.getset});
    if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (traverse != nullptr) {
        flags |= Py_TPFLAGS_HAVE_GC;
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(clear)});
    }
    slots.push_back({0, nullptr});

    PyType_Spec spec{name->c_str(), static_cast<int>(basicsize), 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw PyErrorSet{};
    return reinterpret_cast<PyTypeObject*>(type);
}

const ClassDef& with_method(const ClassDef& def, PyMethodDef extra) {
    // The interpreter keeps pointing at the method table: it lives for the process.
    auto* methods = new std::vector<PyMethodDef>();
    for (PyMethodDef* m = def.methods; m != nullptr && m->ml_name != nullptr; ++m) {
        methods->push_back(*m);
    }
    methods->push_back(extra);
    methods->push_back({nullptr, nullptr, 0, nullptr});
    auto* extended = new ClassDef(def);
    extended->methods = methods->data();
    return *extended;
}

void register_name(PyObject* module, const char* name, PyObject* object) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PyErrorSet{};
        }
    }
    PyRef all_ref = PyRef::steal(all);
    PyRef key = PyRef::steal(check(PyUnicode_FromString(name)));
    if (PyList_Append(all, key.get()) < 0) throw PyErrorSet{};
    if (PyModule_AddObjectRef(module, name, object) < 0) throw PyErrorSet{};
}

void register_functions(PyObject* module, PyMethodDef* defs) {
    PyRef module_name = PyRef::steal(check(PyModule_GetNameObject(module)));
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        PyRef fn = PyRef::steal(check(PyCFunction_NewEx(def, nullptr, module_name.get())));
        register_name(module, def->ml_name, fn.get());
    }
}

}  // namespace varnix::py
