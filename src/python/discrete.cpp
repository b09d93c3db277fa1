// Python class and function of finite discrete distributions.
#include "core/discrete/discrete.hpp"
#include "core/random.hpp"
#include "python/classes.hpp"
#include "python/fills.hpp"
#include "python/pickling.hpp"
#include "python/queries.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

struct PyDiscrete {
    DiscreteDistribution value;
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

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

// The same query over the elements of a float64 buffer (defined with the array methods).
PyObject* discrete_pmf_array(PyDiscrete& self, const Float64View& x);
PyObject* discrete_ppf_array(PyDiscrete& self, const Float64View& u);

constexpr Declaration kPmf{"pmf", {"x"}};
PyObject* discrete_pmf(PyDiscrete& self, const Args& a) {
    if (auto x = Float64View::array_argument(a.object(0), "x")) return discrete_pmf_array(self, *x);
    return to_py(self.value.pmf(a.f64(0)));
}

constexpr Declaration kPmfAt{"pmf_at", {"index"}};
PyObject* discrete_pmf_at(PyDiscrete& self, const Args& a) {
    return to_py(self.value.pmf_at(a.count(0)));
}

constexpr Declaration kCdfAt{"cdf_at", {"index"}};
PyObject* discrete_cdf_at(PyDiscrete& self, const Args& a) {
    return to_py(self.value.cdf_at(a.count(0)));
}

constexpr Declaration kPpf{"ppf", {"u"}};
PyObject* discrete_ppf(PyDiscrete& self, const Args& a) {
    if (auto u = Float64View::array_argument(a.object(0), "u")) return discrete_ppf_array(self, *u);
    return to_py(unwrap(self.value.ppf(a.f64(0))));
}

// ---- Batches: sample_n, sample_into, sample_array (python/fills.hpp) ----

// A draw is one uniform and a table search: no Python, a fixed count of words. Draws are
// independent, so n draws equal any split into rounds.
auto discrete_engine(const DiscreteDistribution& d) {
    return BatchEngine{EngineTraits{DiscreteDistribution::words_per_draw, false}, "", 1,
                       [&d](std::span<double> part, std::size_t, ChaChaRng& rng) {
                           return d.fill(part, rng);
                       }};
}

PyObject* discrete_sample_n(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const auto seed = a.seed(1);
    auto engine = discrete_engine(self.value);
    return draws_list(engine, n, seed);
}

PyObject* discrete_sample_into(PyDiscrete& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    require_draws_shape(out);
    const FillOptions o = fill_options(a, 1, true);
    auto engine = discrete_engine(self.value);
    fill_rows_into(engine, out.flat(), out.flat().size(), o);
    return returned(out);
}

PyObject* discrete_sample_array(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const FillOptions o = fill_options(a, 1, true);
    auto engine = discrete_engine(self.value);
    return new_array_of(engine, n, false, o, [] {});
}

// Quasi-random draws: the quantiles of Sobol points (their first coordinate), as ppf gives them.
PyObject* discrete_sample_qmc(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const QmcOptions o = qmc_options(a, 1, true);
    const DiscreteDistribution& d = self.value;
    QmcEngine engine{false, 1, [&d](std::span<double> part) { return d.ppf_many(part, part); }};
    return qmc_array_of(engine, n, false, o);
}

PyObject* discrete_pmf_array(PyDiscrete& self, const Float64View& x) {
    const DiscreteDistribution& d = self.value;
    return query_over(x, x.size() >= lock_free_query_min,
                      [&d](std::span<const double> in, std::span<double> out) -> FillResult {
                          for (std::size_t i = 0; i < in.size(); ++i) out[i] = d.pmf(in[i]);
                          return {};
                      });
}

PyObject* discrete_ppf_array(PyDiscrete& self, const Float64View& u) {
    const DiscreteDistribution& d = self.value;
    return query_over(u, u.size() >= lock_free_query_min,
                      [&d](std::span<const double> in, std::span<double> out) -> FillResult {
                          for (std::size_t i = 0; i < in.size(); ++i) {
                              const auto x = d.ppf(in[i]);
                              if (!x) return fill_stopped(i, x.error());
                              out[i] = *x;
                          }
                          return {};
                      });
}

PyMethodDef discrete_methods[] = {
    method<PyDiscrete, Access::Shared, "len", &discrete_len>(),
    method<PyDiscrete, Access::Shared, "points", &discrete_points>(),
    method<PyDiscrete, Access::Shared, kPmf, &discrete_pmf>(),
    method<PyDiscrete, Access::Shared, kPmfAt, &discrete_pmf_at>(),
    method<PyDiscrete, Access::Shared, kCdfAt, &discrete_cdf_at>(),
    method<PyDiscrete, Access::Shared, kPpf, &discrete_ppf>(),
    method<PyDiscrete, Access::Shared, "mean", &discrete_mean>(),
    method<PyDiscrete, Access::Shared, "var", &discrete_var>(),
    method<PyDiscrete, Access::Shared, "std", &discrete_std>(),
    method<PyDiscrete, Access::Shared, "sample", &discrete_sample>(),
    method<PyDiscrete, Access::Shared, sample_n_declaration, &discrete_sample_n>(),
    // Arrays.
    method<PyDiscrete, Access::Shared, sample_into_declaration, &discrete_sample_into>(),
    method<PyDiscrete, Access::Shared, sample_array_declaration, &discrete_sample_array>(),
    method<PyDiscrete, Access::Shared, sample_qmc_declaration, &discrete_sample_qmc>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyDiscrete::definition() {
    static const ClassDef def{"DiscreteDistribution", false, nullptr, nullptr, discrete_methods};
    return def;
}

constexpr Declaration kFromPmf{"from_pmf", {"points", "pmf"}};
PyObject* from_pmf(const Args& a) {
    const std::vector<double> points = a.float_vec(0);
    const std::vector<double> masses = a.float_vec(1);
    return make_instance(PyDiscrete{unwrap(DiscreteDistribution::build(points, masses))});
}

PyMethodDef discrete_functions[] = {
    function<kFromPmf, &from_pmf>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_discrete(PyObject* module) {
    register_class<PyDiscrete>(module);
    register_functions(module, discrete_functions);
}

}  // namespace varnix::py
