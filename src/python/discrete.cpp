// Python class and function of finite discrete distributions.
#include "core/discrete/discrete.hpp"
#include "core/random.hpp"
#include "python/classes.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

struct PyDiscrete {
    DiscreteDistribution value;
    static const ClassDef& definition();
};

constexpr const char* kOwner = "DiscreteDistribution";

PyObject* discrete_len(PyDiscrete& self) { return to_py_size(self.value.len()); }
PyObject* discrete_points(PyDiscrete& self) {
    const auto p = self.value.points();
    return to_py_list(p.data(), p.size());
}
PyObject* discrete_mean(PyDiscrete& self) { return to_py(self.value.mean()); }
PyObject* discrete_var(PyDiscrete& self) { return to_py(self.value.var()); }
PyObject* discrete_std(PyDiscrete& self) { return to_py(self.value.std_dev()); }
PyObject* discrete_sample(PyDiscrete& self) {
    return to_py(unwrap(self.value.sample(ChaChaRng::thread_local_rng())));
}

constexpr Decl kPmf{kOwner, "pmf($self, x)"};
PyObject* discrete_pmf(PyDiscrete& self, const Args& a) { return to_py(self.value.pmf(a.f64(0))); }

constexpr Decl kPmfAt{kOwner, "pmf_at($self, index)"};
PyObject* discrete_pmf_at(PyDiscrete& self, const Args& a) {
    return to_py(self.value.pmf_at(a.size(0)));
}

constexpr Decl kCdfAt{kOwner, "cdf_at($self, index)"};
PyObject* discrete_cdf_at(PyDiscrete& self, const Args& a) {
    return to_py(self.value.cdf_at(a.size(0)));
}

constexpr Decl kPpf{kOwner, "ppf($self, u)"};
PyObject* discrete_ppf(PyDiscrete& self, const Args& a) {
    return to_py(unwrap(self.value.ppf(a.f64(0))));
}

constexpr Decl kSampleN{kOwner, "sample_n($self, n, seed=None)"};
PyObject* discrete_sample_n(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.size(0);
    RngChoice rng(a.seed(1));
    // Draws are independent, one uniform each: n draws equal any split into chunks.
    return to_py_list_filled(n, [&](std::size_t count, std::vector<double>& buf) {
        unwrap(self.value.sample_n(count, rng.get(), buf));
    });
}

PyMethodDef discrete_methods[] = {
    method0<PyDiscrete, Access::Shared, "len($self)", &discrete_len>(),
    method0<PyDiscrete, Access::Shared, "points($self)", &discrete_points>(),
    method<PyDiscrete, Access::Shared, kPmf, &discrete_pmf>("pmf"),
    method<PyDiscrete, Access::Shared, kPmfAt, &discrete_pmf_at>("pmf_at"),
    method<PyDiscrete, Access::Shared, kCdfAt, &discrete_cdf_at>("cdf_at"),
    method<PyDiscrete, Access::Shared, kPpf, &discrete_ppf>("ppf"),
    method0<PyDiscrete, Access::Shared, "mean($self)", &discrete_mean>(),
    method0<PyDiscrete, Access::Shared, "var($self)", &discrete_var>(),
    method0<PyDiscrete, Access::Shared, "std($self)", &discrete_std>(),
    method0<PyDiscrete, Access::Shared, "sample($self)", &discrete_sample>(),
    method<PyDiscrete, Access::Shared, kSampleN, &discrete_sample_n>("sample_n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyDiscrete::definition() {
    static const ClassDef def{kOwner, false, nullptr, nullptr, discrete_methods};
    return def;
}

constexpr Decl kFromPmf{nullptr, "from_pmf(points, pmf)"};
PyObject* from_pmf(const Args& a) {
    const std::vector<double> points = a.float_vec(0);
    const std::vector<double> masses = a.float_vec(1);
    return make_instance(PyDiscrete{unwrap(DiscreteDistribution::build(points, masses))});
}

PyMethodDef discrete_functions[] = {
    function<kFromPmf, &from_pmf>("from_pmf"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_discrete(PyObject* module) {
    register_class<PyDiscrete>(module);
    register_functions(module, discrete_functions);
}

}  // namespace varnix::py
