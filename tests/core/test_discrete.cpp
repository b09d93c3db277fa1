#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/discrete/discrete.hpp"
#include "core/random.hpp"
#include "scripted_words.hpp"

using varnix::BuildErrorKind;
using varnix::ChaChaRng;
using varnix::DiscreteDistribution;
using varnix::SampleErrorKind;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

DiscreteDistribution make(std::vector<double> points, std::vector<double> masses) {
    auto d = DiscreteDistribution::build(points, masses);
    if (!d) throw std::runtime_error("unexpected build failure: " + d.error().message());
    return *d;
}

// The build error's message, or "built" when construction succeeded.
std::string build_message(std::vector<double> points, std::vector<double> masses) {
    auto d = DiscreteDistribution::build(points, masses);
    return d ? "built" : d.error().message();
}

// The quantile by its definition: the largest i with cdf[i] == u if any, else the first
// i with cdf[i] > u.
std::size_t index_by_definition(std::span<const double> cdf, double u) {
    for (std::size_t i = cdf.size(); i-- > 0;) {
        if (cdf[i] == u) return i;
    }
    for (std::size_t i = 0; i < cdf.size(); ++i) {
        if (cdf[i] > u) return i;
    }
    return cdf.size();
}

std::string fault_text(const DiscreteDistribution& d, bool cdf, std::size_t i) {
    try {
        cdf ? d.cdf_at(i) : d.pmf_at(i);
    } catch (const varnix::InternalFault& e) {
        return e.what();
    }
    return "no fault";
}

}  // namespace

TEST(build_checks_run_in_order_and_first_failure_decides) {
    const std::string empty = "discrete distribution has no support points";
    const std::string length =
        "invalid support interval: points and pmf must have the same length";
    const std::string mass = "probability mass must be positive";
    const std::string norm = "failed to normalize PDF on support";

    CHECK_EQ(build_message({}, {}), empty);
    CHECK_EQ(build_message({1.0}, {}), empty);  // emptiness is checked before the lengths
    CHECK_EQ(build_message({}, {1.0}), empty);
    CHECK_EQ(build_message({1.0, 2.0}, {1.0}), length);
    CHECK_EQ(build_message({1.0}, {kNaN, 1.0}), length);  // lengths before masses

    for (double bad : {kNaN, kInf, -kInf, -1.0, -5e-324}) {
        CHECK_EQ(build_message({1.0, 2.0}, {1.0, bad}), mass);
        CHECK_EQ(build_message({1.0, 2.0}, {0.0, bad}), mass);  // masses before the total
    }

    CHECK_EQ(build_message({1.0, 2.0}, {0.0, 0.0}), norm);
    CHECK_EQ(build_message({1.0, 2.0}, {-0.0, -0.0}), norm);
    CHECK_EQ(build_message({1.0, 2.0}, {1e308, 1e308}), norm);  // the total overflows

    auto kind = DiscreteDistribution::build(std::vector<double>{1.0}, std::vector<double>{-0.0});
    CHECK(!kind && kind.error().kind == BuildErrorKind::NormalizationFailed);
    CHECK_EQ(build_message({1.0, 2.0}, {-0.0, 5e-324}), std::string("built"));
}

TEST(cumulative_table_divides_each_mass_and_ends_at_exactly_one) {
    auto d = make({1.0, 2.0, 3.0}, {1.0, 0.0, 1.0});
    CHECK_EQ(d.cdf_at(0), 0.5);
    CHECK_EQ(d.cdf_at(1), 0.5);
    CHECK_EQ(d.cdf_at(2), 1.0);

    // Each mass is divided by the total and then added: entry 2 is 0.7272727272727272, not
    // the 0.7272727272727273 of (prefix sum) / total, and the running sum ends at
    // 0.9999999999999999 before the last entry is set to 1.
    auto e = make({0.0, 1.0, 2.0, 3.0}, {0.4, 0.9, 0.3, 0.6});
    CHECK_EQ(e.cdf_at(0), 0.18181818181818182);
    CHECK_EQ(e.cdf_at(1), 0.5909090909090908);
    CHECK_EQ(e.cdf_at(2), 0.7272727272727272);
    CHECK_EQ(e.cdf_at(3), 1.0);
    CHECK_EQ(e.pmf_at(3), 1.0 - 0.7272727272727272);

    auto tiny = make({0.0, 1.0}, {5e-324, 5e-324});  // subnormal total still normalises
    CHECK_EQ(tiny.cdf_at(0), 0.5);
    CHECK_EQ(tiny.cdf_at(1), 1.0);
}

