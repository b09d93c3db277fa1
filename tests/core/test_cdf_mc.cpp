#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/random.hpp"
#include "multivar_support.hpp"

using varnix::CdfMcEstimator;
using varnix::ChaChaRng;
using varnix::HyperRect;
using varnix::SampleErrorKind;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();
const HyperRect unit2 = mvtest::box({0, 0}, {1, 1});

CdfMcEstimator make_est(const HyperRect& box, std::size_t n, std::size_t m) {
    return CdfMcEstimator(box, n, m);
}

bool integration_failed(const varnix::SampleResult<double>& r) {
    return !r && r.error().kind == SampleErrorKind::IntegrationFailed &&
           r.error().message() == "numerical integration failed";
}
}  // namespace

TEST(cdf_mc_constant_density_gives_exact_values) {
    auto bad = HyperRect::make(std::vector<double>{}, std::vector<double>{});
    CHECK(!bad && bad.error().message() == "invalid support interval: hyper-rect cannot be empty");

    auto est = make_est(unit2, 100, 100);
    auto one = [](std::span<const double>) { return 1.0; };
    auto rng = ChaChaRng::seeded(1);
    CHECK(!est.cached_normalization());
    CHECK_EQ(*est.with(one).estimate_normalization(rng), 1.0);
    CHECK_EQ(est.cached_normalization().value_or(0.0), 1.0);
    CHECK_EQ(*est.with(one).cdf(std::vector<double>{0.5, 0.5}, rng), 0.25);
    CHECK_EQ(*est.with(one).cdf(std::vector<double>{2, 2}, rng), 1.0);
    CHECK_EQ(*est.with(one).cdf(std::vector<double>{inf, 0.5}, rng), 0.5);

    // Z on a box of volume 6 with density 1 is 6.
    auto big = make_est(mvtest::box({-1, 0}, {2, 2}), 10, 10);
    CHECK_EQ(*big.with(one).estimate_normalization(rng), 6.0);
}

TEST(cdf_mc_coordinates_below_lo_are_fixed_and_draw_nothing) {
    auto est = make_est(unit2, 10, 50);
    int calls = 0;
    bool first_fixed = true;
    auto f = [&](std::span<const double> x) {
        ++calls;
        first_fixed = first_fixed && x[0] == 0.0;
        return 1.0;
    };
    auto warm = ChaChaRng::seeded(2);
    CHECK(est.with(f).estimate_normalization(warm).has_value());
    calls = 0;
    first_fixed = true;
    auto rng = ChaChaRng::seeded(3);
    auto r = est.with(f).cdf(std::vector<double>{-1.0, 0.5}, rng);
    CHECK(r.has_value() && *r == 0.0);
    CHECK_EQ(calls, 50);
    CHECK(first_fixed);
    CHECK_EQ(rng.words_drawn(), 50u);
    first_fixed = true;
    auto at_lo = ChaChaRng::seeded(3);
    CHECK_EQ(*est.with(f).cdf(std::vector<double>{0.0, 0.5}, at_lo), 0.0);  // at lo counts as below
    CHECK(first_fixed);
}

TEST(cdf_mc_wrong_length_fails_before_anything_is_drawn) {
    auto est = make_est(unit2, 10, 10);
    int calls = 0;
    auto f = [&](std::span<const double>) { ++calls; return 1.0; };
    auto rng = ChaChaRng::seeded(4);
    CHECK(integration_failed(est.with(f).cdf(std::vector<double>{0.5}, rng)));
    CHECK(integration_failed(est.with(f).cdf(std::vector<double>{0.5, 0.5, 0.5}, rng)));
    CHECK_EQ(calls, 0);
    CHECK_EQ(rng.words_drawn(), 0u);
    CHECK(!est.cached_normalization());
}

TEST(cdf_mc_unusable_values_add_nothing_but_count) {
    // Every fifth value is usable: NaN, -1, inf and -0.0 add nothing (-0.0 adds zero).
    auto est = make_est(unit2, 100, 0);
    int calls = 0;
    auto f = [&](std::span<const double>) {
        const double values[] = {1.0, qnan, -1.0, inf, -0.0};
        return values[calls++ % 5];
    };
    auto rng = ChaChaRng::seeded(5);
    CHECK_EQ(*est.with(f).estimate_normalization(rng), 0.2);
    CHECK_EQ(rng.words_drawn(), 200u);
}

