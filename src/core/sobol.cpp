#include "core/sobol.hpp"

#include <algorithm>

namespace varnix {

std::vector<std::uint64_t> SobolSequence::plain_directions(std::size_t d) {
    if (d == 0 || d > max_dim) throw InternalFault("Sobol sequence: dimension out of range");
    std::vector<std::uint64_t> v(index_bits * d);
    const std::uint32_t* init = sobol_table::initial_numbers;
    std::uint64_t m[index_bits];
    for (std::size_t j = 0; j < d; ++j) {
        const std::uint32_t poly = sobol_table::polynomials[j];
        const unsigned s = static_cast<unsigned>(std::bit_width(poly)) - 1;
        if (s == 0) {
            std::fill(m, m + index_bits, std::uint64_t{1});  // van der Corput
        } else {
            // m_k for k > s from the polynomial x^s + a_1 x^(s-1) + ... + a_(s-1) x + a_s:
            // m_k = 2 a_1 m_(k-1) ^ 4 a_2 m_(k-2) ^ ... ^ 2^s a_s m_(k-s) ^ m_(k-s), a_s = 1.
            const unsigned first = std::min(s, index_bits);
            for (unsigned k = 0; k < first; ++k) m[k] = init[k];
            for (unsigned k = s; k < index_bits; ++k) {
                std::uint64_t next = m[k - s];
                for (unsigned i = 1; i <= s; ++i) {
                    if ((poly >> (s - i)) & 1u) next ^= m[k - i] << i;
                }
                m[k] = next;
            }
            init += s;
        }
        // m_k (k counted from 1) is below 2^k: as a fraction m_k / 2^k in the top bits.
        for (unsigned k = 0; k < index_bits; ++k) v[k * d + j] = m[k] << (63 - k);
    }
    return v;
}

SobolSequence SobolSequence::plain(std::size_t d) {
    SobolSequence s(d);
    s.directions_ = plain_directions(d);
    return s;
}

std::uint64_t SobolSequence::word(std::uint64_t i, std::size_t j) const {
    const std::uint64_t gray = i ^ (i >> 1);
    std::uint64_t x = shift_[j];
    for (unsigned k = 0; k < index_bits; ++k) {
        if ((gray >> k) & 1u) x ^= directions_[k * d_ + j];
    }
    return x;
}

void SobolSequence::fill(std::uint64_t first, std::size_t count, std::span<double> out) const {
    if (count == 0) return;
    if (first > period || count > period - first || out.size() != count * d_) {
        throw InternalFault("Sobol sequence: points past its end, or a buffer of the wrong size");
    }
    const std::size_t d = d_;
    const std::uint64_t* v = directions_.data();
    if (d == 1) {
        std::uint64_t x = word(first, 0);
        double* dst = out.data();
        for (std::size_t i = 0;; ++i) {
            dst[i] = unit_from_bits(x);
            if (i + 1 == count) break;
            x ^= v[std::countr_zero(first + i + 1)];
        }
        return;
    }
    std::vector<std::uint64_t> x(d);
    for (std::size_t j = 0; j < d; ++j) x[j] = word(first, j);
    for (std::size_t i = 0;; ++i) {
        double* row = out.data() + i * d;
        for (std::size_t j = 0; j < d; ++j) row[j] = unit_from_bits(x[j]);
        if (i + 1 == count) break;
        // The Gray codes of i and i + 1 differ in the lowest set bit of i + 1.
        const std::uint64_t* step = v + std::countr_zero(first + i + 1) * d;
        for (std::size_t j = 0; j < d; ++j) x[j] ^= step[j];
    }
}

}  // namespace varnix