TEST(quantile_ties_go_to_the_last_equal_index) {
    auto d = make({1.0, 2.0, 3.0}, {1.0, 0.0, 1.0});
    CHECK_EQ(d.ppf(0.5).value(), 2.0);  // the zero-mass point shares cdf 0.5
    CHECK_EQ(d.ppf(0.25).value(), 1.0);
    CHECK_EQ(d.ppf(0.75).value(), 3.0);
    CHECK_EQ(d.ppf(std::nextafter(0.5, 0.0)).value(), 1.0);

    auto leading_zero = make({1.0, 2.0, 3.0}, {0.0, 1.0, 1.0});
    CHECK_EQ(leading_zero.ppf(5e-324).value(), 2.0);  // cdf[0] = 0 is never reached

    auto unsorted = make({3.0, 1.0}, {1.0, 1.0});
    CHECK_EQ(unsorted.ppf(0.3).value(), 3.0);
    CHECK_EQ(unsorted.cdf_at(0), 0.5);

    auto one = make({4.5}, {2.0});
    CHECK_EQ(one.ppf(1e-300).value(), 4.5);
    CHECK_EQ(one.ppf(std::nextafter(1.0, 0.0)).value(), 4.5);
}

TEST(halving_search_agrees_with_the_definition_on_tables_full_of_ties) {
    auto rng = ChaChaRng::seeded(99);
    int checked = 0;
    for (std::size_t n = 1; n <= 40; ++n) {
        for (int rep = 0; rep < 5; ++rep) {
            std::vector<double> points(n), masses(n);
            for (std::size_t i = 0; i < n; ++i) {
                points[i] = static_cast<double>(i);
                // Many zero masses make runs of equal cumulative entries.
                const bool zero = rng.next_u64() % 3 == 0;
                masses[i] = zero ? 0.0 : static_cast<double>(rng.next_u64() % 4);
            }
            masses[rng.next_u64() % n] = 1.0;
            if (rep % 2 == 1) {
                // A power-of-two total makes every cumulative entry a multiple of 2^-53, which
                // a drawn uniform can equal exactly.
                double total = 0.0;
                for (const double m : masses) total += m;
                masses.push_back(std::exp2(std::ceil(std::log2(total + 1.0))) - total);
                points.push_back(static_cast<double>(n));
            }
            auto d = make(points, masses);
            const auto cdf = d.cumulative();
            std::vector<double> us = {5e-324, 0.5, std::nextafter(1.0, 0.0)};
            for (double c : cdf) {
                if (c > 0.0 && c < 1.0) {
                    us.push_back(c);
                    us.push_back(std::nextafter(c, 0.0));
                    us.push_back(std::nextafter(c, 1.0));
                }
            }
            for (int k = 0; k < 20; ++k) us.push_back(varnix::uniform(rng) + 0x1.0p-60);
            for (int k = 0; k < 20; ++k) us.push_back(varnix::uniform(rng));
            std::erase_if(us, [](double u) { return !(u > 0.0 && u < 1.0); });
            // The single search takes every probability; the batch of sample_n (lane groups
            // and tail) takes those a drawn uniform can be: the multiples of 2^-53.
            std::vector<double> drawable;
            for (double u : us) {
                if (std::ldexp(u, 53) == std::floor(std::ldexp(u, 53))) drawable.push_back(u);
            }
            auto words = testing_words::ScriptedWords::of_uniforms(drawable);
            std::vector<double> batch;
            CHECK(d.sample_n(drawable.size(), words, batch).has_value());
            CHECK_EQ(words.consumed(), drawable.size());
            for (std::size_t k = 0; k < us.size(); ++k) {
                const double want = points[index_by_definition(cdf, us[k])];
                if (d.ppf(us[k]).value() != want) {
                    check::fail(__FILE__, __LINE__, "n=" + std::to_string(n) + " u=" +
                                                        varnix::render_number(us[k]));
                }
                ++checked;
            }
            for (std::size_t k = 0; k < drawable.size(); ++k) {
                if (batch[k] != points[index_by_definition(cdf, drawable[k])]) {
                    check::fail(__FILE__, __LINE__, "batch, n=" + std::to_string(n) + " u=" +
                                                        varnix::render_number(drawable[k]));
                }
            }
        }
    }
    CHECK(checked > 5000);
}

