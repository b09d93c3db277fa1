// Python classes and functions of univariate continuous distributions: Interval,
// BuildOptions, ContinuousDistribution and its constructors.
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/continuous/distribution.hpp"
#include "core/continuous/options.hpp"
#include "core/random.hpp"
#include "python/bridge.hpp"
#include "python/classes.hpp"
#include "python/fills.hpp"
#include "python/pickling.hpp"
#include "python/queries.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

// ---- Interval and Support ----

// Two bounds, made by their own core factory (Interval: finite ends; Support: either end may be
// infinite), read, shown and pickled alike. Everything that takes an Interval takes a Support
// as well; a distribution's support() is an Interval when both ends are finite.
struct PyInterval {
    Interval value;
    static const ClassDef& definition();
};

struct PySupport {
    Interval value;
    static const ClassDef& definition();
};

template <class T>
PyObject* bounds_lo(PyObject* self, void*) {
    return guarded([&] { return to_py(instance_of<T>(self).value().value.lo()); });
}

template <class T>
PyObject* bounds_hi(PyObject* self, void*) {
    return guarded([&] { return to_py(instance_of<T>(self).value().value.hi()); });
}

template <class T>
PyObject* bounds_repr(PyObject* self) {
    return guarded([&] {
        const Interval& v = instance_of<T>(self).value().value;
        const std::string text = std::string(T::definition().name) + "(" +
                                 render_number(v.lo()) + ", " + render_number(v.hi()) + ")";
        return check(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// Pickled and copied by its fields, through the constructor.
template <class T>
PyObject* bounds_reduce(T& self) {
    PyRef lo = PyRef::steal(to_py(self.value.lo()));
    PyRef hi = PyRef::steal(to_py(self.value.hi()));
    return reduce_to_constructor(type_object<T>(), PyTuple_Pack(2, lo.get(), hi.get()));
}

template <class T>
PyMethodDef bounds_methods[] = {
    method<T, Access::Shared, "__reduce__", &bounds_reduce<T>>(),
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyGetSetDef bounds_getset[] = {
    {"lo", &bounds_lo<T>, nullptr, nullptr, nullptr},
    {"hi", &bounds_hi<T>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr Declaration kIntervalNew{"__new__", {"lo", "hi"}};

PyInterval interval_new(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    return PyInterval{unwrap(Interval::make(lo, hi))};
}

const ClassDef& PyInterval::definition() {
    static const ClassDef def{"Interval", false, &kIntervalNew,
                              &constructor<PyInterval, kIntervalNew, &interval_new>,
                              bounds_methods<PyInterval>, bounds_getset<PyInterval>,
                              &bounds_repr<PyInterval>};
    return def;
}

constexpr Declaration kSupportNew{"__new__", {"lo", "hi"}};

PySupport support_new(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    return PySupport{unwrap(Interval::support(lo, hi))};
}

const ClassDef& PySupport::definition() {
    static const ClassDef def{"Support", false, &kSupportNew,
                              &constructor<PySupport, kSupportNew, &support_new>,
                              bounds_methods<PySupport>, bounds_getset<PySupport>,
                              &bounds_repr<PySupport>};
    return def;
}

// ---- BuildOptions ----

struct PyBuildOptions {
    BuildOptions value;
    static const ClassDef& definition();
};

constexpr Declaration kBuildOptionsNew{
    "__new__",
    {{"quad_tolerance", None}, {"ppf_tolerance", None}, {"max_iterations", None},
     {"use_newton", BuildOptionArgs{}.use_newton}, {"hermite_grid_size", None},
     {"tdr_transform", None}, {"tdr_construction_points", None}, {"tdr_dpdf_rel_step", None}}};

PyBuildOptions build_options_new(const Args& a) {
    BuildOptionArgs args;
    args.quad_tolerance = a.opt_f64(0);
    args.ppf_tolerance = a.opt_f64(1);
    args.max_iterations = a.opt_count(2);
    args.use_newton = a.boolean(3);
    args.hermite_grid_size = a.opt_count(4);
    const std::optional<std::string> transform = a.opt_text(5);
    if (transform) args.tdr_transform = *transform;
    args.tdr_construction_points = a.opt_count(6);
    args.tdr_dpdf_rel_step = a.opt_f64(7);
    return PyBuildOptions{unwrap(BuildOptions::make(args))};
}

constexpr Declaration kTdr{"tdr", {"transform", {"construction_points", None}}};
PyObject* build_options_tdr(const Args& a) {
    const std::string name = a.text(0);
    const auto points = a.opt_count(1);
    return make_instance(PyBuildOptions{unwrap(BuildOptions::with_tdr_named(name, points))});
}

constexpr Declaration kHermite{"hermite", {"grid_size"}};
PyObject* build_options_hermite(const Args& a) {
    return make_instance(PyBuildOptions{BuildOptions::hermite(a.count(0))});
}

constexpr Declaration kInterpolated{
    "interpolated", {{"u_resolution", BuildOptions::default_u_resolution}, {"threads", 1}}};
PyObject* build_options_interpolated(const Args& a) {
    BuildOptions o = unwrap(BuildOptions::interpolated(a.f64(0)));
    // None: the available processors, as for a fill.
    if (a.given(1)) o.threads = a.object(1) == Py_None ? default_threads() : threads_arg(a, 1);
    return make_instance(PyBuildOptions{o});
}

// The options a build of the user's functions runs with: the interpolated engine's march on
// the threads asked for when no function needs the interpreter, on one otherwise.
BuildOptions for_build(BuildOptions o, bool needs_interpreter) {
    if (needs_interpreter) o.threads = 1;
    return o;
}

// Pickled and copied by its fields, through the constructor: every keyword written out (the
// TDR ones only with a transform, which a grid size excludes), so that the same options come
// back whatever defaults a later version has. The structured bindings name every field: one
// added to the options stops the build here until it is pickled too. (max_tries is not
// settable from Python: every options object has the default.)
PyObject* build_options_reduce(PyBuildOptions& self) {
    const auto& [quad_tolerance, ppf_tolerance, max_iterations, use_newton, hermite_grid_size,
                 tdr, u_resolution, threads] = self.value;
    if (u_resolution) {
        // Only BuildOptions.interpolated sets them, leaving every other field at its default.
        PyRef interpolated = PyRef::steal(check(PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(type_object<PyBuildOptions>()), "interpolated")));
        PyRef u = PyRef::steal(to_py(*u_resolution));
        PyRef t = PyRef::steal(to_py_size(threads.value_or(1)));
        PyRef args = PyRef::steal(check(PyTuple_Pack(2, u.get(), t.get())));
        return check(PyTuple_Pack(2, interpolated.get(), args.get()));
    }
    PyRef none_value = PyRef::steal(none());
    PyRef fields[8];
    fields[0] = PyRef::steal(to_py(quad_tolerance));
    fields[1] = PyRef::steal(to_py(ppf_tolerance));
    fields[2] = PyRef::steal(to_py_size(max_iterations));
    fields[3] = PyRef::steal(to_py_bool(use_newton));
    for (std::size_t i = 4; i < 8; ++i) fields[i] = none_value;
    if (hermite_grid_size) fields[4] = PyRef::steal(to_py_size(*hermite_grid_size));
    if (tdr) {
        [[maybe_unused]] const auto& [transform, construction_points, dpdf_rel_step, max_tries] =
            *tdr;
        const char* name = transform == TdrTransform::Log ? "log" : "inv_sqrt";
        fields[5] = PyRef::steal(check(PyUnicode_FromString(name)));
        fields[6] = PyRef::steal(to_py_size(construction_points));
        fields[7] = PyRef::steal(to_py(dpdf_rel_step));
    }
    PyRef args = PyRef::steal(check(PyTuple_New(8)));
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyTuple_SetItem(args.get(), i, fields[i].release());  // steals the item
    }
    return reduce_to_constructor(type_object<PyBuildOptions>(), args.release());
}

PyMethodDef build_options_methods[] = {
    static_method<PyBuildOptions, kTdr, &build_options_tdr>(),
    static_method<PyBuildOptions, kHermite, &build_options_hermite>(),
    static_method<PyBuildOptions, kInterpolated, &build_options_interpolated>(),
    method<PyBuildOptions, Access::Shared, "__reduce__", &build_options_reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyBuildOptions::definition() {
    static const ClassDef def{"BuildOptions", false, &kBuildOptionsNew,
                              &constructor<PyBuildOptions, kBuildOptionsNew, &build_options_new>,
                              build_options_methods};
    return def;
}

BuildOptions options_arg(const Args& a, std::size_t i) {
    return a.given(i) ? instance_arg<PyBuildOptions>(a, i).value : BuildOptions{};
}

// An Interval or a Support.
Interval interval_arg(const Args& a, std::size_t i) {
    if (PyObject_TypeCheck(a.object(i), type_object<PySupport>())) {
        return instance_arg<PySupport>(a, i).value;
    }
    return instance_arg<PyInterval>(a, i).value;
}

// ---- ContinuousDistribution ----

// The user's pdf or cdf is held beside the distribution; a histogram holds none.
struct PyContinuous : WithCallable<ContinuousDistribution, NativeArity::Scalar> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

using Bound = ContinuousDistribution::Bound;

// The callable held beside the distribution, as the core calls it: self.value.with(fn).cdf(x).
// A histogram holds none (nor does a value whose reference the garbage collector has cleared);
// NaN stands in, and a histogram never calls it.
ScalarFn held_fn(const PyContinuous& self) {
    return scalar_fn(self.f,
                     self.value.has_density() ? Role::Density : Role::DistributionFunction);
}

constexpr const char* kOwner = "ContinuousDistribution";

PyObject* optional_float(std::optional<double> v) { return v ? to_py(*v) : none(); }

PyObject* cd_support(PyContinuous& self) {
    const Interval support = self.value.support();
    if (!support.bounded()) return make_instance(PySupport{support});
    return make_instance(PyInterval{support});
}

// Whether a call of the distribution's queries may release the interpreter lock: its function
// is compiled (or it has none), so nothing in the query needs the interpreter.
bool releases_lock(const PyContinuous& self) { return !self.f.needs_interpreter(); }

PyObject* cd_sample(PyContinuous& self) {
    const ScalarFn fn = held_fn(self);
    return to_py(unwrap(released_if(releases_lock(self), [&] {
        return self.value.with(fn).sample(ChaChaRng::thread_local_rng());
    })));
}

PyObject* q_pdf(const Bound& d, double x) { return optional_float(d.pdf(x)); }
PyObject* q_logpdf(const Bound& d, double x) { return optional_float(d.logpdf(x)); }
PyObject* q_cdf(const Bound& d, double x) { return to_py(d.cdf(x)); }
PyObject* q_sf(const Bound& d, double x) { return to_py(d.sf(x)); }
PyObject* q_logcdf(const Bound& d, double x) { return to_py(d.logcdf(x)); }
PyObject* q_logsf(const Bound& d, double x) { return to_py(d.logsf(x)); }
PyObject* q_ppf(const Bound& d, double u) { return to_py(unwrap(d.ppf(u))); }
PyObject* q_isf(const Bound& d, double q) { return to_py(unwrap(d.isf(q))); }

constexpr Declaration kCdf{"cdf", {"x"}};
constexpr Declaration kPdf{"pdf", {"x"}};
constexpr Declaration kPpf{"ppf", {"u"}};
constexpr Declaration kSf{"sf", {"x"}};
constexpr Declaration kIsf{"isf", {"q"}};
constexpr Declaration kLogpdf{"logpdf", {"x"}};
constexpr Declaration kLogcdf{"logcdf", {"x"}};
constexpr Declaration kLogsf{"logsf", {"x"}};

// Summaries without arguments.
template <SampleResult<double> (Bound::*Summary)() const>
PyObject* cd_summary(PyContinuous& self) {
    const ScalarFn fn = held_fn(self);
    return to_py(unwrap(
        released_if(releases_lock(self), [&] { return (self.value.with(fn).*Summary)(); })));
}

constexpr Declaration kInterval{"interval", {"confidence"}};
PyObject* cd_interval(PyContinuous& self, const Args& a) {
    const double confidence = a.f64(0);
    const ScalarFn fn = held_fn(self);
    const auto [lower, upper] = unwrap(released_if(
        releases_lock(self), [&] { return self.value.with(fn).interval(confidence); }));
    PyRef first = PyRef::steal(to_py(lower));
    PyRef second = PyRef::steal(to_py(upper));
    return check(PyTuple_Pack(2, first.get(), second.get()));
}

constexpr Declaration kExpect{"expect", {"func"}};
PyObject* cd_expect(PyContinuous& self, const Args& a) {
    const UserFunction expected = UserFunction::of(a.object(0), NativeArity::Scalar);
    const ScalarFn func = scalar_fn(expected, Role::ExpectFunction);
    const ScalarFn fn = held_fn(self);
    return to_py(unwrap(released_if(releases_lock(self) && !expected.needs_interpreter(),
                                    [&] { return self.value.with(fn).expect(func); })));
}

PyObject* cd_uses_hermite_table(PyContinuous& self) {
    return to_py_bool(self.value.uses_hermite_table());
}
PyObject* cd_uses_tdr(PyContinuous& self) { return to_py_bool(self.value.uses_tdr()); }
PyObject* cd_uses_interpolation(PyContinuous& self) {
    return to_py_bool(self.value.uses_interpolation());
}
// The measured u-error of the quantiles (ContinuousDistribution::u_error), or None.
PyObject* cd_u_error(PyContinuous& self) { return optional_float(self.value.u_error()); }
// The window cut from a wide or unbounded support by the interpolated engine, or None.
PyObject* cd_cut(PyContinuous& self) {
    const InterpolatedInverse* q = self.value.interpolation();
    if (q == nullptr || !q->cut()) return none();
    PyRef first = PyRef::steal(to_py(q->first_edge()));
    PyRef second = PyRef::steal(to_py(q->last_edge()));
    return check(PyTuple_Pack(2, first.get(), second.get()));
}
// The size of the interpolated quantile function; None for the other engines.
PyObject* cd_interval_count(PyContinuous& self) {
    const InterpolatedInverse* q = self.value.interpolation();
    return q != nullptr ? to_py_size(q->intervals()) : none();
}


// ---- Arrays: fills into buffers, and queries over buffers ----

// The engine as the batch methods see it. Draws that call no Python are bound to no function
// at all: nothing in them can reach the interpreter while the lock is released.
template <class Then>
PyObject* with_engine(PyContinuous& self, Then&& then) {
    const ContinuousDistribution& d = self.value;
    // A compiled function counts as no user code here: draws that call it may run without
    // the lock and, with a fixed number of words per draw, on several threads.
    const bool calls_function = d.draws_call_user_function();
    const EngineTraits traits{d.words_per_draw(), calls_function && self.f.needs_interpreter(),
                              calls_function};
    const ScalarFn fn = held_fn(self);
    const Bound bound = calls_function ? d.with(fn) : d.without_function();
    BatchEngine engine{traits,
                       "transformed density rejection takes a variable number of words per "
                       "draw, so draw k cannot be found without making the draws before it",
                       1, [&bound](std::span<double> part, std::size_t, ChaChaRng& rng) {
                           return bound.fill(part, rng);
                       }};
    return then(engine);
}

// Each draw (table, TDR or inversion) depends only on the generator's position, so n draws
// equal any split into rounds.
PyObject* cd_sample_n(PyContinuous& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const auto seed = a.seed(1);
    return with_engine(self, [&](auto& engine) { return draws_list(engine, n, seed); });
}

PyObject* cd_sample_into(PyContinuous& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    require_draws_shape(out);
    const FillOptions o = fill_options(a, 1, true);
    return with_engine(self, [&](auto& engine) {
        fill_rows_into(engine, out.flat(), out.flat().size(), o);
        return returned(out);
    });
}

PyObject* cd_sample_array(PyContinuous& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const FillOptions o = fill_options(a, 1, true);
    return with_engine(self, [&](auto& engine) {
        return new_array_of(engine, n, false, o, [] {});
    });
}

// Quasi-random draws: the quantiles of Sobol points (their first coordinate), through ppf, so
// that each draw is what ppf gives for its point. TDR draws by rejection and has no quantile
// function of its own.
PyObject* cd_sample_qmc(PyContinuous& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const QmcOptions o = qmc_options(a, 1, true);
    const ContinuousDistribution& d = self.value;
    if (d.uses_tdr()) {
        raise(PyExc_ValueError,
              "sample_qmc needs a quantile function, and transformed density rejection has "
              "none (it draws by rejection): build with BuildOptions.interpolated()");
    }
    // A compiled function counts as no user code: its draws run without the lock, on threads.
    const bool calls_function = d.draws_call_user_function();
    const ScalarFn fn = held_fn(self);
    const Bound bound = calls_function ? d.with(fn) : d.without_function();
    QmcEngine engine{calls_function && self.f.needs_interpreter(), 1,
                     [&bound](std::span<double> part) { return bound.ppf_many(part, part); }};
    return qmc_array_of(engine, n, false, o);
}

// Whether the query calls the user function (the core says).
template <PyObject* (*Query)(const Bound&, double)>
bool query_calls_user(const ContinuousDistribution& d) {
    constexpr bool quantile = Query == &q_ppf || Query == &q_isf;
    constexpr bool density = Query == &q_pdf || Query == &q_logpdf;
    using Kind = ::varnix::Query;  // the template parameter Query is the query function
    return d.calls_user(density ? Kind::Density : quantile ? Kind::Quantile : Kind::Probability);
}

// The query at each element of in, into out; the first failing element stops.
template <PyObject* (*Query)(const Bound&, double)>
FillResult query_each(const Bound& bound, std::span<const double> in, std::span<double> out) {
    if constexpr (Query == &q_ppf) {
        return bound.ppf_many(in, out);
    } else if constexpr (Query == &q_isf) {
        return bound.isf_many(in, out);
    } else {
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double v = in[i];
            if constexpr (Query == &q_pdf) out[i] = *bound.pdf(v);
            if constexpr (Query == &q_logpdf) out[i] = log_of_density(*bound.pdf(v));
            if constexpr (Query == &q_cdf) out[i] = bound.cdf(v);
            if constexpr (Query == &q_sf) out[i] = bound.sf(v);
            if constexpr (Query == &q_logcdf) out[i] = bound.logcdf(v);
            if constexpr (Query == &q_logsf) out[i] = bound.logsf(v);
        }
        return {};
    }
}

// pdf or logpdf over an array with a function over arrays: the points the density is asked
// for are found by a first pass that calls nothing (each element asks for at most one value, at
// a point that does not depend on the values), evaluated in one call, then handed back in order
// by a second pass. The values are those of calling the function one point at a time.
template <PyObject* (*Query)(const Bound&, double)>
PyObject* density_over_array(PyContinuous& self, const Float64View& x) {
    const ContinuousDistribution& d = self.value;
    std::vector<double> asked;
    auto record = [&asked](double at) {
        asked.push_back(at);
        return 1.0;
    };
    std::vector<double> scratch;
    const std::span<const double> in = x.elements(scratch);
    const Bound recording = d.with(record);
    for (const double v : in) (void)recording.pdf(v);
    std::vector<double> values(asked.size());
    const ScalarFn fn = held_fn(self);
    fn(std::span<const double>(asked), std::span<double>(values));
    std::size_t next = 0;
    auto replay = [&](double at) {
        // Bit for bit the point asked for in the first pass; anything else is called afresh.
        if (next < asked.size() && std::memcmp(&asked[next], &at, sizeof at) == 0) {
            return values[next++];
        }
        return fn(at);
    };
    const Bound bound = d.with(replay);
    return query_over(x, false, [&bound](std::span<const double> points, std::span<double> out) {
        return query_each<Query>(bound, points, out);
    });
}

// The same query over the elements of a float64 buffer. It runs without the interpreter lock
// when it calls no Python: no user function, or a compiled one (then at any size, as each call
// may be long).
template <PyObject* (*Query)(const Bound&, double)>
PyObject* cd_query_array(PyContinuous& self, const Float64View& x) {
    constexpr bool density = Query == &q_pdf || Query == &q_logpdf;
    const ContinuousDistribution& d = self.value;
    // Like the scalar form, which returns None for every x.
    if (density && !d.has_density()) return none();
    const bool calls_user = query_calls_user<Query>(d);
    if constexpr (density) {
        if (self.f.vectorized()) return density_over_array<Query>(self, x);
    }
    const bool unlock = calls_user ? releases_lock(self) : x.size() >= lock_free_query_min;
    const ScalarFn fn = held_fn(self);
    const Bound bound = calls_user ? d.with(fn) : d.without_function();
    return query_over(x, unlock, [&bound](std::span<const double> in, std::span<double> out) {
        return query_each<Query>(bound, in, out);
    });
}

// Queries of one float argument, or of a buffer of them. With a compiled function the one
// float's query (but the density's, a single call) runs as the query of one element, without
// the lock: the same value, or the same error.
template <PyObject* (*Query)(const Bound&, double)>
PyObject* cd_query(PyContinuous& self, const Args& a) {
    if (auto array = Float64View::array_argument(a.object(0), a.signature().names[0].c_str())) {
        return cd_query_array<Query>(self, *array);
    }
    const double x = a.f64(0);
    const ScalarFn fn = held_fn(self);
    constexpr bool density = Query == &q_pdf || Query == &q_logpdf;
    if (!density && self.f && releases_lock(self) && query_calls_user<Query>(self.value)) {
        const Bound bound = self.value.with(fn);
        double out = 0.0;
        const FillResult r = released_if(true, [&] {
            return query_each<Query>(bound, std::span<const double>(&x, 1),
                                     std::span<double>(&out, 1));
        });
        if (!r) raise_stop(r.error());
        return to_py(out);
    }
    return Query(self.value.with(fn), x);
}

PyMethodDef continuous_methods[] = {
    method<PyContinuous, Access::Shared, "support", &cd_support>(),
    method<PyContinuous, Access::Shared, "sample", &cd_sample>(),
    method<PyContinuous, Access::Shared, sample_n_declaration, &cd_sample_n>(),
    method<PyContinuous, Access::Shared, kCdf, &cd_query<&q_cdf>>(),
    method<PyContinuous, Access::Shared, kPdf, &cd_query<&q_pdf>>(),
    method<PyContinuous, Access::Shared, kPpf, &cd_query<&q_ppf>>(),
    method<PyContinuous, Access::Shared, kSf, &cd_query<&q_sf>>(),
    method<PyContinuous, Access::Shared, kIsf, &cd_query<&q_isf>>(),
    method<PyContinuous, Access::Shared, kLogpdf, &cd_query<&q_logpdf>>(),
    method<PyContinuous, Access::Shared, kLogcdf, &cd_query<&q_logcdf>>(),
    method<PyContinuous, Access::Shared, kLogsf, &cd_query<&q_logsf>>(),
    method<PyContinuous, Access::Shared, "mean", &cd_summary<&Bound::mean>>(),
    method<PyContinuous, Access::Shared, "var", &cd_summary<&Bound::var>>(),
    method<PyContinuous, Access::Shared, "std", &cd_summary<&Bound::std_dev>>(),
    method<PyContinuous, Access::Shared, "median", &cd_summary<&Bound::median>>(),
    method<PyContinuous, Access::Shared, "entropy",
           &cd_summary<&Bound::entropy>>(),
    method<PyContinuous, Access::Shared, kInterval, &cd_interval>(),
    method<PyContinuous, Access::Shared, kExpect, &cd_expect>(),
    method<PyContinuous, Access::Shared, "uses_hermite_table", &cd_uses_hermite_table>(),
    method<PyContinuous, Access::Shared, "uses_tdr", &cd_uses_tdr>(),
    method<PyContinuous, Access::Shared, "uses_interpolation", &cd_uses_interpolation>(),
    method<PyContinuous, Access::Shared, "u_error", &cd_u_error>(),
    method<PyContinuous, Access::Shared, "interval_count", &cd_interval_count>(),
    method<PyContinuous, Access::Shared, "cut", &cd_cut>(),
    // Arrays.
    method<PyContinuous, Access::Shared, sample_into_declaration, &cd_sample_into>(),
    method<PyContinuous, Access::Shared, sample_array_declaration, &cd_sample_array>(),
    method<PyContinuous, Access::Shared, sample_qmc_declaration, &cd_sample_qmc>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyContinuous::definition() {
    static const ClassDef def{kOwner, false, nullptr, nullptr, continuous_methods};
    return def;
}

// A Hermite table whose measured u-error is above this warns when it is built: its quantiles
// and draws between the nodes are its cubic's, which nothing replaces.
constexpr double kCoarseTableUError = 1e-4;

// The warning of a coarse table, as a RuntimeWarning; one the warning filters turn into an
// error ends the build with it.
void warn_if_coarse_table(const ContinuousDistribution& d) {
    if (!d.uses_hermite_table()) return;
    const std::optional<double> e = d.u_error();
    if (!e || !(*e > kCoarseTableUError)) return;
    char text[400];
    std::snprintf(text, sizeof text,
                  "the Hermite table's measured u-error is %.2g (above %g): its quantiles and "
                  "draws between its nodes are that far off in probability and are not "
                  "replaced; BuildOptions.interpolated() builds a quantile function accurate "
                  "to its u_resolution",
                  *e, kCoarseTableUError);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) throw PyErrorSet{};
}

// The interpolated engine meets its resolution except where one step between neighbouring
// doubles holds more mass than that (a pole at an end far from 0, a peak narrower than the
// spacing of the doubles where it lies); its u_error() then reports that mass. Above the same
// bound as a coarse table's, it warns too: the distribution is not the density's to any
// useful accuracy there, and its summaries neither.
void warn_if_unresolved(const ContinuousDistribution& d) {
    const InterpolatedInverse* q = d.interpolation();
    if (q == nullptr || !(q->max_u_error() > kCoarseTableUError)) return;
    char text[400];
    std::snprintf(text, sizeof text,
                  "the interpolated quantile function's measured u-error is %.2g (above %g): "
                  "the density's mass lies closer together than the doubles there can resolve "
                  "(shift it towards 0, or widen it)",
                  q->max_u_error(), kCoarseTableUError);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) throw PyErrorSet{};
}

PyObject* wrap(BuildResult<ContinuousDistribution>&& built, UserFunction f) {
    ContinuousDistribution d = unwrap(std::move(built));
    warn_if_coarse_table(d);
    warn_if_unresolved(d);
    return make_instance(PyContinuous{{std::move(d), std::move(f)}});
}

// ---- constructors ----

// from_pdf, from_cdf and their _with_options forms: f, an interval and (in the second form)
// the required options.
enum class FunctionKind { Pdf, Cdf };

template <FunctionKind Kind, bool WithOptions>
PyObject* from_function(const Args& a) {
    const UserFunction f = UserFunction::of(a.object(0), NativeArity::Scalar);
    const Interval interval = interval_arg(a, 1);
    const BuildOptions options = for_build(
        WithOptions ? instance_arg<PyBuildOptions>(a, 2).value : BuildOptions{},
        f.needs_interpreter());
    const ScalarFn fn =
        scalar_fn(f, Kind == FunctionKind::Pdf ? Role::Density : Role::DistributionFunction);
    return wrap(released_if(!f.needs_interpreter(),
                            [&] {
                                if constexpr (Kind == FunctionKind::Pdf) {
                                    return ContinuousDistribution::from_pdf(
                                        fn, interval, options, std::nullopt, batch_of(fn));
                                } else {
                                    return ContinuousDistribution::from_cdf(fn, interval, options);
                                }
                            }),
                f);
}

constexpr Declaration kFromPdf{"from_pdf", {"f", "interval"}};
constexpr Declaration kFromPdfWithOptions{"from_pdf_with_options", {"f", "interval", "options"}};
constexpr Declaration kFromCdf{"from_cdf", {"f", "interval"}};
constexpr Declaration kFromCdfWithOptions{"from_cdf_with_options", {"f", "interval", "options"}};

constexpr Declaration kFromPdfDpdf{"from_pdf_dpdf", {"f", "dpdf", "interval", {"options", None}}};
PyObject* from_pdf_dpdf(const Args& a) {
    const UserFunction f = UserFunction::of(a.object(0), NativeArity::Scalar);
    const UserFunction dpdf = UserFunction::of(a.object(1), NativeArity::Scalar);
    const Interval interval = interval_arg(a, 2);
    const BuildOptions options =
        for_build(options_arg(a, 3), f.needs_interpreter() || dpdf.needs_interpreter());
    const ScalarFn derivative = scalar_fn(dpdf, Role::Derivative);
    const ScalarFn fn = scalar_fn(f);
    return wrap(released_if(!f.needs_interpreter() && !dpdf.needs_interpreter(),
                            [&] {
                                return ContinuousDistribution::from_pdf(
                                    fn, interval, options, UserFn(derivative), batch_of(fn));
                            }),
                f);
}

constexpr Declaration kFromHistogram{
    "from_histogram", {"edges", "counts", {"density", false}, {"options", None}}};
PyObject* from_histogram(const Args& a) {
    const std::vector<double> edges = a.float_vec(0);
    const std::vector<double> counts = a.float_vec(1);
    const bool density = a.boolean(2);
    const BuildOptions options = options_arg(a, 3);
    return wrap(ContinuousDistribution::from_histogram(edges, counts, density, options), UserFunction());
}

constexpr Declaration kFromPdfLocScale{
    "from_pdf_loc_scale", {"f", "interval", "loc", "scale", {"options", None}}};
PyObject* from_pdf_loc_scale(const Args& a) {
    const UserFunction f = UserFunction::of(a.object(0), NativeArity::Scalar);
    const Interval interval = interval_arg(a, 1);
    const double loc = a.f64(2);
    const double scale = a.f64(3);
    const BuildOptions options = for_build(options_arg(a, 4), f.needs_interpreter());
    const ScalarFn fn = scalar_fn(f);
    return wrap(released_if(!f.needs_interpreter(),
                            [&] {
                                return ContinuousDistribution::loc_scale(
                                    fn, interval, loc, scale, options, batch_of(fn));
                            }),
                f);
}

constexpr Declaration kTruncated{
    "truncated", {"f", "interval", "trunc_interval", {"options", None}}};
PyObject* truncated(const Args& a) {
    const UserFunction f = UserFunction::of(a.object(0), NativeArity::Scalar);
    const Interval interval = interval_arg(a, 1);
    const Interval trunc = interval_arg(a, 2);
    const BuildOptions options = for_build(options_arg(a, 3), f.needs_interpreter());
    const ScalarFn fn = scalar_fn(f);
    return wrap(released_if(!f.needs_interpreter(),
                            [&] {
                                return ContinuousDistribution::truncated(
                                    fn, interval, trunc, options, batch_of(fn));
                            }),
                f);
}

PyMethodDef continuous_functions[] = {
    function<kFromPdf, &from_function<FunctionKind::Pdf, false>>(),
    function<kFromPdfWithOptions, &from_function<FunctionKind::Pdf, true>>(),
    function<kFromPdfDpdf, &from_pdf_dpdf>(),
    function<kFromCdf, &from_function<FunctionKind::Cdf, false>>(),
    function<kFromCdfWithOptions, &from_function<FunctionKind::Cdf, true>>(),
    function<kFromHistogram, &from_histogram>(),
    function<kFromPdfLocScale, &from_pdf_loc_scale>(),
    function<kTruncated, &truncated>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_continuous(PyObject* module) {
    register_class<PyInterval>(module);
    register_class<PySupport>(module);
    register_class<PyBuildOptions>(module);
    register_class<PyContinuous>(module);
    register_functions(module, continuous_functions);
}

}  // namespace varnix::py
