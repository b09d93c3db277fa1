// The type machinery shared by every class of the module.
//
// A class is a C++ value type T plus a short definition: its name, whether it is bound to the
// thread that created it, an optional constructor, and a method table written with the
// method<...>() helpers below, each entry from one Declaration (declaration.hpp). Each method
// declares whether it only reads the value (shared borrow) or advances its state (exclusive
// borrow); the wrapper binds the arguments, checks the thread, takes the borrow for the whole
// call and converts every failure.
//
// Classes cannot be subclassed, have no instance __dict__ and no weak references.
//
// A class pickled as its core value's saved state declares `static constexpr bool saved =
// true;`: its type then has __reduce__, and register_class adds its restorer to _restore
// (python/pickling.hpp). Value classes write their own __reduce__ to their constructor.
//
// Every area file (continuous, discrete, multivar) includes this header, and with it the
// declarations, the argument binding and the result conversions.
#pragma once

#include "python/args.hpp"
#include "python/chunked_list.hpp"
#include "python/declaration.hpp"
#include "python/entry.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"
#include "python/user_function.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace varnix::py {

enum class Access { Shared, Exclusive };

struct ClassDef {
    const char* name;                 // class name, e.g. "Interval"
    bool thread_bound = false;        // usable only from the creating thread
    const Declaration* ctor = nullptr;  // constructor declaration, or null for none
    newfunc ctor_impl = nullptr;      // tp_new when ctor is set
    PyMethodDef* methods = nullptr;   // null-terminated
    PyGetSetDef* getset = nullptr;    // null-terminated
    reprfunc repr = nullptr;
};

template <class T>
struct Instance {
    PyObject ob_base;
    std::int64_t borrow;  // > 0: shared borrows; -1: exclusive borrow
    std::thread::id owner;
    bool has_value;
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
};

// Values that hold Python objects (user callables) take part in garbage collection, so that a
// callable referring back to its own distribution or sampler does not keep both alive forever.
template <class T>
concept HoldsPythonObjects = requires(T& value, visitproc visit, void* arg) {
    { value.traverse(visit, arg) } -> std::same_as<int>;
    value.clear();
};

// A core value together with the user function it works through (the common shape of the
// distribution and sampler classes). Arity: what the value passes to it, which decides the
// signatures a compiled function may have.
template <class Core, NativeArity Arity>
struct WithCallable {
    static constexpr NativeArity arity = Arity;
    Core value;
    UserFunction f;  // empty where the value needs no function (a histogram)
    int traverse(visitproc visit, void* arg) { return f.traverse(visit, arg); }
    void clear() { f.clear(); }
};

// Creates (once per process) the Python type of a ClassDef. Each T provides
// `static const ClassDef& definition()`. traverse and clear are null for values that hold no
// Python object.
PyTypeObject* create_type(const ClassDef& def, Py_ssize_t basicsize, destructor dealloc,
                          traverseproc traverse, inquiry clear);

// A class saved as a state (see the top of this file).
template <class T>
concept Saved = requires { requires T::saved; };

// The __reduce__ entry and the restorer registration of a saved class (python/pickling.hpp).
template <Saved T>
PyMethodDef saved_reduce_method();
template <Saved T>
void add_restorer();

// def with one more method after its own, for the life of the process.
const ClassDef& with_method(const ClassDef& def, PyMethodDef extra);

// The definition a type is made from: a saved class's gains its __reduce__.
template <class T>
const ClassDef& type_definition() {
    if constexpr (Saved<T>) {
        static const ClassDef& def = with_method(T::definition(), saved_reduce_method<T>());
        return def;
    } else {
        return T::definition();
    }
}

template <class T>
void dealloc_instance(PyObject* self);

template <class T>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    return inst->has_value ? inst->value().traverse(visit, arg) : 0;
}

template <class T>
int clear_instance(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    if (inst->has_value) inst->value().clear();
    return 0;
}

template <class T>
PyTypeObject* type_object() {
    static PyTypeObject* type = [] {
        if constexpr (HoldsPythonObjects<T>) {
            return create_type(type_definition<T>(), sizeof(Instance<T>), &dealloc_instance<T>,
                               &traverse_instance<T>, &clear_instance<T>);
        } else {
            return create_type(type_definition<T>(), sizeof(Instance<T>), &dealloc_instance<T>,
                               nullptr, nullptr);
        }
    }();
    return type;
}

