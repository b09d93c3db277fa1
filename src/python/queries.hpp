// Queries over the elements of a float64 buffer: the scalar query applied in C order, into a
// new array of the argument's shape (see new_result_like for its type).
#pragma once

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "core/fill.hpp"
#include "python/buffers.hpp"
#include "python/errors.hpp"
#include "python/fills.hpp"

namespace varnix::py {

// Array-valued queries run without the interpreter lock when they call no user function and
// have this many elements or more.
inline constexpr std::size_t lock_free_query_min = 4096;

// each(in, out) -> FillResult writes the result for every element of in into out, in order;
// the first failing element raises its error and the new array is dropped. With unlock the
// elements are computed without the interpreter lock (each must then call no Python).
template <class Each>
PyObject* query_over(const Float64View& x, bool unlock, Each&& each) {
    std::vector<double> scratch;
    const std::span<const double> in = x.elements(scratch);
    PyRef result = new_result_like(x.object(), x.shape());
    {
        const Float64View out = Float64View::writable(result.get(), "result");
        FillResult r;
        if (unlock) {
            WithoutLock unlocked;
            r = each(in, out.flat());
        } else {
            r = each(in, out.flat());
        }
        if (!r) raise_stop(r.error());
    }
    return result.release();
}

// logpdf's element where the scalar form has no float to return: -inf for a density of 0 (its
// logarithm), NaN for a negative or NaN one; ln p otherwise, as the scalar form computes it.
inline double log_of_density(double p) {
    if (p > 0.0) return std::log(p);
    return p == 0.0 ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace varnix::py
