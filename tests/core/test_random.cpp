#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/chacha_blocks.hpp"
#include "core/random.hpp"
#include "scripted_words.hpp"

using varnix::ChaChaRng;
namespace chacha = varnix::chacha;

namespace varnix {
// The per-thread generator's key is drawn from the OS; the tests read it to recompute its blocks.
struct ChaChaRngInspector {
    static const chacha::Key& key(const ChaChaRng& rng) { return rng.key_; }
};
}  // namespace varnix

namespace {

const chacha::Key& key_of(const ChaChaRng& rng) { return varnix::ChaChaRngInspector::key(rng); }

// Rows of a reference CSV under VARNIX_TEST_DATA, header dropped, fields split on commas.
std::vector<std::vector<std::string>> read_rows(const char* file) {
    std::vector<std::vector<std::string>> rows;
    const char* dir = std::getenv("VARNIX_TEST_DATA");
    if (dir == nullptr) {
        check::fail(__FILE__, __LINE__, "VARNIX_TEST_DATA is not set");
        return rows;
    }
    std::ifstream in(std::string(dir) + "/" + file);
    if (!in) {
        check::fail(__FILE__, __LINE__, std::string("cannot open ") + file);
        return rows;
    }
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::stringstream ss(line);
        std::string f;
        while (std::getline(ss, f, ',')) fields.push_back(f);
        rows.push_back(fields);
    }
    return rows;
}

// The 64 words of four blocks, as the stream reads them: pairs, low word first.
std::uint64_t stream_value(const std::uint32_t* words, int i) {
    return (std::uint64_t{words[2 * i + 1]} << 32) | words[2 * i];
}

double ulp_of(double x) {
    const double a = std::fabs(x);
    return std::nextafter(a, INFINITY) - a;
}

}  // namespace

TEST(seed_zero_matches_reference_words) {
    const auto key = varnix::seeded_key(0);
    CHECK_EQ(key[0], 0xf973f2ecu);
    CHECK_EQ(key[1], 0x45cdb581u);
    CHECK_EQ(key[2], 0x7346f087u);
    auto rng = ChaChaRng::seeded(0);
    CHECK_EQ(rng.next_u64(), 0xb585f767a79a3b6cULL);
    CHECK_EQ(rng.next_u64(), 0x7746a55fbad8c037ULL);
}

TEST(seed_42_first_uniform) {
    auto rng = ChaChaRng::seeded(42);
    CHECK_EQ(varnix::uniform(rng), 0.6818961923066714);
}

TEST(seeded_streams_match_every_reference_row) {
    const auto rows = read_rows("seeded_stream.csv");
    CHECK_EQ(rows.size(), std::size_t{600});
    std::map<std::uint64_t, ChaChaRng> streams;
    std::map<std::uint64_t, std::uint64_t> next_index;
    for (const auto& r : rows) {
        const std::uint64_t seed = std::stoull(r.at(0));
        const std::uint64_t index = std::stoull(r.at(1));
        const std::uint64_t expected = std::stoull(r.at(2), nullptr, 16);
        auto it = streams.try_emplace(seed, ChaChaRng::seeded(seed)).first;
        // Rows of a seed are consecutive outputs of one fresh stream.
        CHECK_EQ(index, next_index[seed]++);
        const std::uint64_t got = it->second.next_u64();
        if (got != expected) {
            check::fail(__FILE__, __LINE__,
                        "seed " + r[0] + " index " + r[1] + ": expected " + r[2]);
        }
    }
    CHECK_EQ(streams.size(), std::size_t{6});
}