std::string qualified_name(const ClassDef& def);

template <class T>
void dealloc_instance(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    const ClassDef& def = T::definition();
    if constexpr (HoldsPythonObjects<T>) PyObject_GC_UnTrack(self);
    if (inst->has_value) {
        if (def.thread_bound && inst->owner != std::this_thread::get_id()) {
            // The value may hold state of its own thread: it is kept, never released here.
            PyObject *et, *ev, *etb;
            PyErr_Fetch(&et, &ev, &etb);
            const std::string msg =
                qualified_name(def) + " is unsendable, but is being dropped on another thread";
            PyErr_SetString(PyExc_RuntimeError, msg.c_str());
            PyErr_WriteUnraisable(nullptr);
            PyErr_Restore(et, ev, etb);
        } else {
            inst->value().~T();
        }
    }
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// A new Python object of T's class holding value, owned by the calling thread (which alone
// may use a thread-bound class).
template <class T>
PyObject* make_instance(T&& value) {
    PyTypeObject* type = type_object<std::remove_cvref_t<T>>();
    PyObject* obj = check(PyType_GenericAlloc(type, 0));
    auto* inst = reinterpret_cast<Instance<std::remove_cvref_t<T>>*>(obj);
    inst->borrow = 0;
    new (&inst->owner) std::thread::id(std::this_thread::get_id());
    new (inst->storage) std::remove_cvref_t<T>(std::forward<T>(value));
    inst->has_value = true;
    return obj;
}

// The instance behind self, checked for the owning thread.
template <class T>
Instance<T>& instance_of(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    const ClassDef& def = T::definition();
    if (def.thread_bound && inst->owner != std::this_thread::get_id()) {
        throw InternalFault(qualified_name(def) + " is unsendable, but sent to another thread");
    }
    return *inst;
}

// Converts an argument that must be an instance of T; the value is copied.
template <class T>
T instance_arg(const Args& a, std::size_t i) {
    return a.convert(i, [](PyObject* o) -> T {
        if (!PyObject_TypeCheck(o, type_object<T>())) raise_downcast(o, T::definition().name);
        return reinterpret_cast<Instance<T>*>(o)->value();
    });
}

template <class T>
class Borrow {
public:
    Borrow(Instance<T>& inst, Access access) : inst_(inst), access_(access) {
        if (access == Access::Exclusive) {
            if (inst.borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
            inst.borrow = -1;
        } else {
            if (inst.borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
            ++inst.borrow;
        }
    }
    ~Borrow() {
        if (access_ == Access::Exclusive) {
            inst_.borrow = 0;
        } else {
            --inst_.borrow;
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    Instance<T>& inst_;
    Access access_;
};

// Method bodies: PyObject* body(T& value, const Args& args) for methods with parameters, and
// PyObject* body(T& value) for methods without. They return a new reference or throw.
template <class T>
using MethodBody = PyObject* (*)(T&, const Args&);
template <class T>
using NoArgsBody = PyObject* (*)(T&);
using FunctionBody = PyObject* (*)(const Args&);

// Where a trampoline finds its rendered signature (declared_signature or text_signature).
using SignatureFn = const Signature& (*)();

template <class Owner>
const char* owner_name() {
    if constexpr (std::is_void_v<Owner>) {
        return nullptr;
    } else {
        return Owner::definition().name;
    }
}

// The Signature of D exposed as K on Owner's class (void: a module function).
template <CallKind K, class Owner, const Declaration& D>
const Signature& declared_signature() {
    static const Signature& sig = signature_of(K, owner_name<Owner>(), D);
    return sig;
}

// A method without parameters is declared by its name alone.
template <std::size_t N>
struct FixedText {
    constexpr FixedText(const char (&text)[N]) {  // NOLINT(google-explicit-constructor)
        for (std::size_t i = 0; i < N; ++i) value[i] = text[i];
    }
    char value[N];
};

template <FixedText Name>
inline constexpr Declaration no_parameters{Name.value};

template <class T, Access A, SignatureFn Sig, MethodBody<T> Body>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature& sig = Sig();
        Instance<T>& inst = instance_of<T>(self);
        Borrow<T> borrow(inst, A);
        Args bound(sig, args, nargs, kwnames);
        return Body(inst.value(), bound);
    });
}

// Methods without parameters take the vectorcall form too, so that an argument given to them
// is refused with the same texts as everywhere else.
template <class T, Access A, SignatureFn Sig, NoArgsBody<T> Body>
PyObject* noargs_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        if (nargs != 0 || (kwnames != nullptr && PyTuple_Size(kwnames) != 0)) {
            Args refuse(Sig(), args, nargs, kwnames);
        }
        Instance<T>& inst = instance_of<T>(self);
        Borrow<T> borrow(inst, A);
        return Body(inst.value());
    });
}

