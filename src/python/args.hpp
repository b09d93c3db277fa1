// Argument binding and conversion, shared by every function and method of the module.
//
// A declaration is one text signature, exactly as exposed to Python ("sample_n($self, n,
// seed=None)"); parameter names, which are required and the display name used in binding
// errors are read from it once. Binding follows Python's rules for positional-or-keyword
// parameters; each conversion names its parameter in a TypeError ("argument 'n': ...").
#pragma once

#include "python/errors.hpp"
#include "python/handles.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnix::py {

struct Signature {
    std::string display;              // "from_pdf()" or "ContinuousDistribution.sample_n()"
    std::string doc;                  // the text signature followed by "\n--\n\n"
    std::vector<std::string> names;   // parameters, without $self
    std::size_t required = 0;         // parameters without a default come first
    std::vector<bool> default_is_none;
};

// Parses "name(a, b=None, $self ...)" into a Signature. owner is the class name or null.
Signature parse_signature(const char* owner, const char* text);

// A declaration names the owner class (or null for a module function) and the text signature.
struct Decl {
    const char* owner;
    const char* text;
    const Signature& signature() const;  // parsed on first use, kept for the process lifetime
    const char* doc() const { return signature().doc.c_str(); }
};

inline constexpr std::size_t max_params = 8;

// The bound arguments of one call: one borrowed object (or null when omitted) per parameter.
class Args {
public:
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    PyObject* object(std::size_t i) const { return slots_[i]; }
    // Whether parameter i has a value to convert: omitted never has; an explicit None has
    // one only when the parameter's default is not None (use_newton=None is an error).
    bool given(std::size_t i) const {
        if (slots_[i] == nullptr) return false;
        return slots_[i] != Py_None || !sig_.default_is_none[i];
    }

    double f64(std::size_t i) const;
    std::optional<double> opt_f64(std::size_t i) const;
    std::uint64_t size(std::size_t i) const;
    std::optional<std::uint64_t> opt_size(std::size_t i) const;
    std::optional<std::uint64_t> seed(std::size_t i) const { return opt_size(i); }
    bool boolean(std::size_t i, bool default_value) const;
    std::optional<std::string> opt_text(std::size_t i) const;
    std::string text(std::size_t i) const;
    std::vector<double> float_vec(std::size_t i) const;
    std::vector<std::vector<double>> float_vec_vec(std::size_t i) const;
    std::vector<PyRef> object_vec(std::size_t i) const;
    // A sequence-object parameter: the type is checked with the other parameters, the items
    // are converted afterwards, their errors raised as Python's own (without a prefix).
    void check_sequence(std::size_t i) const;
    std::vector<double> sequence_items(std::size_t i) const;
    std::vector<double> sequence(std::size_t i) const {
        check_sequence(i);
        return sequence_items(i);
    }

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
    const Signature& sig_;
    PyObject* slots_[max_params] = {};
};

// Conversions of single objects, used by Args and by the class layer.
double to_f64(PyObject* o);
std::uint64_t to_u64(PyObject* o);
// The downcast text: "'T' object cannot be converted to 'Target'".
[[noreturn]] void raise_downcast(PyObject* o, const char* target);

// Result conversions: new references.
PyObject* to_py(double x);
PyObject* to_py_bool(bool b);
PyObject* to_py_size(std::uint64_t n);
PyObject* to_py_list(const double* values, std::size_t n);
PyObject* to_py_points(const double* flat, std::size_t n, std::size_t d);
PyObject* none();

// The list of n draws of a batch sampler, drawn and converted chunk by chunk: fill(count, buf)
// must leave in buf the next count draws of the same sequence (a sampler whose n draws are the
// same as its draws in any split into consecutive runs). Each chunk is turned into floats
// while it is still in cache, and no n-double array is made. If fill throws, the partial
// list is released and nothing is returned.
inline constexpr std::size_t list_chunk = 512;

template <class Fill>
PyObject* to_py_list_filled(std::uint64_t n, Fill&& fill) {
    // More than any list can hold: MemoryError, as for a list too large for the memory.
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::length_error("list too long");
    std::vector<double> buf;
    buf.reserve(n < list_chunk ? static_cast<std::size_t>(n) : list_chunk);
    PyRef list;
    for (std::uint64_t start = 0; start < n; start += list_chunk) {
        const std::size_t count =
            n - start < list_chunk ? static_cast<std::size_t>(n - start) : list_chunk;
        fill(count, buf);
        if (buf.size() != count) throw InternalFault("batch sampler returned a short chunk");
        // The list is made once the first draws have succeeded, so that a sampler whose draws
        // fail reports its own error whatever n is, not the list's MemoryError.
        if (!list) list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* item = check(PyFloat_FromDouble(buf[i]));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(start + i), item);  // steals
        }
    }
    return list ? list.release() : check(PyList_New(0));
}

}  // namespace varnix::py
