// Saved states: values read back give the same draws and queries bit for bit, calling no
// user function; broken states are refused with a StateError, never crash.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "check.hpp"
#include "core/continuous/distribution.hpp"
#include "core/continuous/tdr.hpp"
#include "core/discrete/discrete.hpp"
#include "core/multivar/cdf_mc.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "core/multivar/rejection.hpp"
#include "core/random.hpp"
#include "core/serial.hpp"
#include "multivar_support.hpp"

using varnix::BuildOptions;
using varnix::ChaChaRng;
using varnix::ContinuousDistribution;
using varnix::DiscreteDistribution;
using varnix::Interval;
using varnix::StateCodec;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const auto normal_pdf = [](double x) { return std::exp(-0.5 * x * x); };
const auto logistic_cdf = [](double x) { return 1.0 / (1.0 + std::exp(-x)); };

// Counts the calls a function makes, so that reading back can be shown to call none.
struct Counted {
    double (*f)(double);
    mutable int calls = 0;
    double operator()(double x) const {
        ++calls;
        return f(x);
    }
};

template <class T>
T must(auto&& result) {
    if (!result) throw std::runtime_error("unexpected failure: " + result.error().message());
    return std::move(*result);
}

DiscreteDistribution discrete(std::vector<double> points, std::vector<double> masses) {
    return must<DiscreteDistribution>(DiscreteDistribution::build(points, masses));
}

Interval interval(double lo, double hi) { return must<Interval>(Interval::make(lo, hi)); }

ContinuousDistribution from_pdf(const BuildOptions& options) {
    return must<ContinuousDistribution>(
        ContinuousDistribution::from_pdf(normal_pdf, interval(-5.0, 5.0), options));
}

std::vector<double> draws(const ContinuousDistribution::Bound& d, std::uint64_t seed,
                          std::size_t n) {
    auto rng = ChaChaRng::seeded(seed);
    std::vector<double> out;
    if (!d.sample_n(n, rng, out)) throw std::runtime_error("draws failed");
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Reads back a saved distribution and compares draws, quantiles and densities; the user
// function must not be called while reading.
void check_continuous_round_trip(const ContinuousDistribution& d, Counted& f) {
    const std::string state = StateCodec::save(d);
    f.calls = 0;
    const auto back = StateCodec::load<ContinuousDistribution>(state);
    CHECK(back.has_value());
    if (!back) return;
    CHECK_EQ(f.calls, 0);
    CHECK(StateCodec::save(*back) == state);
    const auto a = d.with(f);
    const auto b = back->with(f);
    CHECK(same_bits(draws(a, 11, 300), draws(b, 11, 300)));
    for (double u : {1e-9, 0.1, 0.5, 0.77, 1 - 1e-9}) {
        CHECK_EQ(std::bit_cast<std::uint64_t>(*a.ppf(u)), std::bit_cast<std::uint64_t>(*b.ppf(u)));
    }
    for (double x : {-4.0, -0.3, 0.0, 2.5}) {
        CHECK_EQ(std::bit_cast<std::uint64_t>(a.cdf(x)), std::bit_cast<std::uint64_t>(b.cdf(x)));
    }
}

// Every prefix of a state and every byte of it flipped: refused or read, never a crash; a
// read state is then sound enough to sample from. The first 512 bytes (headers, sizes, the
// small fields) are visited one by one; past them, bulk tables are visited at a stride (a
// prime, so that every offset within a double is met), which keeps large states quick.
template <class T, class Use>
int fuzz(const std::string& state, Use use) {
    constexpr std::size_t every_byte = 512;
    constexpr std::size_t stride = 37;
    auto next = [&](std::size_t i) { return i < every_byte ? i + 1 : i + stride; };
    int refused = 0;
    for (std::size_t cut = 0; cut < state.size(); cut = next(cut)) {
        refused += StateCodec::load<T>(state.substr(0, cut)).has_value() ? 0 : 1;
    }
    for (std::size_t i = 0; i < state.size(); i = next(i)) {
        for (unsigned char mask : {0x01, 0x80, 0xff}) {
            std::string broken = state;
            broken[i] = static_cast<char>(static_cast<unsigned char>(broken[i]) ^ mask);
            auto back = StateCodec::load<T>(broken);
            if (back) {
                use(*back);
            } else {
                ++refused;
            }
        }
    }
    return refused;
}

}  // namespace

