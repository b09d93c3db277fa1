// Python class and function of finite discrete distributions.
#include "core/discrete/discrete.hpp"
#include "core/random.hpp"
#include "python/chunked_list.hpp"
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

PyObject* discrete_sample_n(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    RngChoice rng(a.seed(1));
    // Draws are independent, one uniform each: n draws equal any split into chunks.
    return to_py_list_filled(n, [&](std::size_t count, std::vector<double>& buf) {
        unwrap(self.value.sample_n(count, rng.get(), buf));
    });
}


// ---- Arrays: fills into buffers, and queries over buffers ----

// A draw is one uniform and a table search: no Python, a fixed count of words.
constexpr EngineTraits kDiscreteEngine{DiscreteDistribution::words_per_draw, false, ""};

void fill_discrete(PyDiscrete& self, std::span<double> out, const FillOptions& o) {
    const DiscreteDistribution& d = self.value;
    fill_draws(out, o, kDiscreteEngine, [&d](std::span<double> part, ChaChaRng& rng) {
        return d.fill(part, rng);
    });
}

PyObject* discrete_sample_into(PyDiscrete& self, const Args& a) {
    const Float64View out = Float64View::writable(a.object(0), "out");
    require_draws_shape(out);
    const FillOptions o = fill_options(a, 1, true);
    fill_discrete(self, out.flat(), o);
    return returned(out);
}

PyObject* discrete_sample_array(PyDiscrete& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const FillOptions o = fill_options(a, 1, true);
    check_start(o, kDiscreteEngine, n);
    const Py_ssize_t shape[] = {array_length(n)};
    PyRef array = new_numpy_array(shape, "sample_array");
    {
        const Float64View out = Float64View::writable(array.get(), "out");
        fill_discrete(self, out.flat(), o);
    }
    return array.release();
}

// Queries over buffers run without the interpreter lock from this many elements on.
constexpr std::size_t lock_free_query_min = 4096;

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
