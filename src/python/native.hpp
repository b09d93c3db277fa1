// Compiled user functions: C function pointers the library calls directly, with no interpreter
// and no lock.
//
// Four kinds of object carry one, recognised by their shape (no module is imported to tell):
//   - a PyCapsule whose name is the function's signature, as "double (double)";
//   - a scipy.LowLevelCallable (a tuple whose first item is such a capsule; the user data is the
//     capsule's context);
//   - a ctypes function pointer, whose restype and argtypes give the signature, or an object
//     whose `ctypes` attribute is one (a numba cfunc);
//   - a cffi function pointer, whose C type gives the signature.
// The signatures follow scipy's conventions: one double, or n doubles behind a pointer, with an
// optional trailing `void *` that receives the user data of a capsule or LowLevelCallable (null
// for the other kinds). A signature that fits no form of the role the function is given for is a
// TypeError that lists the forms that role accepts.
//
// The function must be safe to call from several threads at once when a fill runs on several,
// must not write through its pointer argument, and is trusted not to crash: nothing can guard
// against a compiled function that does.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "python/handles.hpp"

namespace varnix::py {

// What the library passes to a user function in one role.
enum class NativeArity : unsigned char {
    Scalar,   // one double: densities, distribution functions, derivatives, quantile functions
    Points,   // n coordinates: the multivariate densities
    Indexed,  // a coordinate index and n coordinates: Gibbs and conditional samplers
    Gradient,  // n coordinates in, n gradient components out: HMC's grad
};

// The C forms, each without and with the trailing user-data pointer.
enum class NativeForm : unsigned char {
    Scalar,         // double (double)
    ScalarData,     // double (double, void *)
    Points,         // double (int, double *)
    PointsData,     // double (int, double *, void *)
    Indexed,        // double (int, int, double *)
    IndexedData,    // double (int, int, double *, void *)
    Gradient,       // double (int, double *, double *): writes the gradient at x
    GradientData,   // double (int, double *, double *, void *)
};

// A compiled function: its address, its form, the user data it is called with, and the object
// that owns it (kept alive as long as the function may be called).
class NativeFunction {
public:
    // The function o carries, if o is one of the kinds above; nullopt when o is none of them (a
    // plain callable, say). TypeError when o is one whose signature fits no form of arity (the
    // message names what is accepted and what was found) or whose address is null.
    static std::optional<NativeFunction> from(PyObject* o, NativeArity arity);

    double operator()(double x) const {
        return form_ == NativeForm::ScalarData
                   ? reinterpret_cast<double (*)(double, void*)>(address_)(x, data_)
                   : reinterpret_cast<double (*)(double)>(address_)(x);
    }
    double operator()(std::span<const double> x) const {
        const int n = static_cast<int>(x.size());
        auto* p = const_cast<double*>(x.data());
        return form_ == NativeForm::PointsData
                   ? reinterpret_cast<double (*)(int, double*, void*)>(address_)(n, p, data_)
                   : reinterpret_cast<double (*)(int, double*)>(address_)(n, p);
    }
    double operator()(std::size_t i, std::span<const double> x) const {
        const int n = static_cast<int>(x.size());
        auto* p = const_cast<double*>(x.data());
        return form_ == NativeForm::IndexedData
                   ? reinterpret_cast<double (*)(int, int, double*, void*)>(address_)(
                         static_cast<int>(i), n, p, data_)
                   : reinterpret_cast<double (*)(int, int, double*)>(address_)(
                         static_cast<int>(i), n, p);
    }

    // One of the given form (for the recognisers; from() is the way in).
    static NativeFunction made(void* address, void* data, NativeForm form, PyRef owner);

    // The gradient form: writes the n components at x into out; its return value is not used.
    void gradient(std::span<const double> x, std::span<double> out) const {
        const int n = static_cast<int>(x.size());
        auto* p = const_cast<double*>(x.data());
        if (form_ == NativeForm::GradientData) {
            reinterpret_cast<double (*)(int, double*, double*, void*)>(address_)(n, p, out.data(),
                                                                                data_);
        } else {
            reinterpret_cast<double (*)(int, double*, double*)>(address_)(n, p, out.data());
        }
    }

    NativeForm form() const { return form_; }
    PyObject* owner() const { return owner_.get(); }
    // Whether the object given is the bare address (a capsule, a LowLevelCallable, a ctypes or
    // cffi function pointer), which no pickler can carry to another process, rather than an
    // object that may know how to rebuild itself there (a numba cfunc).
    bool bare() const { return bare_; }
    void set_bare(bool bare) { bare_ = bare; }

private:
    NativeFunction(void* address, void* data, NativeForm form, PyRef owner)
        : address_(reinterpret_cast<void (*)()>(address)), data_(data), form_(form),
          owner_(std::move(owner)) {}

    void (*address_)();
    void* data_;
    NativeForm form_;
    PyRef owner_;
    bool bare_ = true;
};

// "double (double)" and "double (double, void *)", ...: the forms arity accepts, for messages.
std::string accepted_signatures(NativeArity arity);

}  // namespace varnix::py
