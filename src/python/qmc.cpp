// sobol_points(n, dim, ...): the points of the Sobol sequence themselves, plain or scrambled,
// as the quasi-random draws of every distribution take them (python/fills.hpp).
#include "python/classes.hpp"
#include "python/fills.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

constexpr Declaration kSobolPoints{
    "sobol_points",
    {"n", "dim", {"seed", None}, {"start", 0}, {"threads", None}, {"scramble", true}}};

PyObject* sobol_points(const Args& a) {
    const std::uint64_t n = a.count(0);
    const std::uint64_t dim = a.count(1);
    const QmcOptions o = qmc_options(a, 2, true);
    check_qmc_dimension(dim);
    QmcEngine engine{false, static_cast<std::size_t>(dim),
                     [](std::span<double>) { return FillResult{}; }};
    return qmc_array_of(engine, n, true, o);
}

PyMethodDef qmc_functions[] = {
    function<kSobolPoints, &sobol_points>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_qmc(PyObject* module) { register_functions(module, qmc_functions); }

}  // namespace varnix::py
