// The check model as one wrapper around an engine.
//
// Checked<E> holds an engine and, where one could be built, the check model: an interpolated
// quantile function of the density at u-resolution 1e-10 (see distribution.hpp). Each of the
// engine's results is set against the model's by one rule of the table below; a result that
// stands is returned exactly as the engine computed it, one that does not is replaced by the
// model's, computed without calling the user's function. The user's function is called exactly
// as the engine alone calls it; the model never calls it. An engine's error, or NaN (the user
// function failing during the query), stands.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/continuous/engine.hpp"
#include "core/continuous/interpolated_inverse.hpp"

namespace varnix {

namespace check_rules {

constexpr double resolution = 1e-10;  // the check model's u-resolution
constexpr double tolerance = 1e-6;    // agreement that keeps an engine's result

// What an engine's value is set against, and how far from it the value may lie and stand:
// tolerance times the rule's scale.
//
//   rule          engine value      model value           scale
//   InU           cdf(x)            model cdf(x)          1 (and so sf and logsf at x)
//                 model cdf(x(u))   u                     1 (quantiles)
//                 model sf(x(q))    q                     1 (upper quantiles)
//   Mean          mean              model mean            the model's standard deviation
//   Variance      variance          model variance        the model variance
//   Entropy       entropy           model entropy         max(1, |model entropy|): >= 1 nat
//   Node          model cdf(x_i)    u_i of a table node   1; a NaN does not stand (the
//                                                         table's nodes at build)
//   Mass          expect            -                     resolves_the_mass below
enum class Rule : std::uint8_t { InU, Mean, Variance, Entropy, Node };

inline double scale(Rule rule, const InterpolatedInverse& model, double model_value) {
    switch (rule) {
        case Rule::Mean: return std::sqrt(model.variance());
        case Rule::Variance: return model_value;
        case Rule::Entropy: return std::max(1.0, std::fabs(model_value));
        case Rule::InU:
        case Rule::Node: break;
    }
    return 1.0;
}

// Whether an engine's value stands beside the model's. A NaN stands, except at a table's
// node: it is how a query reports that the user function failed during it (as an error does),
// which is no silent wrong answer, and which a model built earlier must not hide.
inline bool stands(Rule rule, const InterpolatedInverse& model, double engine,
                   double model_value) {
    const double gap = std::fabs(engine - model_value);
    if (rule == Rule::Node) return gap <= tolerance;
    if (rule == Rule::InU) return std::isnan(engine) || gap <= tolerance;
    return std::isnan(engine) || gap <= tolerance * scale(rule, model, model_value);
}

// Whether the adaptive Simpson integration that made these evaluations, in its order, saw the
// density's mass (summary.cpp): expect's result is then kept without calling func again.
bool resolves_the_mass(const InterpolatedInverse& model, const std::vector<Evaluation>& seen);

}  // namespace check_rules

template <QuantileEngine E>
struct Checked {
    using Rule = check_rules::Rule;

    E engine;
    std::optional<InterpolatedInverse> model;  // none where the density could not be checked

    static constexpr bool draws_by_quantile = E::draws_by_quantile;
    static constexpr bool interval_upper_from_masses = E::interval_upper_from_masses;

    // The model that judges quantiles: none for an engine whose quantiles come from nodes the
    // model checked at build (a Hermite table: its cubic between them is its design, kept bit
    // for bit, and its u-error is measured against the model once instead).
    const InterpolatedInverse* quantile_model() const {
        if (!model || engine.quantiles_checked_at_build()) return nullptr;
        return &*model;
    }
    // Whether a draw is a quantile the model judges: then fills go through the checked quantile.
    bool draws_checked_quantiles() const { return draws_by_quantile && quantile_model(); }

