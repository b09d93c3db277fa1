// The inversion_build target of the development build (tools/dev_build.py); bench/run.py runs it
// for the memory of the built tables.
//
// The interpolated inverse on the reference shapes of the accuracy tests: density calls and
// build time (best of several builds), intervals and panels, bytes, the build's own estimate
// of its u-error and the u-error measured against the exact distribution on a grid dense in
// both tails (log-spaced down to 1e-10). Then ns per draw of sample_n, beside the Hermite
// table's block sampling (the fast path of ContinuousDistribution::sample_n) on the same shape.
//
// Usage: inversion_build [u_resolution ...]   (default 1e-12 1e-10)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../tests/core/reference_shapes.hpp"
#include "core/continuous/hermite.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "core/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using varnix::InterpolatedInverse;
using varnix::InterpolationOptions;

// The options the distribution's interpolated engine builds with: the march in parts.
InterpolationOptions engine_options(double u_resolution) {
    InterpolationOptions o;
    o.u_resolution = u_resolution;
    o.panels_per_part = InterpolationOptions::panels_per_part_for(u_resolution);
    return o;
}

volatile double g_sink;

double measured_u_error(const InterpolatedInverse& q, const ref::Shape& s) {
    double worst = 0.0;
    for (const double u : ref::u_grid()) {
        const double x = q.quantile(u);
        worst = std::max(worst, s.u_error(x, u));
    }
    return worst;
}

void build_table(double u_resolution) {
    std::printf("\nu_resolution %g\n", u_resolution);
    std::printf("%-32s %8s %9s %9s %7s %10s %9s %10s %10s %10s\n", "shape", "calls", "build ms",
                "intervals", "panels", "bytes", "B/interval", "total B", "estimate", "measured");
    for (const ref::Shape& s : ref::shapes()) {
        std::size_t calls = 0;
        auto f = [&](double x) {
            ++calls;
            return s.pdf(x);
        };
        double best = 1e300;
        std::size_t first_calls = 0;
        for (int rep = 0; rep < 7; ++rep) {
            calls = 0;
            const auto t0 = Clock::now();
            auto r = InterpolatedInverse::build(f, s.lo, s.hi, engine_options(u_resolution));
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (!r) {
                std::printf("%-32s refused: %s\n", s.name, r.error().message().c_str());
                break;
            }
            best = std::min(best, ms);
            if (rep == 0) first_calls = calls;
            g_sink = r->quantile(0.5);
        }
        auto r = InterpolatedInverse::build(f, s.lo, s.hi, engine_options(u_resolution));
        if (!r) continue;
        std::printf("%-32s %8zu %9.3f %9zu %7zu %10zu %9.1f %10zu %10.2e %10.2e\n", s.name,
                    first_calls, best, r->intervals(), r->panels().panels(),
                    r->interpolation_bytes(),
                    static_cast<double>(r->interpolation_bytes()) / static_cast<double>(r->intervals()),
                    r->memory_bytes(), r->max_u_error(), measured_u_error(*r, s));
    }
}

template <class F>
double best_ns_per_draw(std::size_t n, F&& body) {
    double best = 1e300;
    for (int rep = 0; rep < 7; ++rep) {
        const auto t0 = Clock::now();
        body();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
        best = std::min(best, ns / static_cast<double>(n));
    }
    return best;
}

void sampling(const char* name) {
    const ref::Shape& s = ref::shape(name);
    const std::size_t n = 1000000;
    std::vector<double> out;
    std::printf("\nsampling %s, ns per draw (sample_n of %zu)\n", name, n);
    for (const double ures : {1e-12, 1e-10}) {
        auto q = InterpolatedInverse::build(s.pdf, s.lo, s.hi, engine_options(ures));
        auto rng = varnix::ChaChaRng::seeded(1);
        const double ns = best_ns_per_draw(n, [&] {
            q->sample_n(n, rng, out);
            g_sink = out[n / 2];
        });
        std::printf("  interpolated inverse, u_resolution %g (%zu intervals): %.1f\n", ures,
                    q->intervals(), ns);
    }
    for (const std::size_t nodes : {256u, 4096u}) {
        auto cdf = [&](double x) { return s.F(x); };
        const auto table = varnix::HermiteTable::build(cdf, s.lo, s.hi, nodes, 1e-12, 200);
        auto rng = varnix::ChaChaRng::seeded(1);
        const double ns = best_ns_per_draw(n, [&] {
            // As ContinuousDistribution::sample_n: blocks of 64 uniforms, searches interleaved.
            out.resize(n);
            double us[64];
            for (std::size_t start = 0; start < n; start += 64) {
                const std::size_t count = std::min<std::size_t>(64, n - start);
                for (std::size_t j = 0; j < count; ++j) us[j] = varnix::uniform(rng);
                table.evaluate_many(us, out.data() + start, count);
            }
            g_sink = out[n / 2];
        });
        std::printf("  Hermite table, %zu nodes: %.1f\n", nodes, ns);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> resolutions;
    for (int i = 1; i < argc; ++i) resolutions.push_back(std::atof(argv[i]));
    if (resolutions.empty()) resolutions = {1e-12, 1e-10};
    for (const double u : resolutions) build_table(u);
    sampling("normal on [-5, 5]");
    sampling("Student t(3) on [-2804, 2804]");
}