template <SignatureFn Sig, FunctionBody Body>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature& sig = Sig();
        Args bound(sig, args, nargs, kwnames);
        return Body(bound);
    });
}

template <class Trampoline>
PyMethodDef table_entry(const char* name, Trampoline* trampoline, int flags, SignatureFn sig) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline)),
            METH_FASTCALL | METH_KEYWORDS | flags, sig().doc.c_str()};
}

// Method-table entries, each from one declaration:
//   method<T, A, kDecl, &body>()         a method with parameters
//   method<T, A, "len", &body>()         a method without
//   static_method<T, kDecl, &body>()     a static method of T
//   function<kDecl, &body>()             a module function
template <class T, Access A, const Declaration& D, MethodBody<T> Body>
PyMethodDef method() {
    constexpr SignatureFn sig = &declared_signature<CallKind::Method, T, D>;
    return table_entry(D.name, &method_trampoline<T, A, sig, Body>, 0, sig);
}

template <class T, Access A, FixedText Name, NoArgsBody<T> Body>
PyMethodDef method() {
    constexpr SignatureFn sig = &declared_signature<CallKind::Method, T, no_parameters<Name>>;
    return table_entry(no_parameters<Name>.name, &noargs_trampoline<T, A, sig, Body>, 0, sig);
}

template <class T, const Declaration& D, FunctionBody Body>
PyMethodDef static_method() {
    constexpr SignatureFn sig = &declared_signature<CallKind::StaticMethod, T, D>;
    return table_entry(D.name, &function_trampoline<sig, Body>, METH_STATIC, sig);
}

template <const Declaration& D, FunctionBody Body>
PyMethodDef function() {
    constexpr SignatureFn sig = &declared_signature<CallKind::Function, void, D>;
    return table_entry(D.name, &function_trampoline<sig, Body>, 0, sig);
}

// tp_new of a class with a constructor: binds the arguments and wraps the built value.
template <class T, SignatureFn Sig, T (*Build)(const Args&)>
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // tp_new receives a tuple and a dict; re-pack them as a vectorcall-style call.
        const Py_ssize_t nargs = PyTuple_Size(args);
        std::vector<PyObject*> flat;
        for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GetItem(args, i));
        PyRef kwnames;
        if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
            kwnames = PyRef::steal(check(PyTuple_New(PyDict_Size(kwargs))));
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *val;
            while (PyDict_Next(kwargs, &pos, &key, &val)) {
                Py_INCREF(key);
                PyTuple_SetItem(kwnames.get(), k++, key);
                flat.push_back(val);
            }
        }
        Args bound(Sig(), flat.data(), nargs, kwnames.get());
        return make_instance(Build(bound));
    });
}

// The tp_new of ClassDef::ctor_impl: &constructor<T, kDecl, &build>.
template <class T, const Declaration& D, T (*Build)(const Args&)>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct<T, &declared_signature<CallKind::Constructor, T, D>, Build>(type, args,
                                                                                 kwargs);
}

// Registers name -> object as a module attribute and appends it to __all__.
void register_name(PyObject* module, const char* name, PyObject* object);

template <class T>
void register_class(PyObject* module) {
    register_name(module, T::definition().name,
                  reinterpret_cast<PyObject*>(type_object<T>()));
    if constexpr (Saved<T>) add_restorer<T>();
}

void register_functions(PyObject* module, PyMethodDef* defs);

}  // namespace varnix::py
