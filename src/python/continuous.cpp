// Python classes and functions of univariate continuous distributions: Interval,
// BuildOptions, ContinuousDistribution and its constructors.
#include "core/continuous/options.hpp"
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

using continuous::BuildOptions;
using continuous::Interval;
using continuous::TdrOptions;

// ---- Interval ----

struct PyInterval {
    Interval value;
    static const ClassDef& definition();
};

constexpr Decl kIntervalNew{"Interval", "(lo, hi)"};

PyInterval interval_new(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    return PyInterval{unwrap(Interval::make(lo, hi))};
}

PyObject* interval_lo(PyObject* self, void*) {
    return guarded([&] { return to_py(instance_of<PyInterval>(self).value().value.lo); });
}

PyObject* interval_hi(PyObject* self, void*) {
    return guarded([&] { return to_py(instance_of<PyInterval>(self).value().value.hi); });
}

PyObject* interval_repr(PyObject* self) {
    return guarded([&] {
        const Interval& v = instance_of<PyInterval>(self).value().value;
        const std::string text =
            "Interval(" + render_number(v.lo) + ", " + render_number(v.hi) + ")";
        return check(PyUnicode_FromStringAndSize(text.data(),
                                                 static_cast<Py_ssize_t>(text.size())));
    });
}

PyGetSetDef interval_getset[] = {
    {"lo", &interval_lo, nullptr, nullptr, nullptr},
    {"hi", &interval_hi, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassDef& PyInterval::definition() {
    static const ClassDef def{"Interval", false, &kIntervalNew,
                              &constructor<PyInterval, kIntervalNew, &interval_new>, nullptr,
                              interval_getset, &interval_repr};
    return def;
}

// ---- BuildOptions ----

struct PyBuildOptions {
    BuildOptions value;
    static const ClassDef& definition();
};

[[noreturn]] void raise_unknown_transform(const std::string& folded) {
    raise(PyExc_ValueError,
          "unknown TDR transform '" + folded + "', expected 'log' or 'inv_sqrt'");
}

TdrOptions tdr_options(const std::string& name, std::optional<std::uint64_t> points,
                       std::optional<double> rel_step) {
    const std::string folded = continuous::fold_transform_name(name);
    const auto transform = continuous::parse_tdr_transform(folded);
    if (!transform) raise_unknown_transform(folded);
    TdrOptions tdr;
    tdr.transform = *transform;
    if (points) tdr.construction_points = *points;
    if (rel_step) tdr.dpdf_rel_step = *rel_step;
    return tdr;
}

constexpr Decl kBuildOptionsNew{
    "BuildOptions",
    "(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, use_newton=True, "
    "hermite_grid_size=None, tdr_transform=None, tdr_construction_points=None, "
    "tdr_dpdf_rel_step=None)"};

PyBuildOptions build_options_new(const Args& a) {
    BuildOptions o;
    if (auto v = a.opt_f64(0)) o.quad_tolerance = *v;
    if (auto v = a.opt_f64(1)) o.ppf_tolerance = *v;
    if (auto v = a.opt_size(2)) o.max_iterations = *v;
    o.use_newton = a.boolean(3, true);
    const auto grid = a.opt_size(4);
    const auto transform = a.opt_text(5);
    const auto points = a.opt_size(6);
    const auto rel_step = a.opt_f64(7);
    if (grid) {
        o.hermite_grid_size = grid;  // a Hermite table wins; the TDR keywords are ignored
    } else if (transform) {
        o.tdr = tdr_options(*transform, points, rel_step);
    }
    return PyBuildOptions{o};
}

constexpr Decl kTdr{"BuildOptions", "tdr(transform, construction_points=None)"};
PyObject* build_options_tdr(const Args& a) {
    const std::string name = a.text(0);
    const auto points = a.opt_size(1);
    BuildOptions o;
    o.tdr = tdr_options(name, points, std::nullopt);
    return make_instance(PyBuildOptions{o});
}

constexpr Decl kHermite{"BuildOptions", "hermite(grid_size)"};
PyObject* build_options_hermite(const Args& a) {
    BuildOptions o;
    o.hermite_grid_size = a.size(0);
    return make_instance(PyBuildOptions{o});
}

PyMethodDef build_options_methods[] = {
    static_method<kTdr, &build_options_tdr>("tdr"),
    static_method<kHermite, &build_options_hermite>("hermite"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyBuildOptions::definition() {
    static const ClassDef def{"BuildOptions", false, &kBuildOptionsNew,
                              &constructor<PyBuildOptions, kBuildOptionsNew, &build_options_new>,
                              build_options_methods};
    return def;
}

}  // namespace

void register_continuous(PyObject* module) {
    register_class<PyInterval>(module);
    register_class<PyBuildOptions>(module);
}

}  // namespace varnix::py