TEST(cdf_mc_failed_estimates_keep_the_cache) {
    auto est = make_est(unit2, 20, 20);
    double value = 0.0;
    auto f = [&](std::span<const double>) { return value; };
    auto rng = ChaChaRng::seeded(6);
    CHECK(integration_failed(est.with(f).estimate_normalization(rng)));
    CHECK(integration_failed(est.with(f).cdf(std::vector<double>{0.5, 0.5}, rng)));
    CHECK(!est.cached_normalization());
    value = 4.0;
    CHECK_EQ(*est.with(f).estimate_normalization(rng), 4.0);
    value = qnan;
    CHECK(integration_failed(est.with(f).estimate_normalization(rng)));
    CHECK_EQ(est.cached_normalization().value_or(0.0), 4.0);
    // cdf uses the cache and does not estimate again; its own NaN values add nothing.
    CHECK_EQ(*est.with(f).cdf(std::vector<double>{0.5, 0.5}, rng), 0.0);

    auto throwing = [](std::span<const double>) -> double { throw std::runtime_error("abort"); };
    bool threw = false;
    try {
        (void)est.with(throwing).estimate_normalization(rng);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    CHECK(threw);
    CHECK_EQ(est.cached_normalization().value_or(0.0), 4.0);
}

TEST(cdf_mc_zero_sample_counts_act_as_one_and_results_clamp_to_one) {
    auto est = make_est(unit2, 0, 0);
    int calls = 0;
    // The single normalisation point sees 0.01, every later point 1: F would be 100.
    auto f = [&](std::span<const double>) { return calls++ == 0 ? 0.01 : 1.0; };
    auto rng = ChaChaRng::seeded(7);
    auto r = est.with(f).cdf(std::vector<double>{0.9, 0.9}, rng);
    CHECK(r.has_value() && *r == 1.0);
    CHECK_EQ(calls, 2);
    CHECK_EQ(rng.words_drawn(), 4u);
}

TEST(cdf_mc_first_cdf_spends_the_stream_on_the_normalisation) {
    auto f = [](std::span<const double> x) { return 1.0 + x[0] * x[1]; };
    const std::vector<double> x{0.7, 0.4};
    auto fresh = make_est(unit2, 30, 40);
    auto rng = ChaChaRng::seeded(8);
    const double first = *fresh.with(f).cdf(x, rng);
    CHECK_EQ(rng.words_drawn(), 30u * 2u + 40u * 2u);
    auto again_rng = ChaChaRng::seeded(8);
    const double second = *fresh.with(f).cdf(x, again_rng);  // cached: points from the stream start
    CHECK(first != second);

    auto other = make_est(unit2, 30, 40);
    auto z_rng = ChaChaRng::seeded(8), c_rng = ChaChaRng::seeded(8);
    CHECK_EQ(*other.with(f).estimate_normalization(z_rng), *fresh.cached_normalization());
    CHECK_EQ(*other.with(f).cdf(x, c_rng), second);

    // A NaN coordinate is no restriction: the same as the upper bound, or beyond it.
    auto r1 = ChaChaRng::seeded(9), r2 = ChaChaRng::seeded(9), r3 = ChaChaRng::seeded(9);
    const double with_nan = *other.with(f).cdf(std::vector<double>{qnan, 0.4}, r1);
    CHECK_EQ(*other.with(f).cdf(std::vector<double>{1.0, 0.4}, r2), with_nan);
    CHECK_EQ(*other.with(f).cdf(std::vector<double>{5.0, 0.4}, r3), with_nan);
}

TEST(cdf_mc_matches_a_product_of_one_dimensional_cdfs) {
    // f(x, y) = exp(-x) (1 + y) on [0, 2] x [0, 1]: F is the product of the marginal CDFs.
    const HyperRect box = mvtest::box({0, 0}, {2, 1});
    auto f = [](std::span<const double> p) { return std::exp(-p[0]) * (1.0 + p[1]); };
    auto g1 = [](double x) { return (1.0 - std::exp(-x)) / (1.0 - std::exp(-2.0)); };
    auto g2 = [](double y) { return (y + 0.5 * y * y) / 1.5; };
    auto est = make_est(box, 50000, 20000);
    auto rng = ChaChaRng::seeded(10);
    const double z = *est.with(f).estimate_normalization(rng);
    CHECK_NEAR(z, (1.0 - std::exp(-2.0)) * 1.5, 0.015);
    const double points[][2] = {{0.5, 0.5}, {1.5, 0.2}, {0.2, 0.9}, {1.0, qnan}, {2.0, 1.0}};
    for (const auto& p : points) {
        const double want = g1(p[0]) * (std::isnan(p[1]) ? 1.0 : g2(p[1]));
        const auto got = est.with(f).cdf(std::vector<double>{p[0], p[1]}, rng);
        CHECK(got.has_value());
        CHECK_NEAR(*got, want, 0.02);  // standard errors up to about 0.005
    }
}
