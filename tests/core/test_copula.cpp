#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "check.hpp"
#include "core/multivar/copula.hpp"
#include "multivar_support.hpp"

using varnix::ChaChaRng;
using varnix::GaussianCopula;
using varnix::SampleError;
using varnix::SampleErrorKind;
using varnix::SampleResult;
using Matrix = std::vector<std::vector<double>>;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

double exact_phi(double y) { return 0.5 * std::erfc(-y / std::numbers::sqrt2); }

// The standard normal quantile, by bisection on the exact distribution function.
double normal_quantile(double u) {
    double a = -40.0, b = 40.0;
    for (int k = 0; k < 200 && b - a > 1e-13; ++k) {
        const double m = 0.5 * (a + b);
        (exact_phi(m) < u ? a : b) = m;
    }
    return 0.5 * (a + b);
}

bool refused(const Matrix& m) { return !GaussianCopula::make(m).has_value(); }

// A lambda object rather than a function: a FunctionRef binds to callable objects.
const auto identity = [](std::size_t, double u) -> SampleResult<double> { return u; };
}  // namespace

TEST(copula_refuses_what_it_cannot_factorise) {
    CHECK(refused({}));
    CHECK(refused({{1, 0.5}}));             // one row of length 2
    CHECK(refused({{1, 0}, {0.5}}));        // ragged
    CHECK(refused({{1, 2}, {2, 1}}));       // second pivot 1 - 4 < 0
    CHECK(refused({{0}}));
    CHECK(refused({{-0.0}}));
    CHECK(refused({{inf}}));
    CHECK(refused({{qnan}}));
    CHECK(refused({{1, 0}, {qnan, 1}}));    // a non-finite entry below the diagonal
    CHECK(refused({{1, 0}, {1, 1}}));       // singular: zero pivot
    CHECK_EQ(GaussianCopula::make(Matrix{{0}}).error().message(), std::string("InvalidCorrelation"));
}

TEST(copula_factor_reads_only_the_lower_triangle) {
    auto a = *GaussianCopula::make(Matrix{{1, 99}, {0.3, 1}});
    CHECK(GaussianCopula::make(Matrix{{1, qnan}, {0.3, 1}}).has_value());
    auto c = *GaussianCopula::make(Matrix{{1, 0.3}, {0.3, 1}});
    CHECK_EQ(a.dim(), 2u);
    const auto f = a.factor();
    CHECK(f[0] == 1.0 && f[1] == 0.0 && f[2] == 0.3 && f[3] == std::sqrt(1.0 - 0.3 * 0.3));
    CHECK(std::vector<double>(a.factor().begin(), a.factor().end()) ==
          std::vector<double>(c.factor().begin(), c.factor().end()));

    // Equal factors and seeds draw the same vector, every time.
    std::vector<double> xa(2), xc(2), again(2);
    auto r1 = ChaChaRng::seeded(5), r2 = ChaChaRng::seeded(5), r3 = ChaChaRng::seeded(5);
    CHECK(a.with(identity, 2).sample(r1, xa).has_value());
    CHECK(c.with(identity, 2).sample(r2, xc).has_value());
    CHECK(a.with(identity, 2).sample(r3, again).has_value());
    CHECK(xa == xc && xa == again);
}

TEST(copula_non_unit_diagonal_scales_the_normal) {
    // [[4]] has factor 2, so the identity quantile returns Phi(2 z), not a uniform.
    auto c = *GaussianCopula::make(Matrix{{4}});
    CHECK_EQ(c.factor()[0], 2.0);
    auto rng = ChaChaRng::seeded(6), replay = ChaChaRng::seeded(6);
    std::vector<double> x(1);
    for (int k = 0; k < 20; ++k) {
        CHECK(c.with(identity, 1).sample(rng, x).has_value());
        const double z = varnix::standard_normal(replay);
        CHECK_EQ(x[0], varnix::copula_normal_cdf(2.0 * z));
        CHECK_NEAR(x[0], exact_phi(2.0 * z), 2e-7);
    }
}

