// Pickling and copying of the module's classes.
//
// Value classes (Interval, BuildOptions, HyperRect) reduce to their constructor and fields.
// Every other class is declared saved (python/classes.hpp): its __reduce__ and its restorer
// come from here, through its core value's State (core/serial.hpp). It reduces to the module's
// private function _restore with three arguments:
// its class name, a tuple of the callables it holds (pickled by whatever pickler the caller
// uses; None where a distribution holds none) and its saved state, the bytes of
// core/serial.hpp. copy.copy and copy.deepcopy go through the same reduction.
//
// _restore reads the state back without building anything again and without calling any
// callable, and refuses a state that is not sound (ValueError) or callables that do not fit
// the class (TypeError). The object it makes is new and, for a thread-bound class, bound to
// the thread that unpickled it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/continuous/distribution.hpp"
#include "core/serial.hpp"
#include "python/classes.hpp"

namespace varnix::py {

// (_restore, (class_name, callables, state)); a null callable becomes None.
PyObject* reduce_to_state(const char* class_name, std::initializer_list<PyObject*> callables,
                          const std::string& state);

// (constructor, args): the reduction of a value class, args a new tuple (stolen).
PyObject* reduce_to_constructor(PyTypeObject* type, PyObject* args);

// The arguments _restore hands a class's restorer.
struct SavedState {
    std::string_view class_name;
    PyObject* callables;  // a tuple, borrowed
    std::string_view bytes;

    // The one callable of a class that holds one: a callable object where the value uses its
    // function, None where it does not (a histogram). TypeError otherwise.
    PyRef callable(bool required) const;
    // No callables at all (a class that holds none).
    void no_callables() const;
};

using Restorer = PyObject* (*)(const SavedState&);

// Makes restore the restorer of class_name (each class once, at module initialisation, by
// register_class).
void add_restorer(const char* class_name, Restorer restore);

// Adds _restore to the module; not listed in __all__.
void register_pickling(PyObject* module);

// Whether the value calls the function held beside it.
inline bool uses_function(const ContinuousDistribution& d) { return d.has_user_function(); }
template <class Core>
bool uses_function(const Core&) {
    return true;
}

// A compiled function held as a bare address (a capsule, a LowLevelCallable, a ctypes or cffi
// function pointer) cannot be pickled by any pickler: TypeError saying what to do instead. A
// compiled function behind a picklable object (a numba cfunc) is left to the pickler, and is
// recognised again when it is restored.
void refuse_unpicklable(const UserFunction& f);

template <class Py>
concept HoldsCallable = requires(Py& p) { p.f; };

// __reduce__ of a class saved as a state: Py holds value (and f, where it holds a callable).
template <class Py>
PyObject* reduce_saved(Py& self) {
    const char* name = Py::definition().name;
    if constexpr (HoldsCallable<Py>) {
        refuse_unpicklable(self.f);
        return reduce_to_state(name, {self.f.get()}, StateCodec::save(self.value));
    } else {
        return reduce_to_state(name, {}, StateCodec::save(self.value));
    }
}

template <class Py>
PyObject* restore_saved(const SavedState& saved) {
    using Core = std::remove_cvref_t<decltype(std::declval<Py&>().value)>;
    Core value = unwrap(StateCodec::load<Core>(saved.bytes));
    if constexpr (HoldsCallable<Py>) {
        PyRef f = saved.callable(uses_function(value));
        return make_instance(Py{{std::move(value), UserFunction::of(f.get(), Py::arity)}});
    } else {
        saved.no_callables();
        return make_instance(Py{std::move(value)});
    }
}

template <Saved Py>
PyMethodDef saved_reduce_method() {
    return method<Py, Access::Shared, "__reduce__", &reduce_saved<Py>>();
}

template <Saved Py>
void add_restorer() {
    add_restorer(Py::definition().name, &restore_saved<Py>);
}

}  // namespace varnix::py
