#include "core/random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <string>
#include <system_error>

#include "core/chacha_blocks.hpp"
#include "core/errors.hpp"

namespace varnix {
namespace {

// Blocks produced under one key before the per-thread generator takes a fresh one (64 KiB).
constexpr std::uint64_t kBlocksPerKey = 1024;

// Forks this process descends through: a fork handler counts them in the child. A per-thread
// generator remembers the count it was keyed under and takes a fresh key when it differs, so
// that a child (a multiprocessing worker, say) never repeats its parent's values. Only the
// forking thread lives on in the child, and only its generator can be reached there.
std::atomic<std::uint64_t> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }

const int fork_handler = [] {
    if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) {
        throw InternalFault("could not register the fork handler of ThreadRng");
    }
    return 0;
}();

// 32 bytes from the OS, read as 8 little-endian words. `what` prefixes the fault text.
std::array<std::uint32_t, 8> os_key(const char* what) {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            throw InternalFault(std::string(what) + std::generic_category().message(err));
        }
        got += static_cast<std::size_t>(n);
    }
    std::array<std::uint32_t, 8> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = std::uint32_t{bytes[4 * i]} | (std::uint32_t{bytes[4 * i + 1]} << 8) |
                 (std::uint32_t{bytes[4 * i + 2]} << 16) | (std::uint32_t{bytes[4 * i + 3]} << 24);
    }
    return key;
}

}  // namespace

ChaChaRng ChaChaRng::seeded(std::uint64_t seed) {
    return ChaChaRng(seeded_key(seed), Kind::Seeded);
}

ChaChaRng ChaChaRng::seeded_at(std::uint64_t seed, std::uint64_t first_word) {
    return keyed_at(seeded_key(seed), first_word);
}

ChaChaRng ChaChaRng::keyed_at(const std::array<std::uint32_t, 8>& key,
                              std::uint64_t first_word) {
    constexpr std::uint64_t values_per_refill = kWords / 2;
    ChaChaRng rng(key, Kind::Seeded);
    rng.counter_ = first_word / values_per_refill * chacha::kBlocksPerRefill;
    const auto within = static_cast<std::uint32_t>(first_word % values_per_refill);
    if (within != 0) {
        rng.refill();
        rng.index_ = 2 * within;
    }
    return rng;
}

ChaChaRng& ChaChaRng::thread_local_rng() {
    static_cast<void>(fork_handler);
    thread_local ChaChaRng rng = [] {
        ChaChaRng fresh(os_key("could not initialize ThreadRng: "), Kind::Thread);
        fresh.forks_ = forks_seen.load(std::memory_order_relaxed);
        return fresh;
    }();
    const std::uint64_t forks = forks_seen.load(std::memory_order_relaxed);
    if (rng.forks_ != forks) [[unlikely]] rng.rekey_after_fork(forks);
    return rng;
}

void ChaChaRng::rekey_after_fork(std::uint64_t forks) {
    words_under_old_keys_ = words_drawn();
    key_ = os_key("could not reseed ThreadRng: ");
    counter_ = 0;
    index_ = kWords;
    forks_ = forks;
}

void ChaChaRng::refill() {
    if (kind_ == Kind::Seeded) {
        chacha::chacha8_blocks(key_, counter_, buffer_.data());
    } else {
        // A reference to the generator kept across a fork (a user function forking in the
        // middle of a batch) reaches the check here, at the latest after the buffered values.
        const std::uint64_t forks = forks_seen.load(std::memory_order_relaxed);
        if (forks_ != forks) rekey_after_fork(forks);
        if (counter_ >= kBlocksPerKey) {
            key_ = os_key("could not reseed ThreadRng: ");
            words_under_old_keys_ += counter_ * kValuesPerBlock;
            counter_ = 0;
        }
        chacha::chacha12_blocks(key_, counter_, buffer_.data());
    }
    counter_ += chacha::kBlocksPerRefill;
    index_ = 0;
}

double normal_from_uniforms(double u1, double u2) {
    const double r = std::sqrt(-2.0 * std::log(std::max(u1, box_muller::min_u1)));
    return r * std::cos(u2 * box_muller::two_pi);
}

}  // namespace varnix
