// The batch forms of the box samplers' and the copula's user functions against their scalar
// forms: one table of cases, each run twice from the same words (once with the scalar function
// alone, once with the batch form beside it), which must give the same values bit for bit, take
// the same words and stop at the same place with the same error. The batch functions here are
// elementwise (the scalar function at every row), as the batch path requires.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/batch_fn.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/rejection.hpp"
#include "core/random.hpp"
#include "multivar_support.hpp"

using varnix::BatchFn;
using varnix::CdfMcEstimator;
using varnix::ChaChaRng;
using varnix::GaussianCopula;
using varnix::HmcSampler;
using varnix::HmcSettings;
using varnix::OptionalBatch;
using varnix::RejectionSampler;
using varnix::SampleError;
using varnix::SampleErrorKind;
using varnix::SampleResult;

namespace {
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

// What a run leaves behind, compared field by field (values bit for bit, so NaN equals NaN).
struct Outcome {
    std::vector<double> values;
    std::size_t words = 0;
    std::optional<std::size_t> stopped_at;  // draws written before the failing one
    std::string error;                      // its message, empty when none
    std::size_t scalar_calls = 0, batch_calls = 0, batch_points = 0;
};

using Density = std::function<double(std::span<const double>)>;

// The calls a run makes, and the function in its two forms.
struct Counted {
    Density f;
    Outcome* o;
    double operator()(std::span<const double> x) const {
        ++o->scalar_calls;
        return f(x);
    }
};
struct CountedBatch {
    Density f;
    std::size_t d;
    Outcome* o;
    void operator()(std::span<const double> points, std::span<double> values) const {
        ++o->batch_calls;
        o->batch_points += values.size();
        CHECK_EQ(points.size(), values.size() * d);
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = f(points.subspan(k * d, d));
    }
};

// A seeded stream that counts the words it hands out; its copies are sources of their own.
struct CountedStream {
    ChaChaRng rng;
    std::size_t consumed = 0;
    std::uint64_t next_u64() {
        ++consumed;
        return rng.next_u64();
    }
};
CountedStream stream_words(std::uint64_t seed) { return {ChaChaRng::seeded(seed)}; }

void record_stop(Outcome& o, const varnix::FillResult& r) {
    if (!r) {
        o.stopped_at = r.error().filled;
        o.error = r.error().error.message();
    }
}

// ---- The samplers, each run once with or without the batch form ----

struct RejectionCase {
    varnix::HyperRect box;
    double pdf_max;
    std::size_t max_trials;
    std::size_t n;
    Density f;
};

Outcome run_rejection(const RejectionCase& c, bool batched) {
    Outcome o;
    auto s = *RejectionSampler::make(c.box, c.pdf_max, c.max_trials);
    const std::size_t d = c.box.dim();
    const Counted f{c.f, &o};
    const CountedBatch fb{c.f, d, &o};
    const OptionalBatch batch = batched ? OptionalBatch(BatchFn(fb)) : std::nullopt;
    auto words = stream_words(5);
    o.values.assign(c.n * d, -7.0);  // rows never written keep this
    record_stop(o, s.with(f, batch).fill(std::span<double>(o.values), words));
    o.words = words.consumed;
    return o;
}

// The sampler on the seeded stream itself, in runs of 512 points as the binding fills a list.
Outcome run_rejection_chacha(const RejectionCase& c, bool batched) {
    Outcome o;
    auto s = *RejectionSampler::make(c.box, c.pdf_max, c.max_trials);
    const std::size_t d = c.box.dim();
    const Counted f{c.f, &o};
    const CountedBatch fb{c.f, d, &o};
    const OptionalBatch batch = batched ? OptionalBatch(BatchFn(fb)) : std::nullopt;
    auto rng = ChaChaRng::seeded(17);
    o.values.assign(c.n * d, -7.0);
    auto bound = s.with(f, batch);
    for (std::size_t k = 0; k < c.n && !o.stopped_at; k += 512) {
        const std::size_t part = std::min<std::size_t>(512, c.n - k);
        record_stop(o, bound.fill(std::span<double>(o.values).subspan(k * d, part * d), rng));
    }
    o.words = rng.words_drawn();
    return o;
}

struct CdfMcCase {
    varnix::HyperRect box;
    std::size_t normalization_samples, cdf_samples;
    std::vector<double> x;  // empty: estimate the normalisation only
    Density f;
};

Outcome run_cdf_mc(const CdfMcCase& c, bool batched) {
    Outcome o;
    CdfMcEstimator e(c.box, c.normalization_samples, c.cdf_samples);
    const Counted f{c.f, &o};
    const CountedBatch fb{c.f, c.box.dim(), &o};
    const OptionalBatch batch = batched ? OptionalBatch(BatchFn(fb)) : std::nullopt;
    auto words = stream_words(9);
    const SampleResult<double> r = c.x.empty() ? e.with(f, batch).estimate_normalization(words)
                                               : e.with(f, batch).cdf(c.x, words);
    if (r) o.values.push_back(*r);
    else o.error = r.error().message();
    o.values.push_back(e.cached_normalization().value_or(-1.0));
    o.words = words.consumed;
    return o;
}

struct HmcCase {
    varnix::HyperRect box;
    HmcSettings settings;
    std::size_t n;
    Density f;
};

Outcome run_hmc(const HmcCase& c, bool batched) {
    Outcome o;
    HmcSampler hmc(c.box, c.settings);
    const Counted f{c.f, &o};
    const CountedBatch fb{c.f, c.box.dim(), &o};
    const OptionalBatch batch = batched ? OptionalBatch(BatchFn(fb)) : std::nullopt;
    auto words = stream_words(21);
    CHECK(hmc.with(f).init(words).has_value());
    auto r = hmc.with(f, batch).sample_n(c.n, words, o.values);
    if (!r) o.error = r.error().message();
    o.words = words.consumed;
    CHECK_EQ(o.batch_points, o.batch_calls * 2 * c.box.dim());  // a gradient's points, at once
    return o;
}

// The quantile functions fail (an error, not a value) where fails(i, u) says so.
struct CopulaCase {
    std::vector<std::vector<double>> corr;
    std::size_t ppf_count;
    std::size_t n;
    std::function<double(std::size_t, double)> ppf;
    std::function<bool(std::size_t, double)> fails;
};

Outcome run_copula(const CopulaCase& c, bool batched) {
    Outcome o;
    const auto copula = *GaussianCopula::make(c.corr);
    auto scalar = [&](std::size_t i, double u) -> SampleResult<double> {
        ++o.scalar_calls;
        // The error names u, so that a failure at another point is told apart.
        if (c.fails(i, u)) return std::unexpected(SampleError::quantile_out_of_range(u));
        return c.ppf(i, u);
    };
    // As a binding would: NaN where the call has no value.
    auto batch = [&](std::size_t i, std::span<const double> u, std::span<double> values) {
        ++o.batch_calls;
        o.batch_points += u.size();
        for (std::size_t k = 0; k < u.size(); ++k) {
            values[k] = c.fails(i, u[k]) ? qnan : c.ppf(i, u[k]);
        }
    };
    const auto ppf_batch = batched ? varnix::OptionalQuantileBatch(batch) : std::nullopt;
    auto words = stream_words(33);
    const std::size_t d = copula.dim();
    o.values.assign(c.n * d, -7.0);
    record_stop(o, copula.with(scalar, c.ppf_count, ppf_batch)
                       .fill(std::span<double>(o.values), words));
    o.words = words.consumed;
    return o;
}

// ---- Densities and quantile functions of the cases ----

double bump(std::span<const double> x) {
    double q = 0.0;
    for (double v : x) q += v * v;
    return std::exp(-0.5 * q);
}
// The bump, with NaN, negative and infinite values on parts of the box.
double spoiled_bump(std::span<const double> x) {
    if (x[0] < -0.6) return qnan;
    if (x[0] > 1.9) return -0.25;
    if (x[1] > 2.42) return std::numeric_limits<double>::infinity();
    return bump(x);
}
// Zero on a slab: trajectories that reach it see an infinite gradient and are rejected.
double cut_bump(std::span<const double> x) { return x[0] > 1.2 ? 0.0 : bump(x); }

double exponential_ppf(std::size_t i, double u) {
    return -std::log1p(-u) * (1.0 + static_cast<double>(i));
}

struct Case {
    const char* name;
    std::function<Outcome(bool)> run;
    // The batch path must have used the batch form and (when set) made no scalar call.
    bool batch_only;
    bool stops;  // the case ends in an error (on both paths)
};

const varnix::HyperRect shifted2 = mvtest::box({-1, 2}, {3, 2.5});
const varnix::HyperRect cube3 = mvtest::box({-2, -2, -2}, {2, 2, 2});

std::vector<Case> cases() {
    const Density smooth = mvtest::correlated_normal;
    return {
        {"rejection: accept-reject over many batches",
         [=](bool b) { return run_rejection({shifted2, 1.0, 1000, 700, smooth}, b); }, true,
         false},
        {"rejection: NaN, negative and infinite values re-lay the batch",
         [=](bool b) { return run_rejection({shifted2, 1.0, 1000, 600, spoiled_bump}, b); },
         true, false},
        {"rejection: max_trials runs out mid-fill, same place, same row",
         [=](bool b) { return run_rejection({cube3, 1.0, 12, 400, bump}, b); }, true, true},
        {"rejection: a value above pdf_max ends the fill at its proposal",
         [=](bool b) {
             auto high = [](std::span<const double> x) { return x[0] > 2.995 ? 1.5 : 0.5; };
             return run_rejection({shifted2, 1.0, 1000, 4000, high}, b);
         },
         true, true},
        {"rejection: max_trials 0",
         [=](bool b) { return run_rejection({cube3, 1.0, 0, 5, bump}, b); }, true, true},
        {"rejection: more points than one batch holds",
         [=](bool b) {
             auto flat = [](std::span<const double>) { return 1.0; };
             return run_rejection({cube3, 1.0, 10, 5000, flat}, b);
         },
         true, false},
        {"rejection: seeded stream, filled in runs of 512",
         [=](bool b) { return run_rejection_chacha({cube3, 1.0, 1000, 1500, spoiled_bump}, b); },
         true, false},
        {"cdf_mc: normalisation over several batches",
         [=](bool b) { return run_cdf_mc({cube3, 9000, 1, {}, spoiled_bump}, b); }, true, false},
        {"cdf_mc: F(x) with a free and a clamped coordinate, normalising first",
         [=](bool b) { return run_cdf_mc({cube3, 5000, 4500, {qnan, -3.0, 0.5}, bump}, b); },
         true, false},
        {"cdf_mc: a normalisation that fails",
         [=](bool b) {
             auto zero = [](std::span<const double>) { return -0.0; };
             return run_cdf_mc({cube3, 100, 100, {0.0, 0.0, 0.0}, zero}, b);
         },
         true, true},
        {"hmc: gradient points in one call",
         [=](bool b) { return run_hmc({cube3, {0.1, 7, 1e-6}, 40, bump}, b); }, false, false},
        {"hmc: infinite gradients reject trajectories",
         [=](bool b) { return run_hmc({cube3, {0.4, 10, 1e-6}, 40, cut_bump}, b); }, false,
         false},
        {"copula: several rounds",
         [=](bool b) {
             return run_copula({{{1, 0, 0}, {0.5, 1, 0}, {-0.3, 0.2, 1}}, 3, 5000,
                                exponential_ppf, [](std::size_t, double) { return false; }},
                               b);
         },
         true, false},
        {"copula: NaN quantiles are values, asked again of the scalar form",
         [=](bool b) {
             auto ppf = [](std::size_t i, double u) {
                 return i == 1 && u > 0.8 ? qnan : exponential_ppf(i, u);
             };
             return run_copula({{{1, 0}, {0.7, 1}}, 2, 300, ppf,
                                [](std::size_t, double) { return false; }},
                               b);
         },
         false, false},
        {"copula: the first failing draw in draw order, a later marginal failing earlier",
         [=](bool b) {
             auto fails = [](std::size_t i, double u) {
                 return (i == 0 && u > 0.995) || (i == 2 && u < 0.05);
             };
             return run_copula({{{1, 0, 0}, {0.5, 1, 0}, {-0.3, 0.2, 1}}, 3, 3000,
                                exponential_ppf, fails},
                               b);
         },
         false, true},
        {"copula: a wrong number of quantile functions",
         [=](bool b) {
             return run_copula({{{1, 0}, {0.7, 1}}, 3, 10, exponential_ppf,
                                [](std::size_t, double) { return false; }},
                               b);
         },
         false, true},
    };
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::bit_cast<std::uint64_t>(a[k]) != std::bit_cast<std::uint64_t>(b[k])) return false;
    }
    return true;
}
}  // namespace

TEST(batch_forms_give_the_scalar_paths_values_words_and_failures) {
    for (const Case& c : cases()) {
        const Outcome scalar = c.run(false);
        const Outcome batched = c.run(true);
        const auto fail = [&](const char* what) {
            check::fail(__FILE__, __LINE__, std::string(c.name) + ": " + what);
        };
        if (!same_bits(scalar.values, batched.values)) fail("values differ");
        if (scalar.words != batched.words) fail("words taken differ");
        if (scalar.stopped_at != batched.stopped_at) fail("stopped at a different draw");
        if (scalar.error != batched.error) fail(("errors differ: " + scalar.error + " / " +
                                                 batched.error).c_str());
        if (scalar.batch_calls != 0) fail("the scalar run called the batch form");
        if (batched.batch_calls == 0 && scalar.scalar_calls != 0) fail("batch form unused");
        if (c.batch_only && batched.scalar_calls != 0) fail("the batch run called f alone");
        if (scalar.error.empty() == c.stops) fail("the case does not end as it should");
    }
}
