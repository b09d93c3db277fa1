#include "core/continuous/end_model.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "core/continuous/lobatto.hpp"

namespace varnix {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kHalvingsAhead = 8;  // steps of the walk evaluated ahead with a batch density

// A point at nominal distance s from the end: its actual distance once rounded to a double, and
// the density there.
struct Sample {
    double t = 0.0;
    double f = 0.0;
};

// log f = log A + p log t + c t through three samples.
struct Fit {
    double log_a;
    double p;
    double c;
};

Fit fit_through(const Sample& p1, const Sample& p2, const Sample& p3) {
    const double a11 = std::log(p1.t / p2.t);
    const double a12 = p1.t - p2.t;
    const double a21 = std::log(p2.t / p3.t);
    const double a22 = p2.t - p3.t;
    const double b1 = std::log(p1.f / p2.f);
    const double b2 = std::log(p2.f / p3.f);
    const double det = a11 * a22 - a12 * a21;
    const double p = (b1 * a22 - a12 * b2) / det;
    const double c = (a11 * b2 - b1 * a21) / det;
    const double log_a = std::log(p1.f) - p * std::log(p1.t) - c * p1.t;
    return {log_a, p, c};
}

// The largest relative misfit of the model at the checks. A misfit at the level of rounding
// counts as none, so that the decision does not depend on the rounding of one particular scale
// of the density.
double largest_misfit(const EndModel& model, std::initializer_list<Sample> checks) {
    double misfit = 0.0;
    for (const Sample& check : checks) {
        misfit = std::max(misfit, check.f > 0.0 ? std::fabs(model.density(check.t) / check.f - 1.0)
                                                : kInf);
    }
    if (misfit <= 64.0 * kEps) misfit = 0.0;
    return misfit;
}

}  // namespace

BuildResult<EndModel> EndModel::fit(DensityProbe& probe, double end, bool at_lo, double s0,
                                    double f0, double budget) {
    const auto point = [&](double s) { return at_lo ? end + s : end - s; };
    const auto at = [&](double s) {
        const double x = point(s);
        return Sample{at_lo ? x - end : end - x, probe(x)};
    };
    // With a batch density: a step's points (with `fresh`, those of a new fit at s too) and
    // those of the next few halvings, guessed ahead, in one call.
    std::vector<double> ahead;
    const auto announce = [&](double s, bool fresh) {
        if (!probe.batched()) return;
        ahead.clear();
        if (fresh) ahead.insert(ahead.end(), {point(s), point(0.5 * s), point(0.25 * s),
                                              point(0.75 * s), point(0.375 * s)});
        for (int j = 0; j < kHalvingsAhead; ++j) {
            ahead.push_back(point(0.125 * s));
            s *= 0.5;
            ahead.push_back(point(0.375 * s));
        }
        probe.prefetch(ahead);
    };
    const double ulp = std::fabs(std::nextafter(end, at_lo ? kInf : -kInf) - end);
    const double s_min = std::max(ulp, s0 * 0x1p-1000);
    // Below this distance, points rounded to doubles would spoil the checks and the panels.
    const double s_floor = std::max(ulp * 0x1p30, s_min);
    const auto refuse = [&] {
        return std::unexpected(BuildError::mass_not_found(detail_text::non_integrable_end, end));
    };

    double s = s0;
    announce(s, true);
    Sample p1{s0, f0};  // the fit's points at s, s/2, s/4
    Sample p2 = at(0.5 * s);
    Sample p3 = at(0.25 * s);
    Sample c34 = at(0.75 * s);  // checks carried into the next step
    Sample c38 = at(0.375 * s);
    bool steep = false;
    for (int step = 0; step < 3000; ++step) {
        if (probe.batched() && !probe.known(point(0.125 * s))) announce(s, false);
        const Sample c8 = at(0.125 * s);
        if (probe.failed()) {
            if (steep && probe.error().kind == BuildErrorKind::DensityNotFinite) return refuse();
            return std::unexpected(probe.error());
        }
        // The density vanishes near the end: no mass within the farthest zero.
        const double zero = p1.f == 0.0 ? p1.t : p2.f == 0.0 ? p2.t : p3.f == 0.0 ? p3.t : 0.0;
        if (zero > 0.0) return EndModel(end, at_lo, zero, -kInf, 0.0, 0.0, 0.0);

        const Fit fit = fit_through(p1, p2, p3);
        steep = !(fit.p > -1.0 + 1e-9);
        if (steep) {
            if (s <= s_min) return refuse();
            s = std::max(s * 0x1p-16, s_min);
            announce(s, true);
            p1 = at(s);
            p2 = at(0.5 * s);
            p3 = at(0.25 * s);
            c34 = at(0.75 * s);
            c38 = at(0.375 * s);
            continue;
        }
        const EndModel model(end, at_lo, p1.t, fit.log_a, fit.p, fit.c, 0.0);
        const double misfit = largest_misfit(model, {c8, c38, c34});
        const double tail = model.mass(p1.t);
        const double error = std::min(tail, 4.0 * misfit * tail);
        const bool smooth = std::fabs(fit.c * p1.t) <= 2.0;
        if (tail <= budget || (error <= budget && smooth) || 0.5 * s < s_floor) {
            return EndModel(end, at_lo, p1.t, fit.log_a, fit.p, fit.c, error);
        }
        // Halve: the fit's points move in by one, the check at 3s/8 becomes the one at 3s/4.
        s *= 0.5;
        p1 = p2;
        p2 = p3;
        p3 = c8;
        c34 = c38;
        c38 = at(0.375 * s);
    }
    return refuse();
}

