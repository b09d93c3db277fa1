// How far a long batch loop of the core has got, for whoever runs it.
//
// The batch loops that call a user function for every point (the chains, rejection, sequential
// conditional draws) report, every batch_progress_interval points, how many of the n points are
// done, through one process-wide hook. The core installs none; the binding installs one that
// shows progress and ends the loop (by throwing) when the user interrupts. Because the hook is
// called only between points, right after the user function has been called, it runs wherever
// that function may run. The core is exception-neutral: a loop ended by a throw leaves its
// object as the last completed point left it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnix {

using BatchProgressHook = void (*)(std::uint64_t done, std::uint64_t total);

inline BatchProgressHook batch_progress_hook = nullptr;

inline constexpr std::size_t batch_progress_interval = 256;

// Called after point `done` (counting from 1) of `total`; reports every
// batch_progress_interval points.
inline void report_batch_progress(std::size_t done, std::size_t total) {
    if (done % batch_progress_interval == 0) {
        if (const BatchProgressHook hook = batch_progress_hook) hook(done, total);
    }
}

}  // namespace varnix
