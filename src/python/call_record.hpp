// The record of the user-function calls made for one call from Python: plain data, no Python.
//
// The user-function layer has four levels, each using only those below it:
//   1. this record: how many calls, how many failed, the first failing call, the first negative
//      density value, and a hint for the error the call may end with;
//   2. the bridge (bridge.hpp), which calls the user's Python callables and writes the record,
//      keeping beside it the Python objects a note may need;
//   3. the notes (notes.hpp) and the progress display (progress.hpp), which read it;
//   4. the entry trampoline (entry.hpp), which opens the record for each call from Python, runs
//      the body and, when the body fails, turns the record into notes.
// Every kind of user function writes this same record. Python callables do it through the
// bridge; another kind (a compiled function, a function over arrays) would do it from a file of
// its own at the bridge's level, and the levels above would serve it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnix::py {

// What a user function is to the call that uses it: named in the notes of a failed call and
// in progress lines.
enum class Role : std::uint8_t {
    Density,               // f(x) of a univariate density
    DistributionFunction,  // f(x) of from_cdf
    Derivative,            // dpdf(x)
    ExpectFunction,        // expect's func(x)
    MultivariateDensity,   // f(x0, ..., xd-1) or f([x0, ..., xd-1])
    CoordinateSampler,     // Gibbs: sample_coord(i, x)
    ConditionalSampler,    // sample_i(i, prev)
    QuantileFunction,      // the copula's ppfs[i](u)
    LogDensity,            // a chain's f(x0, ..., xd-1) given as the logarithm of the density
    Gradient,              // HMC's grad(x0, ..., xd-1): d numbers
    LogDensityAndGradient, // HMC's f(x0, ..., xd-1) giving (log density, gradient)
};

// "the density", "the quantile function ppfs[2]", ...
std::string role_text(Role role, std::size_t index);
// "density", "quantile function", ...: what the progress line counts calls of.
const char* role_noun(Role role);

// What one failing call did.
struct CallOutcome {
    enum class What : std::uint8_t {
        Raised,      // raised an exception
        NotANumber,  // returned an object the float conversion refuses
        Value,       // returned a number the caller cannot use (NaN; a negative density value)
        WrongArray,  // a function over arrays returned no float64 array of one value a point
    };
    What what = What::Value;
    double value = 0.0;  // Value: the number returned
};

// One call, kept in full: the first failing call, or the first negative density value.
struct RecordedCall {
    Role role;
    std::size_t index = 0;         // the quantile function's index
    std::vector<double> args;      // x (one or d values), or the list given with i
    std::optional<std::size_t> i;  // the coordinate index of the indexed forms
    std::size_t points = 1;        // the points of one call over an array; args is the first
    CallOutcome outcome;           // of the call, or of the separate-floats form of f(x0, ...)
    std::optional<CallOutcome> list_form;  // f([x0, ...]) after the separate-floats form failed
};

struct CallRecord {
    std::uint64_t calls = 0;
    std::uint64_t failures = 0;   // raised, returned something that is not a number, or NaN
    std::uint64_t negatives = 0;  // density values below 0
    Role last_role = Role::Density;
    std::unique_ptr<RecordedCall> first_failure;
    std::unique_ptr<RecordedCall> first_negative;
    std::unique_ptr<std::string> hint;  // a note for a failure whose text would mislead

    // Whether there is anything a note could say.
    bool has_details() const noexcept { return first_failure || first_negative || hint; }
};

}  // namespace varnix::py
