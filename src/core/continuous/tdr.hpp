// Transformed density rejection: a hat over the density built once, then rejection sampling.
//
// Log transform: a piecewise exponential hat made of tangents to ln f at construction points.
// InvSqrt transform: a constant hat at the largest density value seen on a scan of the support.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>
#include <vector>

#include "core/continuous/options.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/word_source.hpp"

namespace varnix {

class TdrHat {
public:
    enum class Kind : std::uint8_t { Tangent, Constant };

    // density is the normalised density on support; derivative is its derivative (an explicit
    // one, already divided by the normalising constant) or absent for a numeric difference of
    // the density. TdrHatFailed for any hat that cannot be formed.
    static BuildResult<TdrHat> build(const TdrOptions& options, Interval support,
                                     FunctionRef<double(double)> density,
                                     std::optional<FunctionRef<double(double)>> derivative);

    // One draw, by the source's uniforms in a fixed order: per completed trial two uniforms
    // (constant hat) or three (tangent hat). density must be the one the hat was built for.
    // TdrSampleFailed on a non-finite proposal or after max_tries rejected trials.
    template <WordSource R>
    SampleResult<double> draw(R& rng, FunctionRef<double(double)> density) const {
        auto next = [&rng] { return rng.next_u64(); };
        const Words words{next};
        return kind_ == Kind::Constant ? draw_constant(words, density)
                                       : draw_tangent(words, density);
    }

    // The tangent hat in log space at x, on the segment holding x.
    double log_hat(double x) const;

    Kind kind() const { return kind_; }
    double pdf_max() const { return pdf_max_; }
    const std::vector<double>& points() const { return xs_; }
    const std::vector<double>& log_slopes() const { return slopes_; }
    const std::vector<double>& intersections() const { return z_; }
    const std::vector<double>& cumulative() const { return cum_; }

private:
    friend struct StateCodec;  // saved states (core/serial.hpp)

    // The caller's word source behind one indirect call per word. Every trial calls the
    // density, which costs far more, and the trial loops are compiled once, in tdr.cpp.
    struct Words {
        FunctionRef<std::uint64_t()> next;
        std::uint64_t next_u64() const { return next(); }
    };

    TdrHat() = default;
    BuildResult<TdrHat> build_constant(FunctionRef<double(double)> density) &&;
    BuildResult<TdrHat> build_tangent(FunctionRef<double(double)> density,
                                      std::optional<FunctionRef<double(double)>> derivative) &&;
    std::vector<double> construction_points() const;
    void add_tangents(const std::vector<double>& points, FunctionRef<double(double)> density,
                      std::optional<FunctionRef<double(double)>> derivative);
    bool intersect_tangents();
    bool integrate_segments();
    double segment_left(std::size_t j) const { return j == 0 ? lo_ : z_[j - 1]; }
    double segment_right(std::size_t j) const { return j + 1 == xs_.size() ? hi_ : z_[j]; }
    SampleResult<double> draw_constant(Words rng, FunctionRef<double(double)> density) const;
    SampleResult<double> draw_tangent(Words rng, FunctionRef<double(double)> density) const;

    TdrOptions options_;
    double lo_ = 0.0;
    double hi_ = 0.0;
    Kind kind_ = Kind::Tangent;
    double pdf_max_ = 0.0;
    std::vector<double> xs_;      // points of tangency
    std::vector<double> ys_;      // ln f at the points
    std::vector<double> slopes_;  // slope of ln f at the points
    std::vector<double> z_;       // intersections of neighbouring tangents
    std::vector<double> cum_;     // cumulative area fractions, the last exactly 1
};

}  // namespace varnix