    double cdf(const QueryContext& c, double x) const {
        const double p = engine.cdf(c, x);
        if (model) {
            const double mp = model->cdf(x);
            if (!stands(Rule::InU, p, mp)) return mp;
        }
        return p;
    }
    double sf(const QueryContext& c, double x) const {
        const double p = engine.cdf(c, x);
        if (model && !stands(Rule::InU, p, model->cdf(x))) return model->sf(x);
        return E::sf_of_cdf(p);
    }
    double logsf(const QueryContext& c, double x) const {
        const double p = engine.cdf(c, x);
        if (model && !stands(Rule::InU, p, model->cdf(x))) {
            const double s = model->sf(x);
            return s > 0.0 ? std::log(s) : (s == 0.0 ? -INFINITY : s);
        }
        return E::logsf_of_cdf(p);
    }

    SampleResult<double> quantile(const QueryContext& c, double u) const {
        const auto x = engine.quantile(c, u);
        if (const auto* m = quantile_model(); m != nullptr && x && !stands(Rule::InU, m->cdf(*x), u)) {
            return m->quantile(u);
        }
        return x;
    }
    SampleResult<double> quantile_upper(const QueryContext& c, double q) const {
        const auto x = engine.quantile_upper(c, q);
        if (const auto* m = quantile_model(); m != nullptr && x && !stands(Rule::InU, m->sf(*x), q)) {
            return m->quantile_upper(q);
        }
        return x;
    }
    FillResult quantile_many(const QueryContext& c, std::span<const double> u,
                             std::span<double> out) const {
        if (!quantile_model()) return engine.quantile_many(c, u, out);
        return each_of(u, out, [&](double v) { return quantile_inside_unit(*this, c, v); });
    }
    FillResult quantile_upper_many(const QueryContext& c, std::span<const double> q,
                                   std::span<double> out) const {
        if (!quantile_model()) return engine.quantile_upper_many(c, q, out);
        return each_of(q, out, [&](double v) { return quantile_upper(c, v); });
    }

    SampleResult<double> mean(const QueryContext& c) const {
        const auto m1 = engine.mean(c);
        if (model && m1 && !stands(Rule::Mean, *m1, model->mean())) return model->mean();
        return m1;
    }
    SampleResult<double> var(const QueryContext& c) const {
        const auto v = engine.var(c);
        if (!v) return v;
        if (model && !stands(Rule::Variance, *v, model->variance())) return model->variance();
        return v;
    }
    SampleResult<double> entropy(const QueryContext& c) const {
        const auto h = engine.entropy(c);
        if (!h) return h;
        if (model) {
            const double mh = model->entropy();
            if (!stands(Rule::Entropy, *h, mh)) return mh;
        }
        return h;
    }
    // Without a model, the engine's integral as it is. With one, every evaluation is recorded;
    // where the integration missed mass the model sees, the model's expectation is returned:
    // one call of func per node of its panels (func is called again only in this case).
    SampleResult<double> expect(const QueryContext& c, UserFn func,
                                std::vector<Evaluation>* seen = nullptr) const {
        if (!model) return engine.expect(c, func, seen);
        std::vector<Evaluation> recorded;
        const auto e = engine.expect(c, func, &recorded);
        if (!e || check_rules::resolves_the_mass(*model, recorded)) return e;
        return finite_or_failed(model->expect(func));
    }

    template <WordSource R>
    SampleResult<double> sample(const QueryContext& c, R& rng) const {
        if (draws_checked_quantiles()) return quantile_inside_unit(*this, c, uniform(rng));
        return engine.sample(c, rng);
    }
    template <WordSource R>
    FillResult fill(const QueryContext& c, std::span<double> out, R& rng) const {
        if (draws_checked_quantiles()) {
            return fill_one_by_one(out, [&] { return quantile_inside_unit(*this, c, uniform(rng)); });
        }
        return engine.fill(c, out, rng);
    }

    std::optional<std::size_t> words_per_draw() const { return engine.words_per_draw(); }
    bool calls_user(Query q) const { return engine.calls_user(q); }  // the model never does

private:
    bool stands(Rule rule, double engine_value, double model_value) const {
        return check_rules::stands(rule, *model, engine_value, model_value);
    }
};

}  // namespace varnix
