#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/continuous/panel_table.hpp"
#include "reference_shapes.hpp"

using varnix::BuildErrorKind;
using varnix::DensityProbe;
using varnix::PanelTable;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PanelTable::Options tolerance(double tol) {
    PanelTable::Options o;
    o.tolerance = tol;
    o.end_tail = tol;
    return o;
}

// The table of a reference shape at tolerance 1e-14, with its density calls counted.
struct Built {
    PanelTable table;
    std::size_t calls;
};
Built build(const ref::Shape& s, double scale = 1.0) {
    auto f = [&](double x) { return scale * s.pdf(x); };
    DensityProbe probe(f, s.lo, s.hi);
    auto t = PanelTable::build(probe, s.lo, s.hi, tolerance(1e-14));
    if (!t) throw std::runtime_error(std::string(s.name) + ": " + t.error().message());
    return {std::move(*t), probe.calls()};
}

}  // namespace

TEST(panel_probe_counts_checks_and_stops_after_the_first_fault) {
    int user_calls = 0;
    auto f = [&](double x) {
        ++user_calls;
        return x < 0.5 ? 1.0 : x < 0.75 ? -2.0 : kNaN;
    };
    DensityProbe probe(f, 0.0, 1.0);
    CHECK_EQ(probe(0.25), 1.0);
    probe.set_scale_exponent(3);
    CHECK_EQ(probe(0.25), 0.125);
    CHECK(!probe.failed());
    CHECK_EQ(probe(0.6), 0.0);
    CHECK(probe.failed());
    CHECK(probe.error() == varnix::BuildError::density_negative(0.6, -2.0));
    // Later values read as 0 without calling the density; the first fault is kept.
    CHECK_EQ(probe(0.9), 0.0);
    CHECK_EQ(user_calls, 3);
    CHECK_EQ(probe.calls(), 3u);
    CHECK(probe.error().kind == BuildErrorKind::DensityNegative);

    // NaN or infinity is allowed exactly at an end (and returned as NaN), not inside.
    auto g = [](double x) { return x == 0.0 || x == 1.0 ? INFINITY : x > 0.5 ? kNaN : 1.0; };
    DensityProbe ends(g, 0.0, 1.0);
    CHECK(std::isnan(ends(0.0)));
    CHECK(std::isnan(ends(1.0)));
    CHECK(!ends.failed());
    CHECK_EQ(ends(0.7), 0.0);
    CHECK(ends.failed());
    CHECK(ends.error().kind == BuildErrorKind::DensityNotFinite);
    CHECK_EQ(ends.error().x, 0.7);
}

TEST(panel_polynomials_of_degree_five_are_exact) {
    // Positive on [0, 2]. With its moments the integrands stay within degree 7, where the
    // whole-panel rule is exact, so no panel of the first partition is split.
    auto p = [](double x) { return 1.0 + x * (0.5 + x * (-0.25 + x * x * x * 0.01)); };
    const double mass = 2.0 + 1.0 - 2.0 / 3.0 + 0.01 * 64.0 / 6.0;  // integral over [0, 2]
    const auto t = PanelTable::build(p, 0.0, 2.0, tolerance(1e-14));
    CHECK(t.has_value());
    CHECK_NEAR(t->norm(), mass, 1e-14 * mass);
    CHECK_EQ(t->panels(), 32u);
    CHECK_EQ(t->unresolved(), 0.0);
}

