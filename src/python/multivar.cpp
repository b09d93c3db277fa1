// Python classes and functions of the multivariate samplers.
#include <limits>
#include <cmath>
#include <type_traits>
#include <vector>

#include "core/multivar/box.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/rejection.hpp"
#include "python/box_samplers.hpp"
#include "python/notes.hpp"
#include "python/pickling.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

// ---- HyperRect ----

constexpr Declaration kHyperRectNew{"__new__", {"lo", "hi"}};

PyHyperRect hyper_rect_new(const Args& a) {
    // Both types are checked before any item is converted.
    // Evaluation order is frozen (docs/architecture.md).
    a.check_sequence(0);
    a.check_sequence(1);
    std::vector<double> lo = a.sequence_items(0);
    std::vector<double> hi = a.sequence_items(1);
    return PyHyperRect{unwrap(HyperRect::make(lo, hi))};
}

PyObject* hyper_rect_dim(PyHyperRect& self) { return to_py_size(self.value.dim()); }
PyObject* hyper_rect_lo(PyHyperRect& self) {
    return to_py_list(self.value.lo().data(), self.value.lo().size());
}
PyObject* hyper_rect_hi(PyHyperRect& self) {
    return to_py_list(self.value.hi().data(), self.value.hi().size());
}

// Pickled and copied by its fields, through the constructor.
PyObject* hyper_rect_reduce(PyHyperRect& self) {
    PyRef lo = PyRef::steal(hyper_rect_lo(self));
    PyRef hi = PyRef::steal(hyper_rect_hi(self));
    return reduce_to_constructor(type_object<PyHyperRect>(), PyTuple_Pack(2, lo.get(), hi.get()));
}

