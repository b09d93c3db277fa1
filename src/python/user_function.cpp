#include "python/user_function.hpp"

#include "python/vectorized.hpp"

namespace varnix::py {

UserFunction UserFunction::of(PyObject* o, NativeArity arity) {
    UserFunction f;
    f.object_ = PyRef::borrow(o);
    if (o == nullptr) return f;
    if (vectorized_function_of(o) != nullptr) {
        f.vectorized_ = true;
        return f;
    }
    f.native_ = NativeFunction::from(o, arity);
    return f;
}

PyObject* UserFunction::python_callable() const {
    if (vectorized_ && object_) return vectorized_function_of(object_.get());
    return object_.get();
}

int UserFunction::traverse(visitproc visit, void* arg) const {
    Py_VISIT(object_.get());
    if (native_) Py_VISIT(native_->owner());  // a second reference, to the object or its part
    return 0;
}

void UserFunction::clear() {
    // A compiled function's owner is the object itself (or held by it), so dropping the object
    // drops the function too; a cleared value then calls nothing (the bridge gives NaN).
    native_.reset();
    vectorized_ = false;
    object_ = PyRef();
}

}  // namespace varnix::py
