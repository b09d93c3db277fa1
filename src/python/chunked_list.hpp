// The list of n draws of a batch sampler, drawn and converted chunk by chunk: fill(count, buf)
// must leave in buf the next count draws of the same sequence (a sampler whose n draws are the
// same as its draws in any split into consecutive runs). Each chunk is turned into floats
// while it is still in cache, and no n-double array is made. If fill throws, the partial
// list is released and nothing is returned; it is cut to its filled items first, so that
// releasing it does not walk the empty rest (gigabytes of untouched slots for a huge n).
//
// Between chunks a pending signal (Ctrl-C) ends the call with its exception, so that a long
// batch that calls no Python code can be interrupted, and the batch's progress is shown when
// asked for.
#pragma once

#include "python/errors.hpp"
#include "python/handles.hpp"
#include "python/progress.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace varnix::py {

inline constexpr std::size_t list_chunk = 512;

// Between two chunks of a batch that has done `done` of `total` draws: a signal handler that
// raises (Ctrl-C: KeyboardInterrupt) ends the call; progress is shown when it is on.
inline void between_chunks(std::uint64_t done, std::uint64_t total) {
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
    if (progress_enabled) progress_batch(done, total);
}

template <class Fill>
PyObject* to_py_list_filled(std::uint64_t n, Fill&& fill) {
    // More than any list can hold: MemoryError, as for a list too large for the memory.
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::length_error("list too long");
    std::vector<double> buf;
    buf.reserve(n < list_chunk ? static_cast<std::size_t>(n) : list_chunk);
    PyRef list;
    Py_ssize_t filled = 0;
    try {
        for (std::uint64_t start = 0; start < n; start += list_chunk) {
            const std::size_t count =
                n - start < list_chunk ? static_cast<std::size_t>(n - start) : list_chunk;
            fill(count, buf);
            if (buf.size() != count) throw InternalFault("batch sampler returned a short chunk");
            // The list is made once the first draws have succeeded, so that a sampler whose
            // draws fail reports its own error whatever n is, not the list's MemoryError.
            // Evaluation order is frozen (docs/architecture.md).
            if (!list) list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
            for (std::size_t i = 0; i < count; ++i) {
                PyObject* item = check(PyFloat_FromDouble(buf[i]));
                PyList_SetItem(list.get(), filled++, item);  // steals
            }
            between_chunks(start + count, n);
        }
    } catch (...) {
        if (list) Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.get()), filled);
        throw;
    }
    return list ? list.release() : check(PyList_New(0));
}

}  // namespace varnix::py
