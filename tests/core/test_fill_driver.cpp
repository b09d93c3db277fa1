// The fill driver (core/fill.hpp): the same values for every round length, thread count and
// start, the caller's hook between rounds, and stops counted from the start of the batch.
// These tests are also the ThreadSanitizer build's (VARNIX_TSAN), so they use the driver
// and the generator only.
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/fill.hpp"
#include "core/random.hpp"

using varnix::ChaChaRng;
using varnix::EngineTraits;
using varnix::FillResult;
using varnix::FillStream;
using varnix::RoundPlan;

namespace {

// An engine of two words per draw: their sum as a double. It stops at the draw whose first
// word is `stop_word` (none: never), and records the threads it ran on.
struct TwoWords {
    std::optional<std::uint64_t> stop_word;
    std::mutex* m = nullptr;
    std::set<std::thread::id>* threads = nullptr;

    FillResult fill(std::span<double> out, ChaChaRng& rng) const {
        if (threads != nullptr) {
            std::lock_guard lock(*m);
            threads->insert(std::this_thread::get_id());
        }
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint64_t a = rng.next_u64();
            const std::uint64_t b = rng.next_u64();
            if (stop_word && a == *stop_word) {
                return varnix::fill_stopped(i, varnix::SampleError::of(
                                                   varnix::SampleErrorKind::McmcFailed));
            }
            out[i] = static_cast<double>(a >> 11) + static_cast<double>(b >> 11);
        }
        return {};
    }
};

struct Recording final : varnix::FillHook {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rounds;
    int unlocked_runs = 0;
    void unlocked(varnix::FunctionRef<void()> work) override {
        ++unlocked_runs;
        work();
    }
    void between_rounds(std::uint64_t done, std::uint64_t total) override {
        rounds.emplace_back(done, total);
    }
};

std::vector<double> drive(const TwoWords& e, std::size_t n, const EngineTraits& traits,
                          const FillStream& s, const RoundPlan& plan, Recording& hook,
                          FillResult* result = nullptr) {
    std::vector<double> out(n, -1.0);
    const FillResult r = varnix::drive_fill(
        n, traits, s, plan, hook, [&](std::size_t b, std::size_t c, ChaChaRng& rng) {
            return e.fill(std::span<double>(out).subspan(b, c), rng);
        });
    if (result != nullptr) *result = r;
    return out;
}

constexpr EngineTraits lock_free{2, false};

}  // namespace

TEST(driver_values_are_the_seeded_stream_from_start_for_every_round_and_thread_count) {
    const std::size_t n = 5003;
    for (const std::uint64_t start : {0ull, 1ull, 17ull, 40000ull}) {
        // One generator drawing them all in order, from word 2 * start.
        std::vector<double> want(n);
        auto rng = ChaChaRng::seeded_at(11, 2 * start);
        CHECK(TwoWords{}.fill(want, rng).has_value());
        for (const std::size_t threads : {1u, 2u, 3u, 8u}) {
            for (const RoundPlan plan : {RoundPlan{64, true, 100}, RoundPlan{n, true, 1},
                                         RoundPlan{1000, false, 1}}) {
                Recording hook;
                FillResult r;
                const auto got = drive(TwoWords{}, n, lock_free, FillStream{11, start, threads},
                                       plan, hook, &r);
                CHECK(r.has_value());
                CHECK(got == want);
            }
        }
    }
}

TEST(driver_splits_only_lock_free_rounds_of_fixed_words_and_reports_each_round) {
    std::mutex m;
    struct Case {
        EngineTraits traits;
        bool unlocked;
        bool split;
    };
    for (const Case c : {Case{lock_free, true, true}, Case{lock_free, false, false},
                         Case{EngineTraits{2, true}, true, false},
                         Case{EngineTraits{std::nullopt, false}, true, false}}) {
        std::set<std::thread::id> threads;
        const TwoWords e{std::nullopt, &m, &threads};
        Recording hook;
        // Without a seed a split round draws from a key taken from this thread's generator.
        drive(e, 1000, c.traits, FillStream{std::nullopt, 0, 4}, RoundPlan{100, c.unlocked, 10},
              hook);
        CHECK_EQ(threads.size() > 1, c.split);
        CHECK_EQ(hook.unlocked_runs > 0, c.unlocked);
        // Rounds of 100 draws (400 when split four ways), each reported as done of 1000.
        const std::size_t round = c.split ? 400 : 100;
        CHECK_EQ(hook.rounds.size(), (1000 + round - 1) / round);
        for (std::size_t k = 0; k < hook.rounds.size(); ++k) {
            CHECK_EQ(hook.rounds[k].first, std::min<std::uint64_t>((k + 1) * round, 1000));
            CHECK_EQ(hook.rounds[k].second, 1000u);
        }
    }
}

TEST(driver_stops_at_the_failing_draw_counted_from_the_batch_start) {
    // The first word of draw 777 of the seeded stream: the draw that stops.
    auto rng = ChaChaRng::seeded(3);
    for (int k = 0; k < 2 * 777; ++k) rng.next_u64();
    const std::uint64_t word = rng.next_u64();
    for (const std::size_t threads : {1u, 4u}) {
        Recording hook;
        FillResult r;
        drive(TwoWords{word}, 2000, lock_free, FillStream{3, 0, threads},
              RoundPlan{300, true, 50}, hook, &r);
        CHECK(!r.has_value());
        if (!r) CHECK_EQ(r.error().filled, 777u);
        // The rounds before the failing one were reported, none after (a split round is
        // 300 draws a thread).
        CHECK_EQ(hook.rounds.size(), std::size_t{777} / (300 * threads));
        if (!hook.rounds.empty()) CHECK(hook.rounds.back().first <= 777u);
    }
}

TEST(driver_runs_one_empty_round_for_an_empty_batch_and_reports_none) {
    Recording hook;
    int calls = 0;
    const FillResult r = varnix::drive_fill(
        0, lock_free, FillStream{1, 0, 4}, RoundPlan{64, true, 1}, hook,
        [&](std::size_t b, std::size_t c, ChaChaRng&) -> FillResult {
            ++calls;
            CHECK_EQ(b + c, 0u);
            return {};
        });
    CHECK(r.has_value());
    CHECK_EQ(calls, 1);
    CHECK(hook.rounds.empty());
}
