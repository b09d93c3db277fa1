#include "core/multivar/rejection.hpp"

#include "core/finite.hpp"

namespace varnix {

BuildResult<RejectionSampler> RejectionSampler::make(HyperRect box, double pdf_max,
                                                     std::size_t max_trials) {
    if (!finite_positive(pdf_max)) {
        return std::unexpected(BuildError::of(BuildErrorKind::InvalidPdfMax));
    }
    return RejectionSampler(std::move(box), pdf_max, max_trials);
}

}  // namespace varnix