double EndModel::density(double t) const {
    if (!(t > 0.0)) return t == 0.0 && log_a_ > -kInf && p_ < 0.0 ? kInf : 0.0;
    return std::exp(log_a_ + p_ * std::log(t) + c_ * t);
}

double EndModel::mass(double t) const {
    if (!(t > 0.0) || log_a_ == -kInf) return 0.0;
    const double q = p_ + 1.0;
    const double ct = c_ * t;
    if (std::fabs(ct) > 4.0) {
        // Only a fit kept for its negligible mass gets here: the series would cancel, so the
        // 5-point rule on halving pieces, and the power law alone where e^(c t) is flat.
        double y = t;
        double sum = 0.0;
        while (std::fabs(c_ * y) > 1e-3) {
            const double a = 0.5 * y;
            const double h = y - a;
            for (int k = 0; k < 5; ++k) sum += h * lobatto_weights[k] * density(a + h * lobatto_positions[k]);
            y = a;
        }
        return sum + std::exp(log_a_ + q * std::log(y)) / q;
    }
    // A t^(p+1) sum_k (c t)^k / (k! (p + 1 + k)): with |c t| <= 4 the terms fall fast.
    double term = 1.0;
    double sum = 1.0 / q;
    for (int k = 1; k < 80; ++k) {
        term *= ct / k;
        const double add = term / (q + k);
        sum += add;
        if (std::fabs(add) <= 1e-17 * std::fabs(sum)) break;
    }
    return std::exp(log_a_ + q * std::log(t)) * sum;
}

double EndModel::distance_with_mass(double m) const {
    if (!(m < mass(reach_))) return reach_;
    if (!(m > 0.0)) return 0.0;
    // Bisection on log t: the mass rises with t, over any number of decades.
    double lo = std::log(reach_) - 1500.0;
    double hi = std::log(reach_);
    for (int i = 0; i < 200 && hi - lo > 1e-15 * std::fabs(hi) + 1e-300; ++i) {
        const double mid = 0.5 * (lo + hi);
        (mass(std::exp(mid)) < m ? lo : hi) = mid;
    }
    return std::exp(lo);
}

void EndModel::quadrature(double negligible, std::vector<double>& t, std::vector<double>& wf) const {
    t.clear();
    wf.clear();
    if (log_a_ == -kInf) return;
    // Pieces [y r, y] with r = 2^(-1/8), from the reach towards the end, each with the
    // 5-point rule; the mass left inside the last one goes to a single point.
    const double r = 0.91700404320467123175;  // 2^(-1/8)
    double y = reach_;
    const double total = mass(reach_);
    for (int i = 0; i < 20000; ++i) {
        const double a = y * r;
        if (mass(a) <= negligible * total || !(a > 0.0)) break;
        const double h = y - a;
        for (int k = 0; k < 5; ++k) {
            const double tk = a + h * lobatto_positions[k];
            t.push_back(tk);
            wf.push_back(h * lobatto_weights[k] * density(tk));
        }
        y = a;
    }
    const double rest = mass(y);
    if (rest > 0.0) {
        t.push_back(0.5 * y);
        wf.push_back(rest);
    }
}

std::optional<EndModel> EndModel::from_parameters(const Parameters& q) {
    for (const double v : q) {
        if (std::isnan(v)) return std::nullopt;
    }
    const auto [end, at_lo, reach, log_a, p, c, error] = q;
    if (!std::isfinite(end) || !(at_lo == 0.0 || at_lo == 1.0) || !std::isfinite(reach) ||
        !(reach > 0.0) || log_a == kInf || !std::isfinite(p) || !(p > -1.0) ||
        !std::isfinite(c) || !std::isfinite(error) || error < 0.0) {
        return std::nullopt;
    }
    return EndModel(end, at_lo == 1.0, reach, log_a, p, c, error);
}

}  // namespace varnix
