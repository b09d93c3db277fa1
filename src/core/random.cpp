#include "core/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "core/errors.hpp"

namespace varnix {
namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t* s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 16);
    s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 12);
    s[a] += s[b]; s[d] = rotl(s[d] ^ s[a], 8);
    s[c] += s[d]; s[b] = rotl(s[b] ^ s[c], 7);
}

// Four consecutive blocks (counters c .. c+3) into out[0..64), plain scalar arithmetic.
void chacha_blocks(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, int rounds,
                   std::uint32_t* out) {
    for (int b = 0; b < 4; ++b) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
        std::uint32_t input[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
                                   key[0], key[1], key[2], key[3],
                                   key[4], key[5], key[6], key[7],
                                   static_cast<std::uint32_t>(c),
                                   static_cast<std::uint32_t>(c >> 32), 0u, 0u};
        std::uint32_t s[16];
        std::memcpy(s, input, sizeof s);
        for (int r = 0; r < rounds; r += 2) {
            quarter_round(s, 0, 4, 8, 12);
            quarter_round(s, 1, 5, 9, 13);
            quarter_round(s, 2, 6, 10, 14);
            quarter_round(s, 3, 7, 11, 15);
            quarter_round(s, 0, 5, 10, 15);
            quarter_round(s, 1, 6, 11, 12);
            quarter_round(s, 2, 7, 8, 13);
            quarter_round(s, 3, 4, 9, 14);
        }
        for (int i = 0; i < 16; ++i) out[16 * b + i] = s[i] + input[i];
    }
}

std::array<std::uint32_t, 8> os_key(const char* what) {
    std::array<std::uint32_t, 8> key{};
    auto* bytes = reinterpret_cast<unsigned char*>(key.data());
    std::size_t got = 0;
    while (got < sizeof key) {
        const ssize_t n = getrandom(bytes + got, sizeof key - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw InternalFault(std::string(what) + std::strerror(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    // Little-endian words: on a little-endian machine the bytes already are the words.
    return key;
}

}  // namespace

ChaChaRng ChaChaRng::seeded(std::uint64_t seed) {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * 6364136223846793005ULL + 11634580027462260723ULL;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto r = static_cast<int>(s >> 59);
        word = (x >> r) | (x << ((32 - r) & 31));
    }
    return ChaChaRng(key, 8, false);
}

ChaChaRng& ChaChaRng::thread_local_rng() {
    thread_local ChaChaRng rng(os_key("could not initialize ThreadRng: "), 12, true);
    return rng;
}

void ChaChaRng::refill() {
    if (rekeys_ && counter_ >= 1024) {
        key_ = os_key("could not reseed ThreadRng: ");
        counter_ = 0;
    }
    chacha_blocks(key_, counter_, rounds_, buffer_.data());
    counter_ += 4;
    index_ = 0;
}

double standard_normal(ChaChaRng& rng) {
    const double u1 = uniform(rng);
    const double u2 = uniform(rng);
    const double r = std::sqrt(-2.0 * std::log(std::max(u1, 1e-300)));
    return r * std::cos(u2 * 6.283185307179586);
}

}  // namespace varnix
