#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/multivar/rejection.hpp"
#include "core/random.hpp"
#include "multivar_support.hpp"
#include "scripted_words.hpp"

using varnix::BuildErrorKind;
using varnix::ChaChaRng;
using varnix::HyperRect;
using varnix::RejectionSampler;
using varnix::SampleErrorKind;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

const HyperRect unit3 = mvtest::box({0, 0, 0}, {1, 1, 1});
const HyperRect shifted2 = mvtest::box({-1, 2}, {3, 2.5});
}  // namespace

TEST(rejection_refuses_a_pdf_max_that_is_not_finite_and_positive) {
    for (double m : {0.0, -0.0, -2.0, inf, -inf, qnan}) {
        auto r = RejectionSampler::make(shifted2, m, 10);
        CHECK(!r && r.error().kind == BuildErrorKind::InvalidPdfMax);
        CHECK(!r || r.error().message() == "pdf_max must be finite and positive");
    }
    // The box was checked where it was made.
    auto bad_box = HyperRect::make(std::vector<double>{0, 1}, std::vector<double>{1, 1});
    CHECK(!bad_box && bad_box.error().message() == "invalid support interval: each lo must be < hi");
    auto ok = RejectionSampler::make(shifted2, 2.5, 10);
    CHECK(ok && ok->dim() == 2 && ok->pdf_max() == 2.5 && ok->max_trials() == 10u);
}

TEST(rejection_accepting_density_uses_d_plus_one_uniforms_per_draw) {
    auto s = *RejectionSampler::make(shifted2, 1.0, 100);
    int calls = 0;
    auto f = [&](std::span<const double>) { ++calls; return 1.0; };  // >= pdf_max: always accepts
    auto rng = ChaChaRng::seeded(11);
    std::vector<double> x(2);
    for (int k = 0; k < 5; ++k) CHECK(s.with(f).sample(rng, x).has_value());
    CHECK_EQ(calls, 5);
    CHECK_EQ(rng.words_drawn(), 15u);

    // The last point is the box image of the 13th and 14th uniforms.
    auto replay = ChaChaRng::seeded(11);
    for (int k = 0; k < 12; ++k) (void)replay.next_u64();
    const double u0 = varnix::uniform(replay), u1 = varnix::uniform(replay);
    CHECK_EQ(x[0], (3.0 - -1.0) * u0 + -1.0);
    CHECK_EQ(x[1], (2.5 - 2.0) * u1 + 2.0);
}

TEST(rejection_accepts_when_the_density_reaches_u_times_pdf_max) {
    // y = x on [0, 1] against pdf_max 2: (x 0.5, u 0.5) rejects since 0.5 < 1; (x 0.5, u 0.25)
    // accepts at equality; a scripted source makes the uniforms exact.
    auto s = *RejectionSampler::make(mvtest::box({0}, {1}), 2.0, 10);
    auto f = [](std::span<const double> x) { return x[0]; };
    auto words = testing_words::ScriptedWords::of_uniforms({0.5, 0.5, 0.5, 0.25, 0.75, 0.125});
    std::vector<double> x(1);
    CHECK(s.with(f).sample(words, x).has_value());
    CHECK_EQ(x[0], 0.5);
    CHECK_EQ(words.consumed(), 4u);
    std::vector<double> out;
    CHECK(s.with(f).sample_n(1, words, out).has_value());
    CHECK(out == std::vector<double>{0.75});
    CHECK_EQ(words.consumed(), 6u);
}

TEST(rejection_unusable_values_take_no_acceptance_uniform) {
    // NaN, infinities and negatives reject with d uniforms each; both zeros take d + 1.
    for (double y : {qnan, inf, -inf, -1e-300}) {
        auto s = *RejectionSampler::make(unit3, 1.0, 7);
        int calls = 0;
        auto f = [&](std::span<const double>) { ++calls; return y; };
        auto rng = ChaChaRng::seeded(3);
        std::vector<double> x(3);
        auto r = s.with(f).sample(rng, x);
        CHECK(!r && r.error().kind == SampleErrorKind::RejectionExhausted);
        CHECK(!r || r.error().message() == "rejection sampler failed to accept");
        CHECK_EQ(calls, 7);
        CHECK_EQ(rng.words_drawn(), 21u);
    }
    for (double y : {0.0, -0.0}) {
        auto s = *RejectionSampler::make(unit3, 1.0, 7);
        auto f = [&](std::span<const double>) { return y; };
        auto rng = ChaChaRng::seeded(3);
        std::vector<double> x(3);
        CHECK(!s.with(f).sample(rng, x));  // accepted only if the acceptance uniform were exactly 0
        CHECK_EQ(rng.words_drawn(), 28u);
    }
}

TEST(rejection_with_zero_trials_fails_without_drawing) {
    auto s = *RejectionSampler::make(unit3, 1.0, 0);
    int calls = 0;
    auto f = [&](std::span<const double>) { ++calls; return 1.0; };
    auto rng = ChaChaRng::seeded(5);
    std::vector<double> x(3);
    CHECK(!s.with(f).sample(rng, x));
    CHECK_EQ(calls, 0);
    CHECK_EQ(rng.words_drawn(), 0u);
}

TEST(rejection_sample_n_is_n_draws_from_one_stream) {
    auto s = *RejectionSampler::make(shifted2, 1.0, 1000);
    auto f = [](std::span<const double> x) { return x[0] > 0 ? 0.75 : 0.25; };
    std::vector<double> a, b;
    auto ra = ChaChaRng::seeded(7), rb = ChaChaRng::seeded(7);
    CHECK(s.with(f).sample_n(5, ra, a).has_value());
    CHECK(s.with(f).sample_n(5, rb, b).has_value());
    CHECK_EQ(a.size(), 10u);
    CHECK(a == b);
    auto rc = ChaChaRng::seeded(7);
    std::vector<double> x(2);
    for (int k = 0; k < 5; ++k) {
        CHECK(s.with(f).sample(rc, x).has_value());
        CHECK(x[0] == a[2 * k] && x[1] == a[2 * k + 1]);
    }
    std::vector<double> none{9.0};
    CHECK(s.with(f).sample_n(0, rc, none).has_value());
    CHECK(none.empty());
}