PyMethodDef hyper_rect_methods[] = {
    method<PyHyperRect, Access::Shared, "dim", &hyper_rect_dim>(),
    method<PyHyperRect, Access::Shared, "lo", &hyper_rect_lo>(),
    method<PyHyperRect, Access::Shared, "hi", &hyper_rect_hi>(),
    method<PyHyperRect, Access::Shared, "__reduce__", &hyper_rect_reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const ClassDef& PyHyperRect::definition() {
    static const ClassDef def{"HyperRect", false, &kHyperRectNew,
                              &constructor<PyHyperRect, kHyperRectNew, &hyper_rect_new>,
                              hyper_rect_methods};
    return def;
}

// The support argument of every box sampler: a HyperRect, copied.
HyperRect support_arg(const Args& a, std::size_t i) {
    return instance_arg<PyHyperRect>(a, i).value;
}

namespace {

// ---- RejectionSampler ----

struct PyRejectionSampler : WithCallable<RejectionSampler, NativeArity::Points> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

PyObject* rejection_dim(PyRejectionSampler& self) { return to_py_size(self.value.dim()); }
PyObject* rejection_pdf_max(PyRejectionSampler& self) { return to_py(self.value.pdf_max()); }

PyObject* rejection_sample(PyRejectionSampler& self) {
    std::vector<double> point(self.value.dim());
    const VectorFn f = vector_fn(self.f);
    unwrap(released_if(!self.f.needs_interpreter(), [&] {
        return self.value.with(f).sample(ChaChaRng::thread_local_rng(), point);
    }));
    return to_py_list(point.data(), point.size());
}

PyMethodDef rejection_methods[] = {
    method<PyRejectionSampler, Access::Shared, "dim", &rejection_dim>(),
    method<PyRejectionSampler, Access::Shared, "pdf_max", &rejection_pdf_max>(),
    method<PyRejectionSampler, Access::Shared, "sample", &rejection_sample>(),
    method<PyRejectionSampler, Access::Shared, sample_n_declaration,
           &box_sample_n<PyRejectionSampler>>(),
    // Arrays.
    method<PyRejectionSampler, Access::Shared, points_into_declaration,
           &box_sample_into<PyRejectionSampler, kRejectionVariable>>(),
    method<PyRejectionSampler, Access::Shared, points_array_declaration,
           &box_sample_array<PyRejectionSampler, kRejectionVariable>>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyRejectionSampler::definition() {
    static const ClassDef def{"RejectionSampler", false, nullptr, nullptr, rejection_methods};
    return def;
}

constexpr Declaration kRejectionSampler{
    "rejection_sampler", {"f", "support", "pdf_max", {"max_trials", 100000}}};
PyObject* rejection_sampler(const Args& a) {
    UserFunction f = UserFunction::of(a.object(0), NativeArity::Points);
    HyperRect support = support_arg(a, 1);
    const double pdf_max = a.f64(2);
    const std::uint64_t max_trials = a.count(3);
    return make_instance(PyRejectionSampler{
        {unwrap(RejectionSampler::make(std::move(support), pdf_max, max_trials)), std::move(f)}});
}

// ---- GibbsSampler ----

struct PyGibbsSampler : WithCallable<GibbsSampler, NativeArity::Indexed> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

PyObject* gibbs_step(PyGibbsSampler& self) {
    const IndexedFn sample_coord = indexed_fn(self.f);
    return list_of(released_if(!self.f.needs_interpreter(),
                               [&] { return self.value.with(sample_coord).step(); }));
}

PyMethodDef gibbs_methods[] = {
    method<PyGibbsSampler, Access::Exclusive, "sample", &gibbs_step>(),
    method<PyGibbsSampler, Access::Exclusive, "step", &gibbs_step>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyGibbsSampler::definition() {
    static const ClassDef def{"GibbsSampler", true, nullptr, nullptr, gibbs_methods};
    return def;
}

constexpr Declaration kGibbsSampler{
    "gibbs_sampler", {"sample_coord", "support", "init", {"sweeps_per_sample", 1}}};
PyObject* gibbs_sampler(const Args& a) {
    UserFunction sample_coord = UserFunction::of(a.object(0), NativeArity::Indexed);
    HyperRect support = support_arg(a, 1);
    // init's type, then sweeps_per_sample, then init's items.
    // Evaluation order is frozen (docs/architecture.md).
    a.check_sequence(2);
    const std::uint64_t sweeps = a.count(3);
    const std::vector<double> init = a.sequence_items(2);
    return make_instance(PyGibbsSampler{
        {unwrap(GibbsSampler::make(support, init, sweeps)), std::move(sample_coord)}});
}

// ---- ConditionalFactorizationSampler ----

struct PyConditionalSampler : WithCallable<ConditionalFactorizationSampler, NativeArity::Indexed> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

PyObject* conditional_sample(PyConditionalSampler& self) {
    std::vector<double> point(self.value.dim());
    const IndexedFn sample_i = indexed_fn(self.f, Role::ConditionalSampler);
    unwrap(released_if(!self.f.needs_interpreter(),
                       [&] { return self.value.with(sample_i).sample(point); }));
    return list_of(point);
}

// The sampler bound to sample_i; it draws no word of a generator.
template <class Bound>
auto conditional_engine(Bound& bound, std::size_t d) {
    return BatchEngine{EngineTraits{std::nullopt, true}, kConditionalVariable, d,
                       [&bound](std::span<double> part, std::size_t count, ChaChaRng&) {
                           return bound.fill(count, part);
                       }};
}

PyObject* conditional_sample_n(PyConditionalSampler& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const auto seed = a.seed(1);  // checked like every seed; no draw comes from a generator here
    const std::size_t d = self.value.dim();
    const IndexedFn sample_i = indexed_fn(self.f, Role::ConditionalSampler);
    const auto bound = self.value.with(sample_i);
    auto engine = conditional_engine(bound, d);
    PointRows rows(n, d, nullptr, false);
    return points_list(engine, n, seed, rows);
}

// Arrays: the points of sample_n into a buffer; the seed is checked and has no effect.
PyObject* conditional_sample_into(PyConditionalSampler& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    const std::size_t n = points_in(out, self.value.dim());
    const FillOptions o = fill_options(a, 1, false);
    const IndexedFn sample_i = indexed_fn(self.f);  // named: the bound refers to it
    const auto bound = self.value.with(sample_i);
    auto engine = conditional_engine(bound, self.value.dim());
    fill_rows_into(engine, out.flat(), n, o);
    return returned(out);
}

PyObject* conditional_sample_array(PyConditionalSampler& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const FillOptions o = fill_options(a, 1, false);
    const IndexedFn sample_i = indexed_fn(self.f);  // named: the bound refers to it
    const auto bound = self.value.with(sample_i);
    auto engine = conditional_engine(bound, self.value.dim());
    return new_array_of(engine, n, true, o, [] {});
}

PyMethodDef conditional_methods[] = {
    method<PyConditionalSampler, Access::Shared, "sample", &conditional_sample>(),
    method<PyConditionalSampler, Access::Shared, sample_n_declaration, &conditional_sample_n>(),
    // Arrays.
    method<PyConditionalSampler, Access::Shared, points_into_declaration,
           &conditional_sample_into>(),
    method<PyConditionalSampler, Access::Shared, points_array_declaration,
           &conditional_sample_array>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyConditionalSampler::definition() {
    static const ClassDef def{"ConditionalFactorizationSampler", false, nullptr, nullptr,
                              conditional_methods};
    return def;
}

constexpr Declaration kConditionalSampler{"conditional_factorization_sampler",
                                          {"sample_i", "dim"}};
PyObject* conditional_factorization_sampler(const Args& a) {
    UserFunction sample_i = UserFunction::of(a.object(0), NativeArity::Indexed);
    const std::uint64_t dim = a.count(1);
    return make_instance(
        PyConditionalSampler{{ConditionalFactorizationSampler(dim), std::move(sample_i)}});
}

// ---- GaussianCopula ----

struct PyGaussianCopula {
    GaussianCopula value;
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

PyObject* copula_dim(PyGaussianCopula& self) { return to_py_size(self.value.dim()); }

// The marginal quantile functions of one call, each a Python callable or a compiled function.
struct Quantiles {
    std::vector<UserFunction> fns;
    bool needs_interpreter = false;

    Quantiles(const Args& a, std::size_t i) {
        for (const PyRef& f : a.object_vec(i)) {
            fns.push_back(UserFunction::of(f.get(), NativeArity::Scalar));
            needs_interpreter = needs_interpreter || fns.back().needs_interpreter();
        }
    }
    // The batch form: ppfs[i] over the values of u in one call, for the marginals that are
    // functions over arrays (one call a value for the others).
    void operator()(std::size_t i, std::span<const double> u, std::span<double> values) const {
        if (fns[i].vectorized()) {
            return call_batch(fns[i].python_callable(), u, 1, values, Role::QuantileFunction);
        }
        for (std::size_t k = 0; k < u.size(); ++k) {
            const auto v = (*this)(i, u[k], i);
            values[k] = v ? *v : std::numeric_limits<double>::quiet_NaN();
        }
    }
    bool any_vectorized() const {
        for (const auto& f : fns) {
            if (f.vectorized()) return true;
        }
        return false;
    }
    OptionalQuantileBatch batch() const {
        if (!any_vectorized()) return std::nullopt;
        return QuantileBatchRef(*this);
    }

    // ppfs[i](u); a failing Python call is InversionFailed, recorded as the call of ppfs[index].
    SampleResult<double> operator()(std::size_t i, double u, std::size_t index) const {
        if (const NativeFunction* native = fns[i].native()) return (*native)(u);
        if (fns[i].vectorized()) return one_point(i, u);
        return call_scalar_checked(fns[i].python_callable(), u, index);
    }

private:
    // A function over arrays at one point: a failing call is InversionFailed, as for a
    // Python function that raises.
    SampleResult<double> one_point(std::size_t i, double u) const {
        PythonCalls* calls = PythonCalls::current();
        const std::uint64_t failed = calls != nullptr ? calls->record.failures : 0;
        double v;
        call_batch(fns[i].python_callable(), std::span<const double>(&u, 1), 1,
                   std::span<double>(&v, 1), Role::QuantileFunction, calls);
        if (calls != nullptr && calls->record.failures != failed && !std::isnan(u)) {
            return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
        }
        return v;
    }
};

constexpr Declaration kCopulaSample{"sample", {"ppfs", {"seed", None}}};
PyObject* copula_sample(PyGaussianCopula& self, const Args& a) {
    const Quantiles ppfs(a, 0);
    RngChoice rng(a.seed(1));
    auto quantile = [&](std::size_t i, double u) { return ppfs(i, u, i); };
    note_if_call_fails(quantile_count_note(ppfs.fns.size(), self.value.dim()));
    std::vector<double> out(self.value.dim());
    unwrap(released_if(!ppfs.needs_interpreter, [&] {
        return self.value.with(quantile, ppfs.fns.size()).sample(rng.get(), out);
    }));
    return list_of(out);
}

// Arrays: n draws of one generator in a row, point k the k-th; with a seed the first is what
// sample(ppfs, seed) gives, and start = k starts at draw k of that stream (each draw takes two
// words per coordinate).
constexpr Declaration kCopulaSampleInto{"sample_into",
                                         {"out", "ppfs", {"seed", None}, {"start", 0}}};
constexpr Declaration kCopulaSampleArray{"sample_array",
                                          {"n", "ppfs", {"seed", None}, {"start", 0}}};

// The copula bound to the quantile functions, as the batch methods see it; ppfs must outlive it.
// Compiled quantile functions count as no user code: their draws run without the interpreter
// lock and on several threads.
template <class Bound>
auto copula_engine(const Bound& bound, std::size_t d, const Quantiles& ppfs) {
    const bool calls_python = bound.draws_call_user_function() && ppfs.needs_interpreter;
    return BatchEngine{EngineTraits{bound.words_per_draw(), calls_python, true,
                                    ppfs.any_vectorized()},
                       "", d, [&bound](std::span<double> part, std::size_t, ChaChaRng& rng) {
                           return bound.fill(part, rng);
                       }};
}

PyObject* copula_sample_into(PyGaussianCopula& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    const std::size_t n = points_in(out, self.value.dim());
    const Quantiles ppfs(a, 1);
    const FillOptions o = fill_options(a, 2, false);
    auto quantile = [&](std::size_t i, double u) { return ppfs(i, u, 0); };
    const auto bound = self.value.with(quantile, ppfs.fns.size(), ppfs.batch());
    auto engine = copula_engine(bound, self.value.dim(), ppfs);
    fill_rows_into(engine, out.flat(), n, o);
    return returned(out);
}

PyObject* copula_sample_array(PyGaussianCopula& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const Quantiles ppfs(a, 1);
    const FillOptions o = fill_options(a, 2, false);
    auto quantile = [&](std::size_t i, double u) { return ppfs(i, u, 0); };
    const auto bound = self.value.with(quantile, ppfs.fns.size(), ppfs.batch());
    auto engine = copula_engine(bound, self.value.dim(), ppfs);
    return new_array_of(engine, n, true, o, [] {});
}

// Quasi-random points: row k from Sobol point start + k, one coordinate per dimension, through
// the copula's normal scores and the quantile functions (GaussianCopula::Bound::map_points).
PyObject* copula_sample_qmc(PyGaussianCopula& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const std::vector<PyRef> ppfs = a.object_vec(1);
    const QmcOptions o = qmc_options(a, 2, false);
    auto quantile = [&](std::size_t i, double u) { return call_scalar_checked(ppfs[i].get(), u); };
    const auto bound = self.value.with(quantile, ppfs.size());
    QmcEngine engine{bound.draws_call_user_function(), self.value.dim(),
                     [&bound](std::span<double> part) { return bound.map_points(part); }};
    return qmc_array_of(engine, n, true, o);
}

PyMethodDef copula_methods[] = {
    method<PyGaussianCopula, Access::Shared, "dim", &copula_dim>(),
    method<PyGaussianCopula, Access::Shared, kCopulaSample, &copula_sample>(),
    // Arrays.
    method<PyGaussianCopula, Access::Shared, kCopulaSampleInto, &copula_sample_into>(),
    method<PyGaussianCopula, Access::Shared, kCopulaSampleArray, &copula_sample_array>(),
    method<PyGaussianCopula, Access::Shared, points_qmc_declaration, &copula_sample_qmc>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyGaussianCopula::definition() {
    static const ClassDef def{"GaussianCopula", false, nullptr, nullptr, copula_methods};
    return def;
}

constexpr Declaration kGaussianCopula{"gaussian_copula", {"corr"}};
PyObject* gaussian_copula(const Args& a) {
    const std::vector<std::vector<double>> corr = a.float_vec_vec(0);
    return make_instance(PyGaussianCopula{unwrap(GaussianCopula::make(corr))});
}

// ---- CdfMcEstimator ----

struct PyCdfMcEstimator : WithCallable<CdfMcEstimator, NativeArity::Points> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

constexpr Declaration kEstimateNormalization{"estimate_normalization", {{"seed", None}}};
PyObject* cdf_mc_estimate_normalization(PyCdfMcEstimator& self, const Args& a) {
    RngChoice rng(a.seed(0));
    const VectorFn f = vector_fn(self.f);
    return to_py(unwrap(released_if(!self.f.needs_interpreter(), [&] {
        return self.value.with(f, batch_of(f)).estimate_normalization(rng.get());
    })));
}

constexpr Declaration kCdfMcCdf{"cdf", {"x", {"seed", None}}};
PyObject* cdf_mc_cdf(PyCdfMcEstimator& self, const Args& a) {
    // x's type, then the seed, then x's items.
    // Evaluation order is frozen (docs/architecture.md).
    a.check_sequence(0);
    RngChoice rng(a.seed(1));
    const std::vector<double> x = a.sequence_items(0);
    const VectorFn f = vector_fn(self.f);
    return to_py(unwrap(released_if(!self.f.needs_interpreter(),
                                    [&] { return self.value.with(f, batch_of(f)).cdf(x, rng.get()); })));
}

PyMethodDef cdf_mc_methods[] = {
    method<PyCdfMcEstimator, Access::Exclusive, kEstimateNormalization,
           &cdf_mc_estimate_normalization>(),
    method<PyCdfMcEstimator, Access::Exclusive, kCdfMcCdf, &cdf_mc_cdf>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyCdfMcEstimator::definition() {
    static const ClassDef def{"CdfMcEstimator", true, nullptr, nullptr, cdf_mc_methods};
    return def;
}

constexpr Declaration kCdfMcEstimator{
    "cdf_mc_estimator",
    {"f", "support", {"normalization_samples", 50000}, {"cdf_samples", 50000}}};
PyObject* cdf_mc_estimator(const Args& a) {
    UserFunction f = UserFunction::of(a.object(0), NativeArity::Points);
    HyperRect support = support_arg(a, 1);
    const std::uint64_t normalization_samples = a.count(2);
    const std::uint64_t cdf_samples = a.count(3);
    return make_instance(PyCdfMcEstimator{
        {CdfMcEstimator(std::move(support), normalization_samples, cdf_samples), std::move(f)}});
}

// Registered on either side of the chains' functions, in the module's order.
PyMethodDef rejection_functions[] = {
    function<kRejectionSampler, &rejection_sampler>(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef multivar_functions[] = {
    function<kGibbsSampler, &gibbs_sampler>(),
    function<kConditionalSampler, &conditional_factorization_sampler>(),
    function<kGaussianCopula, &gaussian_copula>(),
    function<kCdfMcEstimator, &cdf_mc_estimator>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_multivar(PyObject* module) {
    register_class<PyHyperRect>(module);
    register_class<PyRejectionSampler>(module);
    register_chain_classes(module);
    register_class<PyGibbsSampler>(module);
    register_class<PyConditionalSampler>(module);
    register_class<PyGaussianCopula>(module);
    register_class<PyCdfMcEstimator>(module);
    register_functions(module, rejection_functions);
    register_chain_functions(module);
    register_functions(module, multivar_functions);
}

}  // namespace varnix::py