TEST(running_sum_overshooting_one_keeps_the_search_valid) {
    // The running sum reaches 1.0000000000000002 at entry 2; the trailing zero mass is then
    // followed by the forced 1.0, so the table steps down by one ulp at its end; the last
    // point's mass still reads as zero, never as the negative difference -2^-52.
    auto d = make({1.0, 2.0, 3.0, 4.0}, {0.7, 0.5421829189710706, 0.7, 0.0});
    CHECK_EQ(d.cdf_at(2), 1.0000000000000002);
    CHECK_EQ(d.cdf_at(3), 1.0);
    CHECK_EQ(d.pmf_at(3), 0.0);
    CHECK_EQ(d.pmf(4.0), 0.0);
    CHECK_EQ(d.ppf(std::nextafter(1.0, 0.0)).value(), 3.0);
    CHECK_EQ(d.ppf(0.6395808071616419).value(), 3.0);
    CHECK_EQ(d.ppf(0.6395808071616418).value(), 2.0);
}

TEST(quantile_refuses_probabilities_outside_the_open_unit_interval) {
    auto d = make({1.0, 2.0}, {1.0, 1.0});
    for (double u : {0.0, -0.0, 1.0, kNaN, -0.25, kInf, -kInf, std::nextafter(1.0, 2.0)}) {
        auto r = d.ppf(u);
        CHECK(!r && r.error().kind == SampleErrorKind::QuantileOutOfRange);
        if (!r) CHECK(std::isnan(u) ? std::isnan(r.error().value) : r.error().value == u);
    }
    CHECK_EQ(d.ppf(0.0).error().message(), std::string("quantile u=0 not in (0, 1)"));
    CHECK_EQ(d.ppf(kNaN).error().message(), std::string("quantile u=NaN not in (0, 1)"));
    CHECK_EQ(d.ppf(1.5).error().message(), std::string("quantile u=1.5 not in (0, 1)"));
}

TEST(mass_at_value_matches_first_point_within_strict_tolerance) {
    auto dup = make({1.0, 1.0}, {1.0, 3.0});
    CHECK_EQ(dup.len(), std::size_t{2});
    CHECK_EQ(dup.pmf(1.0), 0.25);  // first occurrence only, not the sum
    CHECK_EQ(dup.pmf_at(1), 0.75);

    auto zero = make({0.0, 5.0}, {1.0, 1.0});
    CHECK_EQ(zero.pmf(0.9e-12), 0.5);
    CHECK_EQ(zero.pmf(-0.9e-12), 0.5);
    CHECK_EQ(zero.pmf(1e-12), 0.0);  // |0 - 1e-12| < 1e-12 is false
    CHECK_EQ(zero.pmf(kNaN), 0.0);
    CHECK_EQ(zero.pmf(2.5), 0.0);

    // Points are stored as given, NaN and infinities included.
    auto odd = make({kNaN, kInf, 2.0}, {1.0, 1.0, 2.0});
    CHECK(std::isnan(odd.points()[0]));
    CHECK_EQ(odd.points()[1], kInf);
    CHECK_EQ(odd.pmf(2.0), 0.5);
    CHECK_EQ(odd.pmf(kInf), 0.0);  // inf - inf is NaN: never within tolerance
}

TEST(index_past_the_end_is_an_internal_fault_and_object_stays_usable) {
    auto d = make({1.0, 2.0, 3.0}, {1.0, 1.0, 2.0});
    CHECK_EQ(fault_text(d, false, 3),
             std::string("index out of bounds: the len is 3 but the index is 3"));
    CHECK_EQ(fault_text(d, true, 17),
             std::string("index out of bounds: the len is 3 but the index is 17"));
    CHECK_EQ(fault_text(d, true, 2), std::string("no fault"));
    CHECK_EQ(d.pmf_at(0), 0.25);
    CHECK_EQ(d.pmf_at(2), 0.5);
    CHECK_EQ(d.cdf_at(1), 0.5);
}

