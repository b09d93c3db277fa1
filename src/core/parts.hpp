// Work cut into parts that run side by side: the first on the calling thread, the others on
// threads of their own.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace varnix {

// Runs part(p) for every p in [0, parts): p = 0 on the calling thread, the others on threads of
// their own, or on the calling thread when a thread cannot be started (std::system_error, or no
// memory for its state). Returns when every part is done. part must not throw: a caller keeps
// each part's exception and outcome in the part's own slot.
template <class Part>
void run_parts(std::size_t parts, Part&& part) {
    std::vector<std::thread> workers;
    workers.reserve(parts > 0 ? parts - 1 : 0);
    std::vector<std::size_t> here;
    for (std::size_t p = 1; p < parts; ++p) {
        try {
            workers.emplace_back(std::ref(part), p);
        } catch (...) {
            here.push_back(p);
        }
    }
    if (parts > 0) part(std::size_t{0});
    for (const std::size_t p : here) part(p);
    for (std::thread& w : workers) w.join();
}

}  // namespace varnix
