// Error kinds of the library and their message texts.
//
// Expected failures are values: every fallible core operation returns std::expected<T, E> with
// one of the kinds below. A broken invariant is the only thing thrown (InternalFault); the
// binding layer turns it into the module's internal-fault exception.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace varnix {

// Fixed detail texts carried by InvalidSupport and NonFinite.
namespace detail_text {
inline constexpr const char* support_bounds = "support bounds";
inline constexpr const char* lo_below_hi = "lo must be strictly less than hi";
// Kept in the vocabulary, but unreachable: the hat builder receives the density and its
// derivative on the distribution's own support, so the two cannot disagree.
inline constexpr const char* tdr_support_mismatch = "pdf/dpdf support must match opts.support";
inline constexpr const char* tdr_requires_pdf =
    "TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)";
inline constexpr const char* pmf_length_mismatch = "points and pmf must have the same length";
inline constexpr const char* box_empty = "hyper-rect cannot be empty";
inline constexpr const char* box_dimension = "hyper-rect lo/hi must have same dimension";
inline constexpr const char* box_order = "each lo must be < hi";
inline constexpr const char* box_bounds = "hyper-rect bounds";
// Why the mass of a density could not be found (MassNotFound).
inline constexpr const char* non_integrable_end =
    "the density grows towards the end of the interval too fast to be integrable";
inline constexpr const char* integration_unsettled =
    "the integration does not settle there (a non-integrable or unresolvable singularity?)";
inline constexpr const char* too_many_panels =
    "the integration needs more than its limit of panels";
inline constexpr const char* mass_not_finite = "the mass found is not finite";
inline constexpr const char* mass_not_decaying =
    "the density does not fall fast enough towards the unbounded end for its mass to be finite";
inline constexpr const char* unbounded_needs_interpolation =
    "an unbounded support needs the interpolated engine (BuildOptions.interpolated())";
}  // namespace detail_text

// Construction failures, in declaration order.
enum class BuildErrorKind : std::uint8_t {
    InvalidSupport,
    EmptySupport,
    NonPositiveMass,
    NonFinite,
    NormalizationFailed,
    InvalidScale,
    InvalidHistogram,
    TruncationOutsideSupport,
    InvalidDimension,  // kept in the published vocabulary; no check produces it
    InvalidPdfMax,
    TdrHatFailed,
    DensityNegative,     // x, value
    DensityNotFinite,    // x, value
    DensityZero,         // x = lo, x_hi = hi, value = the number of points examined
    MassNotFound,        // detail, x
    InvalidResolution,   // value = the rejected u_resolution
    InterpolationFailed, // value = u_resolution, x = where the interpolation stopped
    CdfNotFinite,        // x, value
    CdfDecreasing,       // x, value = the drop below a value at a smaller x
    TdrNotLogConcave,    // x .. x_hi: the construction points between which it was found
    InvalidTuning,       // detail: the setting and what it must be, value: what it was
    ResultUnchecked,     // detail: the engine's results, cause: why the check model failed
};

struct BuildError {
    BuildErrorKind kind;
    // InvalidSupport, NonFinite and MassNotFound: one of detail_text; InvalidTuning: the setting.
    const char* detail = nullptr;
    double x = 0.0;                // the point the density kinds refer to
    double value = 0.0;            // the density value there, a resolution or a count
    double x_hi = 0.0;             // DensityZero: the end of the interval examined
    // ResultUnchecked: the error of the check model's build. Shared, so that copying an error
    // stays cheap; only a refused build allocates it.
    std::shared_ptr<const BuildError> cause = nullptr;

