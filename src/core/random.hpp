// Random generators: the seeded ChaCha8 stream and the per-thread ChaCha12 stream.
//
// Both produce 64-bit values from a buffer of four ChaCha blocks (64 words), read in pairs,
// low word first. The seeded stream is reproduced bit for bit: key words come from the PCG32
// output step run eight times on the seed. The per-thread stream is keyed from the operating
// system and re-keyed every 1024 blocks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace varnix {

class ChaChaRng {
public:
    // A fresh ChaCha8 generator for an explicit seed.
    static ChaChaRng seeded(std::uint64_t seed);

    // The calling thread's ChaCha12 generator, created (keyed from the OS) on first use.
    static ChaChaRng& thread_local_rng();

    std::uint64_t next_u64() {
        if (index_ >= 64) refill();
        const std::uint64_t lo = buffer_[index_];
        const std::uint64_t hi = buffer_[index_ + 1];
        index_ += 2;
        return (hi << 32) | lo;
    }

    // Exposed for tests: the key words the generator was created with.
    const std::array<std::uint32_t, 8>& key() const { return key_; }

private:
    ChaChaRng(const std::array<std::uint32_t, 8>& key, int rounds, bool rekeys)
        : key_(key), rounds_(rounds), rekeys_(rekeys) {}
    void refill();

    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 64> buffer_{};
    std::uint32_t index_ = 64;
    int rounds_;
    bool rekeys_;
};

// Top 53 bits of one 64-bit output times 2^-53: a double in [0, 1).
inline double uniform(ChaChaRng& rng) {
    return static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
}

// Box-Muller, cosine branch: two uniforms per normal, nothing cached.
double standard_normal(ChaChaRng& rng);

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

}  // namespace varnix
