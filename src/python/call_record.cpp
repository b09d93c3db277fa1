#include "python/call_record.hpp"

namespace varnix::py {

const char* role_noun(Role role) {
    switch (role) {
        case Role::Density: return "density";
        case Role::DistributionFunction: return "distribution function";
        case Role::Derivative: return "derivative";
        case Role::ExpectFunction: return "expect function";
        case Role::MultivariateDensity: return "density";
        case Role::CoordinateSampler: return "coordinate sampler";
        case Role::ConditionalSampler: return "conditional sampler";
        case Role::QuantileFunction: return "quantile function";
        case Role::LogDensity: return "log density";
        case Role::Gradient: return "gradient";
        case Role::LogDensityAndGradient: return "log density and gradient";
    }
    return "user function";
}

std::string role_text(Role role, std::size_t index) {
    switch (role) {
        case Role::ExpectFunction: return "expect's function";
        case Role::QuantileFunction:
            return "the quantile function ppfs[" + std::to_string(index) + "]";
        default: return std::string("the ") + role_noun(role);
    }
}

}  // namespace varnix::py
