// Transformed density rejection: a hat over the density built once, then rejection sampling.
//
// Log transform: a piecewise exponential hat made of tangents to ln f at construction points.
// InvSqrt transform: a constant hat at the largest density value seen on a scan of the support.
#pragma once

#include <cstddef>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>
#include <vector>

#include "core/continuous/options.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/random.hpp"

namespace varnix {

// A function handed to the hat builder together with the support it is defined on.
struct TdrFunction {
    FunctionRef<double(double)> fn;
    double lo;
    double hi;
};

class TdrHat {
public:
    enum class Kind : std::uint8_t { Tangent, Constant };

    // density is the normalised density; derivative is its derivative (an explicit one, already
    // divided by the normalising constant) or absent for a numeric difference of the density.
    // Errors, in this order: NonFinite / InvalidSupport for [lo, hi]; InvalidSupport "pdf/dpdf
    // support must match opts.support" when an evaluator's support is not [lo, hi]; then
    // TdrHatFailed for any hat that cannot be formed.
    static BuildResult<TdrHat> build(const TdrOptions& options, double lo, double hi,
                                     TdrFunction density, std::optional<TdrFunction> derivative);

    // One draw, by the generator's uniforms in a fixed order: per completed trial two uniforms
    // (constant hat) or three (tangent hat). density must be the one the hat was built for.
    // TdrSampleFailed on a non-finite proposal or after max_tries rejected trials.
    SampleResult<double> draw(ChaChaRng& rng, FunctionRef<double(double)> density) const;

    // The tangent hat in log space at x, on the segment holding x.
    double log_hat(double x) const;

    Kind kind() const { return kind_; }
    double lo() const { return lo_; }
    double hi() const { return hi_; }
    const TdrOptions& options() const { return options_; }
    double pdf_max() const { return pdf_max_; }
    const std::vector<double>& points() const { return xs_; }
    const std::vector<double>& log_values() const { return ys_; }
    const std::vector<double>& log_slopes() const { return slopes_; }
    const std::vector<double>& intersections() const { return z_; }
    const std::vector<double>& areas() const { return areas_; }
    const std::vector<double>& cumulative() const { return cum_; }

private:
    TdrHat() = default;
    BuildResult<TdrHat> build_constant(FunctionRef<double(double)> density) &&;
    BuildResult<TdrHat> build_tangent(FunctionRef<double(double)> density,
                                      std::optional<FunctionRef<double(double)>> derivative) &&;
    double segment_left(std::size_t j) const { return j == 0 ? lo_ : z_[j - 1]; }
    double segment_right(std::size_t j) const { return j + 1 == xs_.size() ? hi_ : z_[j]; }
    SampleResult<double> draw_constant(ChaChaRng& rng, FunctionRef<double(double)> density) const;
    SampleResult<double> draw_tangent(ChaChaRng& rng, FunctionRef<double(double)> density) const;

    TdrOptions options_;
    double lo_ = 0.0;
    double hi_ = 0.0;
    Kind kind_ = Kind::Tangent;
    double pdf_max_ = 0.0;
    std::vector<double> xs_;
    std::vector<double> ys_;
    std::vector<double> slopes_;
    std::vector<double> z_;
    std::vector<double> areas_;
    std::vector<double> cum_;
};

}  // namespace varnix