TEST(seeded_uniforms_exact_and_normals_within_few_ulps_of_reference) {
    const auto rows = read_rows("seeded_variates.csv");
    CHECK_EQ(rows.size(), std::size_t{240});
    std::map<std::uint64_t, ChaChaRng> for_uniform;
    std::map<std::uint64_t, ChaChaRng> for_normal;
    double worst_ulps = 0.0;
    for (const auto& r : rows) {
        const std::uint64_t seed = std::stoull(r.at(0));
        const double u_ref = std::stod(r.at(2));
        const double z_ref = std::stod(r.at(3));
        auto& ur = for_uniform.try_emplace(seed, ChaChaRng::seeded(seed)).first->second;
        auto& nr = for_normal.try_emplace(seed, ChaChaRng::seeded(seed)).first->second;
        const double u = varnix::uniform(ur);
        const double z = varnix::standard_normal(nr);
        if (u != u_ref) check::fail(__FILE__, __LINE__, "uniform, seed " + r[0] + " index " + r[1]);
        const double ulps = std::fabs(z - z_ref) / ulp_of(z_ref);
        worst_ulps = std::max(worst_ulps, ulps);
        if (!(ulps <= 4.0)) {
            check::fail(__FILE__, __LINE__, "normal, seed " + r[0] + " index " + r[1]);
        }
    }
    std::cout << "  standard normals: worst distance to reference " << worst_ulps << " ulp\n";
}

TEST(seeded_refills_use_consecutive_block_counters_and_never_rekey) {
    auto rng = ChaChaRng::seeded(123456789);
    const auto key = varnix::seeded_key(123456789);
    std::uint32_t words[chacha::kBufferWords];
    // Values 0..31 come from counters 0-3, the 33rd value starts the refill with 4-7, and so
    // on; well past 1024 blocks the seeded key is still the original one.
    for (std::uint64_t refill = 0; refill < 300; ++refill) {
        chacha::blocks_scalar<8>(key, 4 * refill, words);
        for (int i = 0; i < 32; ++i) {
            const std::uint64_t got = rng.next_u64();
            if (got != stream_value(words, i)) {
                check::fail(__FILE__, __LINE__,
                            "refill " + std::to_string(refill) + " value " + std::to_string(i));
                return;
            }
        }
        CHECK_EQ(rng.words_drawn(), 32 * refill + 32);
    }
}

TEST(chacha_block_function_matches_published_zero_key_blocks) {
    // Key, counter and stream all zero; first bytes of the keystream, read as LE words.
    const chacha::Key zero{};
    std::uint32_t words[chacha::kBufferWords];
    chacha::blocks_scalar<20>(zero, 0, words);
    CHECK_EQ(words[0], 0xade0b876u);  // 76 b8 e0 ad
    CHECK_EQ(words[1], 0x903df1a0u);  // a0 f1 3d 90
    CHECK_EQ(words[15], 0x8665eeb2u);  // ... b2 ee 65 86
    chacha::blocks_scalar<12>(zero, 0, words);
    CHECK_EQ(words[0], 0x6a9af49bu);  // 9b f4 9a 6a
    CHECK_EQ(words[1], 0x53f95507u);  // 07 55 f9 53
    chacha::blocks_scalar<8>(zero, 0, words);
    CHECK_EQ(words[0], 0x2fef003eu);  // 3e 00 ef 2f
    CHECK_EQ(words[1], 0xd6405f89u);  // 89 5f 40 d6
}

