#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/random.hpp"
#include "multivar_support.hpp"

using varnix::ChaChaRng;
using varnix::ConditionalFactorizationSampler;
using varnix::GibbsSampler;
using varnix::HyperRect;
using varnix::SampleErrorKind;

namespace {
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();
const HyperRect unit2 = mvtest::box({0, 0}, {1, 1});
}  // namespace

TEST(gibbs_needs_an_init_of_the_box_dimension_and_nothing_else) {
    auto r = GibbsSampler::make(unit2, std::vector<double>{0.5}, 1);
    CHECK(!r && r.error().kind == SampleErrorKind::McmcFailed);
    CHECK(!r || r.error().message() == "mcmc sampler failed");
    // Outside the box and NaN are taken as they are.
    auto g = GibbsSampler::make(unit2, std::vector<double>{5.0, qnan}, 0);
    CHECK(g.has_value());
    int calls = 0;
    auto coord = [&](std::size_t, std::span<const double>) { ++calls; return 1.0; };
    auto s = g->with(coord).step();  // zero sweeps: no call, state unchanged
    CHECK_EQ(calls, 0);
    CHECK(s.size() == 2 && s[0] == 5.0 && std::isnan(s[1]));
}

TEST(gibbs_sweeps_in_index_order_and_update_at_once) {
    auto g = *GibbsSampler::make(unit2, std::vector<double>{0.5, 0.25}, 3);
    std::vector<std::pair<std::size_t, std::vector<double>>> seen;
    double next = 10.0;
    auto coord = [&](std::size_t i, std::span<const double> x) {
        seen.emplace_back(i, std::vector<double>(x.begin(), x.end()));
        return next++;
    };
    auto s = g.with(coord).step();
    CHECK_EQ(seen.size(), 6u);
    for (std::size_t k = 0; k < seen.size(); ++k) CHECK_EQ(seen[k].first, k % 2);
    CHECK(seen[0].second == (std::vector<double>{0.5, 0.25}));
    CHECK(seen[1].second == (std::vector<double>{10.0, 0.25}));  // already sees call 0's value
    CHECK(seen[2].second == (std::vector<double>{10.0, 11.0}));
    CHECK(seen[5].second == (std::vector<double>{14.0, 13.0}));
    CHECK(std::vector<double>(s.begin(), s.end()) == (std::vector<double>{14.0, 15.0}));
    CHECK(std::vector<double>(g.current().begin(), g.current().end()) ==
          (std::vector<double>{14.0, 15.0}));
}

TEST(gibbs_with_gaussian_conditionals_reaches_the_joint_correlation) {
    // Exact conditionals of a standard bivariate normal with correlation rho. A sweep that
    // handed stale values to the second coordinate would drive the correlation towards 0.
    const double rho = 0.8;
    auto rng = ChaChaRng::seeded(15);
    auto coord = [&](std::size_t i, std::span<const double> x) {
        return rho * x[1 - i] + std::sqrt(1 - rho * rho) * varnix::standard_normal(rng);
    };
    auto g = *GibbsSampler::make(unit2, std::vector<double>{0.0, 0.0}, 1);
    double sx = 0, sy = 0, sxy = 0, sxx = 0, syy = 0;
    const int n = 40000;
    for (int k = 0; k < 100; ++k) (void)g.with(coord).step();
    for (int k = 0; k < n; ++k) {
        auto s = g.with(coord).step();
        sx += s[0]; sy += s[1]; sxy += s[0] * s[1]; sxx += s[0] * s[0]; syy += s[1] * s[1];
    }
    const double mx = sx / n, my = sy / n;
    const double corr = (sxy / n - mx * my) / std::sqrt((sxx / n - mx * mx) * (syy / n - my * my));
    CHECK_NEAR(corr, rho, 0.02);
}

TEST(conditional_factorization_passes_growing_prefixes) {
    ConditionalFactorizationSampler c(3);
    std::vector<std::vector<double>> prefixes;
    auto sample_i = [&](std::size_t i, std::span<const double> prefix) {
        prefixes.emplace_back(prefix.begin(), prefix.end());
        CHECK_EQ(prefix.size(), i);
        double s = 1.0;
        for (double v : prefix) s += v;
        return s;  // 1, 2, 4 for the first point
    };
    std::vector<double> out;
    CHECK(c.with(sample_i).sample_n(2, out).has_value());
    CHECK(out == (std::vector<double>{1, 2, 4, 1, 2, 4}));
    CHECK_EQ(prefixes.size(), 6u);
    CHECK(prefixes[0].empty());
    CHECK(prefixes[2] == (std::vector<double>{1, 2}));
    CHECK(prefixes[3].empty());  // every point starts afresh
}

TEST(conditional_factorization_of_dimension_zero) {
    ConditionalFactorizationSampler c(0);
    int calls = 0;
    auto sample_i = [&](std::size_t, std::span<const double>) { ++calls; return 0.0; };
    std::vector<double> none;
    auto one = c.with(sample_i).sample(none);
    CHECK(!one && one.error().kind == SampleErrorKind::McmcFailed);
    std::vector<double> out{7.0};
    auto n = c.with(sample_i).sample_n(3, out);
    CHECK(!n && n.error().kind == SampleErrorKind::McmcFailed);
    CHECK(out.empty());  // cleared first, no point completed
    CHECK(c.with(sample_i).sample_n(0, out).has_value());
    CHECK(out.empty());
    CHECK_EQ(calls, 0);
}
