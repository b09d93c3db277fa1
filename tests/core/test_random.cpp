#include "check.hpp"
#include "core/random.hpp"

using varnix::ChaChaRng;

TEST(seed_zero_matches_reference_words) {
    auto rng = ChaChaRng::seeded(0);
    CHECK_EQ(rng.key()[0], 0xf973f2ecu);
    CHECK_EQ(rng.key()[1], 0x45cdb581u);
    CHECK_EQ(rng.key()[2], 0x7346f087u);
    CHECK_EQ(rng.next_u64(), 0xb585f767a79a3b6cULL);
    CHECK_EQ(rng.next_u64(), 0x7746a55fbad8c037ULL);
}

TEST(seed_42_first_uniform) {
    auto rng = ChaChaRng::seeded(42);
    CHECK_EQ(varnix::uniform(rng), 0.6818961923066714);
}