TEST(every_chacha12_implementation_matches_scalar_word_for_word) {
    CHECK(chacha::available(chacha::Impl::Scalar));
    CHECK(chacha::available(chacha::selected_impl()));
#if defined(__x86_64__)
    CHECK(chacha::available(chacha::Impl::Sse2));
#endif
    // Counters where the low word carries into the high word inside one refill, and where
    // the 64-bit counter wraps, plus random ones.
    std::vector<std::uint64_t> counters = {0,           4,           1020,
                                           0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFFu,
                                           0x1FFFFFFFEULL, ~std::uint64_t{0} - 3,
                                           ~std::uint64_t{0} - 1, ~std::uint64_t{0}};
    auto source = ChaChaRng::seeded(2024);
    for (int i = 0; i < 200; ++i) counters.push_back(source.next_u64());

    int compared = 0;
    for (auto impl : {chacha::Impl::Scalar, chacha::Impl::Sse2, chacha::Impl::Avx2}) {
        if (!chacha::available(impl)) {
            std::cout << "  " << chacha::name(impl) << ": not available here\n";
            continue;
        }
        int mismatches = 0;
        for (int k = 0; k < 50; ++k) {
            chacha::Key key;
            for (auto& w : key) w = static_cast<std::uint32_t>(source.next_u64());
            for (std::uint64_t c : counters) {
                std::uint32_t want[chacha::kBufferWords];
                std::uint32_t got[chacha::kBufferWords];
                chacha::blocks_scalar<12>(key, c, want);
                chacha::chacha12_blocks(impl, key, c, got);
                for (int w = 0; w < chacha::kBufferWords; ++w) mismatches += want[w] != got[w];
                chacha::blocks_scalar<8>(key, c, want);
                chacha::chacha8_blocks(impl, key, c, got);
                for (int w = 0; w < chacha::kBufferWords; ++w) mismatches += want[w] != got[w];
                ++compared;
            }
        }
        if (mismatches != 0) {
            check::fail(__FILE__, __LINE__, std::string(chacha::name(impl)) + ": " +
                                                std::to_string(mismatches) + " words differ");
        } else {
            std::cout << "  " << chacha::name(impl) << ": matches scalar\n";
        }
    }
    CHECK(compared >= 50 * 210);
    std::cout << "  selected: " << chacha::name(chacha::selected_impl()) << "\n";
}

TEST(thread_generator_is_chacha12_of_its_key_and_rekeys_after_1024_blocks) {
    // A fresh thread gets a fresh generator, so the counter starts at 0.
    std::thread worker([] {
        auto& rng = ChaChaRng::thread_local_rng();
        CHECK(&rng == &ChaChaRng::thread_local_rng());
        const auto key = key_of(rng);
        CHECK_EQ(rng.words_drawn(), std::uint64_t{0});

        std::uint32_t words[chacha::kBufferWords];
        chacha::blocks_scalar<12>(key, 0, words);
        for (int i = 0; i < 32; ++i) CHECK_EQ(rng.next_u64(), stream_value(words, i));

        for (int i = 32; i < 1024 * 8; ++i) rng.next_u64();  // 1024 blocks, 8 values each
        CHECK_EQ(rng.words_drawn(), std::uint64_t{1024 * 8});
        CHECK(key_of(rng) == key);

        const std::uint64_t first_after = rng.next_u64();
        CHECK(key_of(rng) != key);
        CHECK_EQ(rng.words_drawn(), std::uint64_t{1024 * 8 + 1});  // counting across keys
        chacha::blocks_scalar<12>(key_of(rng), 0, words);
        CHECK_EQ(first_after, stream_value(words, 0));
    });
    worker.join();

    chacha::Key other{};
    std::thread([&] { other = key_of(ChaChaRng::thread_local_rng()); }).join();
    CHECK(other != key_of(ChaChaRng::thread_local_rng()));
}

TEST(uniform_keeps_top_53_bits_and_stays_below_one) {
    CHECK_EQ(varnix::unit_from_bits(0), 0.0);
    CHECK(!std::signbit(varnix::unit_from_bits(0)));
    CHECK_EQ(varnix::unit_from_bits(0x7FF), 0.0);  // the low 11 bits are dropped
    CHECK_EQ(varnix::unit_from_bits(0x800), 0x1.0p-53);
    CHECK_EQ(varnix::unit_from_bits(~std::uint64_t{0}), 1.0 - 0x1.0p-53);
    CHECK_EQ(varnix::unit_from_bits(std::uint64_t{1} << 63), 0.5);
}

