// Python classes and functions of the multivariate samplers.
#include "core/multivar/box.hpp"
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
    std::vector<double> lo = a.sequence(0);
    std::vector<double> hi = a.sequence(1);
    return PyHyperRect{unwrap(HyperRect::validate(lo, hi))};
}

PyObject* hyper_rect_dim(PyHyperRect& self) { return to_py_size(self.value.dim()); }
PyObject* hyper_rect_lo(PyHyperRect& self) {
    return to_py_list(self.value.lo.data(), self.value.lo.size());
}
PyObject* hyper_rect_hi(PyHyperRect& self) {
    return to_py_list(self.value.hi.data(), self.value.hi.size());
}

PyMethodDef hyper_rect_methods[] = {
    method0<PyHyperRect, Access::Shared, &hyper_rect_dim>("dim", "dim($self)\n--\n\n"),
    method0<PyHyperRect, Access::Shared, &hyper_rect_lo>("lo", "lo($self)\n--\n\n"),
    method0<PyHyperRect, Access::Shared, &hyper_rect_hi>("hi", "hi($self)\n--\n\n"),
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

// ---- RejectionSampler ----

struct PyRejectionSampler {
    RejectionSampler value;
    PyRef f;
    static const ClassDef& definition();
};

PyObject* rejection_dim(PyRejectionSampler& self) { return to_py_size(self.value.dim()); }
PyObject* rejection_pdf_max(PyRejectionSampler& self) { return to_py(self.value.pdf_max()); }

PyObject* rejection_sample(PyRejectionSampler& self) {
    std::vector<double> point(self.value.dim());
    VectorFn f{self.f.get()};
    unwrap(self.value.draw(ChaChaRng::thread_local_rng(), f, point));
    return to_py_list(point.data(), point.size());
}

constexpr Decl kRejectionSampleN{"RejectionSampler", "sample_n($self, n, seed=None)"};
PyObject* rejection_sample_n(PyRejectionSampler& self, const Args& a) {
    const std::uint64_t n = a.size(0);
    RngChoice rng(a.seed(1));
    std::vector<double> points;
    VectorFn f{self.f.get()};
    unwrap(self.value.sample_n(n, rng.get(), f, points));
    return to_py_points(points.data(), n, self.value.dim());
}

PyMethodDef rejection_methods[] = {
    method0<PyRejectionSampler, Access::Shared, &rejection_dim>("dim", "dim($self)\n--\n\n"),
    method0<PyRejectionSampler, Access::Shared, &rejection_pdf_max>("pdf_max",
                                                                    "pdf_max($self)\n--\n\n"),
    method0<PyRejectionSampler, Access::Shared, &rejection_sample>("sample",
                                                                   "sample($self)\n--\n\n"),
    method<PyRejectionSampler, Access::Shared, kRejectionSampleN, &rejection_sample_n>("sample_n"),
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
        unwrap(RejectionSampler::make(support, pdf_max, max_trials)), std::move(f)});
}

PyMethodDef multivar_functions[] = {
    function<kRejectionSampler, &rejection_sampler>("rejection_sampler"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_multivar(PyObject* module) {
    register_class<PyHyperRect>(module);
    register_class<PyRejectionSampler>(module);
    register_functions(module, multivar_functions);
}

}  // namespace varnix::py
