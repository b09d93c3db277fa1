// What the multivariate samplers' Python classes share (python/multivar.cpp for the box
// samplers, python/chains.cpp for the two chains): the HyperRect class, the support argument,
// and the batch methods made from a sampler bound to its user functions.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/multivar/box.hpp"
#include "python/bridge.hpp"
#include "python/classes.hpp"
#include "python/fills.hpp"

namespace varnix::py {

struct PyHyperRect {
    HyperRect value;
    static const ClassDef& definition();
};

// The support argument of every box sampler: a HyperRect, copied.
HyperRect support_arg(const Args& a, std::size_t i);

// The Metropolis-Hastings and HMC classes and their functions (python/chains.cpp), registered
// in the module's order: classes with the classes, functions with the functions.
void register_chain_classes(PyObject* module);
void register_chain_functions(PyObject* module);

inline PyObject* list_of(std::span<const double> values) {
    return to_py_list(values.data(), values.size());
}

// Why each sampler refuses start != 0 (the text after "start=k is refused: ").
inline constexpr char kRejectionVariable[] =
    "rejection takes a variable number of words per point (proposals are drawn until one is "
    "accepted), so point k cannot be found without drawing the points before it";
inline constexpr char kChainVariable[] =
    "a chain's points follow from the points before them, and its transitions take a variable "
    "number of words, so it cannot start at point k of a stream";
inline constexpr char kConditionalVariable[] =
    "its points come from the user function, not from the module's generator";

template <class Py>
constexpr bool is_chain = requires(Py& p) { p.value.initialized(); };

// Runs body(bound) with the sampler bound to the user functions of one call. A chain's are
// made by chain_functions(self, f) (python/chains.cpp, found by argument-dependent lookup):
// besides f they may be a log density and a gradient, which the bound refers to.
template <class Py, class Body>
decltype(auto) with_bound(Py& self, const VectorFn& f, Body&& body) {
    if constexpr (is_chain<Py>) {
        const auto functions = chain_functions(self, f);
        auto bound = functions.bind(self.value);
        return body(bound);
    } else {
        auto bound = self.value.with(f, batch_of(f));
        return body(bound);
    }
}

// A box sampler bound to its density, as the batch methods see it (python/fills.hpp). A
// chain's bound is one batch: its burn-in runs before the first point it draws.
// A compiled density counts as no user code: its draws run without the interpreter lock.
template <class Bound>
auto box_engine(Bound& bound, std::size_t d, const char* why, const UserFunction& f) {
    const bool calls_python = bound.draws_call_user_function() && f.needs_interpreter();
    return BatchEngine{EngineTraits{bound.words_per_draw(), calls_python, true,
                                    f.vectorized()},
                       why, d, [&bound](std::span<double> part, std::size_t, ChaChaRng& rng) {
                           return bound.fill(part, rng);
                       }};
}

// sample_n of the samplers that draw points in a box through a density: n points from one
// generator (seeded, or the thread's), returned as a list of lists.
//
// The points of rejection, all different, get new floats, made while the rows are in cache:
// that costs less than keeping those of the density calls (measured at 2, 3 and 10
// coordinates). A chain repeats its point whenever a proposal is refused: from three
// coordinates on its rows go straight to the list as the points are drawn (the chain's row
// sink), a repeated point sharing the floats of the point before it and an accepted proposal
// those of its density call (measured: 10% faster at 10 coordinates, the same at 3; at 2, the
// floats cost less to make afresh).
template <class Py>
PyObject* box_sample_n(Py& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const auto seed = a.seed(1);
    const std::size_t d = self.value.dim();
    if constexpr (!is_chain<Py>) {
        const VectorFn f = vector_fn(self.f);
        auto bound = self.value.with(f, batch_of(f));
        auto engine = box_engine(bound, d, kRejectionVariable, self.f);
        PointRows rows(n, d, nullptr, false);
        return points_list(engine, n, seed, rows);
    } else if (d <= 2) {
        const VectorFn f = vector_fn(self.f);
        return with_bound(self, f, [&](auto& bound) {
            PointRows rows(n, d, nullptr, false);
            return chain_points_list(bound, n, seed, rows);
        });
    } else {
        ArgumentKeeper keeper(d);
        PointRows rows(n, d, &keeper);
        VectorFn f = vector_fn(self.f);
        f.keeper = &keeper;
        return with_bound(self, f, [&](auto& bound) {
            return chain_points_list(bound, n, seed, rows);
        });
    }
}

// ---- Arrays: sample_into and sample_array of the box samplers ----

template <class Py, const char* Why>
PyObject* box_sample_into(Py& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    const std::size_t n = points_in(out, self.value.dim());
    const FillOptions o = fill_options(a, 1, false);
    const VectorFn f = vector_fn(self.f);  // named: the bound refers to it
    with_bound(self, f, [&](auto& bound) {
        auto engine = box_engine(bound, self.value.dim(), Why, self.f);
        fill_rows_into(engine, out.flat(), n, o);
    });
    return returned(out);
}

template <class Py, const char* Why>
PyObject* box_sample_array(Py& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const FillOptions o = fill_options(a, 1, false);
    const VectorFn f = vector_fn(self.f);  // named: the bound refers to it
    return with_bound(self, f, [&](auto& bound) {
        auto engine = box_engine(bound, self.value.dim(), Why, self.f);
        return new_array_of(engine, n, true, o, [&] {
            // An uninitialised chain is refused before room for n points is made, as sample_n
            // does.
            if constexpr (is_chain<Py>) {
                if (!self.value.initialized() && n > 0) {
                    raise_error(SampleError::of(SampleErrorKind::McmcNotInitialized));
                }
            }
        });
    });
}

}  // namespace varnix::py
