#include "python/progress.hpp"

#include <chrono>

#include "python/bridge.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"

namespace varnix::py {

bool progress_enabled = false;

namespace {

PyObject* reporter = nullptr;  // owned; set by _set_progress
std::int64_t delay_ns = 1'000'000'000;
constexpr std::int64_t report_interval_ns = 100'000'000;
std::uint64_t last_id = 0;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// reporter(id, done, total, calls, what, seconds, final). A reporter that raises an Exception
// is reported as unraisable and not called again for this call; anything else it raises ends
// the call, except at the last report, which cannot end anything.
void call_reporter(PythonCallScope& scope, std::int64_t now, bool final) {
    ProgressState& s = scope.progress;
    if (reporter == nullptr) {  // switched off while the call ran
        s.broken = true;
        return;
    }
    if (!s.shown) {
        s.shown = true;
        s.id = ++last_id;
    }
    PyRef held = PyRef::borrow(reporter);  // the reporter may switch progress off
    const double seconds = static_cast<double>(now - s.start_ns) * 1e-9;
    PyObject* result = PyObject_CallFunction(
        held.get(), "KKKKsdO", static_cast<unsigned long long>(s.id),
        static_cast<unsigned long long>(s.done), static_cast<unsigned long long>(s.total),
        static_cast<unsigned long long>(scope.calls), role_noun(scope.last_role), seconds,
        final ? Py_True : Py_False);
    if (result != nullptr) {
        Py_DECREF(result);
        return;
    }
    s.broken = true;
    if (!final && !PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    PyErr_WriteUnraisable(held.get());
}

// _set_progress(reporter, delay): reporter None switches progress off.
PyObject* set_progress(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* new_reporter = nullptr;
        double delay = 0.0;
        if (!PyArg_ParseTuple(args, "Od:_set_progress", &new_reporter, &delay)) {
            throw PyErrorSet{};
        }
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
        return none();
    });
}

PyMethodDef set_progress_def = {
    "_set_progress", &set_progress, METH_VARARGS,
    "_set_progress(reporter, delay)\n--\n\nInstalls the progress reporter of the varnix "
    "package (None: no progress). Private: use varnix.progress() or varnix.show_progress()."};

}  // namespace

void progress_start(ProgressState& state) noexcept {
    state = ProgressState{};
    state.on = true;
    state.start_ns = now_ns();
    state.next_ns = state.start_ns + delay_ns;
}

void progress_tick(PythonCallScope& scope) {
    ProgressState& s = scope.progress;
    if (!s.on || s.broken) return;
    const std::int64_t now = now_ns();
    if (now < s.next_ns) return;
    s.next_ns = now + report_interval_ns;
    call_reporter(scope, now, false);
}

void progress_batch(std::uint64_t done, std::uint64_t total) {
    PythonCallScope* scope = PythonCallScope::current();
    if (scope == nullptr || !scope->progress.on) return;
    scope->progress.done = done;
    scope->progress.total = total;
    progress_tick(*scope);
}

void progress_finish(PythonCallScope& scope, bool completed) noexcept {
    if (!scope.progress.shown || scope.progress.broken) return;
    if (completed) scope.progress.done = scope.progress.total;
    try {
        call_reporter(scope, now_ns(), true);
    } catch (...) {
        PyErr_Clear();
    }
}

void register_progress(PyObject* module) {
    PyRef module_name = PyRef::steal(check(PyModule_GetNameObject(module)));
    PyRef fn = PyRef::steal(check(PyCFunction_NewEx(&set_progress_def, nullptr, module_name.get())));
    if (PyModule_AddObjectRef(module, "_set_progress", fn.get()) < 0) throw PyErrorSet{};
}

}  // namespace varnix::py
