// Flat batches of points: n points of d coordinates, stored row by row in one vector, and the
// size of the batches handed to a user's batch function.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>

namespace varnix {

// n * d; throws std::length_error when that does not fit in a size_t.
inline std::size_t flat_size(std::size_t n, std::size_t d) {
    if (d != 0 && n > std::numeric_limits<std::size_t>::max() / d) {
        throw std::length_error("too many points requested");
    }
    return n * d;
}

// The most points a sampler hands its user's batch function in one call: large enough that the
// cost of a call is spread thin, small enough to keep the scratch space of a batch modest.
inline constexpr std::size_t max_batch_points = 4096;

}  // namespace varnix
