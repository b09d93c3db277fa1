// Conversions of results to Python objects: new references, or PyErrorSet when the object
// cannot be made.
#pragma once

#include "python/handles.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace varnix::py {

PyObject* to_py(double x);
PyObject* to_py_bool(bool b);
PyObject* to_py_size(std::uint64_t n);
PyObject* to_py_list(const double* values, std::size_t n);
// n points of d coordinates, stored one after the other: a list of n lists.
PyObject* to_py_points(const double* flat, std::size_t n, std::size_t d);
PyObject* none();

class ArgumentKeeper;

// The points of a batch sampler as a list of n lists of d floats, built point by point while the
// sampler runs: a row sink of the fill driver (start, then put row after row). With `share`, a
// point's floats are, in this order of preference, those of the point before it when the
// coordinate is unchanged (a chain that stayed), those of the density call that proposed it
// (found in the keeper), or new ones; without, they are new ones.
class PointRows {
public:
    // n: the number of points the sampler will write; keeper may be null.
    PointRows(std::size_t n, std::size_t d, const ArgumentKeeper* keeper, bool share = true);
    ~PointRows();
    PointRows(const PointRows&) = delete;
    PointRows& operator=(const PointRows&) = delete;

    // The list is made by start, where the sampler would make room for its points (a chain
    // after its burn-in), so that errors keep their order; a sampler that writes no point
    // need not call it.
    void start() { reserve(0); }
    void put(std::span<const double> point) {
        if (share_) {
            add(point);
        } else {
            add_fresh(point);
        }
    }

    // The list (a new reference); only after all n points were written.
    PyObject* release();

private:
    void reserve(std::size_t flat);
    void add(std::span<const double> point);
    void add_fresh(std::span<const double> point);

    std::size_t n_;
    std::size_t d_;
    const ArgumentKeeper* keeper_;
    bool share_;
    PyRef list_;
    std::size_t filled_ = 0;
    PyObject* previous_ = nullptr;  // the last row written (borrowed from list_)
    std::unique_ptr<double[]> previous_values_;
};

}  // namespace varnix::py
