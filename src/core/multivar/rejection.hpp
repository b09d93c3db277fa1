// Plain accept-reject in a box against a constant envelope pdf_max.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/box.hpp"
#include "core/random.hpp"

namespace varnix {

class RejectionSampler {
public:
    // pdf_max is checked first (finite and > 0, else InvalidPdfMax), then the box is validated.
    static BuildResult<RejectionSampler> make(const HyperRect& support, double pdf_max,
                                              std::size_t max_trials);

    std::size_t dim() const { return box_.dim(); }
    double pdf_max() const { return pdf_max_; }
    std::size_t max_trials() const { return max_trials_; }
    const HyperRect& box() const { return box_; }

    // One accepted point written to out (exactly dim() entries), or RejectionExhausted after
    // max_trials rejected proposals. Each proposal takes d uniforms for the point and one more
    // only when f(x) is finite and >= 0. out is the proposal buffer itself: after a failure or an
    // exception from f it holds the last proposal.
    SampleResult<void> draw(ChaChaRng& rng, DensityRef f, std::span<double> out) const;

    // n draws from one generator, as n * dim() values row by row. out is replaced only when all
    // n draws succeed; after a failure or an exception it is left as it was.
    SampleResult<void> sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                std::vector<double>& out) const;

private:
    RejectionSampler(HyperRect box, double pdf_max, std::size_t max_trials)
        : box_(std::move(box)), pdf_max_(pdf_max), max_trials_(max_trials) {}

    HyperRect box_;
    double pdf_max_;
    std::size_t max_trials_;
};

}  // namespace varnix