// The mass of every reference shape, the masses left and right of points inside, and the
// summaries, against closed forms.
TEST(panel_masses_and_splits_match_closed_forms) {
    for (const ref::Shape& s : ref::shapes()) {
        const Built b = build(s);
        const PanelTable& t = b.table;
        const bool end_floor = std::string(s.name).starts_with("beta(0.5");
        // beta(0.5, 0.5) keeps 7e-9 of its mass within one double of 1 (an estimate).
        const double mass_tol = end_floor ? 1e-9 : 1e-13;
        if (std::fabs(t.norm() / s.mass() - 1.0) > mass_tol) {
            check::fail(__FILE__, __LINE__, std::string(s.name) + ": mass " +
                                                std::to_string(t.norm() / s.mass() - 1.0));
        }
        double worst = 0.0;
        bool sums = true;
        bool calls_ok = true;
        auto f = [&](double x) { return s.pdf(x); };
        DensityProbe probe(f, s.lo, s.hi);
        probe.set_scale_exponent(t.scale_exponent());
        for (int i = 1; i < 400; ++i) {
            const double x = t.first_edge() + (t.last_edge() - t.first_edge()) * (i / 400.0);
            const std::size_t before = probe.calls();
            const auto split = t.split_at(probe, x);
            calls_ok = calls_ok && probe.calls() - before <= 4;
            sums = sums && std::fabs(split.left + split.right - t.mass()) <= 1e-15 * t.mass();
            const double u = split.left / t.mass();
            worst = std::max(worst, u <= 0.5 ? std::fabs(u - s.F(x))
                                             : std::fabs(split.right / t.mass() - s.S(x)));
        }
        if (!(worst <= (end_floor ? 1e-10 : 2e-15))) {
            check::fail(__FILE__, __LINE__, std::string(s.name) + ": split error " +
                                                std::to_string(worst));
        }
        CHECK(sums);
        CHECK(calls_ok);
    }
}

TEST(panel_summaries_match_closed_forms_to_1e_10) {
    for (const ref::Shape& s : ref::shapes()) {
        const PanelTable t = build(s).table;
        const double sd = std::sqrt(s.var);
        // Within one double of the pole at 1 beta(0.5, 0.5) has mass no rule can place.
        const double tol = std::string(s.name).starts_with("beta(0.5") ? 1e-8 : 1e-10;
        const double mean_err = std::fabs(t.mean() - s.mean) / sd;
        const double var_err = std::fabs(t.variance() / s.var - 1.0);
        const double h_err = std::isnan(s.entropy) ? 0.0 : std::fabs(t.entropy() / s.entropy - 1.0);
        if (!(mean_err <= tol && var_err <= tol && h_err <= tol)) {
            char buf[256];
            std::snprintf(buf, sizeof buf, "%s: mean %.3g var %.3g entropy %.3g", s.name, mean_err,
                          var_err, h_err);
            check::fail(__FILE__, __LINE__, buf);
        }
    }
}

TEST(panel_expectations_of_functions) {
    const PanelTable n = build(ref::shape("normal on [-20, 20]")).table;
    auto cosine = [](double x) { return std::cos(x); };
    CHECK_NEAR(n.expect(cosine), std::exp(-0.5), 1e-12);
    auto fourth = [](double x) { return x * x * x * x; };
    CHECK_NEAR(n.expect(fourth), 3.0, 3e-11);
    const PanelTable g = build(ref::shape("gamma(2) on [0, 40]")).table;
    auto cube = [](double x) { return x * x * x; };
    CHECK_NEAR(g.expect(cube), 24.0, 24e-10);
    auto holed = [](double x) { return x > 3.0 ? kNaN : 1.0; };
    CHECK(std::isnan(g.expect(holed)));
}

// A narrow uniform far from 0: the panels are a few units in the last place wide, and the
// moments still come out exactly, from the panels' exact local coordinates.
TEST(panel_moments_of_a_narrow_uniform_far_from_zero) {
    const double lo = 1e8;
    const double hi = 1e8 + 1e-6;
    auto one = [](double) { return 1.0; };
    const auto t = PanelTable::build(one, lo, hi, tolerance(1e-14));
    CHECK(t.has_value());
    const double w = hi - lo;  // exact: the representable width
    CHECK_NEAR(t->norm(), w, 1e-15 * w);
    CHECK_NEAR(t->mean(), lo + 0.5 * w, 1.5e-8);  // one unit in the last place
    CHECK_NEAR(t->variance(), w * w / 12.0, 1e-12 * w * w);
}

