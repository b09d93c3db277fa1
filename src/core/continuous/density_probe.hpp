// The one place where the builders of the inversion engine call a user density.
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/continuous/point_values.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"

namespace varnix {

// Every value is counted and checked. Strictly inside (lo, hi) a density value must be finite
// and non-negative: the first one that is not is kept as the build error, and from then on every
// value reads as 0 so that the builder can end its current step and report it. At lo and hi
// themselves a non-finite value is allowed (an integrable singularity at an end) and comes back
// as NaN; a negative value is an error everywhere.
//
// Values are multiplied by 2^-e for an exponent e set once from the size of the density. That
// changes no digit, so a density and the same density times a power of two are integrated bit
// for bit alike, and a density of any size neither overflows nor underflows in the sums.
//
// With a batch form of the density, the builders announce the points they are about to read
// (prefetch): those not yet known are evaluated in one call of the batch and kept. A read then
// takes the kept value, and a point nobody announced is evaluated alone (a batch call of one
// point). The reads, their order, their count and their checks are those of the scalar path, so
// for a batch function that gives the scalar function's values the build is the same bit for
// bit; a NaN from the batch is a NaN from the density. A prefetch may announce points the build
// then does not read (a guess at which panels will be split): that costs a value, no result.
class DensityProbe {
public:
    DensityProbe(FunctionRef<double(double)> density, double lo, double hi,
                 OptionalBatch batch = std::nullopt)
        : density_(density), batch_(batch), lo_(lo), hi_(hi) {}

    double operator()(double x) {
        // The common read, inline: no batch, no failure yet, a finite non-negative value.
        if (!batch_ && !error_) {
            ++calls_;
            const double v = density_(x);
            if (v >= 0.0 && v <= std::numeric_limits<double>::max()) return scaled(v);
            return refuse(x, v);
        }
        return read(x);
    }
    // The same read, except that a value that is not finite comes back as it is instead of
    // failing the build: for a search far out in a tail, where a density written with exp or
    // cosh overflows (NaN from Python) after it has long become negligible. The caller decides.
    double read_lenient(double x);

    // The values the build read: the scalar density's calls, or as many reads of a batch's.
    std::size_t calls() const { return calls_; }
    bool failed() const { return error_.has_value(); }
    const BuildError& error() const { return *error_; }
    void fail(const BuildError& e) {
        if (!error_) error_ = e;
    }

    // A probe of the same density, ends and scale, with no batch and nothing read yet: for a
    // part of a build run on another thread. add_reads counts its reads here.
    DensityProbe fork() const {
        DensityProbe p(density_, lo_, hi_);
        p.set_scale_exponent(exponent_);
        return p;
    }
    void add_reads(const DensityProbe& part) { calls_ += part.calls_; }

    int scale_exponent() const { return exponent_; }
    // Values read from now on are multiplied by 2^-e.
    void set_scale_exponent(int e);

    // Whether there is a batch form: only then is prefetch worth preparing.
    bool batched() const { return batch_.has_value(); }
    // Evaluates, in one batch call, every point of xs not yet known; nothing without a batch
    // or once the build has failed.
    void prefetch(std::span<const double> xs);
    // The same for the points the build is about to read (needed) and some it may read later
    // (guessed): a call only when a needed point is not yet known, the unknown guesses joining
    // it.
    void prefetch(std::span<const double> needed, std::span<const double> guessed);
    // Whether x has a kept value (always false without a batch).
    bool known(double x) const { return values_.contains(x); }
    // The value a read of x would give, for a guess ahead of the reads: not counted, not
    // checked (a value the read would refuse reads as 0). Only for a known x.
    double peek(double x) const;
    // Calls of the batch and the points they held.
    std::size_t batch_calls() const { return batch_calls_; }
    std::size_t batch_points() const { return batch_points_; }

private:
    double fetch(double x);
    // The read of x through the batch or after a failure, and the checks of a value that is
    // negative or not finite.
    double read(double x);
    double refuse(double x, double v);
    // v times 2^-exponent_: a product with the power of two where that power is a double (the
    // same correctly rounded value as std::ldexp), std::ldexp where it is not.
    double scaled(double v) const {
        return exact_factor_ ? v * factor_ : std::ldexp(v, -exponent_);
    }

    FunctionRef<double(double)> density_;
    OptionalBatch batch_;
    double lo_;
    double hi_;
    int exponent_ = 0;
    double factor_ = 1.0;  // 2^-exponent_, when exact_factor_
    bool exact_factor_ = true;
    std::size_t calls_ = 0;
    std::optional<BuildError> error_;
    // With a batch: every value evaluated, by the bits of its point.
    PointValues values_;
    std::vector<double> pending_;
    std::vector<double*> slots_;  // where the values of pending_ go
    std::vector<double> results_;
    std::size_t batch_calls_ = 0;
    std::size_t batch_points_ = 0;
};

}  // namespace varnix
