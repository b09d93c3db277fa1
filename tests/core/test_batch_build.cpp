// Builds of the interpolated engine and the check model from a density's batch form against
// the same builds from the scalar density: for a batch that gives the scalar function's values,
// every stored number, every error and the density-read count are the same; only the calls
// differ, and those are counted.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/batch_fn.hpp"
#include "core/continuous/distribution.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "reference_shapes.hpp"

using varnix::BatchFn;
using varnix::BuildError;
using varnix::BuildOptions;
using varnix::BuildResult;
using varnix::ContinuousDistribution;
using varnix::InterpolatedInverse;
using varnix::InterpolationOptions;
using varnix::Interval;
using varnix::PanelTable;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}
template <std::size_t N>
bool same_bits(const std::optional<std::array<double, N>>& a,
               const std::optional<std::array<double, N>>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return same_bits(std::vector<double>(a->begin(), a->end()),
                     std::vector<double>(b->begin(), b->end()));
}

// Every number an inverse keeps (its saved state), bit for bit.
bool same_state(const InterpolatedInverse& a, const InterpolatedInverse& b) {
    const InterpolatedInverse::State s = a.state();
    const InterpolatedInverse::State t = b.state();
    bool same = same_bits(s.lo, t.lo) && same_bits(s.hi, t.hi) &&
                same_bits(s.u_resolution, t.u_resolution) && s.order == t.order &&
                same_bits(s.max_u_error, t.max_u_error) && s.density_calls == t.density_calls &&
                same_bits(s.x, t.x) && same_bits(s.u, t.u) && same_bits(s.s, t.s) &&
                same_bits(s.width, t.width) && same_bits(s.coefficients, t.coefficients) &&
                s.panels.has_value() == t.panels.has_value();
    if (same && s.panels) {
        const PanelTable::State& p = *s.panels;
        const PanelTable::State& q = *t.panels;
        same = same_bits(p.lo, q.lo) && same_bits(p.hi, q.hi) && p.exponent == q.exponent &&
               same_bits(p.mass, q.mass) && same_bits(p.unresolved, q.unresolved) &&
               same_bits(p.mean, q.mean) && same_bits(p.variance, q.variance) &&
               same_bits(p.entropy, q.entropy) && same_bits(p.edges, q.edges) &&
               same_bits(p.masses, q.masses) && same_bits(p.values, q.values) &&
               same_bits(p.below, q.below) && same_bits(p.above, q.above) &&
               same_bits(p.lo_model, q.lo_model) && same_bits(p.hi_model, q.hi_model);
    }
    return same;
}

bool same_error(const BuildError& a, const BuildError& b) {
    return a.kind == b.kind && a.message() == b.message() && same_bits(a.x, b.x) &&
           same_bits(a.value, b.value) && same_bits(a.x_hi, b.x_hi);
}

// A density and its batch form: the function point by point, every call counted.
struct Counted {
    double (*pdf)(double);
    std::size_t scalar_calls = 0;
    std::size_t batch_calls = 0;
    std::size_t batch_points = 0;

    double operator()(double x) {
        ++scalar_calls;
        return pdf(x);
    }
    void batch(std::span<const double> xs, std::span<double> values) {
        ++batch_calls;
        batch_points += xs.size();
        for (std::size_t k = 0; k < xs.size(); ++k) values[k] = pdf(xs[k]);
    }
};

// How a case is built: the inverse alone, or a distribution through one of its builders (with
// the interpolated engine, or with plain inversion and so with the check model).
enum class Route { Inverse, FromPdf, FromPdfChecked, LocScale, LocScaleChecked, Truncated,
                   TruncatedChecked };

struct Case {
    std::string name;
    double (*pdf)(double);
    double lo;
    double hi;
    Route route = Route::Inverse;
    double u_resolution = 1e-12;
    int order = 5;
    std::vector<double> breakpoints = {};
};

bool checked(Route route) {
    return route == Route::FromPdfChecked || route == Route::LocScaleChecked ||
           route == Route::TruncatedChecked;
}

// The build of a case, with or without the batch form.
struct Outcome {
    Route route;
    std::optional<InterpolatedInverse> inverse;
    std::optional<ContinuousDistribution> distribution;
    std::optional<BuildError> error;

