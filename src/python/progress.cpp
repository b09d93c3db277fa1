#include "python/progress.hpp"

#include <chrono>

namespace varnix::py {

bool progress_enabled = false;

namespace {

PyObject* reporter = nullptr;  // owned; set by set_progress_reporter
std::int64_t delay_ns = 1'000'000'000;
constexpr std::int64_t report_interval_ns = 100'000'000;
std::uint64_t last_id = 0;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void ProgressWatch::start(PythonCalls& calls) noexcept {
    on_ = true;
    start_ns_ = now_ns();
    next_ns_ = start_ns_ + delay_ns;
    calls.watcher = this;
}

// reporter(id, done, total, calls, what, seconds, final). A reporter that raises an Exception
// is reported as unraisable and not called again for this call; anything else it raises ends
// the call, except at the last report, which cannot end anything.
void ProgressWatch::report(const PythonCalls& calls, std::int64_t now, bool final) {
    if (reporter == nullptr) {  // switched off while the call ran
        broken_ = true;
        return;
    }
    if (!shown_) {
        shown_ = true;
        id_ = ++last_id;
    }
    PyRef held = PyRef::borrow(reporter);  // the reporter may switch progress off
    const double seconds = static_cast<double>(now - start_ns_) * 1e-9;
    PyObject* result = PyObject_CallFunction(
        held.get(), "KKKKsdO", static_cast<unsigned long long>(id_),
        static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
        static_cast<unsigned long long>(calls.record.calls), role_noun(calls.record.last_role),
        seconds, final ? Py_True : Py_False);
    if (result != nullptr) {
        Py_DECREF(result);
        return;
    }
    broken_ = true;
    if (!final && !PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    PyErr_WriteUnraisable(held.get());
}

void ProgressWatch::on_calls(const PythonCalls& calls) {
    if (!on_ || broken_) return;
    const std::int64_t now = now_ns();
    if (now < next_ns_) return;
    next_ns_ = now + report_interval_ns;
    report(calls, now, false);
}

void ProgressWatch::on_draws(const PythonCalls& calls, std::uint64_t done, std::uint64_t total) {
    done_ = done;
    total_ = total;
    on_calls(calls);
}

void ProgressWatch::finish(const PythonCalls& calls, bool completed) noexcept {
    if (!shown_ || broken_) return;
    if (completed) done_ = total_;
    try {
        report(calls, now_ns(), true);
    } catch (...) {
        PyErr_Clear();
    }
}

void progress_batch(std::uint64_t done, std::uint64_t total) {
    PythonCalls* calls = PythonCalls::current();
    if (calls == nullptr || calls->watcher == nullptr) return;
    calls->watcher->on_draws(*calls, done, total);
}

void set_progress_reporter(PyObject* new_reporter, double delay) {
    PyObject* old = reporter;
    if (new_reporter == Py_None) {
        reporter = nullptr;
        progress_enabled = false;
    } else {
        Py_INCREF(new_reporter);
        reporter = new_reporter;
        delay_ns = delay > 0.0 ? static_cast<std::int64_t>(delay * 1e9) : 0;
        progress_enabled = true;
    }
    Py_XDECREF(old);
}

}  // namespace varnix::py
