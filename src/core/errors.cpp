#include "core/errors.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace varnix {

namespace {

// A point in the messages about where the mass is: positional up to 1e21, and from there the
// shortest round-trip form with its exponent (8.98846567431158e+307), not hundreds of digits.
std::string render_point(double x) {
    if (!(std::abs(x) >= 1e21) || std::isinf(x)) return render_number(x);
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
    if (ec != std::errc{}) throw InternalFault("number rendering failed");
    return std::string(buf, end);
}

}  // namespace

std::string render_number(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";

    // The scientific form gives the shortest round-trip digits and a decimal exponent; the
    // digits are then placed around the decimal point by hand.
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    if (ec != std::errc{}) throw InternalFault("number rendering failed");
    std::string_view text(buf, static_cast<std::size_t>(end - buf));

    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const auto e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
    const int n = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits before the decimal point

    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string BuildError::message() const {
    const std::string d = detail ? detail : "";
    switch (kind) {
        case BuildErrorKind::InvalidSupport: return "invalid support interval: " + d;
        case BuildErrorKind::EmptySupport: return "discrete distribution has no support points";
        case BuildErrorKind::NonPositiveMass: return "probability mass must be positive";
        case BuildErrorKind::NonFinite: return "non-finite value in " + d;
        case BuildErrorKind::NormalizationFailed: return "failed to normalize PDF on support";
        case BuildErrorKind::InvalidScale: return "scale must be finite and positive";
        case BuildErrorKind::InvalidHistogram: return "invalid histogram edges or counts";
        case BuildErrorKind::TruncationOutsideSupport:
            return "truncation interval must lie inside base support";
        case BuildErrorKind::InvalidDimension: return "invalid dimension";
        case BuildErrorKind::InvalidPdfMax: return "pdf_max must be finite and positive";
        case BuildErrorKind::TdrHatFailed:
            return "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)";
        case BuildErrorKind::DensityNegative:
            return "density is negative at x=" + render_number(x) + " (value " +
                   render_number(value) + ")";
        case BuildErrorKind::DensityNotFinite:
            return "density is not finite at x=" + render_point(x) + " (value " +
                   render_number(value) + ")";
        case BuildErrorKind::DensityZero:
            return "density is zero at all " + render_number(value) + " points examined in [" +
                   render_point(x) + ", " + render_point(x_hi) + "]";
        case BuildErrorKind::MassNotFound:
            return "the mass of the density cannot be found near x=" + render_point(x) + ": " + d;
        case BuildErrorKind::InvalidResolution:
            return "u_resolution " + render_number(value) +
                   " is outside [0.00000000000001, 0.00001]";
        case BuildErrorKind::InterpolationFailed:
            return "the quantile function cannot be interpolated to u_resolution " +
                   render_number(value) + " near x=" + render_number(x);
        case BuildErrorKind::CdfNotFinite:
            return "distribution function is not finite at x=" + render_number(x) + " (value " +
                   render_number(value) + ")";
        case BuildErrorKind::CdfDecreasing:
            return "distribution function decreases at x=" + render_number(x) + " (by " +
                   render_number(value) + " of its rise over the interval)";
        case BuildErrorKind::TdrNotLogConcave:
            return "tdr: the density is not log-concave between x=" + render_number(x) +
                   " and x=" + render_number(x_hi) +
                   " (the log transform needs a log-concave density: try the InvSqrt transform)";
        case BuildErrorKind::InvalidTuning: return d + " (got " + render_number(value) + ")";
        case BuildErrorKind::ResultUnchecked:
            return d + " could not be checked: " + (cause ? cause->message() : std::string());
    }
    throw InternalFault("unknown build error kind");
}

std::string SampleError::message() const {
    switch (kind) {
        case SampleErrorKind::QuantileOutOfRange:
            return "quantile u=" + render_number(value) + " not in (0, 1)";
        case SampleErrorKind::InversionFailed: return "failed to invert CDF";
        case SampleErrorKind::PdfRequired: return "operation requires an underlying PDF";
        case SampleErrorKind::IntegrationFailed: return "numerical integration failed";
        case SampleErrorKind::ConfidenceOutOfRange:
            return "confidence " + render_number(value) + " must be in (0, 1)";
        case SampleErrorKind::RejectionExhausted: return "rejection sampler failed to accept";
        case SampleErrorKind::TdrHatFailed: return "tdr failed to build hat function";
        case SampleErrorKind::TdrSampleFailed: return "tdr failed to draw a sample";
        case SampleErrorKind::McmcNotInitialized:
            return "mcmc sampler not initialized (call init)";
        case SampleErrorKind::McmcFailed: return "mcmc sampler failed";
        case SampleErrorKind::DensityAboveBound: {
            std::string where = "(";
            if (point) {
                for (std::size_t i = 0; i < point->size(); ++i) {
                    if (i > 0) where += ", ";
                    where += render_number((*point)[i]);
                }
            }
            return "density " + render_number(value) + " at " + where + ") exceeds pdf_max " +
                   render_number(bound) + ": draws would be biased";
        }
        case SampleErrorKind::TdrDensityAboveHat:
            return "tdr: the density at x=" + render_number(x) + " is " + render_number(value) +
                   ", above the hat (" + render_number(limit) +
                   "): it is not T-concave for the transform";
        case SampleErrorKind::EntropyNeedsInterpolation:
            return "entropy needs a density: build from the distribution function with "
                   "BuildOptions.interpolated(), whose quantile function gives one";
        case SampleErrorKind::MomentUndefined: {
            const bool mean = bound == 1.0;
            // The exponent to two decimals: it is an estimate.
            return std::string(mean ? "the mean" : "the variance") +
                   " does not exist: the density's tail decays as |x|^-" +
                   render_number(std::round(value * 100.0) / 100.0) +
                   ", and " + (mean ? "a mean" : "a variance") +
                   " needs a faster decay than |x|^-" + (mean ? "2" : "3");
        }
    }
    throw InternalFault("unknown sample error kind");
}

}  // namespace varnix