// The same density times a power of two gives the same table bit for bit; times 1e-12 or 1e9
// the same panels, calls and relative masses.
TEST(panel_results_do_not_depend_on_the_density_scale) {
    for (const char* name : {"normal on [-5, 5]", "Student t(3) on [-2804, 2804]", "gamma(0.5) on [0, 40]"}) {
        const ref::Shape& s = ref::shape(name);
        const Built base = build(s);
        for (const double scale : {0x1p-40, 0x1p30}) {
            const Built b = build(s, scale);
            CHECK_EQ(b.calls, base.calls);
            CHECK(b.table.edges() == base.table.edges());
            CHECK_EQ(b.table.mass(), base.table.mass());
            CHECK_EQ(b.table.norm(), std::ldexp(base.table.norm(), std::ilogb(scale)));
            CHECK_EQ(b.table.variance(), base.table.variance());
        }
        for (const double scale : {1e-12, 1e9}) {
            const Built b = build(s, scale);
            CHECK_EQ(b.calls, base.calls);
            CHECK(b.table.edges() == base.table.edges());
            CHECK_NEAR(b.table.norm() / scale, base.table.norm(), 1e-14 * base.table.norm());
            CHECK_NEAR(b.table.mean(), base.table.mean(), 1e-14);
        }
    }
}

// Near an integrable pole the density is fitted as A t^p e^(c t); the fit stands for it out to
// where its checked error is within budget, and its mass there agrees with the exact one.
TEST(panel_singular_ends_are_modelled_with_their_exact_mass) {
    const PanelTable g = build(ref::shape("gamma(0.5) on [0, 40]")).table;
    // exp(-x) / sqrt(x) is of the fitted form: the fit holds out to the first grid point.
    CHECK(g.lo_model().has_value());
    CHECK(!g.hi_model().has_value());
    CHECK_EQ(g.lo_model()->reach(), 1.25);
    CHECK_NEAR(g.lo_model()->exponent(), -0.5, 1e-12);
    CHECK_NEAR(g.tail_below() / g.mass(), std::erf(std::sqrt(1.25)) / std::erf(std::sqrt(40.0)), 1e-14);
    CHECK_EQ(g.first_edge(), 1.25);
    CHECK_EQ(g.tail_above(), 0.0);

    // 1 / sqrt(x (1 - x)) is not: the walk goes closer until the misfit's mass is negligible.
    const ref::Shape& b = ref::shape("beta(0.5, 0.5) on [0, 1]");
    const PanelTable t = build(b).table;
    CHECK(t.lo_model().has_value() && t.hi_model().has_value());
    for (const auto* m : {&t.lo_model(), &t.hi_model()}) {
        CHECK((*m)->reach() < 1.0 / 32.0);
        CHECK((*m)->reach() > 1e-9);
        CHECK_NEAR((*m)->exponent(), -0.5, 1e-4);
        CHECK((*m)->error() <= 1e-14 * t.mass());
    }
    CHECK_NEAR(t.tail_below() / t.mass(), b.F(t.lo_model()->reach()), 1e-14);
    CHECK_NEAR(t.tail_above() / t.mass(), b.S(1.0 - t.hi_model()->reach()), 1e-14);
    // Its mass within one double of 1, which no quadrature in double precision can reach.
    const double last = t.hi_model()->mass(1.0 - std::nextafter(1.0, 0.0)) / t.mass();
    CHECK_NEAR(last, b.S(std::nextafter(1.0, 0.0)), 1e-9 * last);
}

// A density that vanishes towards a NaN end gets an empty model; one that grows like 1/t or
// faster is refused.
TEST(panel_end_models_of_vanishing_and_non_integrable_ends) {
    auto vanishing = [](double x) { return x > 0.0 ? std::exp(-1.0 / x) : kNaN; };
    const auto v = PanelTable::build(vanishing, 0.0, 1.0, tolerance(1e-14));
    CHECK(v.has_value());
    CHECK(v->lo_model().has_value());
    CHECK(v->tail_below() <= 1e-14 * v->mass());
    for (const auto& pole : {+[](double x) { return 1.0 / x; }, +[](double x) { return std::pow(x, -1.5); }}) {
        const auto r = PanelTable::build(pole, 0.0, 1.0, tolerance(1e-14));
        CHECK(!r && r.error() == varnix::BuildError::mass_not_found(
                                     varnix::detail_text::non_integrable_end, 0.0));
    }
}