TEST(rejection_sample_n_failure_and_exceptions_leave_the_completed_points) {
    auto s = *RejectionSampler::make(unit3, 1.0, 50);
    int calls = 0;
    // Accepts the first three draws, then refuses everything.
    auto f = [&](std::span<const double>) { return ++calls <= 3 ? 1.0 : qnan; };
    auto rng = ChaChaRng::seeded(1);
    std::vector<double> out{1.0, 2.0};
    auto r = s.with(f).sample_n(5, rng, out);
    CHECK(!r && r.error().kind == SampleErrorKind::RejectionExhausted);
    // Cleared first, then the three accepted points: those of three single draws.
    auto one = [](std::span<const double>) { return 1.0; };
    auto replay = ChaChaRng::seeded(1);
    std::vector<double> want, x(3);
    for (int k = 0; k < 3; ++k) {
        CHECK(s.with(one).sample(replay, x).has_value());
        want.insert(want.end(), x.begin(), x.end());
    }
    CHECK(out == want);

    auto throwing = [&](std::span<const double>) -> double {
        if (++calls > 3) throw std::runtime_error("abort");
        return 1.0;
    };
    calls = 1;
    bool threw = false;
    try {
        (void)s.with(throwing).sample_n(4, rng, out);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    CHECK(threw);
    // Room for the four points; the two accepted before the exception are those of two
    // single draws continuing the stream.
    CHECK_EQ(out.size(), 4u * 3u);
}

TEST(rejection_reproduces_a_truncated_correlated_normal) {
    const HyperRect box = mvtest::box({mvtest::target_lo[0], mvtest::target_lo[1]},
                                      {mvtest::target_hi[0], mvtest::target_hi[1]});
    auto s = *RejectionSampler::make(box, 1.0, 100000);  // the density peaks at 1 at the origin
    auto rng = ChaChaRng::seeded(2024);
    std::vector<double> pts;
    const std::size_t n = 40000;
    auto f = [](std::span<const double> x) { return mvtest::correlated_normal(x); };
    CHECK(s.with(f).sample_n(n, rng, pts).has_value());
    for (std::size_t k = 0; k < n; ++k) {
        CHECK(pts[2 * k] >= box.lo()[0] && pts[2 * k] < box.hi()[0]);
        CHECK(pts[2 * k + 1] >= box.lo()[1] && pts[2 * k + 1] < box.hi()[1]);
    }
    const auto want = mvtest::density_moments(mvtest::correlated_normal, mvtest::target_lo,
                                              mvtest::target_hi);
    const auto got = mvtest::sample_moments(pts);
    // Standard errors here are about 0.004 for the means and 0.005 for the covariances.
    for (int a = 0; a < 2; ++a) {
        CHECK_NEAR(got.mean[a], want.mean[a], 0.02);
        for (int b = 0; b < 2; ++b) CHECK_NEAR(got.cov[a][b], want.cov[a][b], 0.025);
    }
}

TEST(rejection_stops_at_a_density_above_pdf_max) {
    // The density reaches 1 on the right half of the box, twice the bound: the first proposal
    // there ends the draw, naming the value and the point, before its acceptance uniform.
    auto s = *RejectionSampler::make(shifted2, 0.5, 1000);
    auto f = [](std::span<const double> x) { return x[0] > 1.0 ? 1.0 : 0.25; };
    auto rng = ChaChaRng::seeded(7);
    std::vector<double> out;
    auto r = s.with(f).sample_n(100, rng, out);
    CHECK(!r && r.error().kind == SampleErrorKind::DensityAboveBound);
    if (r) return;
    const auto& e = r.error();
    CHECK_EQ(e.value, 1.0);
    CHECK_EQ(e.bound, 0.5);
    CHECK(e.point && e.point->size() == 2u && (*e.point)[0] > 1.0);
    CHECK_EQ(e.message(), "density 1 at (" + varnix::render_number((*e.point)[0]) + ", " +
                              varnix::render_number((*e.point)[1]) +
                              ") exceeds pdf_max 0.5: draws would be biased");
    // The draws before it are kept; the failing proposal took its two uniforms and no third.
    auto replay = ChaChaRng::seeded(7);
    std::vector<double> before, x(2);
    for (std::size_t k = 0; k < out.size() / 2; ++k) {
        CHECK(s.with(f).sample(replay, x).has_value());
        before.insert(before.end(), x.begin(), x.end());
    }
    CHECK(before == out);
    for (;;) {
        const double u0 = varnix::uniform(replay), u1 = varnix::uniform(replay);
        const double px = (3.0 - -1.0) * u0 + -1.0;
        if (px > 1.0) {
            CHECK_EQ(px, (*e.point)[0]);
            CHECK_EQ((2.5 - 2.0) * u1 + 2.0, (*e.point)[1]);
            break;
        }
        (void)varnix::uniform(replay);  // the acceptance uniform of a value of 0.25
    }
    CHECK_EQ(replay.words_drawn(), rng.words_drawn());

    // A density that only reaches the bound is accepted as before.
    auto at_bound = *RejectionSampler::make(shifted2, 1.0, 1000);
    auto rb = ChaChaRng::seeded(7);
    CHECK(at_bound.with(f).sample_n(100, rb, out).has_value());
}
