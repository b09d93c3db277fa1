// Python classes and functions of the multivariate samplers.
#include "core/multivar/box.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "core/multivar/rejection.hpp"
#include "python/bridge.hpp"
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

// ---- HyperRect ----

struct PyHyperRect {
    HyperRect value;
    static const ClassDef& definition();
};

constexpr Decl kHyperRectNew{"HyperRect", "(lo, hi)"};

PyHyperRect hyper_rect_new(const Args& a) {
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

PyMethodDef hyper_rect_methods[] = {
    method0<PyHyperRect, Access::Shared, "dim($self)", &hyper_rect_dim>(),
    method0<PyHyperRect, Access::Shared, "lo($self)", &hyper_rect_lo>(),
    method0<PyHyperRect, Access::Shared, "hi($self)", &hyper_rect_hi>(),
    {nullptr, nullptr, 0, nullptr},
};

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

// sample_n of the samplers that draw points in a box through a density: n points from one
// generator (seeded, or the thread's), returned as a list of lists.
template <class Py>
PyObject* box_sample_n(Py& self, const Args& a) {
    const std::uint64_t n = a.size(0);
    RngChoice rng(a.seed(1));
    std::vector<double> points;
    unwrap(self.value.with(VectorFn{self.f.get()}).sample_n(n, rng.get(), points));
    return to_py_points(points.data(), n, self.value.dim());
}

// init of the chain samplers: a starting point drawn with the thread's generator.
template <class Py>
PyObject* chain_init(Py& self) {
    unwrap(self.value.with(VectorFn{self.f.get()}).init(ChaChaRng::thread_local_rng()));
    return none();
}

// ---- RejectionSampler ----

struct PyRejectionSampler : WithCallable<RejectionSampler> {
    static const ClassDef& definition();
};

PyObject* rejection_dim(PyRejectionSampler& self) { return to_py_size(self.value.dim()); }
PyObject* rejection_pdf_max(PyRejectionSampler& self) { return to_py(self.value.pdf_max()); }

PyObject* rejection_sample(PyRejectionSampler& self) {
    std::vector<double> point(self.value.dim());
    VectorFn f{self.f.get()};
    unwrap(self.value.with(f).sample(ChaChaRng::thread_local_rng(), point));
    return to_py_list(point.data(), point.size());
}

constexpr Decl kRejectionSampleN{"RejectionSampler", "sample_n($self, n, seed=None)"};

PyMethodDef rejection_methods[] = {
    method0<PyRejectionSampler, Access::Shared, "dim($self)", &rejection_dim>(),
    method0<PyRejectionSampler, Access::Shared, "pdf_max($self)", &rejection_pdf_max>(),
    method0<PyRejectionSampler, Access::Shared, "sample($self)", &rejection_sample>(),
    method<PyRejectionSampler, Access::Shared, kRejectionSampleN, &box_sample_n<PyRejectionSampler>>("sample_n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyRejectionSampler::definition() {
    static const ClassDef def{"RejectionSampler", false, nullptr, nullptr, rejection_methods};
    return def;
}

constexpr Decl kRejectionSampler{nullptr, "rejection_sampler(f, support, pdf_max, max_trials=100000)"};
PyObject* rejection_sampler(const Args& a) {
    PyRef f = PyRef::borrow(a.object(0));
    HyperRect support = support_arg(a, 1);
    const double pdf_max = a.f64(2);
    const std::uint64_t max_trials = a.given(3) ? a.size(3) : 100000;
    return make_instance(PyRejectionSampler{
        {unwrap(RejectionSampler::make(std::move(support), pdf_max, max_trials)), std::move(f)}});
}

PyObject* list_of(std::span<const double> values) { return to_py_list(values.data(), values.size()); }

// ---- MetropolisHastings ----

struct PyMetropolisHastings : WithCallable<MetropolisHastings> {
    static const ClassDef& definition();
};


PyObject* mh_step(PyMetropolisHastings& self) {
    VectorFn f{self.f.get()};
    return list_of(unwrap(self.value.with(f).step(ChaChaRng::thread_local_rng())));
}

constexpr Decl kMhSampleN{"MetropolisHastings", "sample_n($self, n, seed=None)"};

PyObject* mh_accept_rate(PyMetropolisHastings& self) { return to_py(self.value.accept_rate()); }

PyMethodDef mh_methods[] = {
    method0<PyMetropolisHastings, Access::Exclusive, "init($self)",
            &chain_init<PyMetropolisHastings>>(),
    method0<PyMetropolisHastings, Access::Exclusive, "step($self)", &mh_step>(),
    method0<PyMetropolisHastings, Access::Exclusive, "sample($self)", &mh_step>(),
    method<PyMetropolisHastings, Access::Exclusive, kMhSampleN, &box_sample_n<PyMetropolisHastings>>("sample_n"),
    method0<PyMetropolisHastings, Access::Shared, "accept_rate($self)", &mh_accept_rate>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyMetropolisHastings::definition() {
    static const ClassDef def{"MetropolisHastings", true, nullptr, nullptr, mh_methods};
    return def;
}

constexpr Decl kMetropolisHastings{
    nullptr,
    "metropolis_hastings(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, "
    "adapt_steps=2000)"};
PyObject* metropolis_hastings(const Args& a) {
    PyRef f = PyRef::borrow(a.object(0));
    HyperRect support = support_arg(a, 1);
    MhSettings settings;
    if (a.given(2)) settings.step_size = a.f64(2);
    if (a.given(3)) settings.burn_in = a.size(3);
    if (a.given(4)) settings.thin = a.size(4);
    if (a.given(5)) settings.target_accept = a.f64(5);
    if (a.given(6)) settings.adapt_steps = a.size(6);
    return make_instance(PyMetropolisHastings{
        {MetropolisHastings(std::move(support), settings), std::move(f)}});
}

// ---- HmcSampler ----

struct PyHmcSampler : WithCallable<HmcSampler> {
    static const ClassDef& definition();
};


PyObject* hmc_sample(PyHmcSampler& self) {
    VectorFn f{self.f.get()};
    return list_of(unwrap(self.value.with(f).step(ChaChaRng::thread_local_rng())));
}

constexpr Decl kHmcSampleN{"HmcSampler", "sample_n($self, n, seed=None)"};

PyMethodDef hmc_methods[] = {
    method0<PyHmcSampler, Access::Exclusive, "init($self)", &chain_init<PyHmcSampler>>(),
    method0<PyHmcSampler, Access::Exclusive, "sample($self)", &hmc_sample>(),
    method<PyHmcSampler, Access::Exclusive, kHmcSampleN, &box_sample_n<PyHmcSampler>>("sample_n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyHmcSampler::definition() {
    static const ClassDef def{"HmcSampler", true, nullptr, nullptr, hmc_methods};
    return def;
}

constexpr Decl kHmcSampler{
    nullptr, "hmc_sampler(f, support, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6)"};
PyObject* hmc_sampler(const Args& a) {
    PyRef f = PyRef::borrow(a.object(0));
    HyperRect support = support_arg(a, 1);
    HmcSettings settings;
    if (a.given(2)) settings.step_size = a.f64(2);
    if (a.given(3)) settings.leapfrog_steps = a.size(3);
    if (a.given(4)) settings.grad_eps = a.f64(4);
    return make_instance(PyHmcSampler{{HmcSampler(std::move(support), settings), std::move(f)}});
}

// ---- GibbsSampler ----

struct PyGibbsSampler : WithCallable<GibbsSampler> {
    static const ClassDef& definition();
};

PyObject* gibbs_step(PyGibbsSampler& self) {
    return list_of(self.value.with(IndexedFn{self.f.get()}).step());
}

PyMethodDef gibbs_methods[] = {
    method0<PyGibbsSampler, Access::Exclusive, "sample($self)", &gibbs_step>(),
    method0<PyGibbsSampler, Access::Exclusive, "step($self)", &gibbs_step>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyGibbsSampler::definition() {
    static const ClassDef def{"GibbsSampler", true, nullptr, nullptr, gibbs_methods};
    return def;
}

constexpr Decl kGibbsSampler{nullptr,
                             "gibbs_sampler(sample_coord, support, init, sweeps_per_sample=1)"};
PyObject* gibbs_sampler(const Args& a) {
    PyRef sample_coord = PyRef::borrow(a.object(0));
    HyperRect support = support_arg(a, 1);
    a.check_sequence(2);
    const std::uint64_t sweeps = a.given(3) ? a.size(3) : 1;
    const std::vector<double> init = a.sequence_items(2);
    return make_instance(PyGibbsSampler{
        {unwrap(GibbsSampler::make(support, init, sweeps)), std::move(sample_coord)}});
}

// ---- ConditionalFactorizationSampler ----

struct PyConditionalSampler : WithCallable<ConditionalFactorizationSampler> {
    static const ClassDef& definition();
};

PyObject* conditional_sample(PyConditionalSampler& self) {
    std::vector<double> point(self.value.dim());
    unwrap(self.value.with(IndexedFn{self.f.get()}).sample(point));
    return list_of(point);
}

constexpr Decl kConditionalSampleN{"ConditionalFactorizationSampler",
                                   "sample_n($self, n, seed=None)"};
PyObject* conditional_sample_n(PyConditionalSampler& self, const Args& a) {
    const std::uint64_t n = a.size(0);
    (void)a.seed(1);  // checked like every seed; no draw comes from a generator here
    std::vector<double> points;
    unwrap(self.value.with(IndexedFn{self.f.get()}).sample_n(n, points));
    return to_py_points(points.data(), n, self.value.dim());
}

PyMethodDef conditional_methods[] = {
    method0<PyConditionalSampler, Access::Shared, "sample($self)", &conditional_sample>(),
    method<PyConditionalSampler, Access::Shared, kConditionalSampleN, &conditional_sample_n>(
        "sample_n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyConditionalSampler::definition() {
    static const ClassDef def{"ConditionalFactorizationSampler", false, nullptr, nullptr,
                              conditional_methods};
    return def;
}

constexpr Decl kConditionalSampler{nullptr, "conditional_factorization_sampler(sample_i, dim)"};
PyObject* conditional_factorization_sampler(const Args& a) {
    PyRef sample_i = PyRef::borrow(a.object(0));
    const std::uint64_t dim = a.size(1);
    return make_instance(
        PyConditionalSampler{{ConditionalFactorizationSampler(dim), std::move(sample_i)}});
}

// ---- GaussianCopula ----

struct PyGaussianCopula {
    GaussianCopula value;
    static const ClassDef& definition();
};

PyObject* copula_dim(PyGaussianCopula& self) { return to_py_size(self.value.dim()); }

constexpr Decl kCopulaSample{"GaussianCopula", "sample($self, ppfs, seed=None)"};
PyObject* copula_sample(PyGaussianCopula& self, const Args& a) {
    const std::vector<PyRef> ppfs = a.object_vec(0);
    RngChoice rng(a.seed(1));
    auto quantile = [&](std::size_t i, double u) { return call_scalar_checked(ppfs[i].get(), u); };
    std::vector<double> out(self.value.dim());
    unwrap(self.value.with(quantile, ppfs.size()).sample(rng.get(), out));
    return list_of(out);
}

PyMethodDef copula_methods[] = {
    method0<PyGaussianCopula, Access::Shared, "dim($self)", &copula_dim>(),
    method<PyGaussianCopula, Access::Shared, kCopulaSample, &copula_sample>("sample"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyGaussianCopula::definition() {
    static const ClassDef def{"GaussianCopula", false, nullptr, nullptr, copula_methods};
    return def;
}

constexpr Decl kGaussianCopula{nullptr, "gaussian_copula(corr)"};
PyObject* gaussian_copula(const Args& a) {
    const std::vector<std::vector<double>> corr = a.float_vec_vec(0);
    auto copula = GaussianCopula::make(corr);
    if (!copula) raise(PyExc_ValueError, copula.error().message());
    return make_instance(PyGaussianCopula{std::move(*copula)});
}

// ---- CdfMcEstimator ----

struct PyCdfMcEstimator : WithCallable<CdfMcEstimator> {
    static const ClassDef& definition();
};

constexpr Decl kEstimateNormalization{"CdfMcEstimator",
                                      "estimate_normalization($self, seed=None)"};
PyObject* cdf_mc_estimate_normalization(PyCdfMcEstimator& self, const Args& a) {
    RngChoice rng(a.seed(0));
    return to_py(unwrap(self.value.with(VectorFn{self.f.get()}).estimate_normalization(rng.get())));
}

constexpr Decl kCdfMcCdf{"CdfMcEstimator", "cdf($self, x, seed=None)"};
PyObject* cdf_mc_cdf(PyCdfMcEstimator& self, const Args& a) {
    a.check_sequence(0);
    RngChoice rng(a.seed(1));
    const std::vector<double> x = a.sequence_items(0);
    return to_py(unwrap(self.value.with(VectorFn{self.f.get()}).cdf(x, rng.get())));
}

PyMethodDef cdf_mc_methods[] = {
    method<PyCdfMcEstimator, Access::Exclusive, kEstimateNormalization,
           &cdf_mc_estimate_normalization>("estimate_normalization"),
    method<PyCdfMcEstimator, Access::Exclusive, kCdfMcCdf, &cdf_mc_cdf>("cdf"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyCdfMcEstimator::definition() {
    static const ClassDef def{"CdfMcEstimator", true, nullptr, nullptr, cdf_mc_methods};
    return def;
}

constexpr Decl kCdfMcEstimator{
    nullptr,
    "cdf_mc_estimator(f, support, normalization_samples=50000, cdf_samples=50000)"};
PyObject* cdf_mc_estimator(const Args& a) {
    PyRef f = PyRef::borrow(a.object(0));
    HyperRect support = support_arg(a, 1);
    const std::uint64_t normalization_samples = a.given(2) ? a.size(2) : 50000;
    const std::uint64_t cdf_samples = a.given(3) ? a.size(3) : 50000;
    return make_instance(PyCdfMcEstimator{
        {CdfMcEstimator(std::move(support), normalization_samples, cdf_samples), std::move(f)}});
}

PyMethodDef multivar_functions[] = {
    function<kRejectionSampler, &rejection_sampler>("rejection_sampler"),
    function<kMetropolisHastings, &metropolis_hastings>("metropolis_hastings"),
    function<kHmcSampler, &hmc_sampler>("hmc_sampler"),
    function<kGibbsSampler, &gibbs_sampler>("gibbs_sampler"),
    function<kConditionalSampler, &conditional_factorization_sampler>(
        "conditional_factorization_sampler"),
    function<kGaussianCopula, &gaussian_copula>("gaussian_copula"),
    function<kCdfMcEstimator, &cdf_mc_estimator>("cdf_mc_estimator"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_multivar(PyObject* module) {
    register_class<PyHyperRect>(module);
    register_class<PyRejectionSampler>(module);
    register_class<PyMetropolisHastings>(module);
    register_class<PyHmcSampler>(module);
    register_class<PyGibbsSampler>(module);
    register_class<PyConditionalSampler>(module);
    register_class<PyGaussianCopula>(module);
    register_class<PyCdfMcEstimator>(module);
    register_functions(module, multivar_functions);
}

}  // namespace varnix::py
