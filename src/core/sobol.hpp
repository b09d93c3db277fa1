// The Sobol low-discrepancy sequence in up to sobol_table::dimensions dimensions, plain or
// scrambled.
//
// Coordinate j of point i is the XOR of the direction numbers V_j,k of the bits k set in the
// Gray code of i (i ^ (i >> 1)): consecutive points differ by one direction number each (the
// one of the lowest zero bit of i), and any point can be found directly from its index, so a
// fill may start anywhere and be cut into parts drawn on different threads. The direction
// numbers are the Joe-Kuo ones (new-joe-kuo-6.21201); dimension 1 is the van der Corput
// sequence. They are held as 64-bit words whose top 32 bits are the direction integer
// m_k / 2^k, so the sequence has 2^32 points, and a plain point read as top 53 bits times
// 2^-53 is exactly the binary fraction of the classical construction (the first point is 0).
//
// Scrambling is Matousek's linear matrix scrambling followed by a digital shift: each
// coordinate's direction numbers are multiplied over GF(2) by a random lower-triangular 64x64
// bit matrix with a unit diagonal (each output bit is itself plus a random combination of the
// bits above it), and every point of the coordinate is XORed with one random 64-bit word.
// Both keep the sequence's net structure (each run of 2^m points aligned on a multiple of 2^m
// still puts one point in each of the 2^m elementary intervals of every coordinate) while
// making every point uniformly distributed; the low 32 bits of a scrambled point are random
// too, so its 53-bit uniform has full resolution. The random words come from the caller's word
// source, 64 per dimension in dimension order: the 63 matrix rows below the top one (row for
// bit 62 first), then the shift.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/word_source.hpp"

namespace varnix {

namespace sobol_table {
// Dimensions the committed table holds (tools/sobol_table.py writes it).
inline constexpr std::size_t dimensions = 1111;
// Per dimension, its primitive polynomial: coefficients as bits, the leading one included, so
// that the degree s is the bit length less one; dimension 1 has the polynomial 1.
extern const std::uint32_t polynomials[dimensions];
// The initial direction integers m_1 .. m_s of each dimension after the first, one after
// another (m_k odd and below 2^k).
extern const std::uint32_t initial_numbers[];
}  // namespace sobol_table

class SobolSequence {
public:
    static constexpr std::size_t max_dim = sobol_table::dimensions;
    // Direction numbers per coordinate, and so the points the sequence has: 2^32.
    static constexpr unsigned index_bits = 32;
    static constexpr std::uint64_t period = std::uint64_t{1} << index_bits;

    // The plain sequence in d dimensions, 1 <= d <= max_dim (InternalFault otherwise: callers
    // check the dimension first).
    static SobolSequence plain(std::size_t d);

    // The sequence scrambled with words of rng (64 per dimension, see the top of this file).
    template <WordSource R>
    static SobolSequence scrambled(std::size_t d, R& rng);

    std::size_t dim() const { return d_; }

    // Points first .. first + count - 1 as rows of dim() uniforms in [0, 1) into out
    // (count * dim() values). first + count must not exceed the period (InternalFault).
    void fill(std::uint64_t first, std::size_t count, std::span<double> out) const;

    // Coordinate j of point i as a 64-bit word (the uniform is its top 53 bits times 2^-53).
    std::uint64_t word(std::uint64_t i, std::size_t j) const;

private:
    explicit SobolSequence(std::size_t d)
        : d_(d), directions_(index_bits * d), shift_(d, 0) {}

    // Row k of the direction numbers of every coordinate, as the plain sequence has them.
    static std::vector<std::uint64_t> plain_directions(std::size_t d);
    // v times the lower-triangular bit matrix whose row for bit p is rows[p].
    static std::uint64_t times(const std::uint64_t (&rows)[64], std::uint64_t v) {
        std::uint64_t out = 0;
        for (int p = 0; p < 64; ++p) {
            out |= static_cast<std::uint64_t>(std::popcount(rows[p] & v) & 1) << p;
        }
        return out;
    }

    std::size_t d_;
    std::vector<std::uint64_t> directions_;  // index_bits rows of d: [k * d + j] is V_j,k
    std::vector<std::uint64_t> shift_;       // one word per coordinate (0 when plain)
};

template <WordSource R>
SobolSequence SobolSequence::scrambled(std::size_t d, R& rng) {
    SobolSequence s = plain(d);
    for (std::size_t j = 0; j < d; ++j) {
        // Row p has bit p, random bits above it, none below: lower triangular when bit 63 is
        // the first digit.
        std::uint64_t rows[64];
        rows[63] = std::uint64_t{1} << 63;
        for (int p = 62; p >= 0; --p) {
            const std::uint64_t above = ~std::uint64_t{0} << (p + 1);
            rows[p] = (rng.next_u64() & above) | (std::uint64_t{1} << p);
        }
        for (unsigned k = 0; k < index_bits; ++k) {
            std::uint64_t& v = s.directions_[k * d + j];
            v = times(rows, v);
        }
        s.shift_[j] = rng.next_u64();
    }
    return s;
}

}  // namespace varnix