TEST(serial_continuous_round_trips_every_sampler) {
    Counted pdf{+normal_pdf};
    check_continuous_round_trip(must<ContinuousDistribution>(ContinuousDistribution::from_pdf(
                                    pdf, interval(-5.0, 5.0), BuildOptions{})),
                                pdf);
    check_continuous_round_trip(must<ContinuousDistribution>(ContinuousDistribution::from_pdf(
                                    pdf, interval(-5.0, 5.0), BuildOptions::hermite(64))),
                                pdf);
    for (auto transform : {varnix::TdrTransform::Log, varnix::TdrTransform::InvSqrt}) {
        check_continuous_round_trip(
            must<ContinuousDistribution>(ContinuousDistribution::from_pdf(
                pdf, interval(-5.0, 5.0), BuildOptions::with_tdr(transform))),
            pdf);
    }
    check_continuous_round_trip(
        must<ContinuousDistribution>(ContinuousDistribution::loc_scale(
            pdf, interval(-5.0, 5.0), 1.5, 0.25, BuildOptions::hermite(32))),
        pdf);
    check_continuous_round_trip(
        must<ContinuousDistribution>(ContinuousDistribution::truncated(
            pdf, interval(-5.0, 5.0), interval(-1.0, 2.0), BuildOptions{})),
        pdf);
    const auto interpolated = must<BuildOptions>(BuildOptions::interpolated(1e-10));
    check_continuous_round_trip(must<ContinuousDistribution>(ContinuousDistribution::from_pdf(
                                    pdf, interval(-5.0, 5.0), interpolated)),
                                pdf);
    Counted cdf{+logistic_cdf};
    check_continuous_round_trip(must<ContinuousDistribution>(ContinuousDistribution::from_cdf(
                                    cdf, interval(-6.0, 6.0), interpolated)),
                                cdf);
    check_continuous_round_trip(must<ContinuousDistribution>(ContinuousDistribution::from_cdf(
                                    cdf, interval(-6.0, 6.0), BuildOptions::hermite(40))),
                                cdf);
}

TEST(serial_histogram_round_trips_without_a_function) {
    const std::vector<double> edges{0.0, 1.0, 2.5, 3.0};
    const std::vector<double> counts{2.0, 5.0, 1.0};
    const auto d = must<ContinuousDistribution>(
        ContinuousDistribution::from_histogram(edges, counts, false, BuildOptions::hermite(16)));
    const auto back = StateCodec::load<ContinuousDistribution>(StateCodec::save(d));
    CHECK(back.has_value());
    CHECK(same_bits(draws(d.without_function(), 5, 200), draws(back->without_function(), 5, 200)));
    CHECK_EQ(*d.without_function().pdf(2.7), *back->without_function().pdf(2.7));
}

TEST(serial_discrete_round_trips_the_table_as_built) {
    // Trailing masses below rounding: the table steps down to its last entry.
    const auto d = discrete({1.0, kNaN, 3.0, 4.0}, {0.3, 0.7, 1e-300, 1e-300});
    const auto back = StateCodec::load<DiscreteDistribution>(StateCodec::save(d));
    CHECK(back.has_value());
    auto r1 = ChaChaRng::seeded(3);
    auto r2 = ChaChaRng::seeded(3);
    std::vector<double> a, b;
    CHECK(d.sample_n(500, r1, a).has_value());
    CHECK(back->sample_n(500, r2, b).has_value());
    CHECK(same_bits(a, b));
    CHECK(std::isnan(back->points()[1]));
}

TEST(serial_chains_resume_where_they_stopped) {
    auto f = [](std::span<const double> x) { return std::exp(-0.5 * (x[0] * x[0] + x[1] * x[1])); };
    varnix::MetropolisHastings mh(mvtest::box({-3, -3}, {3, 3}), varnix::MhSettings{});
    auto rng = ChaChaRng::seeded(9);
    CHECK(mh.with(f).init(rng).has_value());
    std::vector<double> first;
    CHECK(mh.with(f).sample_n(50, rng, first).has_value());

    auto copy = must<varnix::MetropolisHastings>(
        StateCodec::load<varnix::MetropolisHastings>(StateCodec::save(mh)));
    CHECK_EQ(copy.step_size(), mh.step_size());
    CHECK_EQ(copy.iterations(), mh.iterations());
    auto rng_copy = rng;  // the generator is the caller's, copied at the same position
    std::vector<double> a, b;
    CHECK(mh.with(f).sample_n(40, rng, a).has_value());
    CHECK(copy.with(f).sample_n(40, rng_copy, b).has_value());
    CHECK(same_bits(a, b));
    CHECK_EQ(copy.accepted(), mh.accepted());

    varnix::HmcSampler hmc(mvtest::box({-3, -3}, {3, 3}), varnix::HmcSettings{});
    CHECK(hmc.with(f).init(rng).has_value());
    auto hmc_copy =
        must<varnix::HmcSampler>(StateCodec::load<varnix::HmcSampler>(StateCodec::save(hmc)));
    rng_copy = rng;
    CHECK(hmc.with(f).sample_n(20, rng, a).has_value());
    CHECK(hmc_copy.with(f).sample_n(20, rng_copy, b).has_value());
    CHECK(same_bits(a, b));

    // Before init the chain reads back uninitialised.
    varnix::MetropolisHastings fresh(mvtest::box({0}, {1}), varnix::MhSettings{});
    auto fresh_back = StateCodec::load<varnix::MetropolisHastings>(StateCodec::save(fresh));
    CHECK(fresh_back.has_value() && !fresh_back->initialized());
}

