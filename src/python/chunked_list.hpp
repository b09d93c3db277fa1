// The list of n draws of a univariate sample_n, built round by round as the fill driver draws
// them (python/fills.hpp): each round's draws are turned into floats while they are still in
// cache, and no n-double array is made. The list is made once the first round has succeeded,
// so that a sampler whose draws fail reports its own error whatever n is, not the list's
// MemoryError (evaluation order is frozen: docs/architecture.md). A list left unfinished (a
// draw failed, or the call was interrupted) is cut to its filled items before it is released,
// so that releasing it does not walk the empty rest (gigabytes of untouched slots for a huge n).
#pragma once

#include "python/errors.hpp"
#include "python/handles.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace varnix::py {

// Draws of a batch that calls Python, or is made into a list, between two looks for a pending
// signal and two progress lines.
inline constexpr std::size_t list_chunk = 512;

class DrawList {
public:
    explicit DrawList(std::uint64_t n) : n_(n) {
        // More than any list can hold: MemoryError, as for a list too large for the memory.
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::length_error("list too long");
    }
    ~DrawList() {
        if (list_ && static_cast<std::uint64_t>(filled_) != n_) {
            Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list_.get()), filled_);
        }
    }
    DrawList(const DrawList&) = delete;
    DrawList& operator=(const DrawList&) = delete;

    // The next draws, in order.
    void add(std::span<const double> draws) {
        if (!list_) list_ = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n_))));
        for (const double x : draws) {
            PyObject* item = check(PyFloat_FromDouble(x));
            PyList_SetItem(list_.get(), filled_++, item);  // steals
        }
    }

    // The list (a new reference), once all n draws were added.
    PyObject* release() {
        if (static_cast<std::uint64_t>(filled_) != n_) {
            throw InternalFault("draw list: fewer draws than announced");
        }
        return list_ ? list_.release() : check(PyList_New(0));
    }

private:
    std::uint64_t n_;
    PyRef list_;
    Py_ssize_t filled_ = 0;
};

}  // namespace varnix::py
