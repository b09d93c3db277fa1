// The Hermite table's quantiles found without a search, and four at a time, are those of the
// searched segment and the scalar cubic, bit for bit.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/continuous/hermite.hpp"
#include "core/random.hpp"
#include "core/search.hpp"

using varnix::HermiteTable;

namespace {

// The quantile by the table's definition: a binary search for the segment, then the cubic.
double reference(const HermiteTable& t, double lo, double hi, double u) {
    const auto& a = t.nodes();
    const auto& x = t.quantiles();
    const auto& s = t.slopes();
    const std::size_t n = a.size();
    if (u <= a[0]) return x[0];
    if (u >= a[n - 1]) return x[n - 1];
    const std::size_t p = varnix::count_below(a.data(), n, u);
    const std::size_t k = std::min(p == 0 ? 0 : p - 1, n - 2);
    const double h = a[k + 1] - a[k];
    double r;
    if (std::fabs(h) < 1e-300) {
        r = x[k];
    } else {
        const double tt = (u - a[k]) / h;
        const double t2 = tt * tt;
        const double t3 = tt * t2;
        const double h00 = 1.0 + (2.0 * t3 - 3.0 * t2);
        const double h10 = tt + (t3 - 2.0 * t2);
        const double h01 = 3.0 * t2 - 2.0 * t3;
        const double h11 = t3 - t2;
        r = (h11 * h) * s[k + 1] + (h01 * x[k + 1] + ((h * h10) * s[k] + x[k] * h00));
    }
    return r < lo ? lo : (r > hi ? hi : r);
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Probes: uniforms, every node and its neighbours, the ends, and values outside.
std::vector<double> probes(const HermiteTable& t) {
    std::vector<double> u;
    auto rng = varnix::ChaChaRng::seeded(12);
    for (int i = 0; i < 20000; ++i) u.push_back(varnix::uniform(rng));
    for (const double node : t.nodes()) {
        u.push_back(node);
        u.push_back(std::nextafter(node, 0.0));
        u.push_back(std::nextafter(node, 1.0));
    }
    for (const double v : {0.0, 1e-300, 1.0 - 1e-16, 1.0, -1.0, 2.0,
                           std::numeric_limits<double>::quiet_NaN()}) {
        u.push_back(v);
    }
    // A shuffle, so that the special values fall in every lane of a group of four.
    for (std::size_t i = u.size(); i-- > 1;) std::swap(u[i], u[rng.next_u64() % (i + 1)]);
    return u;
}

void check_table(const HermiteTable& t, double lo, double hi) {
    const std::vector<double> u = probes(t);
    std::vector<double> many(u.size());
    t.evaluate_many(u.data(), many.data(), u.size());
    std::size_t wrong_one = 0, wrong_many = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double want = reference(t, lo, hi, u[i]);
        wrong_one += !same(t.evaluate(u[i]), want);
        wrong_many += !same(many[i], want);
    }
    CHECK_EQ(wrong_one, 0u);
    CHECK_EQ(wrong_many, 0u);
}

}  // namespace

TEST(hermite_quantiles_are_those_of_the_searched_segment) {
    // Built tables (evenly spaced nodes), of several sizes, one clamped hard at both ends.
    auto normal = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    for (const std::size_t grid : {4u, 5u, 256u, 1000u}) {
        check_table(HermiteTable::build(normal, -5.0, 5.0, grid, 1e-12, 128), -5.0, 5.0);
    }
    check_table(HermiteTable::build(normal, -0.5, 0.5, 64, 1e-12, 128), -0.5, 0.5);
    // Uneven nodes, bunched at one end, one of them repeated: the spacing's guess is often
    // wrong, and the search decides.
    std::vector<double> u{1e-12, 1e-11, 2e-11, 0.3, 0.3, 0.31, 0.9, 0.999999999999};
    std::vector<double> x{-3.0, -2.9, -2.0, -0.5, -0.4, -0.3, 1.2, 3.0};
    check_table(HermiteTable::from_nodes(-3.0, 3.0, u, x), -3.0, 3.0);
}

TEST(hermite_quantiles_inside_the_unit_interval_stop_at_the_first_outside) {
    auto normal = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    const auto t = HermiteTable::build(normal, -5.0, 5.0, 256, 1e-12, 128);
    auto rng = varnix::ChaChaRng::seeded(4);
    for (const double bad : {0.0, 1.0, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
        for (const std::size_t at : {0u, 3u, 4u, 37u, 99u}) {
            std::vector<double> u(100);
            for (double& v : u) v = varnix::uniform(rng) * 0.9 + 0.05;
            u[at] = bad;
            std::vector<double> out(100, -7.0);
            CHECK_EQ(t.evaluate_inside_unit(u.data(), out.data(), u.size()), at);
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < at; ++i) wrong += out[i] != reference(t, -5.0, 5.0, u[i]);
            CHECK_EQ(wrong, 0u);
        }
    }
    // In place, all inside: every element replaced by its quantile.
    std::vector<double> u{1e-13, 0.2, 0.5, 0.999999999999999, 0.7};
    const std::vector<double> copy = u;
    CHECK_EQ(t.evaluate_inside_unit(u.data(), u.data(), u.size()), u.size());
    for (std::size_t i = 0; i < u.size(); ++i) CHECK_EQ(u[i], reference(t, -5.0, 5.0, copy[i]));
}