TEST(serial_refuses_a_state_of_another_class_or_format) {
    const auto d = discrete({1.0, 2.0}, {1.0, 1.0});
    const std::string state = StateCodec::save(d);
    const auto other = StateCodec::load<ContinuousDistribution>(state);
    CHECK(!other.has_value());
    CHECK_EQ(other.error().message(),
             std::string("invalid saved state: ContinuousDistribution: given the state of "
                         "DiscreteDistribution"));
    std::string newer = state;
    newer[4] = 2;
    CHECK_EQ(StateCodec::load<DiscreteDistribution>(newer).error().message(),
             std::string("invalid saved state: DiscreteDistribution: format 2 is not one this "
                         "version reads (format 1)"));
    CHECK_EQ(StateCodec::load<DiscreteDistribution>(state + "x").error().message(),
             std::string("invalid saved state: DiscreteDistribution: unread bytes at the end (1)"));
    CHECK_EQ(StateCodec::load<DiscreteDistribution>("").error().message(),
             std::string("invalid saved state: DiscreteDistribution: not a saved state of this "
                         "module"));
}

TEST(serial_refuses_tables_that_break_their_invariants) {
    // The discrete table must end at exactly 1: a search for u < 1 stays inside it.
    varnix::StateWriter w("DiscreteDistribution");
    w.f64s(std::vector<double>{1.0, 2.0});
    w.f64s(std::vector<double>{0.5, 0.9});
    CHECK_EQ(StateCodec::load<DiscreteDistribution>(std::move(w).finish()).error().message(),
             std::string("invalid saved state: DiscreteDistribution: the cumulative table does "
                         "not end at 1"));

    // A NaN quantile in a Hermite table; a node out of order. (Built from a distribution
    // function, which has no check model: the table's quantiles come last, before the flag
    // that says there is none.)
    const auto d = must<ContinuousDistribution>(ContinuousDistribution::from_cdf(
        logistic_cdf, interval(-6.0, 6.0), BuildOptions::hermite(8)));
    const std::string state = StateCodec::save(d);
    const std::size_t quantiles_at = state.size() - 1 - 8 * 8;  // the last vector's values
    std::string nan_table = state;
    const double nan = kNaN;
    std::memcpy(nan_table.data() + quantiles_at + 16, &nan, 8);
    CHECK_EQ(StateCodec::load<ContinuousDistribution>(nan_table).error().message(),
             std::string("invalid saved state: ContinuousDistribution: a Hermite table quantile "
                         "is not finite"));
    std::string unordered = state;
    const std::size_t nodes_at = quantiles_at - 8 - 8 * 8;
    std::memcpy(unordered.data() + nodes_at + 8, unordered.data() + nodes_at + 24, 8);
    CHECK_EQ(StateCodec::load<ContinuousDistribution>(unordered).error().message(),
             std::string("invalid saved state: ContinuousDistribution: the Hermite table's nodes "
                         "are not increasing inside (0, 1)"));
}

