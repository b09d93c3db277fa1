// Throughput of the generators and of discrete sampling, best of several repetitions:
// ns per 64-bit value for the seeded ChaCha8 stream and the per-thread ChaCha12 stream (the
// generator itself, and each ChaCha12 block implementation driven the same way), and ns per
// draw of DiscreteDistribution::sample_n over 1,000 points (10 and 100,000 for comparison).
//
// The rng_throughput target of the development build (-DVARNIX_DEV=ON); bench/run.py builds
// and runs it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/chacha_blocks.hpp"
#include "core/discrete/discrete.hpp"
#include "core/random.hpp"

namespace {

using Clock = std::chrono::steady_clock;

volatile std::uint64_t g_sink_u64;
volatile double g_sink_double;

// Best time of `reps` runs of body(), in ns per item.
template <class F>
double best_ns_per_item(int reps, std::uint64_t items, F&& body) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        body();
        const auto t1 = Clock::now();
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
        best = std::min(best, ns / static_cast<double>(items));
    }
    return best;
}

double bench_generator(varnix::ChaChaRng& rng, std::uint64_t n) {
    return best_ns_per_item(15, n, [&] {
        std::uint64_t acc = 0;
        for (std::uint64_t i = 0; i < n; ++i) acc ^= rng.next_u64();
        g_sink_u64 = acc;
    });
}

// The per-thread stream's read pattern (refill four blocks, read 32 values) driven by one
// given ChaCha12 implementation.
double bench_chacha12_impl(varnix::chacha::Impl impl, std::uint64_t n) {
    varnix::chacha::Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = 0x9e3779b9u * (i + 1);
    std::uint32_t buf[varnix::chacha::kBufferWords];
    return best_ns_per_item(15, n, [&] {
        std::uint64_t acc = 0;
        std::uint64_t counter = 0;
        for (std::uint64_t done = 0; done < n; done += 32) {
            varnix::chacha::chacha12_blocks(impl, key, counter, buf);
            counter += 4;
            for (int i = 0; i < 32; ++i) {
                acc ^= (std::uint64_t{buf[2 * i + 1]} << 32) | buf[2 * i];
            }
        }
        g_sink_u64 = acc;
    });
}

}  // namespace

int main() {
    namespace chacha = varnix::chacha;
    constexpr std::uint64_t kValues = std::uint64_t{1} << 25;

    auto seeded = varnix::ChaChaRng::seeded(42);
    std::printf("seeded ChaCha8 next_u64:                 %6.3f ns/value\n",
                bench_generator(seeded, kValues));

    auto& thread = varnix::ChaChaRng::thread_local_rng();
    std::printf("thread ChaCha12 next_u64 (%-6s, rekey): %6.3f ns/value\n",
                chacha::name(chacha::selected_impl()), bench_generator(thread, kValues));

    for (auto impl : {chacha::Impl::Scalar, chacha::Impl::Sse2, chacha::Impl::Avx2}) {
        if (!chacha::available(impl)) {
            std::printf("ChaCha12 blocks %-6s                   not available\n",
                        chacha::name(impl));
            continue;
        }
        std::printf("ChaCha12 blocks %-6s, 32 reads/refill:  %6.3f ns/value\n",
                    chacha::name(impl), bench_chacha12_impl(impl, kValues));
    }

    for (std::size_t points : {std::size_t{1000}, std::size_t{10}, std::size_t{100000}}) {
        auto mass_rng = varnix::ChaChaRng::seeded(7);
        std::vector<double> xs(points), ms(points);
        for (std::size_t i = 0; i < points; ++i) {
            xs[i] = static_cast<double>(i);
            ms[i] = varnix::uniform(mass_rng) + 0.01;
        }
        const auto dist = varnix::DiscreteDistribution::build(xs, ms).value();
        constexpr std::size_t kDraws = 1'000'000;
        std::vector<double> out;
        auto run = [&](varnix::ChaChaRng& rng) {
            return best_ns_per_item(15, kDraws, [&] {
                if (!dist.sample_n(kDraws, rng, out)) std::printf("draw failed\n");
                g_sink_double = out[kDraws / 2];
            });
        };
        auto seeded_rng = varnix::ChaChaRng::seeded(1);
        const double ns_seeded = run(seeded_rng);
        const double ns_thread = run(varnix::ChaChaRng::thread_local_rng());
        std::printf("DiscreteDistribution::sample_n, %6zu points: %6.3f ns/draw seeded, "
                    "%6.3f ns/draw thread\n", points, ns_seeded, ns_thread);
    }
    return 0;
}