TEST(normal_floors_first_uniform_at_1e300_and_takes_two_values) {
    const double r_max = std::sqrt(-2.0 * std::log(1e-300));
    CHECK_EQ(varnix::normal_from_uniforms(0.0, 0.0), r_max);
    CHECK_EQ(varnix::normal_from_uniforms(1e-310, 0.0), r_max);
    CHECK_EQ(varnix::normal_from_uniforms(0.0, 0.5), r_max * std::cos(0.5 * 6.283185307179586));
    CHECK(std::isfinite(varnix::normal_from_uniforms(0.0, 0.999)));

    auto a = ChaChaRng::seeded(7);
    auto b = ChaChaRng::seeded(7);
    const double u1 = varnix::uniform(b);
    const double u2 = varnix::uniform(b);
    CHECK_EQ(varnix::standard_normal(a), varnix::normal_from_uniforms(u1, u2));
    CHECK_EQ(a.next_u64(), b.next_u64());  // nothing cached, nothing skipped
}

TEST(rng_choice_owns_a_seeded_stream_or_borrows_the_thread_one) {
    varnix::RngChoice seeded(std::uint64_t{42});
    auto reference = ChaChaRng::seeded(42);
    for (int i = 0; i < 40; ++i) CHECK_EQ(seeded.get().next_u64(), reference.next_u64());

    varnix::RngChoice unseeded(std::nullopt);
    CHECK(&unseeded.get() == &ChaChaRng::thread_local_rng());
}

TEST(words_drawn_counts_every_value_since_seeding) {
    auto rng = ChaChaRng::seeded(5);
    CHECK_EQ(rng.words_drawn(), std::uint64_t{0});
    for (std::uint64_t k = 1; k <= 100; ++k) {
        (void)rng.next_u64();
        if (rng.words_drawn() != k) check::fail(__FILE__, __LINE__, "after " + std::to_string(k));
    }
    (void)varnix::standard_normal(rng);
    CHECK_EQ(rng.words_drawn(), std::uint64_t{102});
    const ChaChaRng copy = rng;  // a copy carries its position
    CHECK_EQ(copy.words_drawn(), std::uint64_t{102});
}

TEST(seeded_at_starts_the_plain_stream_at_any_value) {
    // Around the refill boundaries (32 values), and at once far into the stream.
    for (std::uint64_t first : {0, 1, 2, 31, 32, 33, 63, 64, 65, 1000}) {
        auto plain = ChaChaRng::seeded(77);
        for (std::uint64_t k = 0; k < first; ++k) (void)plain.next_u64();
        auto jumped = ChaChaRng::seeded_at(77, first);
        CHECK_EQ(jumped.words_drawn(), first);
        int mismatches = 0;
        for (int k = 0; k < 100; ++k) mismatches += jumped.next_u64() != plain.next_u64();
        if (mismatches != 0) check::fail(__FILE__, __LINE__, "first " + std::to_string(first));
        CHECK_EQ(jumped.words_drawn(), plain.words_drawn());
    }
    // Value 2^40 + 37 lies in the refill of blocks 2^37 * 4 + 4 .. + 7, at value 5 of it.
    const std::uint64_t far = (std::uint64_t{1} << 40) + 37;
    auto jumped = ChaChaRng::seeded_at(77, far);
    CHECK_EQ(jumped.words_drawn(), far);
    std::uint32_t words[chacha::kBufferWords];
    chacha::blocks_scalar<8>(varnix::seeded_key(77), far / 32 * 4, words);
    for (int i = 5; i < 32; ++i) CHECK_EQ(jumped.next_u64(), stream_value(words, i));
    chacha::blocks_scalar<8>(varnix::seeded_key(77), far / 32 * 4 + 4, words);
    CHECK_EQ(jumped.next_u64(), stream_value(words, 0));
}

TEST(slices_from_seeded_at_join_into_the_one_stream) {
    // What a parallel fill relies on: slice k of a sample, drawn from its own generator started
    // at the slice's first value, equals that part of the single stream.
    auto whole = ChaChaRng::seeded(2025);
    const std::uint64_t bounds[] = {0, 45, 46, 200, 333};
    std::vector<std::uint64_t> joined;
    for (int s = 0; s + 1 < 5; ++s) {
        auto slice = ChaChaRng::seeded_at(2025, bounds[s]);
        for (std::uint64_t k = bounds[s]; k < bounds[s + 1]; ++k) joined.push_back(slice.next_u64());
    }
    CHECK_EQ(joined.size(), std::size_t{333});
    int mismatches = 0;
    for (const std::uint64_t v : joined) mismatches += v != whole.next_u64();
    CHECK_EQ(mismatches, 0);
}

