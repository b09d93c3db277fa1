// A user function as the binding holds it beside a distribution or sampler, whatever its kind:
//   - a Python callable, called through the bridge (bridge.hpp);
//   - a compiled function (native.hpp), called directly: no interpreter, no lock, any thread;
//   - a function over arrays (vectorized.hpp), called through the bridge with one point at a
//     time where the algorithm has one, and with many where it has many.
// The object given is kept as given: it is what pickling saves and what keeps a compiled
// function's code alive.
#pragma once

#include <optional>

#include "python/handles.hpp"
#include "python/native.hpp"

namespace varnix::py {

class UserFunction {
public:
    UserFunction() = default;
    // The function o is, for a role that passes arity. A compiled function whose signature
    // fits no form of that role is a TypeError (native.hpp); any other object is taken as a
    // Python callable, as the bridge calls it (a failing call counts as NaN).
    static UserFunction of(PyObject* o, NativeArity arity);

    // The object as given; null when there is none (a histogram) or the collector cleared it.
    PyObject* get() const { return object_.get(); }
    explicit operator bool() const { return static_cast<bool>(object_); }
    // What the bridge calls: the object, or the function a vectorized marker wraps.
    PyObject* python_callable() const;
    // The compiled function, or null for the other kinds.
    const NativeFunction* native() const { return native_ ? &*native_ : nullptr; }
    bool vectorized() const { return vectorized_; }
    // Whether calling it needs the interpreter (and so the lock, and one thread at a time).
    bool needs_interpreter() const { return !native_; }

    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    PyRef object_;
    std::optional<NativeFunction> native_;
    bool vectorized_ = false;
};

}  // namespace varnix::py