TEST(moments_accumulate_in_index_order) {
    auto one = make({-3.5}, {0.2});
    CHECK_EQ(one.mean(), -3.5);
    CHECK_EQ(one.var(), 0.0);
    CHECK_EQ(one.std_dev(), 0.0);

    auto two = make({0.0, 1.0}, {1.0, 3.0});
    CHECK_EQ(two.mean(), 0.75);
    CHECK_EQ(two.var(), 0.1875);

    // Summing in another order or grouping the variance terms differently changes the last
    // bits here (0.22941176470588234 and 0.00913494809688581 respectively).
    auto d = make({0.1, 0.1, 0.3, 0.3}, {0.3, 0.3, 0.5, 0.6});
    CHECK_EQ(d.mean(), 0.22941176470588237);
    CHECK_EQ(d.var(), 0.009134948096885812);
    CHECK_EQ(d.std_dev(), 0.09557692240748188);
}

TEST(batch_sampling_equals_one_ppf_per_uniform_in_order) {
    // Sizes around the four-wide groups, on tables of several sizes.
    for (std::size_t points : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1000}}) {
        std::vector<double> xs(points), ms(points);
        auto mass_rng = ChaChaRng::seeded(points);
        for (std::size_t i = 0; i < points; ++i) {
            xs[i] = 10.0 * static_cast<double>(i);
            ms[i] = static_cast<double>(mass_rng.next_u64() % 5);
        }
        ms[0] = 1.0;
        auto d = make(xs, ms);
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4},
                              std::size_t{5}, std::size_t{1003}}) {
            auto rng = ChaChaRng::seeded(7);
            auto ref = ChaChaRng::seeded(7);
            std::vector<double> out{-1.0};
            CHECK(d.sample_n(n, rng, out).has_value());
            CHECK_EQ(out.size(), n);
            int mismatches = 0;
            for (std::size_t i = 0; i < n; ++i) {
                mismatches += out[i] != d.ppf(varnix::uniform(ref)).value();
            }
            CHECK_EQ(mismatches, 0);
            CHECK_EQ(rng.next_u64(), ref.next_u64());  // exactly one value per draw
        }
    }

    auto d = make({1.0, 2.0, 3.0}, {1.0, 2.0, 3.0});
    auto a = ChaChaRng::seeded(11);
    auto b = ChaChaRng::seeded(11);
    CHECK_EQ(d.sample(a).value(), d.ppf(varnix::uniform(b)).value());
    CHECK_EQ(a.next_u64(), b.next_u64());
}

TEST(batch_stops_at_the_first_zero_uniform) {
    auto d = make({1.0, 2.0, 3.0, 4.0}, {1.0, 1.0, 1.0, 1.0});
    // A zero at each position of the first two groups of four and of the tail.
    for (std::size_t zero_at = 0; zero_at < 10; ++zero_at) {
        std::vector<double> script(10, 0.6);
        for (std::size_t i = 0; i < zero_at; ++i) {
            script[i] = 0.1 + 0.2 * static_cast<double>(i % 4);
        }
        script[zero_at] = 0.0;
        auto words = testing_words::ScriptedWords::of_uniforms(script);
        std::vector<double> out(12, -1.0);
        auto r = d.sample_n(10, words, out);
        CHECK(!r && r.error().kind == SampleErrorKind::QuantileOutOfRange);
        CHECK(!r && r.error().value == 0.0);
        CHECK_EQ(words.consumed(), zero_at + 1);
        // out holds exactly the draws made before the failing one.
        CHECK_EQ(out.size(), zero_at);
        for (std::size_t i = 0; i < zero_at && i < out.size(); ++i) {
            const double u = varnix::unit_from_bits(testing_words::word_for_uniform(script[i]));
            CHECK_EQ(out[i], d.ppf(u).value());
        }
    }
    CHECK_EQ(d.ppf(0.0).error().message(), std::string("quantile u=0 not in (0, 1)"));
}