TEST(scripted_words_replay_in_order_and_count) {
    auto words = testing_words::ScriptedWords::of_uniforms({0.0, 0.5, 1.0 - 0x1.0p-53, 0x1.0p-53});
    CHECK_EQ(varnix::uniform(words), 0.0);
    CHECK_EQ(varnix::uniform(words), 0.5);
    CHECK_EQ(varnix::uniform(words), 1.0 - 0x1.0p-53);
    CHECK_EQ(words.consumed(), std::size_t{3});
    CHECK_EQ(varnix::uniform(words), 0x1.0p-53);
    bool threw = false;
    try {
        (void)words.next_u64();
    } catch (const std::out_of_range&) {
        threw = true;
    }
    CHECK(threw);
    CHECK_EQ(words.consumed(), std::size_t{4});
}

namespace {

// The next n values of the calling thread's generator.
std::vector<std::uint64_t> thread_values(std::size_t n) {
    auto& rng = ChaChaRng::thread_local_rng();
    std::vector<std::uint64_t> v(n);
    for (auto& x : v) x = rng.next_u64();
    return v;
}

// Runs body in a forked child and returns the words it wrote (empty if the child failed).
template <class Body>
std::vector<std::uint64_t> in_child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const std::vector<std::uint64_t> v = body();
        const auto bytes = static_cast<ssize_t>(v.size() * sizeof(std::uint64_t));
        const bool ok = write(fds[1], v.data(), static_cast<std::size_t>(bytes)) == bytes;
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    std::vector<std::uint64_t> got;
    std::uint64_t word;
    while (read(fds[0], &word, sizeof word) == static_cast<ssize_t>(sizeof word)) {
        got.push_back(word);
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return got;
}

}  // namespace

// A forked child must not repeat its parent's per-thread stream (the values still buffered
// nor the blocks to come); seeded streams stay as they are.
TEST(thread_generator_is_rekeyed_in_a_forked_child) {
    (void)thread_values(3);  // the generator exists, with values buffered
    const std::uint64_t drawn = ChaChaRng::thread_local_rng().words_drawn();
    const auto child = in_child([] {
        auto v = thread_values(100);
        v.push_back(ChaChaRng::thread_local_rng().words_drawn());
        return v;
    });
    const auto parent = thread_values(100);
    CHECK_EQ(child.size(), 101u);
    if (child.size() != 101u) return;
    for (std::size_t i = 0; i < 100; ++i) CHECK(child[i] != parent[i]);
    CHECK_EQ(child[100], drawn + 100);  // the values handed out are still counted

    // A reference kept across the fork is re-keyed at its next refill at the latest.
    auto& kept = ChaChaRng::thread_local_rng();
    const auto child_kept = in_child([&kept] {
        std::vector<std::uint64_t> v(64);
        for (auto& x : v) x = kept.next_u64();
        return v;
    });
    const auto parent_kept = thread_values(64);
    CHECK_EQ(child_kept.size(), 64u);
    if (child_kept.size() != 64u) return;
    std::size_t same = 0;
    for (std::size_t i = 0; i < 64; ++i) same += child_kept[i] == parent_kept[i];
    CHECK(same <= 31u);  // at most the values that were already buffered

    const auto seeded_child = in_child([] {
        auto rng = ChaChaRng::seeded(99);
        std::vector<std::uint64_t> v(40);
        for (auto& x : v) x = rng.next_u64();
        return v;
    });
    auto rng = ChaChaRng::seeded(99);
    std::vector<std::uint64_t> seeded(40);
    for (auto& x : seeded) x = rng.next_u64();
    CHECK(seeded_child == seeded);
}
