#include <cmath>
#include <vector>

#include "check.hpp"
#include "core/continuous/hermite.hpp"

using varnix::HermiteTable;

TEST(hermite_small_grids_become_four_nodes) {
    auto F = [](double x) { return x; };
    for (std::size_t grid : {0u, 1u, 2u, 3u, 4u}) {
        const auto t = HermiteTable::build(F, 0.0, 1.0, grid, 1e-12, 128);
        CHECK_EQ(t.nodes().size(), 4u);
        CHECK_EQ(t.quantiles().size(), 4u);
        CHECK_EQ(t.slopes().size(), 4u);
        CHECK_EQ(t.nodes()[0], 1e-12);
        CHECK_NEAR(t.nodes()[1], 1.0 / 3.0, 1e-12);
        CHECK_NEAR(t.nodes()[2], 2.0 / 3.0, 1e-12);
        CHECK_NEAR(t.nodes()[3], 0.999999999999, 1e-16);
    }
    CHECK_EQ(HermiteTable::build(F, 0.0, 1.0, 5, 1e-12, 128).nodes().size(), 5u);
}

TEST(hermite_uniform_reproduces_identity) {
    auto F = [](double x) { return x; };
    const auto t = HermiteTable::build(F, 0.0, 1.0, 33, 1e-12, 128);
    for (std::size_t i = 0; i < t.nodes().size(); ++i) {
        CHECK_NEAR(t.quantiles()[i], t.nodes()[i], 1e-12);
        CHECK_NEAR(t.slopes()[i], 1.0, 1e-9);
    }
    for (double u : {1e-6, 0.013, 0.25, 0.5, 0.77777, 0.999}) CHECK_NEAR(t.evaluate(u), u, 1e-11);
    // Outside the node range the end quantiles come back as stored.
    CHECK_EQ(t.evaluate(1e-13), t.quantiles().front());
    CHECK_EQ(t.evaluate(1.0 - 1e-13), t.quantiles().back());
}

TEST(hermite_approximates_a_curved_quantile_function) {
    const double z = 1.0 - std::exp(-5.0);
    auto F = [z](double x) { return x <= 0.0 ? 0.0 : x >= 5.0 ? 1.0 : (1.0 - std::exp(-x)) / z; };
    const auto t = HermiteTable::build(F, 0.0, 5.0, 256, 1e-12, 128);
    // The quantile steepens towards the truncation at 5, where the cubic is coarsest.
    double worst = 0.0;
    double worst_tail = 0.0;
    double previous = -1.0;
    bool monotone = true;
    for (int i = 1; i < 4000; ++i) {
        const double u = i / 4000.0;
        const double x = t.evaluate(u);
        const double err = std::fabs(x - -std::log(1.0 - u * z));
        (u <= 0.9 ? worst : worst_tail) = std::max(u <= 0.9 ? worst : worst_tail, err);
        monotone = monotone && x >= previous;
        previous = x;
    }
    CHECK(worst < 5e-6);
    CHECK(worst_tail < 0.05);
    CHECK(monotone);
}

TEST(hermite_flat_at_secant_extremum_and_monotone) {
    // Secants 10, 0, 10: both ends of the flat segment get slope 0, so it stays flat.
    const auto t = HermiteTable::from_nodes(0.0, 2.0, {0.1, 0.2, 0.3, 0.4}, {0.0, 1.0, 1.0, 2.0});
    CHECK_EQ(t.slopes()[1], 0.0);
    CHECK_EQ(t.slopes()[2], 0.0);
    CHECK_EQ(t.evaluate(0.25), 1.0);
    double previous = 0.0;
    bool monotone = true;
    for (int i = 0; i <= 300; ++i) {
        const double x = t.evaluate(0.1 + i * 0.001);
        monotone = monotone && x >= previous && x <= 2.0;
        previous = x;
    }
    CHECK(monotone);

    // Steep secants next to shallow ones must not make the cubic overshoot its neighbours.
    const auto s = HermiteTable::from_nodes(0.0, 20.0, {0.1, 0.2, 0.3, 0.4, 0.5},
                                            {0.0, 10.0, 10.1, 20.0, 20.0});
    previous = 0.0;
    for (int i = 0; i <= 400; ++i) {
        const double x = s.evaluate(0.1 + i * 0.001);
        monotone = monotone && x >= previous;
        previous = x;
    }
    CHECK(monotone);
}

TEST(hermite_clamps_interior_results_but_not_end_values) {
    // Quantiles reaching past [0.2, 0.8]: the cubic is clamped, the end values are not.
    const auto t = HermiteTable::from_nodes(0.2, 0.8, {0.1, 0.4, 0.7, 0.9}, {0.0, 0.3, 0.7, 1.0});
    CHECK_EQ(t.evaluate(0.12), 0.2);
    CHECK_EQ(t.evaluate(0.89), 0.8);
    CHECK_EQ(t.evaluate(0.05), 0.0);
    CHECK_EQ(t.evaluate(0.95), 1.0);
    CHECK(t.evaluate(0.5) > 0.3 && t.evaluate(0.5) < 0.7);
}

TEST(hermite_failed_inversions_fall_back_to_even_spacing) {
    auto flat = [](double) { return 0.5; };  // no rise: every inversion fails
    const auto t = HermiteTable::build(flat, -1.0, 3.0, 5, 1e-12, 128);
    const std::vector<double> expected{-1.0, 0.0, 1.0, 2.0, 3.0};
    CHECK(t.quantiles() == expected);
    // Zero iterations: every node is the bracket midpoint, all secants 0, the table is flat.
    auto F = [](double x) { return x; };
    const auto m = HermiteTable::build(F, 0.0, 1.0, 8, 1e-12, 0);
    CHECK_EQ(m.evaluate(0.3), 0.5);
    CHECK_EQ(m.slopes()[3], 0.0);
}

// The batch evaluation interleaves its searches; every value must be the one evaluate gives,
// for every batch length (whole groups and a remainder) and at and beyond the end nodes.
TEST(hermite_batch_evaluation_equals_single_evaluation) {
    auto F = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    for (const std::size_t grid : {4u, 5u, 9u, 256u}) {
        const auto t = HermiteTable::build(F, -5.0, 5.0, grid, 1e-12, 128);
        const auto& nodes = t.nodes();
        std::vector<double> us = {1e-13, nodes.front(), nodes.back(), 0.9999999999999,
                                  std::nextafter(nodes.back(), 0.0)};
        for (const double v : nodes) {
            us.push_back(v);
            us.push_back(std::nextafter(v, 1.0));
        }
        for (int i = 1; i < 200; ++i) us.push_back(i / 200.0);
        for (std::size_t m = 0; m <= us.size(); m += (m < 20 ? 1 : 37)) {
            std::vector<double> out(m, -1.0);
            t.evaluate_many(us.data(), out.data(), m);
            bool same = true;
            for (std::size_t i = 0; i < m; ++i) same = same && out[i] == t.evaluate(us[i]);
            CHECK(same);
        }
    }
}