    // The inverse the build keeps: the engine's, or the check model.
    const InterpolatedInverse* kept() const {
        if (inverse) return &*inverse;
        if (!distribution) return nullptr;
        return checked(route) ? distribution->check_model() : distribution->interpolation();
    }
    double norm() const { return inverse ? inverse->norm() : distribution->norm(); }
};

BuildResult<ContinuousDistribution> build_distribution(const Case& c, Counted& f,
                                                       varnix::OptionalBatch batch) {
    const BuildOptions options =
        checked(c.route) ? BuildOptions{} : BuildOptions::interpolated(c.u_resolution).value();
    const Interval support = Interval::make(c.lo, c.hi).value();
    switch (c.route) {
        case Route::FromPdf:
        case Route::FromPdfChecked:
            return ContinuousDistribution::from_pdf(f, support, options, std::nullopt, batch);
        case Route::LocScale:
        case Route::LocScaleChecked:
            return ContinuousDistribution::loc_scale(f, support, -1.5, 2.5, options, batch);
        default: {
            const double w = c.hi - c.lo;
            const Interval inner = Interval::make(c.lo + 0.125 * w, c.hi - 0.25 * w).value();
            return ContinuousDistribution::truncated(f, support, inner, options, batch);
        }
    }
}

Outcome build(const Case& c, Counted& f, bool with_batch) {
    auto batch_of = [&f](std::span<const double> xs, std::span<double> values) {
        f.batch(xs, values);
    };
    varnix::OptionalBatch batch;
    if (with_batch) batch = BatchFn(batch_of);
    Outcome out{c.route, std::nullopt, std::nullopt, std::nullopt};
    if (c.route == Route::Inverse) {
        InterpolationOptions o;
        o.u_resolution = c.u_resolution;
        o.order = c.order;
        o.breakpoints = c.breakpoints;
        auto r = InterpolatedInverse::build(f, c.lo, c.hi, o, batch);
        if (r) {
            out.inverse = std::move(*r);
        } else {
            out.error = r.error();
        }
        return out;
    }
    auto r = build_distribution(c, f, batch);
    if (r) {
        out.distribution = std::move(*r);
    } else {
        out.error = r.error();
    }
    return out;
}

std::vector<Case> cases() {
    std::vector<Case> v;
    for (const ref::Shape& s : ref::shapes()) v.push_back({s.name, s.pdf, s.lo, s.hi});
    // Another resolution and the lower orders, breakpoints at the kink.
    v.push_back({"normal mixture at 1e-8", ref::shape("normal mixture on [-10, 10]").pdf, -10.0,
                 10.0, Route::Inverse, 1e-8});
    const ref::Shape& tri = ref::shape("triangular on [2, 6], mode 3.2");
    v.push_back({"triangular, order 3, breakpoint", tri.pdf, 2.0, 6.0, Route::Inverse, 1e-12, 3,
                 {3.2}});
    v.push_back({"triangular, order 4", tri.pdf, 2.0, 6.0, Route::Inverse, 1e-10, 4});
    // Densities the build refuses: the same error at the same point.
    v.push_back({"negative", [](double x) { return x > 0.2 && x < 0.3 ? -0.5 : 1.0; }, 0.0, 1.0});
    v.push_back({"NaN inside", [](double x) { return x > 0.5 ? kNaN : 1.0; }, 0.0, 1.0});
    v.push_back({"NaN past the partition",
                 [](double x) { return std::fabs(x - 0.40625) < 1e-3 && x != 0.40625 ? kNaN : 1.0; },
                 0.0, 1.0});
    v.push_back({"pole inside", [](double x) { return 1.0 / ((x - 0.5) * (x - 0.5)); }, 0.0, 1.0});
    v.push_back({"zero", [](double) { return 0.0; }, -1.0, 1.0});
    v.push_back({"1/x", [](double x) { return 1.0 / x; }, 0.0, 1.0});
    v.push_back({"1/(1-x)^2", [](double x) { return 1.0 / ((1.0 - x) * (1.0 - x)); }, 0.0, 1.0});
    // The distribution's builders, to the interpolated engine and to the check model.
    const ref::Shape& mix = ref::shape("normal mixture on [-10, 10]");
    const ref::Shape& g05 = ref::shape("gamma(0.5) on [0, 40]");
    for (const auto& [route, what] :
         {std::pair{Route::FromPdf, "from_pdf"}, std::pair{Route::FromPdfChecked, "from_pdf, check model"},
          std::pair{Route::LocScale, "loc_scale"}, std::pair{Route::LocScaleChecked, "loc_scale, check model"},
          std::pair{Route::Truncated, "truncated"}, std::pair{Route::TruncatedChecked, "truncated, check model"}}) {
        v.push_back({std::string(what) + ", mixture", mix.pdf, mix.lo, mix.hi, route});
        v.push_back({std::string(what) + ", gamma(0.5)", g05.pdf, g05.lo, g05.hi, route});
    }
    return v;
}

}  // namespace

