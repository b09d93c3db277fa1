// vectorized(f): the marker that says f takes a float64 array of points and returns one value
// per point. The library then evaluates independent points in one call where its algorithm has
// them (vectorized.hpp says where). Calling the marker calls f; it pickles as vectorized(f).
#include "python/vectorized.hpp"

#include "python/errors.hpp"

namespace varnix::py {
namespace {

struct VectorizedObject {
    PyObject ob_base;
    PyObject* function;  // owned
};

PyObject* vectorized_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"f", nullptr};
    PyObject* f = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:vectorized", const_cast<char**>(names),
                                     &f)) {
        return nullptr;
    }
    if (!PyCallable_Check(f)) {
        PyRef text = PyRef::steal(PyObject_Repr(f));
        PyErr_Format(PyExc_TypeError,
                     "vectorized takes a callable (a function of a float64 array), got %S",
                     text ? text.get() : Py_None);
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    Py_INCREF(f);
    reinterpret_cast<VectorizedObject*>(self)->function = f;
    return self;
}

int vectorized_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<VectorizedObject*>(self)->function);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int vectorized_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<VectorizedObject*>(self)->function);
    return 0;
}

void vectorized_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    vectorized_clear(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* vectorized_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyObject_Call(reinterpret_cast<VectorizedObject*>(self)->function, args, kwargs);
}

PyObject* vectorized_repr(PyObject* self) {
    return PyUnicode_FromFormat("vectorized(%R)",
                                reinterpret_cast<VectorizedObject*>(self)->function);
}

PyObject* vectorized_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         reinterpret_cast<VectorizedObject*>(self)->function);
}

PyObject* vectorized_function(PyObject* self, void*) {
    PyObject* f = reinterpret_cast<VectorizedObject*>(self)->function;
    Py_INCREF(f);
    return f;
}

PyMethodDef vectorized_methods[] = {
    {"__reduce__", vectorized_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef vectorized_getset[] = {
    {"function", vectorized_function, nullptr, "The wrapped function of an array.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char vectorized_doc[] =
    "vectorized(f)\n--\n\n"
    "Marks f as a function of many points at once: f takes a float64 numpy array of points,\n"
    "shape (m,) where the library passes one number and (m, d) where it passes d coordinates,\n"
    "and returns m values. Where an algorithm has independent points to evaluate, it passes\n"
    "them in one call; the results are those of calling f one point at a time whenever f is\n"
    "elementwise. numpy is needed only when such a function is called.";

PyType_Slot vectorized_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vectorized_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vectorized_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(vectorized_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(vectorized_clear)},
    {Py_tp_call, reinterpret_cast<void*>(vectorized_call)},
    {Py_tp_repr, reinterpret_cast<void*>(vectorized_repr)},
    {Py_tp_methods, vectorized_methods},
    {Py_tp_getset, vectorized_getset},
    {Py_tp_doc, const_cast<char*>(vectorized_doc)},
    {0, nullptr},
};

PyType_Spec vectorized_spec = {
    "_varnix.vectorized", sizeof(VectorizedObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, vectorized_slots,
};

PyObject* vectorized_type_object = nullptr;  // created once, kept for the process

}  // namespace

PyObject* vectorized_type() {
    if (vectorized_type_object == nullptr) {
        vectorized_type_object = check(PyType_FromSpec(&vectorized_spec));
    }
    return vectorized_type_object;
}

PyObject* vectorized_function_of(PyObject* o) {
    if (vectorized_type_object == nullptr ||
        Py_TYPE(o) != reinterpret_cast<PyTypeObject*>(vectorized_type_object)) {
        return nullptr;
    }
    return reinterpret_cast<VectorizedObject*>(o)->function;
}

}  // namespace varnix::py
