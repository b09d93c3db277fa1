// The Sobol sequence's scrambling (core/sobol.hpp): its consumption of words, the orientation of
// its matrices, and the net structure it keeps. The plain points are checked against scipy's in
// tests/test_qmc.py.
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/random.hpp"
#include "core/sobol.hpp"
#include "scripted_words.hpp"

using varnix::SobolSequence;
using testing_words::ScriptedWords;

namespace {

std::vector<double> points(const SobolSequence& s, std::uint64_t first, std::size_t n) {
    std::vector<double> out(n * s.dim());
    s.fill(first, n, out);
    return out;
}

}  // namespace

TEST(sobol_scrambling_takes_64_words_a_dimension_and_zero_words_scramble_nothing) {
    ScriptedWords zeros(std::vector<std::uint64_t>(64 * 3, 0));
    const SobolSequence s = SobolSequence::scrambled(3, zeros);
    CHECK_EQ(zeros.consumed(), std::size_t{64 * 3});
    CHECK(points(s, 5, 40) == points(SobolSequence::plain(3), 5, 40));
}

TEST(sobol_scrambling_adds_to_each_bit_the_bits_above_it_then_shifts) {
    // Dimension 1's rows from bit 62 down, then its shift: the row of bit 62 takes bit 63 in.
    std::vector<std::uint64_t> words(64, 0);
    words[0] = ~std::uint64_t{0};
    ScriptedWords script(words);
    const SobolSequence s = SobolSequence::scrambled(1, script);
    // Points 1, 2, 3 are 1/2, 3/4, 1/4 (bit 63, both, bit 62): bit 62 becomes their sum.
    CHECK(points(s, 1, 3) == (std::vector<double>{0.75, 0.5, 0.25}));
    words[0] = 0;
    words[63] = std::uint64_t{1} << 61;  // the shift: + 1/8
    ScriptedWords shifted(words);
    const SobolSequence t = SobolSequence::scrambled(1, shifted);
    CHECK_EQ(points(t, 0, 1).at(0), 0.125);
    CHECK_EQ(points(t, 1, 1).at(0), 0.625);
}

TEST(sobol_scrambled_points_keep_the_net_of_the_first_two_dimensions) {
    // 2^m points from a multiple of 2^m: one in each box of 2^-k by 2^-(m-k), for every k, in
    // the plain sequence and in every scrambling of it; and the same points whether filled
    // from their first index or walked to from an earlier one.
    auto rng = varnix::ChaChaRng::seeded(11);
    const SobolSequence s = SobolSequence::scrambled(2, rng);
    bool nets = true;
    for (unsigned m = 1; m <= 10; ++m) {
        const std::uint64_t n = std::uint64_t{1} << m;
        const std::vector<double> p = points(s, 7 * n, n);
        for (unsigned k = 0; k <= m; ++k) {
            std::set<std::pair<std::uint64_t, std::uint64_t>> boxes;
            for (std::uint64_t i = 0; i < n; ++i) {
                boxes.emplace(static_cast<std::uint64_t>(p[2 * i] * (1u << k)),
                              static_cast<std::uint64_t>(p[2 * i + 1] * (1u << (m - k))));
            }
            nets = nets && boxes.size() == n;
        }
    }
    CHECK(nets);
    const std::vector<double> walked = points(s, 1000, 100);
    const std::vector<double> direct = points(s, 1050, 50);
    CHECK(std::vector<double>(walked.begin() + 100, walked.end()) == direct);
}