    static BuildError invalid_support(const char* d) { return {BuildErrorKind::InvalidSupport, d}; }
    static BuildError non_finite(const char* d) { return {BuildErrorKind::NonFinite, d}; }
    static BuildError of(BuildErrorKind k) { return {k, nullptr}; }
    static BuildError density_negative(double x, double v) {
        return {BuildErrorKind::DensityNegative, nullptr, x, v};
    }
    static BuildError density_not_finite(double x, double v) {
        return {BuildErrorKind::DensityNotFinite, nullptr, x, v};
    }
    static BuildError density_zero(double lo, double hi, double points) {
        return {BuildErrorKind::DensityZero, nullptr, lo, points, hi};
    }
    static BuildError mass_not_found(const char* d, double x) {
        return {BuildErrorKind::MassNotFound, d, x};
    }
    static BuildError invalid_resolution(double u) {
        return {BuildErrorKind::InvalidResolution, nullptr, 0.0, u};
    }
    static BuildError interpolation_failed(double u_resolution, double x) {
        return {BuildErrorKind::InterpolationFailed, nullptr, x, u_resolution};
    }
    static BuildError cdf_not_finite(double x, double v) {
        return {BuildErrorKind::CdfNotFinite, nullptr, x, v};
    }
    static BuildError cdf_decreasing(double x, double drop) {
        return {BuildErrorKind::CdfDecreasing, nullptr, x, drop};
    }
    static BuildError invalid_tuning(const char* what, double v) {
        return {BuildErrorKind::InvalidTuning, what, 0.0, v};
    }
    static BuildError tdr_not_log_concave(double x, double x_hi) {
        return {BuildErrorKind::TdrNotLogConcave, nullptr, x, 0.0, x_hi};
    }
    // An engine whose results could not be checked, because the check model's build failed
    // with cause. results names them ("the plain inversion's result").
    static BuildError result_unchecked(const char* results, BuildError cause) {
        return {BuildErrorKind::ResultUnchecked, results, 0.0, 0.0, 0.0,
                std::make_shared<const BuildError>(std::move(cause))};
    }

    std::string message() const;
    bool operator==(const BuildError&) const = default;
};

// Failures of draws and queries on built objects, in declaration order.
enum class SampleErrorKind : std::uint8_t {
    QuantileOutOfRange,
    InversionFailed,
    PdfRequired,
    IntegrationFailed,
    ConfidenceOutOfRange,
    RejectionExhausted,
    TdrHatFailed,  // kept in the published vocabulary; never produced: a hat fails the build
    TdrSampleFailed,
    McmcNotInitialized,
    McmcFailed,
    DensityAboveBound,  // a density value above the sampler's bound; carries value, bound, point
    TdrDensityAboveHat,  // x, value = the density there, limit = the hat there
    EntropyNeedsInterpolation,  // a distribution function without an interpolated inverse
    MomentUndefined,  // value = the tail's decay exponent, bound = the moment's order
};

struct SampleError {
    SampleErrorKind kind;
    double value = 0.0;  // the offending u, confidence level or density value, where carried
    double bound = 0.0;  // DensityAboveBound: the bound the value broke
    // DensityAboveBound: the point where it happened. Shared, so that copying an error stays
    // cheap; only a failing call ever allocates it.
    std::shared_ptr<const std::vector<double>> point = nullptr;
    double x = 0.0;      // TdrDensityAboveHat: the point
    double limit = 0.0;  // TdrDensityAboveHat: the hat's value at the point

    static SampleError quantile_out_of_range(double u) {
        return {SampleErrorKind::QuantileOutOfRange, u};
    }
    static SampleError confidence_out_of_range(double c) {
        return {SampleErrorKind::ConfidenceOutOfRange, c};
    }
    static SampleError of(SampleErrorKind k) { return {k, 0.0}; }
    static SampleError density_above_bound(double y, double bound, std::span<const double> x) {
        return {SampleErrorKind::DensityAboveBound, y, bound,
                std::make_shared<const std::vector<double>>(x.begin(), x.end())};
    }
    static SampleError moment_undefined(int order, double decay) {
        return {SampleErrorKind::MomentUndefined, decay, static_cast<double>(order)};
    }
    static SampleError tdr_density_above_hat(double x, double density, double hat) {
        SampleError e{SampleErrorKind::TdrDensityAboveHat, density};
        e.x = x;
        e.limit = hat;
        return e;
    }

    std::string message() const;
};

// The Gaussian copula's only construction failure; raised to Python as ValueError.
struct CorrelationError {
    std::string message() const { return "InvalidCorrelation"; }
};

template <class T>
using BuildResult = std::expected<T, BuildError>;
template <class T>
using SampleResult = std::expected<T, SampleError>;

// A broken invariant. Never used for an expected failure.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shortest round-trip digits of x, always in positional notation: 1 not 1.0, 0.0000001 not
// 1e-07, 1e21 written out in full; NaN, inf and -inf by name.
std::string render_number(double x);

}  // namespace varnix
