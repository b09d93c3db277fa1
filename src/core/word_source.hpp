// The word-source concept every sampler draws from, and the conversions of words to uniforms.
//
// A word source hands out 64-bit words one at a time (next_u64). The seeded ChaCha8 stream,
// the per-thread ChaCha12 stream and the scripted source of the tests all satisfy it, so an
// engine written against the concept can be driven by any of them and its consumption counted.
#pragma once

#include <concepts>
#include <cstdint>

namespace varnix {

template <class R>
concept WordSource = requires(R& r) {
    { r.next_u64() } -> std::same_as<std::uint64_t>;
};

// The top 53 bits of a 64-bit value times 2^-53: a double in [0, 1). 0 maps to 0.0 exactly.
inline double unit_from_bits(std::uint64_t bits) {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

// One word converted by unit_from_bits.
template <WordSource R>
double uniform(R& rng) {
    return unit_from_bits(rng.next_u64());
}

}  // namespace varnix
