// Progress of long calls, shown on request (the varnix package's progress() and
// show_progress()); the third level of the user-function layer (see call_record.hpp).
//
// Off by default; then the only cost is one flag test per call from Python and per chunk of a
// batch. When on, the outermost call on a thread notes its start time and, at its tick points
// (every 64 user calls, between the rounds of a batch), passes how
// far it is to the reporter the package installed: first once the call has run for the delay,
// then at most every tenth of a second, and a last time when it ends. What is counted: user
// calls (a build, read from the call's record) and draws done out of n (a batch).
#pragma once

#include <cstdint>

#include "python/bridge.hpp"
#include "python/handles.hpp"

namespace varnix::py {

// Whether progress is shown; written and read with the interpreter lock held.
extern bool progress_enabled;

// The progress of one outermost call: the watcher of its user calls and batches.
class ProgressWatch final : public CallWatcher {
public:
    // At the start of an outermost call while progress is on: watches `calls` from now on.
    void start(PythonCalls& calls) noexcept;

    // Whether the reporter has been called for this call.
    bool shown() const noexcept { return shown_; }

    // The last report of a call that was shown (a batch that completed has done all its
    // draws); the pending exception, if any, is kept.
    void finish(const PythonCalls& calls, bool completed) noexcept;

    // A tick point: reports when it is time. A reporter that raises something other than an
    // Exception ends the call with it (PyErrorSet).
    void on_calls(const PythonCalls& calls) override;
    void on_draws(const PythonCalls& calls, std::uint64_t done, std::uint64_t total) override;

private:
    void report(const PythonCalls& calls, std::int64_t now, bool final);

    bool on_ = false;      // this call watches its progress
    bool shown_ = false;   // the reporter has been called for it
    bool broken_ = false;  // the reporter raised: no more reports for this call
    std::int64_t start_ns_ = 0;
    std::int64_t next_ns_ = 0;  // no report before this time
    std::uint64_t id_ = 0;      // tells the reporter which call it hears from
    std::uint64_t done_ = 0;    // draws done, of
    std::uint64_t total_ = 0;   // the batch's n (0: not a batch)
};

// A batch of the current call has done `done` of `total` draws.
void progress_batch(std::uint64_t done, std::uint64_t total);

// Installs the reporter of the varnix package (None: no progress) and the delay in seconds
// before a call's first report.
void set_progress_reporter(PyObject* reporter, double delay);

}  // namespace varnix::py
