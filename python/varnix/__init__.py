"""Random-variate generation from Python callables and data, with a C++ engine.

``varnix`` is the package to import: it re-exports every public name of the extension module
``_varnix`` as the very same object (``varnix.from_pdf is _varnix.from_pdf``), so code written
against either name works with the other, and carries the type information that checkers read.
"""
from _varnix import (
    BuildError as BuildError,
    SampleError as SampleError,
    Interval as Interval,
    Support as Support,
    BuildOptions as BuildOptions,
    ContinuousDistribution as ContinuousDistribution,
    from_pdf as from_pdf,
    from_pdf_with_options as from_pdf_with_options,
    from_pdf_dpdf as from_pdf_dpdf,
    from_cdf as from_cdf,
    from_cdf_with_options as from_cdf_with_options,
    from_histogram as from_histogram,
    from_pdf_loc_scale as from_pdf_loc_scale,
    truncated as truncated,
    DiscreteDistribution as DiscreteDistribution,
    from_pmf as from_pmf,
    HyperRect as HyperRect,
    RejectionSampler as RejectionSampler,
    MetropolisHastings as MetropolisHastings,
    HmcSampler as HmcSampler,
    GibbsSampler as GibbsSampler,
    ConditionalFactorizationSampler as ConditionalFactorizationSampler,
    GaussianCopula as GaussianCopula,
    CdfMcEstimator as CdfMcEstimator,
    rejection_sampler as rejection_sampler,
    metropolis_hastings as metropolis_hastings,
    hmc_sampler as hmc_sampler,
    gibbs_sampler as gibbs_sampler,
    conditional_factorization_sampler as conditional_factorization_sampler,
    gaussian_copula as gaussian_copula,
    cdf_mc_estimator as cdf_mc_estimator,
    diagnostics as diagnostics,
    sobol_points as sobol_points,
    vectorized as vectorized,
)

from varnix._progress import progress as progress, show_progress as show_progress

# The one place the version is written: the build reads it from here into the package metadata.
__version__ = "0.1.0"

# Written out rather than copied from _varnix.__all__ so that type checkers can read it: the
# extension's names, in the extension's order (the tests hold them equal), then the package's own.
__all__ = [
    "BuildError", "SampleError", "Interval", "Support", "BuildOptions", "ContinuousDistribution",
    "from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options",
    "from_histogram", "from_pdf_loc_scale", "truncated", "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator", "rejection_sampler",
    "metropolis_hastings", "hmc_sampler", "gibbs_sampler", "conditional_factorization_sampler",
    "gaussian_copula", "cdf_mc_estimator", "diagnostics", "sobol_points",
    "vectorized",
    "progress", "show_progress",
]
