#include "python/results.hpp"

#include <cstring>

#include "core/multivar/points.hpp"
#include "python/bridge.hpp"
#include "python/errors.hpp"

namespace varnix::py {

PyObject* to_py(double x) { return check(PyFloat_FromDouble(x)); }
PyObject* to_py_bool(bool b) { return check(PyBool_FromLong(b ? 1 : 0)); }
PyObject* to_py_size(std::uint64_t n) { return check(PyLong_FromUnsignedLongLong(n)); }
PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

namespace {

// Lists of points of three or more coordinates are built hidden from the cyclic garbage
// collector. Until the call returns nothing but the call itself refers to them, and rows of
// floats hold no cycle, so the collector has nothing to find in them; yet every few hundred
// new lists it runs, and it would walk the rows made so far again and again. They are tracked
// again, all at once, when the list is complete, so that the list returned is like any other.
// That last pass over the rows costs more than the collector's walks spare for rows of one or
// two floats (measured), which are left tracked.
constexpr std::size_t hidden_from_coordinates = 3;

bool hidden(std::size_t d) { return d >= hidden_from_coordinates; }

// A new list of n empty slots, hidden when its rows (or it, as a row) have d coordinates.
PyObject* new_list(std::size_t n, std::size_t d) {
    PyObject* list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    if (hidden(d)) PyObject_GC_UnTrack(list);
    return list;
}

// Tracks the first `rows` rows of a list of lists made by new_list, then the list.
void show_rows(PyObject* list, std::size_t rows, std::size_t d) {
    if (!hidden(d)) return;
    for (std::size_t i = 0; i < rows; ++i) {
        PyObject* row = PyList_GetItem(list, static_cast<Py_ssize_t>(i));  // borrowed
        if (!PyObject_GC_IsTracked(row)) PyObject_GC_Track(row);
    }
    if (!PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
}

}  // namespace

PyObject* to_py_list(const double* values, std::size_t n) {
    PyRef list = PyRef::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = check(PyFloat_FromDouble(values[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// Millions of points take seconds: a pending signal (Ctrl-C) is looked at every few thousand,
// and ends the call with its exception. The list is then cut to its filled items before it is
// released, so that releasing it does not walk the empty rest.
PyObject* to_py_points(const double* flat, std::size_t n, std::size_t d) {
    PyRef list = PyRef::steal(new_list(n, d));
    std::size_t i = 0;
    try {
        for (; i < n; ++i) {
            if (i % 4096 == 4095 && PyErr_CheckSignals() < 0) throw PyErrorSet{};
            PyRef row = PyRef::steal(new_list(d, d));
            for (std::size_t j = 0; j < d; ++j) {
                PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j),
                               check(PyFloat_FromDouble(flat[i * d + j])));  // steals
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row.release());  // steals
        }
    } catch (...) {
        Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.get()), static_cast<Py_ssize_t>(i));
        throw;
    }
    show_rows(list.get(), n, d);
    return list.release();
}

PointRows::PointRows(std::size_t n, std::size_t d, const ArgumentKeeper* keeper, bool share)
    : n_(n),
      d_(d),
      keeper_(keeper),
      share_(share),
      previous_values_(new double[d]) {}

void PointRows::reserve(std::size_t) {
    (void)flat_size(n_, d_);  // too many coordinates to count: the vector's length error
    if (!list_) list_ = PyRef::steal(new_list(n_, d_));
}

void PointRows::add(std::span<const double> point) {
    if (filled_ == n_ || point.size() != d_) {
        throw InternalFault("point list: more points, or longer ones, than announced");
    }
    if (!list_) reserve(0);
    PyObject* row = new_list(d_, d_);
    if (previous_ != nullptr && d_ != 0 &&
        std::memcmp(previous_values_.get(), point.data(), d_ * sizeof(double)) == 0) {
        // The point before, again (a chain that stayed): its floats, all of them.
        for (std::size_t j = 0; j < d_; ++j) {
            PyObject* item = PyList_GetItem(previous_, static_cast<Py_ssize_t>(j));  // borrowed
            Py_INCREF(item);
            PyList_SetItem(row, static_cast<Py_ssize_t>(j), item);  // steals item
        }
        PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(filled_), row);  // steals row
        ++filled_;
        previous_ = row;
        return;
    }
    PyObject* const* proposed = keeper_ != nullptr ? keeper_->find(point) : nullptr;
    for (std::size_t j = 0; j < d_; ++j) {
        PyObject* item;
        if (previous_ != nullptr &&
            std::memcmp(&previous_values_[j], &point[j], sizeof(double)) == 0) {
            item = PyList_GetItem(previous_, static_cast<Py_ssize_t>(j));  // borrowed
            Py_INCREF(item);
        } else if (proposed != nullptr) {
            item = proposed[j];
            Py_INCREF(item);
        } else {
            item = PyFloat_FromDouble(point[j]);
            if (item == nullptr) {
                Py_DECREF(row);
                throw PyErrorSet{};
            }
        }
        PyList_SetItem(row, static_cast<Py_ssize_t>(j), item);  // steals item
    }
    PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(filled_), row);  // steals row
    ++filled_;
    previous_ = row;
    if (d_ != 0) std::memcpy(previous_values_.get(), point.data(), d_ * sizeof(double));
}

// New floats for every coordinate, as to_py_points makes them.
void PointRows::add_fresh(std::span<const double> point) {
    if (filled_ == n_ || point.size() != d_) {
        throw InternalFault("point list: more points, or longer ones, than announced");
    }
    if (!list_) reserve(0);
    PyRef row = PyRef::steal(new_list(d_, d_));
    for (std::size_t j = 0; j < d_; ++j) {
        PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j),
                       check(PyFloat_FromDouble(point[j])));  // steals
    }
    PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(filled_), row.release());  // steals
    ++filled_;
}

// A list left unfinished (the sampler failed, or f raised) is cut to its filled rows before it
// is released, so that releasing it does not walk the empty rest.
PointRows::~PointRows() {
    if (list_ && filled_ != n_) {
        Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list_.get()),
                    static_cast<Py_ssize_t>(filled_));
    }
}

PyObject* PointRows::release() {
    if (!list_) reserve(0);
    if (filled_ != n_) throw InternalFault("point list: fewer points than announced");
    show_rows(list_.get(), n_, d_);
    return list_.release();
}

}  // namespace varnix::py
