// Python classes and functions of the two chains: Metropolis-Hastings and HMC.
//
// A chain's user functions are bound for each call (chain_functions): f as a density or as its
// logarithm, and for HMC the gradient of the log density, given by a function of its own or by
// f together with the log density. sample_chains runs several copies of a chain, each on its
// own stream (core/multivar/chains.hpp).
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/multivar/chains.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "python/box_samplers.hpp"
#include "python/pickling.hpp"
#include "python/registry.hpp"

namespace varnix::py {
namespace {

// The user functions of a chain for one call from Python, as the core calls them. The target
// refers to the members, so it is made where the functions stay (with_bound).
struct ChainFunctions {
    VectorFn f;                         // the density or its logarithm, as given
    bool log = false;
    std::optional<ValueOfPairFn> pair;  // f giving (log density, gradient): its log density
    std::optional<GradientFn> gradient;

    ChainTarget target() const {
        ChainTarget t =
            pair ? ChainTarget(DensityRef(*pair), true) : ChainTarget(DensityRef(f), log);
        if (gradient) {
            t.grad = GradientRef(*gradient);
            t.grad_gives_value = gradient->with_value;
        }
        return t;
    }
    template <class Core>
    auto bind(Core& chain) const {
        // HMC's finite differences take their points in one call over arrays when f is one.
        if constexpr (requires { chain.with(target(), batch_of(f)); }) {
            if (!log && !pair) return chain.with(target(), batch_of(f));
        }
        return chain.with(target());
    }
};

ChainFunctions density_functions(bool log, const VectorFn& f) {
    ChainFunctions functions{f, log, std::nullopt, std::nullopt};
    if (log) functions.f.role = Role::LogDensity;
    return functions;
}

// Where a chain moves: support=None is the whole space.
ChainSupport chain_support_arg(const Args& a, std::size_t i) {
    if (a.object(i) == Py_None) return ChainSupport::whole_space();
    return support_arg(a, i);
}

// The one place that says whether a chain's user functions may be called on any thread without
// the interpreter. Python callables may not: sample_chains then runs the chains one after the
// other on the calling thread. A kind of user function that needs no interpreter (a compiled
// function) answers true here, and the chains are then shared between threads with the
// interpreter lock released; the draws are the same for every thread count.
template <class Py>
bool chains_run_on_threads(const Py& self) {
    if constexpr (requires { self.grad; }) {
        if (self.grad.needs_interpreter() && self.grad) return false;
        if (self.value.settings().gradient == HmcGradient::WithValue) return false;
    }
    return !self.f.needs_interpreter();
}

[[noreturn]] void raise_start_refusal(const std::string& where, const StartRefusal& r,
                                      std::size_t given, std::size_t d) {
    std::string message;
    switch (r.why) {
        case StartRefused::WrongDimension:
            message = where + " has " + std::to_string(given) + " coordinates, the chain " +
                      (d == 0 ? std::string("at least 1") : std::to_string(d));
            break;
        case StartRefused::NotFinite:
            message = where + " has a coordinate that is not finite";
            break;
        case StartRefused::OutsideBox: message = where + " lies outside the box"; break;
        case StartRefused::LogDensityNotFinite:
            message = "the log density at " + where + " is " + render_number(r.value) +
                      "; a chain starts where it is finite";
            break;
    }
    raise(PyExc_ValueError, message);
}

// init(seed=None, *, point=None): a uniform start in the box drawn with the thread's
// generator, or with a fresh seeded one when a seed is given (so that a seeded script gives the
// same chain); or the point given, the only start on the whole space.
constexpr Declaration kChainInit{"init", {{"seed", None}, {"point", None}}, 1};
template <class Py>
PyObject* chain_init(Py& self, const Args& a) {
    RngChoice rng(a.seed(0));
    const VectorFn f = vector_fn(self.f);
    if (a.given(1)) {
        const std::vector<double> point = a.float_vec(1);
        with_bound(self, f, [&](auto& bound) {
            auto started = bound.init_at(point);
            if (!started) {
                raise_start_refusal("init(): the start point", started.error(), point.size(),
                                    self.value.dim());
            }
        });
        return none();
    }
    if (!self.value.bounded()) {
        raise(PyExc_ValueError,
              "init(): a chain on the whole space starts at a point given: init(point=[...])");
    }
    with_bound(self, f, [&](auto& bound) {
        unwrap(released_if(chains_run_on_threads(self), [&] { return bound.init(rng.get()); }));
    });
    return none();
}

template <class Py>
PyObject* chain_step(Py& self) {
    const VectorFn f = vector_fn(self.f);
    return with_bound(self, f, [&](auto& bound) {
        return list_of(unwrap(released_if(chains_run_on_threads(self), [&] {
            return bound.step(ChaChaRng::thread_local_rng());
        })));
    });
}

template <class Py>
PyObject* chain_accept_rate(Py& self) {
    return to_py(self.value.accept_rate());
}

// sample_chains(n, chains=4, seed=None, warmup=None, *, inits=None): a float64 array of shape
// (chains, n, d). Each chain is a copy of this one (which does not move), started on its own
// stream of the seed (core/multivar/chains.hpp), at a uniform point of the box or at its point
// of inits; on the whole space without inits every chain starts at this chain's point.
constexpr Declaration kSampleChains{
    "sample_chains", {"n", {"chains", 4}, {"seed", None}, {"warmup", None}, {"inits", None}}, 4};
template <class Py>
PyObject* sample_chains(Py& self, const Args& a) {
    const std::uint64_t n = a.count(0);
    const std::uint64_t chains = a.count(1);
    const auto seed = a.seed(2);
    const auto warmup = a.opt_count(3);
    const bool given_inits = a.given(4);
    const std::vector<std::vector<double>> inits =
        given_inits ? a.float_vec_vec(4) : std::vector<std::vector<double>>{};
    if (chains == 0 || chains > max_chains) {
        raise(PyExc_ValueError, "sample_chains(): chains must be from 1 to " +
                                    std::to_string(max_chains) + ", not " + std::to_string(chains));
    }
    const auto k = static_cast<std::size_t>(chains);
    std::size_t d = self.value.dim();
    std::vector<double> starts;
    if (given_inits) {
        if (inits.size() != k) {
            raise(PyExc_ValueError, "sample_chains(): inits must hold one start point per chain (" +
                                        std::to_string(k) + "), not " +
                                        std::to_string(inits.size()));
        }
        if (d == 0) d = inits[0].size();
        for (const auto& p : inits) {
            if (p.size() != d || d == 0) {
                raise(PyExc_ValueError, "sample_chains(): every start point must have " +
                                            std::to_string(d == 0 ? 1 : d) + " coordinates");
            }
            starts.insert(starts.end(), p.begin(), p.end());
        }
    } else if (!self.value.bounded()) {
        if (!self.value.initialized()) {
            raise(PyExc_ValueError,
                  "sample_chains(): chains on the whole space start at points given: inits=[...] "
                  "(one per chain), or init(point=[...]) first");
        }
        for (std::size_t c = 0; c < k; ++c) {
            starts.insert(starts.end(), self.value.current().begin(), self.value.current().end());
        }
    }
    const Py_ssize_t shape[] = {static_cast<Py_ssize_t>(k),
                                array_length(n, std::max<std::size_t>(d, 1) * k),
                                static_cast<Py_ssize_t>(d)};
    PyRef array = new_numpy_array(shape, "sample_chains");
    const Float64View out = Float64View::writable(array.get(), "out");

    ChainsPlan plan;
    plan.chains = k;
    plan.n = static_cast<std::size_t>(n);
    plan.warmup = warmup ? static_cast<std::size_t>(*warmup) : default_warmup(self);
    plan.key = seed ? seeded_key(*seed) : key_from(ChaChaRng::thread_local_rng());
    plan.starts = starts;
    const bool threads = chains_run_on_threads(self);
    plan.parts = threads ? std::min(k, available_cores()) : 1;

    const VectorFn f = vector_fn(self.f);
    std::vector<std::optional<StartRefusal>> refusals;
    FillResult r;
    const auto functions = chain_functions(self, f);
    const ChainTarget target = functions.target();
    auto run = [&] { r = run_chains(self.value, target, plan, out.flat(), refusals); };
    if (threads) {
        PythonFillHook{}.unlocked(run);
    } else {
        run();
    }
    if (!r) {
        const std::size_t c = r.error().filled;
        if (c < refusals.size() && refusals[c]) {
            raise_start_refusal("sample_chains(): the start point of chain " + std::to_string(c),
                                *refusals[c], d, d);
        }
        raise_error(r.error().error);
    }
    return array.release();
}

// ---- MetropolisHastings ----

struct PyMetropolisHastings : WithCallable<MetropolisHastings, NativeArity::Points> {
    static constexpr bool saved = true;  // pickled as its saved state
    static const ClassDef& definition();
};

ChainFunctions chain_functions(const PyMetropolisHastings& self, const VectorFn& f) {
    return density_functions(self.value.settings().log_density, f);
}

std::size_t default_warmup(const PyMetropolisHastings& s) { return s.value.settings().burn_in; }

PyMethodDef mh_methods[] = {
    method<PyMetropolisHastings, Access::Exclusive, kChainInit,
           &chain_init<PyMetropolisHastings>>(),
    method<PyMetropolisHastings, Access::Exclusive, "step", &chain_step<PyMetropolisHastings>>(),
    method<PyMetropolisHastings, Access::Exclusive, "sample", &chain_step<PyMetropolisHastings>>(),
    method<PyMetropolisHastings, Access::Exclusive, sample_n_declaration,
           &box_sample_n<PyMetropolisHastings>>(),
    method<PyMetropolisHastings, Access::Shared, "accept_rate",
           &chain_accept_rate<PyMetropolisHastings>>(),
    method<PyMetropolisHastings, Access::Shared, kSampleChains,
           &sample_chains<PyMetropolisHastings>>(),
    // Arrays.
    method<PyMetropolisHastings, Access::Exclusive, points_into_declaration,
           &box_sample_into<PyMetropolisHastings, kChainVariable>>(),
    method<PyMetropolisHastings, Access::Exclusive, points_array_declaration,
           &box_sample_array<PyMetropolisHastings, kChainVariable>>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyMetropolisHastings::definition() {
    static const ClassDef def{"MetropolisHastings", true, nullptr, nullptr, mh_methods};
    return def;
}

// The settings' defaults are the core's own.
constexpr MhSettings kMhDefaults{};
constexpr Declaration kMetropolisHastings{
    "metropolis_hastings",
    {"f", "support", {"step_size", kMhDefaults.step_size}, {"burn_in", kMhDefaults.burn_in},
     {"thin", kMhDefaults.thin}, {"target_accept", kMhDefaults.target_accept},
     {"adapt_steps", kMhDefaults.adapt_steps}, {"log_density", kMhDefaults.log_density}},
    7};
PyObject* metropolis_hastings(const Args& a) {
    UserFunction f = UserFunction::of(a.object(0), NativeArity::Points);
    ChainSupport support = chain_support_arg(a, 1);
    MhSettings settings;
    settings.step_size = a.f64(2);
    settings.burn_in = a.count(3);
    settings.thin = a.count(4);
    settings.target_accept = a.f64(5);
    settings.adapt_steps = a.count(6);
    settings.log_density = a.boolean(7);
    return make_instance(PyMetropolisHastings{
        {unwrap(MetropolisHastings::make(std::move(support), settings)), std::move(f)}});
}

// ---- HmcSampler ----

// The chain, f, and grad when the gradient has a function of its own.
struct PyHmcSampler {
    HmcSampler value;
    UserFunction f;
    UserFunction grad;
    int traverse(visitproc visit, void* arg) {
        if (const int r = f.traverse(visit, arg); r != 0) return r;
        return grad.traverse(visit, arg);
    }
    void clear() {
        f.clear();
        grad.clear();
    }
    static const ClassDef& definition();
};

ChainFunctions chain_functions(const PyHmcSampler& self, const VectorFn& f) {
    const HmcSettings& s = self.value.settings();
    ChainFunctions functions = density_functions(s.log_density, f);
    switch (s.gradient) {
        case HmcGradient::FiniteDifferences: break;
        case HmcGradient::Callable:
            functions.gradient =
                GradientFn{self.grad.python_callable(), false, f.calls, self.grad.native()};
            break;
        case HmcGradient::WithValue:
            functions.pair = ValueOfPairFn{self.f.python_callable(), f.calls};
            functions.gradient = GradientFn{self.f.python_callable(), true, f.calls};
            break;
    }
    return functions;
}

std::size_t default_warmup(const PyHmcSampler& s) { return s.value.settings().adapt_steps; }

// Pickled with f alone, or with f and grad when grad is a function of its own.
PyObject* hmc_reduce(PyHmcSampler& self) {
    const std::string state = StateCodec::save(self.value);
    refuse_unpicklable(self.f);
    refuse_unpicklable(self.grad);
    if (self.grad) return reduce_to_state("HmcSampler", {self.f.get(), self.grad.get()}, state);
    return reduce_to_state("HmcSampler", {self.f.get()}, state);
}

PyObject* hmc_restore(const SavedState& saved) {
    HmcSampler value = unwrap(StateCodec::load<HmcSampler>(saved.bytes));
    if (value.settings().gradient != HmcGradient::Callable) {
        PyRef f = saved.callable(true);
        return make_instance(PyHmcSampler{
            std::move(value), UserFunction::of(f.get(), NativeArity::Points), UserFunction()});
    }
    if (PyTuple_Size(saved.callables) != 2 ||
        !PyCallable_Check(PyTuple_GetItem(saved.callables, 0)) ||
        !PyCallable_Check(PyTuple_GetItem(saved.callables, 1))) {
        raise(PyExc_TypeError,
              "an HmcSampler with a gradient function is restored with two callables (f, grad)");
    }
    return make_instance(PyHmcSampler{
        std::move(value), UserFunction::of(PyTuple_GetItem(saved.callables, 0), NativeArity::Points),
        UserFunction::of(PyTuple_GetItem(saved.callables, 1), NativeArity::Gradient)});
}

PyMethodDef hmc_methods[] = {
    method<PyHmcSampler, Access::Exclusive, kChainInit, &chain_init<PyHmcSampler>>(),
    method<PyHmcSampler, Access::Exclusive, "sample", &chain_step<PyHmcSampler>>(),
    method<PyHmcSampler, Access::Exclusive, sample_n_declaration, &box_sample_n<PyHmcSampler>>(),
    method<PyHmcSampler, Access::Shared, "accept_rate", &chain_accept_rate<PyHmcSampler>>(),
    method<PyHmcSampler, Access::Shared, kSampleChains, &sample_chains<PyHmcSampler>>(),
    // Arrays.
    method<PyHmcSampler, Access::Exclusive, points_into_declaration,
           &box_sample_into<PyHmcSampler, kChainVariable>>(),
    method<PyHmcSampler, Access::Exclusive, points_array_declaration,
           &box_sample_array<PyHmcSampler, kChainVariable>>(),
    // Pickling and copying (python/pickling.hpp).
    method<PyHmcSampler, Access::Shared, "__reduce__", &hmc_reduce>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDef& PyHmcSampler::definition() {
    static const ClassDef def{"HmcSampler", true, nullptr, nullptr, hmc_methods};
    return def;
}

// grad: None (central differences), a callable giving the gradient of ln f, or True: f gives
// (log density, gradient), which needs log_density=True.
HmcGradient gradient_arg(const Args& a, std::size_t i, bool log_density) {
    if (!a.given(i) || a.object(i) == Py_False) return HmcGradient::FiniteDifferences;
    PyObject* g = a.object(i);
    if (g == Py_True) {
        if (!log_density) {
            raise(PyExc_ValueError,
                  "hmc_sampler(): grad=True means f returns (log density, gradient), which needs "
                  "log_density=True");
        }
        return HmcGradient::WithValue;
    }
    // A compiled gradient (a capsule is not callable) is recognised, and its signature checked.
    if (!PyCallable_Check(g) && !UserFunction::of(g, NativeArity::Gradient).native()) {
        raise(PyExc_TypeError, "argument 'grad': expected a callable, True or None, not '" +
                                   type_name(g) + "'");
    }
    return HmcGradient::Callable;
}

// The settings' defaults are the core's own.
constexpr HmcSettings kHmcDefaults{};
constexpr Declaration kHmcSampler{
    "hmc_sampler",
    {"f", "support", {"step_size", kHmcDefaults.step_size},
     {"leapfrog_steps", kHmcDefaults.leapfrog_steps}, {"grad_eps", kHmcDefaults.grad_eps},
     {"log_density", kHmcDefaults.log_density}, {"grad", None}, {"jitter", kHmcDefaults.jitter},
     {"adapt_steps", kHmcDefaults.adapt_steps}, {"target_accept", kHmcDefaults.target_accept}},
    5};
PyObject* hmc_sampler(const Args& a) {
    UserFunction f = UserFunction::of(a.object(0), NativeArity::Points);
    ChainSupport support = chain_support_arg(a, 1);
    HmcSettings settings;
    settings.step_size = a.f64(2);
    settings.leapfrog_steps = a.count(3);
    settings.grad_eps = a.f64(4);
    settings.log_density = a.boolean(5);
    settings.gradient = gradient_arg(a, 6, settings.log_density);
    settings.jitter = a.f64(7);
    settings.adapt_steps = a.count(8);
    settings.target_accept = a.f64(9);
    UserFunction grad = settings.gradient == HmcGradient::Callable
                            ? UserFunction::of(a.object(6), NativeArity::Gradient)
                            : UserFunction();
    return make_instance(PyHmcSampler{unwrap(HmcSampler::make(std::move(support), settings)),
                                      std::move(f), std::move(grad)});
}

PyMethodDef chain_functions_table[] = {
    function<kMetropolisHastings, &metropolis_hastings>(),
    function<kHmcSampler, &hmc_sampler>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_chain_classes(PyObject* module) {
    register_class<PyMetropolisHastings>(module);
    register_class<PyHmcSampler>(module);
    add_restorer("HmcSampler", &hmc_restore);  // its own: one or two callables
}

void register_chain_functions(PyObject* module) {
    register_functions(module, chain_functions_table);
}

}  // namespace varnix::py
