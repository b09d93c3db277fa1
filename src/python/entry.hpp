// The entry trampoline of every function and method (the top level of the user-function layer,
// see call_record.hpp): opens the record of the call's user calls, runs the body, converts
// every C++ failure into a Python exception, and turns the record into notes when the call
// fails with a core error.
#pragma once

#include <new>
#include <stdexcept>

#include "python/bridge.hpp"
#include "python/errors.hpp"
#include "python/notes.hpp"
#include "python/progress.hpp"

namespace varnix::py {

// One call from Python: its user calls, and, for the outermost call on a thread while progress
// is on, its progress.
class CallScope {
public:
    CallScope() noexcept {
        if (progress_enabled && calls_.outermost()) progress_.start(calls_);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Called once, when the body has returned (failed: with an exception pending, raised for
    // a core error of kind `kind`, if any): adds the notes that explain the error; ends the
    // progress display; drops what the record holds. Keeps whatever exception is pending as
    // it is.
    void finish(bool failed, const ErrorKind& kind) noexcept {
        if (calls_.record.has_details() || progress_.shown()) [[unlikely]] {
            finish_recorded(failed, kind);
        }
    }

private:
    void finish_recorded(bool failed, const ErrorKind& kind) noexcept;

    PythonCalls calls_;
    ProgressWatch progress_;
};

// Runs body, converting every C++ failure into a Python exception; returns null on failure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    CallScope scope;
    PyObject* result = nullptr;
    ErrorKind kind;
    try {
        result = body();
    } catch (const PyErrorSet& e) {
        kind = e.kind;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A result too large to hold (sample_n with an enormous n).
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_fault(e.what());
    } catch (...) {
        set_internal_fault("unknown internal fault");
    }
    scope.finish(result == nullptr, kind);
    return result;
}

// Adds the private function _set_progress(reporter, delay) to the module (not to __all__), and
// installs the core's batch progress hook.
void register_progress(PyObject* module);

}  // namespace varnix::py
