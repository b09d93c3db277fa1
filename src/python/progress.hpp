// Progress of long calls, shown on request (the varnix package's progress() and
// show_progress()).
//
// Off by default; then the only cost is one flag test per call from Python and per chunk of a
// batch. When on, the outermost call on a thread notes its start time and, at its tick points
// (every 64 user calls, between the rounds of a batch), passes how
// far it is to the reporter the package installed: first once the call has run for the delay,
// then at most every tenth of a second, and a last time when it ends. What is counted: user
// calls (a build) and draws done out of n (a batch).
#pragma once

#include <cstdint>

#include "python/handles.hpp"

namespace varnix::py {

class PythonCallScope;

// Whether progress is shown; written and read with the interpreter lock held.
extern bool progress_enabled;

// The progress of one outermost call, kept in its PythonCallScope.
struct ProgressState {
    bool on = false;      // this call watches its progress
    bool shown = false;   // the reporter has been called for it
    bool broken = false;  // the reporter raised: no more reports for this call
    std::int64_t start_ns = 0;
    std::int64_t next_ns = 0;  // no report before this time
    std::uint64_t id = 0;      // tells the reporter which call it hears from
    std::uint64_t done = 0;    // draws done, of
    std::uint64_t total = 0;   // the batch's n (0: not a batch)
};

// At the start of an outermost call while progress is on.
void progress_start(ProgressState& state) noexcept;

// A tick point of the current call: reports when it is time. A reporter that raises something
// other than an Exception ends the call with it (PyErrorSet).
void progress_tick(PythonCallScope& scope);

// A batch of the current call has done `done` of `total` draws.
void progress_batch(std::uint64_t done, std::uint64_t total);

// The last report of a call that was shown (a batch that completed has done all its draws);
// the pending exception, if any, is kept.
void progress_finish(PythonCallScope& scope, bool completed) noexcept;

// Adds the private function _set_progress(reporter, delay) to the module (not to __all__).
void register_progress(PyObject* module);

}  // namespace varnix::py