TEST(serial_fuzzed_states_are_refused_or_sound) {
    // Draws from what was read. Plain inversion is only read: a flipped iteration cap or
    // tolerance would make each quantile a long (but finite) bisection.
    auto sample_some = [](const ContinuousDistribution& d) {
        if (!d.uses_tdr() && !d.uses_hermite_table() && !d.uses_interpolation()) return;
        auto rng = ChaChaRng::seeded(1);
        std::vector<double> out;
        (void)d.with(normal_pdf).sample_n(20, rng, out);
        (void)d.with(normal_pdf).ppf(0.3);
    };
    for (const BuildOptions& options :
         {BuildOptions{}, BuildOptions::hermite(6),
          BuildOptions::with_tdr(varnix::TdrTransform::Log, std::size_t{6}),
          BuildOptions::with_tdr(varnix::TdrTransform::InvSqrt),
          must<BuildOptions>(BuildOptions::interpolated(1e-5))}) {
        CHECK(fuzz<ContinuousDistribution>(StateCodec::save(from_pdf(options)), sample_some) > 0);
    }
    const auto table = discrete({1.0, 2.0, 3.0}, {1.0, 2.0, 3.0});
    CHECK(fuzz<DiscreteDistribution>(StateCodec::save(table), [](const DiscreteDistribution& d) {
              auto rng = ChaChaRng::seeded(1);
              std::vector<double> out;
              (void)d.sample_n(50, rng, out);
              (void)d.ppf(0.999);
              (void)d.mean();
          }) > 0);
    const auto copula = must<varnix::GaussianCopula>(varnix::GaussianCopula::make(
        std::vector<std::vector<double>>{{1.0, 0.5}, {0.5, 1.0}}));
    auto copula_dim = [](const varnix::GaussianCopula& c) { CHECK(c.dim() >= 1); };
    CHECK(fuzz<varnix::GaussianCopula>(StateCodec::save(copula), copula_dim) > 0);
    auto f = [](std::span<const double> x) { return std::exp(-x[0] * x[0]); };
    varnix::MetropolisHastings mh(mvtest::box({-3}, {3}), varnix::MhSettings{});
    auto rng = ChaChaRng::seeded(2);
    CHECK(mh.with(f).init(rng).has_value());
    CHECK(fuzz<varnix::MetropolisHastings>(StateCodec::save(mh), [&](auto& s) {
              auto r = ChaChaRng::seeded(1);
              (void)s.with(f).step(r);
          }) > 0);
}

namespace {

// A state with a field of every kind a state may hold, and a part of its own.
struct Part {
    std::vector<std::uint8_t> bytes;
    int order = 0;
    static auto fields(auto& s) {
        auto& [bytes, order] = s;
        return std::tie(bytes, order);
    }
};

struct EveryKind {
    bool flag = false;
    varnix::TdrTransform transform = varnix::TdrTransform::Log;
    std::uint64_t count = 0;
    double value = 0.0;
    std::vector<double> values;
    std::optional<double> cached;
    std::optional<Part> part;
    static auto fields(auto& s) {
        auto& [flag, transform, count, value, values, cached, part] = s;
        return std::tie(flag, transform, count, value, values, cached, part);
    }
};

std::string le64(std::uint64_t v) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
}

}  // namespace

TEST(serial_fields_are_written_in_order_and_read_back_by_the_same_list) {
    const EveryKind written{true, varnix::TdrTransform::InvSqrt, 7, -0.5, {1.0, 2.0}, std::nullopt,
                            Part{{3, 4, 5}, -2}};
    varnix::StateWriter w("EveryKind");
    w.field(written);
    const std::string bytes = std::move(w).finish();
    const std::string header = std::string("VXST\x01\x09", 6) + "EveryKind";
    const std::string body = std::string("\x01\x01", 2) + le64(7) +
                             le64(std::bit_cast<std::uint64_t>(-0.5)) + le64(2) +
                             le64(std::bit_cast<std::uint64_t>(1.0)) +
                             le64(std::bit_cast<std::uint64_t>(2.0)) + std::string("\x00\x01", 2) +
                             le64(3) + "\x03\x04\x05" + le64(static_cast<std::uint64_t>(-2));
    CHECK(bytes == header + body);

    varnix::StateReader r(bytes, "EveryKind");
    EveryKind read;
    read.cached = 1.0;  // a flag of 0 empties it
    r.field(read);
    CHECK(r.finish().has_value());
    CHECK(read.flag && read.transform == varnix::TdrTransform::InvSqrt && read.count == 7);
    CHECK(read.value == -0.5 && read.values == written.values && !read.cached);
    CHECK(read.part && read.part->bytes == written.part->bytes && read.part->order == -2);

    // Broken bodies: the first failure is the one reported, and a length beyond the bytes left
    // is refused before anything is allocated for it.
    const std::size_t length_at = bytes.size() - 8 - 3 - 8;  // of the part's bytes
    const struct {
        std::string bytes;
        const char* error;
    } broken[] = {
        {header + "\x02" + body.substr(1), "a flag is neither 0 nor 1"},
        {bytes.substr(0, length_at) + le64(~std::uint64_t{0} >> 1) + bytes.substr(length_at + 8),
         "truncated"},
        {bytes.substr(0, bytes.size() - 8) + le64(std::uint64_t{1} << 40),
         "an integer field is out of range"},
        {bytes.substr(0, bytes.size() - 1), "truncated"},
    };
    for (const auto& b : broken) {
        varnix::StateReader rb(b.bytes, "EveryKind");
        EveryKind back;
        rb.field(back);
        CHECK_EQ(rb.finish().error().message(),
                 std::string("invalid saved state: EveryKind: ") + b.error);
    }
}