TEST(batch_builds_keep_every_number_and_error_of_the_scalar_builds) {
    // The builds the batch form is meant to make cheap take at most an eighth of the scalar
    // calls in batch calls; every build at most a third. (One march of intervals is sequential:
    // each interval's nodes, then its test points, are one call each.) The engine marches in
    // parts side by side: at most a fiftieth, and a hundred calls.
    const char* const main_four[] = {"normal on [-5, 5]", "Student t(3) on [-2804, 2804]",
                                     "gamma(2) on [0, 40]", "normal mixture on [-10, 10]"};
    const bool verbose = std::getenv("VARNIX_TEST_VERBOSE") != nullptr;
    for (const Case& c : cases()) {
        Counted scalar{c.pdf};
        Counted batched{c.pdf};
        const Outcome a = build(c, scalar, false);
        const Outcome b = build(c, batched, true);
        const auto fail = [&](const std::string& what) {
            check::fail(__FILE__, __LINE__, c.name + ": " + what);
        };
        if (a.error.has_value() != b.error.has_value()) {
            fail("one build failed, the other did not");
            continue;
        }
        if (a.error) {
            if (!same_error(*a.error, *b.error)) {
                fail(a.error->message() + " against " + b.error->message());
            }
        } else {
            if ((a.kept() == nullptr) != (b.kept() == nullptr)) {
                fail("one build has the inverse, the other not");
                continue;
            }
            if (a.kept() != nullptr && !same_state(*a.kept(), *b.kept())) {
                fail("stored numbers differ");
            }
            if (!same_bits(a.norm(), b.norm())) fail("norms differ");
            const bool main = std::find(std::begin(main_four), std::end(main_four), c.name) !=
                              std::end(main_four);
            const bool in_parts = c.route == Route::FromPdf || c.route == Route::LocScale ||
                                  c.route == Route::Truncated;
            if (in_parts && (batched.batch_calls * 50 > scalar.scalar_calls ||
                             batched.batch_calls > 100)) {
                fail("batch calls " + std::to_string(batched.batch_calls) + " in parts");
            }
            if (batched.batch_calls * (main ? 8 : 3) > scalar.scalar_calls) {
                fail("batch calls " + std::to_string(batched.batch_calls) + " for " +
                     std::to_string(scalar.scalar_calls) + " scalar ones");
            }
            // Points guessed ahead and not read (mostly the nodes of an interval tried again
            // after a test that failed by a little): at most 60 in a hundred.
            if (!checked(c.route) && batched.batch_points * 10 > scalar.scalar_calls * 16) {
                fail("batch points " + std::to_string(batched.batch_points));
            }
        }
        if (scalar.batch_calls != 0) fail("the scalar build called the batch");
        // The interpolated build reads every value through the batch; plain inversion's own
        // integrals, before the check model, still call the scalar density.
        if (!a.error && (checked(c.route) ? !(batched.scalar_calls < scalar.scalar_calls)
                                          : batched.scalar_calls != 0)) {
            fail("scalar calls with a batch: " + std::to_string(batched.scalar_calls));
        }
        if (verbose) {
            std::printf("  %-40s scalar %6zu  batch calls %4zu points %6zu\n", c.name.c_str(),
                        scalar.scalar_calls, batched.batch_calls, batched.batch_points);
        }
    }
}
