// Registration of each area's classes and functions, called in this order by the entry point.
#pragma once

#include "python/handles.hpp"

namespace varnix::py {

void register_continuous(PyObject* module);  // Interval .. truncated
void register_discrete(PyObject* module);    // DiscreteDistribution, from_pmf
void register_multivar(PyObject* module);    // HyperRect .. cdf_mc_estimator
void register_diagnostics(PyObject* module);  // diagnostics
void register_qmc(PyObject* module);          // sobol_points
void register_progress(PyObject* module);    // private: _set_progress, not in __all__

}  // namespace varnix::py
