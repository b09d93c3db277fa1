// Random generators: the seeded ChaCha8 stream and the per-thread ChaCha12 stream.
//
// Both produce 64-bit values from a buffer of four ChaCha blocks (64 words), read in pairs,
// low word first. The seeded stream is reproduced bit for bit: key words come from the PCG32
// output step run eight times on the seed. The per-thread stream is keyed from the operating
// system and re-keyed every 1024 blocks, and in a child process made by fork before its first
// value there (the child's copy would otherwise repeat the parent's stream). Both compute their
// blocks with the fastest implementation the processor supports; every implementation gives the
// same words.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "core/word_source.hpp"

namespace varnix {

// The PCG32 pieces of the seeded key schedule: the 64-bit LCG step and the XSH-RR output
// permutation (xorshift high bits, then a random rotation).
inline constexpr std::uint64_t kPcgMultiplier = 6364136223846793005ULL;
inline constexpr std::uint64_t kPcgIncrement = 11634580027462260723ULL;

constexpr std::uint64_t pcg_step(std::uint64_t state) {
    return state * kPcgMultiplier + kPcgIncrement;
}

constexpr std::uint32_t pcg_output_xsh_rr(std::uint64_t state) {
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    return std::rotr(xorshifted, static_cast<int>(state >> 59));
}

// The key of the seeded stream: eight PCG32 outputs, each taken after one step from the seed.
constexpr std::array<std::uint32_t, 8> seeded_key(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t state = seed;
    for (auto& word : key) {
        state = pcg_step(state);
        word = pcg_output_xsh_rr(state);
    }
    return key;
}

class ChaChaRng {
public:
    // A fresh ChaCha8 generator for an explicit seed.
    static ChaChaRng seeded(std::uint64_t seed);

    // The same stream started at a given value (first_word values skipped): the next value is
    // the one seeded(seed) gives after first_word others. ChaCha computes any block from its
    // counter, so this costs one refill whatever first_word is.
    static ChaChaRng seeded_at(std::uint64_t seed, std::uint64_t first_word);

    // The ChaCha8 stream of an arbitrary key (the seeded stream's algorithm; seeded_at(seed, w)
    // is keyed_at(seeded_key(seed), w)), started at a given value. Parallel fills without a
    // seed take such a key from the calling thread's generator and give each part of the fill
    // its own start in that one stream.
    static ChaChaRng keyed_at(const std::array<std::uint32_t, 8>& key, std::uint64_t first_word);

    // The calling thread's ChaCha12 generator, created (keyed from the OS) on first use, and
    // keyed afresh (its buffered values dropped) on the first use after a fork in the child.
    static ChaChaRng& thread_local_rng();

    // The hot path of every sampler: a refill once per 32 values, otherwise two word reads.
    std::uint64_t next_u64() {
        if (index_ >= kWords) [[unlikely]] refill();
        std::uint64_t v;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, &buffer_[index_], sizeof v);  // low word first, as stored
        } else {
            v = (std::uint64_t{buffer_[index_ + 1]} << 32) | buffer_[index_];
        }
        index_ += 2;
        return v;
    }

    // The position in the stream: 64-bit values handed out since the generator was made,
    // counting those a seeded_at start skipped. For the per-thread generator, values under
    // every key so far.
    std::uint64_t words_drawn() const {
        return words_under_old_keys_ + counter_ * kValuesPerBlock - (kWords - index_) / 2;
    }

private:
    static constexpr std::uint32_t kWords = 64;
    static constexpr std::uint64_t kValuesPerBlock = 8;
    enum class Kind : std::uint8_t { Seeded, Thread };

    ChaChaRng(const std::array<std::uint32_t, 8>& key, Kind kind) : kind_(kind), key_(key) {}
    [[gnu::noinline, gnu::cold]] void refill();
    // Per-thread generator only: a fresh key from the OS, the buffer dropped, the values handed
    // out so far still counted.
    [[gnu::noinline, gnu::cold]] void rekey_after_fork(std::uint64_t forks);

    // The tests check the per-thread stream against the ChaCha12 blocks of its key.
    friend struct ChaChaRngInspector;

    std::array<std::uint32_t, kWords> buffer_{};
    std::uint32_t index_ = kWords;  // next unread word; kWords means empty
    Kind kind_;
    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;  // block counter of the next refill
    std::uint64_t words_under_old_keys_ = 0;
    std::uint64_t forks_ = 0;  // per-thread generator: the process's fork count when keyed
};

namespace box_muller {
inline constexpr double min_u1 = 1e-300;  // u1 is floored here, so that u1 == 0 gives a finite radius
inline constexpr double two_pi = 6.283185307179586;
}  // namespace box_muller

// The cosine branch of Box-Muller for two given uniforms: sqrt(-2 ln u1) * cos(2 pi u2).
double normal_from_uniforms(double u1, double u2);

// Box-Muller, cosine branch: two uniforms per normal (u1 then u2), nothing cached.
template <WordSource R>
double standard_normal(R& rng) {
    const double u1 = uniform(rng);  // u1 first, then u2: the draw order is part of the stream
    const double u2 = uniform(rng);
    return normal_from_uniforms(u1, u2);
}

// out.size() standard normals, one standard_normal after another.
template <WordSource R>
void standard_normals(R& rng, std::span<double> out) {
    for (double& z : out) z = standard_normal(rng);
}

// Seeded generator when a seed is given, otherwise the calling thread's generator. The seeded
// one lives in the caller's storage so that the call owns it.
class RngChoice {
public:
    explicit RngChoice(std::optional<std::uint64_t> seed) {
        if (seed) own_.emplace(ChaChaRng::seeded(*seed));
    }
    ChaChaRng& get() { return own_ ? *own_ : ChaChaRng::thread_local_rng(); }

private:
    std::optional<ChaChaRng> own_;
};

static_assert(WordSource<ChaChaRng>);

}  // namespace varnix
