#include "core/multivar/cdf_mc.hpp"

#include <utility>

namespace varnix {

CdfMcEstimator::CdfMcEstimator(HyperRect box, std::size_t normalization_samples,
                               std::size_t cdf_samples)
    : box_(std::move(box)),
      normalization_samples_(normalization_samples),
      cdf_samples_(cdf_samples),
      point_(box_.dim()),
      upper_(box_.dim()) {}

}  // namespace varnix
