#include "python/native.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "python/errors.hpp"

namespace varnix::py {
namespace {

struct FormSignature {
    NativeForm form;
    NativeArity arity;
    std::string_view text;  // as messages print it; compared with white space removed
};

constexpr std::array<FormSignature, 8> forms{{
    {NativeForm::Scalar, NativeArity::Scalar, "double (double)"},
    {NativeForm::ScalarData, NativeArity::Scalar, "double (double, void *)"},
    {NativeForm::Points, NativeArity::Points, "double (int, double *)"},
    {NativeForm::PointsData, NativeArity::Points, "double (int, double *, void *)"},
    {NativeForm::Indexed, NativeArity::Indexed, "double (int, int, double *)"},
    {NativeForm::IndexedData, NativeArity::Indexed, "double (int, int, double *, void *)"},
    {NativeForm::Gradient, NativeArity::Gradient, "double (int, double *, double *)"},
    {NativeForm::GradientData, NativeArity::Gradient, "double (int, double *, double *, void *)"},
}};

std::string without_spaces(std::string_view s) {
    std::string out;
    for (const char c : s) {
        if (c != ' ' && c != '\t' && c != '\n') out += c;
    }
    return out;
}

std::string utf8(PyObject* s) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(s, &size);
    if (text == nullptr) throw PyErrorSet{};
    return std::string(text, static_cast<std::size_t>(size));
}

PyRef attribute(PyObject* o, const char* name) {
    return PyRef::steal(check(PyObject_GetAttrString(o, name)));
}

// The attribute, or null (no error set) when o has none.
PyRef attribute_if_any(PyObject* o, const char* name) {
    PyObject* a = PyObject_GetAttrString(o, name);
    if (a == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
    }
    return PyRef::steal(a);
}

// The module if something has imported it already, else null: an object of a module nobody has
// imported cannot exist, so telling needs no import.
PyRef loaded_module(const char* name) {
    PyRef key = PyRef::steal(check(PyUnicode_FromString(name)));
    PyObject* m = PyImport_GetModule(key.get());
    if (m == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    return PyRef::steal(m);
}

bool is_instance(PyObject* o, PyObject* type) {
    const int r = PyObject_IsInstance(o, type);
    if (r < 0) throw PyErrorSet{};
    return r == 1;
}

[[noreturn]] void refuse(const std::string& kind, const std::string& found, NativeArity arity) {
    raise(PyExc_TypeError, kind + " has the signature " + found + ", which this role does not "
                               "take; it takes " + accepted_signatures(arity));
}

NativeFunction make(void* address, void* data, const std::string& kind,
                    const std::string& signature, NativeArity arity, PyRef owner);

}  // namespace

std::string accepted_signatures(NativeArity arity) {
    std::string out;
    for (const auto& f : forms) {
        if (f.arity != arity) continue;
        if (!out.empty()) out += " or ";
        out += '"';
        out += f.text;
        out += '"';
    }
    return out;
}

namespace {

NativeFunction make(void* address, void* data, const std::string& kind,
                    const std::string& signature, NativeArity arity, PyRef owner) {
    const std::string key = without_spaces(signature);
    for (const auto& f : forms) {
        if (f.arity == arity && key == without_spaces(f.text)) {
            if (address == nullptr) {
                raise(PyExc_TypeError, kind + " holds a null function pointer");
            }
            return NativeFunction::made(address, data, f.form, std::move(owner));
        }
    }
    std::string shown;  // a capsule's name is any bytes: show printable ASCII only
    for (const char c : signature) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    refuse(kind, '"' + shown + '"', arity);
}

std::optional<NativeFunction> from_capsule(PyObject* capsule, PyObject* owner, NativeArity arity,
                                           const std::string& kind) {
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        raise(PyExc_TypeError, kind + " has no name, so its signature is unknown; name it by "
                                      "its signature, " + accepted_signatures(arity));
    }
    void* address = PyCapsule_GetPointer(capsule, name);
    if (address == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    void* data = PyCapsule_GetContext(capsule);
    if (data == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    return make(address, data, kind, name, arity, PyRef::borrow(owner));
}

// "double", "int", "void *", "double *" for the ctypes types the forms use; the type's own name
// for any other.
std::string ctypes_name(PyObject* ctypes, PyObject* t) {
    if (t == Py_None) return "void";
    for (const char* name : {"c_double", "c_int", "c_void_p"}) {
        PyRef known = attribute(ctypes, name);
        if (t == known.get()) {
            return std::string_view(name) == "c_double" ? "double"
                   : std::string_view(name) == "c_int"  ? "int"
                                                         : "void *";
        }
    }
    PyRef pointer_base = attribute(ctypes, "_Pointer");
    if (PyType_Check(t) && PyObject_IsSubclass(t, pointer_base.get()) == 1) {
        PyRef target = attribute(t, "_type_");
        PyRef c_double = attribute(ctypes, "c_double");
        if (target.get() == c_double.get()) return "double *";
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    PyRef name = attribute_if_any(t, "__name__");
    return name ? utf8(name.get()) : "?";
}

std::optional<NativeFunction> from_ctypes(PyObject* ctypes, PyObject* f, PyObject* owner,
                                          NativeArity arity) {
    const std::string kind = "the ctypes function";
    PyRef restype = attribute(f, "restype");
    PyRef argtypes = attribute(f, "argtypes");
    if (argtypes.get() == Py_None) {
        raise(PyExc_TypeError, kind + " has no argtypes, so its signature is unknown; set "
                                      "restype and argtypes to one of " +
                                      accepted_signatures(arity));
    }
    PyRef items = PyRef::steal(check(PySequence_Tuple(argtypes.get())));
    std::string signature = ctypes_name(ctypes, restype.get()) + " (";
    for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
        if (i > 0) signature += ", ";
        signature += ctypes_name(ctypes, PyTuple_GetItem(items.get(), i));
    }
    signature += ")";
    // The address: ctypes.cast(f, ctypes.c_void_p).value, an int or None.
    PyRef cast = attribute(ctypes, "cast");
    PyRef void_p = attribute(ctypes, "c_void_p");
    PyRef pointer = PyRef::steal(
        check(PyObject_CallFunctionObjArgs(cast.get(), f, void_p.get(), nullptr)));
    PyRef value = attribute(pointer.get(), "value");
    void* address = nullptr;
    if (value.get() != Py_None) {
        address = PyLong_AsVoidPtr(value.get());
        if (address == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    }
    return make(address, nullptr, kind, signature, arity, PyRef::borrow(owner));
}

std::optional<NativeFunction> from_cffi(PyObject* backend, PyObject* f, NativeArity arity) {
    const std::string kind = "the cffi function pointer";
    PyRef typeof_ = attribute(backend, "typeof");
    PyRef ctype = PyRef::steal(check(PyObject_CallFunctionObjArgs(typeof_.get(), f, nullptr)));
    PyRef ctype_kind = attribute(ctype.get(), "kind");
    if (utf8(ctype_kind.get()) != "function") return std::nullopt;  // some other C data
    PyRef result = attribute(ctype.get(), "result");
    std::string signature = utf8(attribute(result.get(), "cname").get()) + " (";
    PyRef args = attribute(ctype.get(), "args");
    for (Py_ssize_t i = 0; i < PyTuple_Size(args.get()); ++i) {
        if (i > 0) signature += ", ";
        signature += utf8(attribute(PyTuple_GetItem(args.get(), i), "cname").get());
    }
    signature += ")";
    PyRef new_primitive = attribute(backend, "new_primitive_type");
    PyRef uintptr = PyRef::steal(check(PyObject_CallFunction(new_primitive.get(), "s",
                                                             "uintptr_t")));
    PyRef cast = attribute(backend, "cast");
    PyRef as_int = PyRef::steal(
        check(PyObject_CallFunctionObjArgs(cast.get(), uintptr.get(), f, nullptr)));
    PyRef number = PyRef::steal(check(PyNumber_Long(as_int.get())));
    void* address = PyLong_AsVoidPtr(number.get());
    if (address == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    return make(address, nullptr, kind, signature, arity, PyRef::borrow(f));
}

}  // namespace

NativeFunction NativeFunction::made(void* address, void* data, NativeForm form, PyRef owner) {
    return NativeFunction(address, data, form, std::move(owner));
}

std::optional<NativeFunction> NativeFunction::from(PyObject* o, NativeArity arity) {
    if (PyCapsule_CheckExact(o)) return from_capsule(o, o, arity, "the capsule");
    // scipy.LowLevelCallable: a tuple (capsule, function, user_data).
    if (PyTuple_Check(o) && PyTuple_Size(o) == 3 &&
        PyCapsule_CheckExact(PyTuple_GetItem(o, 0))) {
        return from_capsule(PyTuple_GetItem(o, 0), o, arity, "the LowLevelCallable");
    }
    if (PyRef ctypes = loaded_module("ctypes")) {
        PyRef function_type = attribute(ctypes.get(), "_CFuncPtr");
        if (is_instance(o, function_type.get())) return from_ctypes(ctypes.get(), o, o, arity);
        if (!PyType_Check(o)) {
            // A numba cfunc and the like: an object whose ctypes attribute is the function.
            if (PyRef inner = attribute_if_any(o, "ctypes")) {
                if (is_instance(inner.get(), function_type.get())) {
                    auto f = from_ctypes(ctypes.get(), inner.get(), o, arity);
                    if (f) f->set_bare(false);
                    return f;
                }
            }
        }
    }
    if (PyRef backend = loaded_module("_cffi_backend")) {
        PyRef data_type = attribute(backend.get(), "_CDataBase");
        if (is_instance(o, data_type.get())) return from_cffi(backend.get(), o, arity);
    }
    return std::nullopt;
}

}  // namespace varnix::py