TEST(copula_normal_cdf_is_accurate_and_clamped) {
    double worst = 0.0;
    for (int k = -800; k <= 800; ++k) {
        const double y = k * 0.01;
        worst = std::max(worst, std::fabs(varnix::copula_normal_cdf(y) - exact_phi(y)));
    }
    CHECK(worst < 2e-7);
    CHECK_EQ(varnix::copula_normal_cdf(-40.0), 1e-12);
    CHECK_EQ(varnix::copula_normal_cdf(40.0), 0.999999999999);
    CHECK_EQ(varnix::copula_normal_cdf(-inf), 1e-12);
    CHECK_EQ(varnix::copula_normal_cdf(inf), 0.999999999999);
    CHECK_EQ(varnix::copula_normal_cdf(-0.0), varnix::copula_normal_cdf(0.0));
    CHECK_NEAR(varnix::copula_normal_cdf(0.0), 0.5, 2e-7);
}

TEST(copula_checks_the_quantile_count_before_drawing) {
    auto c = *GaussianCopula::make(Matrix{{1, 0}, {0.5, 1}});
    int calls = 0;
    auto ppf = [&](std::size_t, double u) -> SampleResult<double> { ++calls; return u; };
    auto rng = ChaChaRng::seeded(7);
    std::vector<double> x(2);
    for (std::size_t count : {0u, 1u, 3u}) {
        auto r = c.with(ppf, count).sample(rng, x);
        CHECK(!r && r.error().kind == SampleErrorKind::McmcFailed);
    }
    CHECK_EQ(calls, 0);
    CHECK_EQ(rng.words_drawn(), 0u);
}

TEST(copula_calls_quantiles_in_order_after_all_uniforms_and_stops_at_a_failure) {
    auto c = *GaussianCopula::make(Matrix{{1, 0, 0}, {0.2, 1, 0}, {0.1, 0.3, 1}});
    auto rng = ChaChaRng::seeded(8);
    std::vector<std::size_t> order;
    std::vector<std::size_t> words_at_call;
    auto ppf = [&](std::size_t i, double u) -> SampleResult<double> {
        order.push_back(i);
        words_at_call.push_back(rng.words_drawn());
        CHECK(u >= 1e-12 && u <= 0.999999999999);
        if (i == 1) return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
        return 100.0 + u;
    };
    std::vector<double> x(3);
    auto r = c.with(ppf, 3).sample(rng, x);
    CHECK(!r && r.error().kind == SampleErrorKind::InversionFailed);
    CHECK(r || r.error().message() == "failed to invert CDF");
    CHECK(order == (std::vector<std::size_t>{0, 1}));
    CHECK(words_at_call == (std::vector<std::size_t>{6, 6}));
}

TEST(copula_reproduces_the_normal_correlation) {
    const Matrix corr{{1, 0.7, 0.3}, {0.7, 1, 0.5}, {0.3, 0.5, 1}};
    auto c = *GaussianCopula::make(corr);
    auto rng = ChaChaRng::seeded(9);
    const int n = 20000;
    // Normal quantiles give back the correlated normals; identity quantiles give uniforms
    // whose correlation is (6 / pi) asin(rho / 2).
    auto normal = [](std::size_t, double u) -> SampleResult<double> { return normal_quantile(u); };
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> s(3, 0.0), ss(9, 0.0), x(3);
        for (int k = 0; k < n; ++k) {
            const auto r = pass == 0 ? c.with(normal, 3).sample(rng, x)
                                     : c.with(identity, 3).sample(rng, x);
            CHECK(r.has_value());
            for (int a = 0; a < 3; ++a) {
                s[a] += x[a];
                for (int b = 0; b < 3; ++b) ss[3 * a + b] += x[a] * x[b];
            }
        }
        auto cov = [&](int a, int b) { return ss[3 * a + b] / n - (s[a] / n) * (s[b] / n); };
        for (int a = 0; a < 3; ++a) {
            for (int b = a + 1; b < 3; ++b) {
                const double got = cov(a, b) / std::sqrt(cov(a, a) * cov(b, b));
                const double rho = corr[b][a];
                const double want = pass == 0 ? rho : 6.0 / std::numbers::pi * std::asin(rho / 2);
                CHECK_NEAR(got, want, 0.025);
            }
            if (pass == 0) CHECK_NEAR(cov(a, a), 1.0, 0.05);
            if (pass == 1) CHECK_NEAR(s[a] / n, 0.5, 0.01);
        }
    }
}
