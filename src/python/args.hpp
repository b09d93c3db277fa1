// Argument binding and conversion, shared by every function and method of the module.
//
// Binding follows Python's rules for positional-or-keyword parameters against a Signature
// (declaration.hpp); each conversion names its parameter in a TypeError ("argument 'n':
// ..."), and returns the parameter's declared default when the argument is not given.
#pragma once

#include "python/declaration.hpp"
#include "python/errors.hpp"
#include "python/handles.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnix::py {

// The bound arguments of one call: one borrowed object (or null when omitted) per parameter.
class Args {
public:
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    PyObject* object(std::size_t i) const { return slots_[i]; }
    // Whether parameter i has a value to convert: omitted never has; an explicit None has
    // one only when the parameter's default is not None (use_newton=None is an error).
    bool given(std::size_t i) const {
        if (slots_[i] == nullptr) return false;
        return slots_[i] != Py_None || !sig_.default_is_none(i);
    }

    // Each conversion returns the declared default of a parameter not given; the opt_ forms
    // return nullopt for a None default. Converting a parameter whose declared default is of
    // another type is an internal fault.
    double f64(std::size_t i) const;
    std::optional<double> opt_f64(std::size_t i) const;
    // A non-negative integer that counts or indexes: sizes, dimensions, numbers of steps.
    std::uint64_t count(std::size_t i) const;
    std::optional<std::uint64_t> opt_count(std::size_t i) const;
    // A generator seed: any 64-bit value; None (not given) selects the thread's generator.
    std::optional<std::uint64_t> seed(std::size_t i) const;
    bool boolean(std::size_t i) const;
    std::string text(std::size_t i) const;
    std::optional<std::string> opt_text(std::size_t i) const;
    std::vector<double> float_vec(std::size_t i) const;
    std::vector<std::vector<double>> float_vec_vec(std::size_t i) const;
    std::vector<PyRef> object_vec(std::size_t i) const;
    // A sequence-object parameter: the type is checked with the other parameters, the items
    // are converted afterwards, their errors raised as Python's own (without a prefix).
    void check_sequence(std::size_t i) const;
    std::vector<double> sequence_items(std::size_t i) const;

    // Runs convert(obj); a TypeError it raises is re-raised with the parameter's name.
    template <class F>
    auto convert(std::size_t i, F&& convert_fn) const -> decltype(convert_fn(nullptr)) {
        try {
            return convert_fn(slots_[i]);
        } catch (const PyErrorSet&) {
            prefix_type_error(i);
        }
    }

    [[noreturn]] void prefix_type_error(std::size_t i) const;
    const Signature& signature() const { return sig_; }

private:
    // The declared default of parameter i, which must be of the given kind.
    const Default& fallback(std::size_t i, Default::Kind kind) const;

    const Signature& sig_;
    PyObject* slots_[max_params] = {};
};

// Conversions of single objects, used by Args and by the class layer.
double to_f64(PyObject* o);
// The downcast text: "'T' object cannot be converted to 'Target'".
[[noreturn]] void raise_downcast(PyObject* o, const char* target);

}  // namespace varnix::py
