// Flat batches of points: n points of d coordinates, stored row by row in one vector.
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

}  // namespace varnix
