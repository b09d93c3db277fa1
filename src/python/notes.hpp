// Notes that explain a failed call (the third level of the user-function layer, see
// call_record.hpp): what the record of the user calls says, added to the BuildError or
// SampleError the call ends with as PEP 678 notes.
#pragma once

#include <cstddef>
#include <string>

#include "python/bridge.hpp"
#include "python/errors.hpp"

namespace varnix::py {

// Adds to the exception (type, value, traceback), just fetched from the interpreter and raised
// for a core error of kind `kind`, what the record of the call explains: the first user call
// that failed (which function, its arguments, what it raised or returned, and how many calls
// failed), the first negative value a density returned (unless the error itself is that a
// density was negative), and the call's own note (note_if_call_fails). Errors of no kind (not
// a BuildError or SampleError) get none. The exception is normalised on the way. Notes that
// cannot be made are left out; nothing else changes.
void explain_failure(const PythonCalls& calls, const ErrorKind& kind, PyObject** type,
                     PyObject** value, PyObject** traceback);

// Adds text as a note to the BuildError or SampleError the current call may end with (for a
// cause the error's own text would hide). Nothing is shown when the call succeeds.
void note_if_call_fails(std::string text);

// The note for a copula given `given` quantile functions for `dim` coordinates, whose error
// text ("mcmc sampler failed") does not say so; empty when the counts agree.
std::string quantile_count_note(std::size_t given, std::size_t dim);

}  // namespace varnix::py
