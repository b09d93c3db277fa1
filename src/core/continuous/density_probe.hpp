// The one place where the builders of the inversion engine call a user density.
#pragma once

#include <cstddef>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>

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
class DensityProbe {
public:
    DensityProbe(FunctionRef<double(double)> density, double lo, double hi)
        : density_(density), lo_(lo), hi_(hi) {}

    double operator()(double x);

    std::size_t calls() const { return calls_; }
    bool failed() const { return error_.has_value(); }
    const BuildError& error() const { return *error_; }
    void fail(const BuildError& e) {
        if (!error_) error_ = e;
    }

    int scale_exponent() const { return exponent_; }
    // Values read from now on are multiplied by 2^-e.
    void set_scale_exponent(int e) { exponent_ = e; }

private:
    FunctionRef<double(double)> density_;
    double lo_;
    double hi_;
    int exponent_ = 0;
    std::size_t calls_ = 0;
    std::optional<BuildError> error_;
};

}  // namespace varnix