TEST(serial_a_hat_is_refused_unless_it_is_one_build_could_leave) {
    using varnix::TdrHat;
    const Interval support = interval(-5.0, 5.0);
    auto make = [&](varnix::TdrTransform t) {
        varnix::TdrOptions o;
        o.transform = t;
        o.construction_points = 6;
        return must<TdrHat>(TdrHat::build(o, support, normal_pdf, std::nullopt)).state();
    };
    const auto tangent = make(varnix::TdrTransform::Log);
    const auto constant = make(varnix::TdrTransform::InvSqrt);
    CHECK(TdrHat::from_state(tangent, support).has_value());
    CHECK(TdrHat::from_state(constant, support).has_value());
    const struct {
        TdrHat::State state;
        void (*edit)(TdrHat::State&);
        const char* error;
    } cases[] = {
        // A constant hat is its height alone; tables beside it would be read by its lookups.
        {constant, [](TdrHat::State& s) { s.xs = {0.0}; }, "the hat's tables do not match"},
        {constant, [](TdrHat::State& s) { s.spreads = {0}; }, "the hat's tables do not match"},
        {constant, [](TdrHat::State& s) { s.kind = TdrHat::Kind::Tangent; },
         "the hat's kind is not its transform's"},
        {tangent, [](TdrHat::State& s) { s.spreads.pop_back(); }, "the hat's tables do not match"},
        {tangent, [](TdrHat::State& s) { s.cum.back() = 0.5; },
         "the hat's cumulative areas do not rise to 1"},
        {tangent, [](TdrHat::State& s) { s.options.transform = varnix::TdrTransform{7}; },
         "unknown TDR transform"},
    };
    for (const auto& c : cases) {
        TdrHat::State s = c.state;
        c.edit(s);
        const auto back = TdrHat::from_state(std::move(s), support);
        CHECK(!back.has_value() && back.error().detail == c.error);
    }
}

namespace {

struct Choice {
    std::variant<double, Part> pick;
    std::array<double, 2> pair{};
    static auto fields(auto& s) {
        auto& [pick, pair] = s;
        return std::tie(pick, pair);
    }
};

}  // namespace

// A format may keep its own text for an unknown alternative.
template <>
inline constexpr const char* varnix::state_field_refusal<std::variant<double, Part>> =
    "unknown pick";

TEST(serial_variants_and_arrays_carry_their_alternative_and_length) {
    const std::string header = std::string("VXST\x01\x06", 6) + "Choice";
    const std::string pair = le64(2) + le64(std::bit_cast<std::uint64_t>(1.5)) +
                             le64(std::bit_cast<std::uint64_t>(-1.5));
    const std::string as_part = std::string("\x01", 1) + le64(1) + "\x07" + le64(4) + pair;
    const struct {
        std::string body;
        const char* error;  // null: reads back and writes the same bytes
    } cases[] = {
        {std::string("\x00", 1) + le64(std::bit_cast<std::uint64_t>(0.25)) + pair, nullptr},
        {as_part, nullptr},
        {std::string("\x02", 1) + le64(0) + pair, "unknown pick"},
        {as_part.substr(0, as_part.size() - pair.size()) + le64(1) + le64(0),
         "a table of the wrong length"},
    };
    for (const auto& c : cases) {
        const std::string bytes = header + c.body;
        varnix::StateReader r(bytes, "Choice");
        Choice back;
        r.field(back);
        if (c.error != nullptr) {
            CHECK_EQ(r.finish().error().message(),
                     std::string("invalid saved state: Choice: ") + c.error);
            continue;
        }
        CHECK(r.finish().has_value());
        CHECK(back.pair == (std::array<double, 2>{1.5, -1.5}));
        varnix::StateWriter w("Choice");
        w.field(back);
        CHECK(std::move(w).finish() == bytes);
    }
}
