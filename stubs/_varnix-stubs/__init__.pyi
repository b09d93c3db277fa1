"""Random-variate generation from Python callables and data, with a C++ engine.

Build distributions and samplers from your own functions (a density, a distribution function,
quantile functions, coordinate samplers) or from data, then draw samples; an integer ``seed``
makes a batch reproducible bit for bit. ``import varnix`` gives the same objects.
"""
from array import array
from typing import Any, Callable, Sequence, SupportsFloat, SupportsIndex, TypeVar, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

__all__ = [
    "BuildError", "SampleError", "Interval", "Support", "BuildOptions", "ContinuousDistribution",
    "from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options",
    "from_histogram", "from_pdf_loc_scale", "truncated", "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator", "rejection_sampler",
    "metropolis_hastings", "hmc_sampler", "gibbs_sampler", "conditional_factorization_sampler",
    "gaussian_copula", "cdf_mc_estimator", "diagnostics", "sobol_points",
    "vectorized",
]

_Float = SupportsFloat | SupportsIndex
# A sequence of numbers: a list or tuple, or an array (numpy's, array.array).
_Floats = Sequence[_Float] | npt.NDArray[Any]
_Array = npt.NDArray[np.float64]
# numpy arrays are buffers to the interpreter, but not under the Buffer protocol of every type
# checker (numpy declares __buffer__ for Python 3.12 on).
_Out = TypeVar("_Out", bound=npt.NDArray[Any] | Buffer)
# A compiled function: a PyCapsule named by its signature, a scipy.LowLevelCallable, a ctypes
# or cffi function pointer, or an object whose `ctypes` attribute is one (a numba cfunc). The
# signatures a role takes are in each function's documentation and in the guide.
_Compiled = Any
_Density1 = Callable[[float], _Float] | vectorized | _Compiled
_DensityN = Callable[..., _Float] | vectorized | _Compiled

class BuildError(RuntimeError):
    """A distribution or sampler cannot be built from the given functions or data.

    The message says which check failed, for example "failed to normalize PDF on support".
    An exception raised inside a user function is not propagated: its value counts as NaN and
    the check that then fails decides the message.
    """

class SampleError(RuntimeError):
    """A draw or a query on a built distribution or sampler failed.

    For example "quantile u=1.5 not in (0, 1)", "failed to invert CDF" or
    "mcmc sampler not initialized (call init)".
    """

@final
class Interval:
    """A closed support interval [lo, hi] with finite bounds and lo < hi.

    Functions that receive an interval copy its value.
    """

    def __new__(cls, lo: _Float, hi: _Float) -> Interval:
        """Make the interval [lo, hi].

        Raises:
            BuildError: "non-finite value in support bounds" if a bound is infinite or NaN;
                "invalid support interval: lo must be strictly less than hi" if lo >= hi.
            TypeError: a bound does not convert to float.
        """
    @property
    def lo(self) -> float:
        """The lower bound."""
    @property
    def hi(self) -> float:
        """The upper bound."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the constructor and the two bounds."""

@final
class Support:
    """A support that may be unbounded: lo may be -inf and hi +inf, and lo < hi.

    Taken wherever an Interval is, by the interpolated engine (`BuildOptions.interpolated()`):
    it finds where the mass is, cuts the tails where each holds at most 1/100 of u_resolution
    (`ContinuousDistribution.cut()` reports where) and answers for the whole support. The other
    engines refuse an unbounded support.
    """

    def __new__(cls, lo: _Float, hi: _Float) -> Support:
        """Make the support [lo, hi], either end possibly infinite.

        Raises:
            BuildError: "non-finite value in support bounds" if a bound is NaN, lo is +inf or hi
                is -inf; "invalid support interval: lo must be strictly less than hi" if lo >= hi.
            TypeError: a bound does not convert to float.
        """
    @property
    def lo(self) -> float:
        """The lower bound, possibly -inf."""
    @property
    def hi(self) -> float:
        """The upper bound, possibly +inf."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the constructor and the two bounds."""

@final
class BuildOptions:
    """How a ContinuousDistribution is built: tolerances and an optional accelerator.

    Without an accelerator every quantile (and so every draw) is a numerical inversion of an
    integrated distribution function: exact but slow. A Hermite table makes a quantile a table
    lookup; transformed density rejection (TDR) makes a draw cost about one density call. The
    fields cannot be read back.
    """

    def __new__(
        cls,
        quad_tolerance: _Float | None = None,
        ppf_tolerance: _Float | None = None,
        max_iterations: SupportsIndex | None = None,
        use_newton: bool = True,
        hermite_grid_size: SupportsIndex | None = None,
        tdr_transform: str | None = None,
        tdr_construction_points: SupportsIndex | None = None,
        tdr_dpdf_rel_step: _Float | None = None,
    ) -> BuildOptions:
        """Options with every field given or defaulted; no number is range-checked.

        Args:
            quad_tolerance: absolute tolerance of every integral of the density (1e-10).
            ppf_tolerance: tolerance of quantile inversion and of the table nodes (1e-12).
            max_iterations: iteration cap of one inversion (128).
            use_newton: polish each bisection with Newton steps on the density (True).
            hermite_grid_size: build a Hermite quantile table with this many nodes (at least
                4); when given, the tdr_* options are ignored.
            tdr_transform: "log" or "inv_sqrt" (also "inv-sqrt", "invsqrt"; any letter case)
                to sample by transformed density rejection.
            tdr_construction_points: points of the TDR hat (30).
            tdr_dpdf_rel_step: relative step of the numerical derivative for TDR (1e-4).

        Raises:
            ValueError: an unknown TDR transform name (when no grid size is given).
        """
    @staticmethod
    def tdr(transform: str, construction_points: SupportsIndex | None = None) -> BuildOptions:
        """Default options that sample by transformed density rejection.

        Args:
            transform: "log" (a hat of tangents to the log density; for log-concave densities)
                or "inv_sqrt" (a constant hat at the density's estimated maximum).
            construction_points: points of the hat (30).

        Raises:
            ValueError: an unknown transform name.
        """
    @staticmethod
    def hermite(grid_size: SupportsIndex) -> BuildOptions:
        """Default options that build a Hermite quantile table of grid_size nodes (at least 4).

        The nodes are evenly spaced in probability: accurate in the body of the distribution,
        coarse in the far tails; a larger grid costs a longer build.
        """
    @staticmethod
    def interpolated(u_resolution: _Float = 1e-12, threads: SupportsIndex | None = 1) -> BuildOptions:
        """Options that interpolate the quantile function to a chosen accuracy in u.

        The recommended engine for a density. The density is integrated once with a robust
        panel integrator (which finds where the mass is, and fits integrable singularities at
        the ends), and the quantile function is interpolated on intervals placed adaptively so
        that the largest |F(ppf(u)) - u| over the whole of (0, 1), tails included, is at most
        u_resolution. Afterwards ppf, isf, cdf, sf, draws and the summaries call no user
        function (pdf calls the density); a draw uses one uniform. With a distribution
        function instead of a density the quantile function is interpolated from its values.
        The other fields keep their defaults and are not read.

        Args:
            u_resolution: the largest u-error allowed, from 1e-14 to 1e-5 (1e-12).
            threads: with a density that calls no Python (a compiled function), the build
                places its intervals on up to this many threads, with the same result for
                every count; None for the available processors (at most 8). The function must
                then be safe to call from several threads at once. A thread costs tens of
                microseconds to start: worth it for a density that takes a microsecond or more
                a call. A Python function is always called from one thread.

        Raises:
            ValueError: u_resolution outside [1e-14, 1e-5], or NaN; threads below 1 or above
                256.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the constructor and every option, written out."""

@final
class ContinuousDistribution:
    """A univariate continuous distribution on a finite interval.

    Built by from_pdf, from_pdf_with_options, from_pdf_dpdf, from_cdf, from_cdf_with_options,
    from_histogram, from_pdf_loc_scale or truncated; it has no constructor of its own. It is
    immutable and may be shared between threads. Queries that take a float never fail once the
    argument is converted: a user function that raises shows as NaN in their result.

    Built from a density with plain inversion, a Hermite table or TDR, it also holds a check
    model (the interpolated quantile function at u-resolution 1e-10, from extra density calls
    at build time): a probability, quantile or summary that disagrees with it by more than
    1e-6 (in u; relative for summaries, to the standard deviation for the mean) is replaced by
    the model's answer, computed without calling the density.

    pdf, cdf, sf, ppf, isf, logpdf, logcdf and logsf also take a float64 array of any shape
    (numpy's, array.array('d'), a memoryview) and return a new array of its shape holding the
    scalar results element by element; the first failing element raises. Where the scalar form
    returns None, pdf and logpdf return None for a distribution built from a cdf, and logpdf's
    array holds -inf for a zero density and NaN for a negative one.
    """

    def support(self) -> Interval | Support:
        """The support [lo, hi]: an Interval, or a Support when an end is infinite."""
    def sample(self) -> float:
        """One draw, from the calling thread's generator.

        Raises:
            SampleError: "failed to invert CDF" (the distribution function does not rise
                over the support, as when the user function fails), "tdr failed to draw a
                sample", or, for a uniform of exactly 0, "quantile u=0 not in (0, 1)".
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[float]:
        """A list of n draws.

        Args:
            n: the number of draws, a non-negative int.
            seed: an int from 0 to 2**64 - 1 gives a fresh stream for this call alone, the
                same on every run, machine and thread; None continues the calling thread's
                generator.

        Raises:
            SampleError: the first failing draw; no partial list is returned.
            OverflowError: n or seed negative or too large.
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None) -> _Out:
        """Fill out with draws and return it: the values sample_n(len(out), seed) gives.

        Args:
            out: a writable, C-contiguous, one-dimensional buffer of float64 (a numpy array,
                array.array('d'), a memoryview of a bytearray cast to 'd'); held, so not
                resizable, for the whole call.
            seed: as in sample_n.
            start: with a seed, the index of the first draw: draws start .. start + len(out) - 1
                of the seeded stream, so that any split of one seeded sample over calls,
                processes or machines gives the same values. Refused (ValueError) without a
                seed, and for transformed density rejection, whose draws take a variable
                number of words.
            threads: draws that call no Python function (a Hermite table, a histogram) run
                without the interpreter lock, split over this many threads for large fills
                (None: the available processors, at most 8); the values are the same for every
                count.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or not one-dimensional; start as above; threads
                not from 1 to 256. Nothing is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None) -> _Array:
        """n draws as a new numpy array of float64: sample_into(numpy.empty(n), ...).

        numpy is imported on the first call (ImportError without it).
        """
    def sample_qmc(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None, scramble: bool = True) -> _Array:
        """n quasi-random draws as a new numpy array of float64: draw k is ppf of the first
        coordinate of point start + k of a Sobol sequence (sobol_points(n, 1, ...)[:, 0]).

        The error of a mean over the draws shrinks almost as 1/n rather than 1/sqrt(n). The
        points are balanced in runs of a power of two aligned on a multiple of it: take n (and
        start) as powers of two or multiples of them; any n is allowed.

        Args:
            n: the number of draws, at most 2**32 - start.
            seed: the scrambling's seed (linear matrix scrambling and a digital shift from the
                seeded stream): the same draws on every run, machine and thread count. None
                scrambles from the calling thread's generator. Ignored when scramble is False.
            start: the index of the first point, so that any split of one sample over calls,
                processes or machines gives the same values; needs a seed when scrambled.
            threads: as in sample_array (the values are the same for every count).
            scramble: False for the plain sequence, whose first point is 0: only an
                interpolated quantile function takes ppf(0) (the support's lower end); the
                other engines refuse it as their ppf does (start at 1 instead).

        Raises:
            ValueError: for transformed density rejection, which has no quantile function;
                points past the sequence's 2**32; start without a seed when scrambled; threads
                not from 1 to 256. Nothing is drawn.
            SampleError: as ppf, for the first point whose quantile fails.
        """
    @overload
    def cdf(self, x: _Array) -> _Array:  # type: ignore[overload-overlap]
        """cdf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def cdf(self, x: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """cdf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def cdf(self, x: _Float) -> float:
        """The distribution function F(x).

        For a density this is an adaptive integral from lo (0 below lo, 1 above hi); for a
        distribution built from a cdf it is (F(x) - F(lo)) / (F(hi) - F(lo)), not clamped.
        With an interpolated quantile function (BuildOptions.interpolated) it is that
        function's inverse, accurate to its u_resolution and consistent with ppf.
        """
    @overload
    def cdf(self, x: Buffer) -> memoryview:
        """cdf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def pdf(self, x: _Array) -> _Array | None:  # type: ignore[overload-overlap]
        """pdf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def pdf(self, x: array[float]) -> array[float] | None:  # type: ignore[overload-overlap]
        """pdf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def pdf(self, x: _Float) -> float | None:
        """The normalised density at x, or None when the distribution was built from a cdf.

        For from_pdf this is the user function divided by its integral at every x, also
        outside the support.
        """
    @overload
    def pdf(self, x: Buffer) -> memoryview | None:
        """pdf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def ppf(self, u: _Array) -> _Array:  # type: ignore[overload-overlap]
        """ppf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def ppf(self, u: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """ppf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def ppf(self, u: _Float) -> float:
        """The quantile: the x with F(x) = u.

        Raises:
            SampleError: "quantile u=... not in (0, 1)" for u outside the open interval (NaN
                included; with an interpolated quantile function, outside [0, 1], where 0 and
                1 give the support's ends); "failed to invert CDF" when the distribution
                function does not rise over the support.
        """
    @overload
    def ppf(self, u: Buffer) -> memoryview:
        """ppf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def sf(self, x: _Array) -> _Array:  # type: ignore[overload-overlap]
        """sf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def sf(self, x: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """sf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def sf(self, x: _Float) -> float:
        """The survival function 1 - F(x), never below 0 (with an interpolated quantile
        function, from the masses summed from hi, without the loss of 1 - F)."""
    @overload
    def sf(self, x: Buffer) -> memoryview:
        """sf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def isf(self, q: _Array) -> _Array:  # type: ignore[overload-overlap]
        """isf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def isf(self, q: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """isf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def isf(self, q: _Float) -> float:
        """The inverse survival function: ppf(1 - q) (with an interpolated quantile function,
        the point with mass q above it, also for q too small for 1 - q to resolve).

        Raises:
            SampleError: as ppf, reporting u = 1 - q.
        """
    @overload
    def isf(self, q: Buffer) -> memoryview:
        """isf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def logpdf(self, x: _Array) -> _Array | None:  # type: ignore[overload-overlap]
        """logpdf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def logpdf(self, x: array[float]) -> array[float] | None:  # type: ignore[overload-overlap]
        """logpdf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def logpdf(self, x: _Float) -> float | None:
        """The natural logarithm of the density; None where the density is not positive or
        when the distribution was built from a cdf."""
    @overload
    def logpdf(self, x: Buffer) -> memoryview | None:
        """logpdf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def logcdf(self, x: _Array) -> _Array:  # type: ignore[overload-overlap]
        """logcdf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def logcdf(self, x: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """logcdf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def logcdf(self, x: _Float) -> float:
        """ln F(x), with F clamped to [0, 1]; -inf at and below lo."""
    @overload
    def logcdf(self, x: Buffer) -> memoryview:
        """logcdf of every element of another float64 buffer, as a memoryview of its shape."""
    @overload
    def logsf(self, x: _Array) -> _Array:  # type: ignore[overload-overlap]
        """logsf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def logsf(self, x: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """logsf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def logsf(self, x: _Float) -> float:
        """ln(1 - F(x)), with F clamped to [0, 1]; -inf at and above hi."""
    @overload
    def logsf(self, x: Buffer) -> memoryview:
        """logsf of every element of another float64 buffer, as a memoryview of its shape."""
    def mean(self) -> float:
        """The mean, by adaptive integration (tolerance 1e-10); with an interpolated quantile
        function, from its robust panel integral (relative accuracy about 1e-12).

        Raises:
            SampleError: "operation requires an underlying PDF" for a distribution built from
                a cdf; "numerical integration failed" when the integral is not finite; on an
                unbounded support, "the mean does not exist: the density's tail decays as
                |x|^-p, and a mean needs a faster decay than |x|^-2" (a Cauchy, say).
        """
    def var(self) -> float:
        """The variance, by adaptive integration; never negative.

        Raises:
            SampleError: as mean, with "the variance does not exist: ... a variance needs a
                faster decay than |x|^-3" where an unbounded tail has none (a t(2), say).
        """
    def std(self) -> float:
        """The standard deviation, the square root of var().

        Raises:
            SampleError: as mean.
        """
    def median(self) -> float:
        """The median, ppf(0.5).

        Raises:
            SampleError: "failed to invert CDF".
        """
    def entropy(self) -> float:
        """The differential entropy -integral of p ln p over the support. Built from a cdf with
        BuildOptions.interpolated(), p is the density of the interpolated quantile function
        x(u), 1 / x'(u), and the entropy the integral of ln x'(u) over (0, 1).

        Raises:
            SampleError: "numerical integration failed" when the integral is not finite;
                "entropy needs a density: ..." for a distribution built from a cdf without
                an interpolated quantile function.
        """
    def interval(self, confidence: _Float) -> tuple[float, float]:
        """The central interval holding the given probability: (ppf(a), ppf(1 - a)) with
        a = (1 - confidence) / 2.

        Raises:
            SampleError: "confidence ... must be in (0, 1)"; those of ppf.
        """
    def expect(self, func: _Density1) -> float:
        """The expectation of func(X), the integral of func(x) times the density.

        Args:
            func: called with one float, it returns a number; it is called at every point the
                integrator examines.

        Raises:
            SampleError: "operation requires an underlying PDF" for a distribution built from
                a cdf; "numerical integration failed" when the integral is not finite (also
                when func raises or returns a non-number).
        """
    def uses_hermite_table(self) -> bool:
        """Whether quantiles and draws use a Hermite table."""
    def uses_tdr(self) -> bool:
        """Whether draws use transformed density rejection."""
    def uses_interpolation(self) -> bool:
        """Whether quantiles, probabilities and draws use an interpolated quantile function
        (BuildOptions.interpolated)."""
    def u_error(self) -> float | None:
        """The largest u-error |F(ppf(u)) - u| of this distribution's quantiles, where something
        measured it; None for TDR (draws by rejection) and for plain inversion or a Hermite
        table built from a distribution function (no density, so no check model).

        Interpolated engine: as its build measured it between the nodes: at most the
        u_resolution asked for, unless the mass between an end of the interval and its
        neighbouring floating-point number is larger (a density with a pole at an end far from
        0): that mass is then the limit, and is reported.

        Hermite table: measured at build against the check model, without calling the density,
        at the midpoint of every segment between nodes and at 1%, 10%, 25%, 75%, 90% and 99% of
        the first and last segments. Its quantiles and draws are not replaced where they are
        off; above 1e-4 the build issues a RuntimeWarning.

        Plain inversion: the bound of the check model's guard, which replaces any quantile more
        than 1e-6 off in u by the model's: 1e-6 plus the model's own measured u-error.
        """
    def cut(self) -> tuple[float, float] | None:
        """The window (a, b) the interpolated engine cut from a wide or unbounded support, or
        None where nothing was cut (a finite support of sensible width, the other engines).

        Below a and above b each tail holds at most 1/100 of u_resolution: there cdf is 0 or 1
        and sf 1 or 0, ppf(0) and ppf(1) are the support's own ends, and no draw falls. pdf is
        the density everywhere on the support; mean and var add the tails beyond the window,
        continued as the power law the density follows at a and b.
        """
    def interval_count(self) -> int | None:
        """The number of intervals of the interpolated quantile function (its size); None for
        the other engines."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its function (None for a histogram), pickled by the pickler in use
        (the standard one saves module-level functions by name; cloudpickle also saves lambdas
        and closures; one that cannot be pickled raises that pickler's own error), and the saved
        state: the normalising constant, the Hermite table, TDR hat or interpolated quantile
        function and the check model, as built.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.
        """

def from_pdf(f: _Density1, interval: Interval | Support) -> ContinuousDistribution:
    """A distribution from a density, with default options (numerical inversion).

    Args:
        f: the density, called with one float; it need not be normalised. An exception it
            raises or a non-number it returns counts as NaN.
        interval: the support; f is normalised by its integral over it.

    Raises:
        BuildError: "failed to normalize PDF on support" when the integral is not finite and
            positive (a density that is 0 everywhere, or that fails somewhere).
    """
def from_pdf_with_options(f: _Density1, interval: Interval | Support, options: BuildOptions) -> ContinuousDistribution:
    """A distribution from a density, built with the given options.

    Args:
        f: the density, called with one float; it need not be normalised.
        interval: the support.
        options: tolerances and the accelerator (BuildOptions.hermite or BuildOptions.tdr).

    Raises:
        BuildError: "failed to normalize PDF on support"; "tdr failed to build hat function
            (try InvSqrt transform or explicit dpdf)" when a TDR hat cannot be built;
            "invalid support interval: an unbounded support needs the interpolated engine
            (BuildOptions.interpolated())" for a Support with an infinite end and other
            options; with the interpolated engine, "the mass of the density cannot be found
            near x=...: the density does not fall fast enough towards the unbounded end for its
            mass to be finite".
    """
def from_pdf_dpdf(f: _Density1, dpdf: _Density1, interval: Interval | Support, options: BuildOptions | None = None) -> ContinuousDistribution:
    """A distribution from a density and its derivative.

    The derivative is used only to build a TDR hat (options with a TDR transform) instead of a
    numerical derivative; otherwise this is from_pdf_with_options.

    Raises:
        BuildError: as from_pdf_with_options.
    """
def from_cdf(f: _Density1, interval: Interval | Support) -> ContinuousDistribution:
    """A distribution from a distribution function, with default options.

    F is rescaled to (F(x) - F(lo)) / (F(hi) - F(lo)); quantiles are found by bisection. There
    is no density: pdf and logpdf return None, and mean, var, std and expect raise SampleError.

    Raises:
        BuildError: "failed to normalize PDF on support" when F(hi) - F(lo) is not finite and
            positive.
    """
def from_cdf_with_options(f: _Density1, interval: Interval | Support, options: BuildOptions) -> ContinuousDistribution:
    """A distribution from a distribution function, built with the given options.

    A Hermite table (BuildOptions.hermite) makes quantiles and draws fast.

    Raises:
        BuildError: as from_cdf; "invalid support interval: TDR sampling requires a PDF (use
            from_pdf_fn, not from_cdf_fn)" for options with a TDR transform.
    """
def from_histogram(edges: _Floats, counts: _Floats, density: bool = False, options: BuildOptions | None = None) -> ContinuousDistribution:
    """A distribution whose density is constant on each bin of a histogram.

    Args:
        edges: n + 1 finite, strictly increasing bin edges; bins are [left, right), the last
            one closed.
        counts: n non-negative weights, one per bin.
        density: whether counts are already densities; both readings give the same
            distribution, which is normalised either way.
        options: tolerances and the accelerator, or None for the defaults.

    Raises:
        BuildError: "invalid histogram edges or counts"; "failed to normalize PDF on support"
            when every count is 0.
    """
def from_pdf_loc_scale(f: _Density1, interval: Interval | Support, loc: _Float, scale: _Float, options: BuildOptions | None = None) -> ContinuousDistribution:
    """The distribution of loc + scale * X, where X has density f on interval.

    Its density is f((x - loc) / scale) / scale on [loc + scale * lo, loc + scale * hi].

    Raises:
        BuildError: "scale must be finite and positive"; "non-finite value in support bounds";
            "failed to normalize PDF on support".
    """
def truncated(f: _Density1, interval: Interval | Support, trunc_interval: Interval | Support, options: BuildOptions | None = None) -> ContinuousDistribution:
    """The density f on interval, restricted to trunc_interval and renormalised.

    Raises:
        BuildError: "truncation interval must lie inside base support" (touching an end is
            allowed); "failed to normalize PDF on support" when f has no mass there.
    """

@final
class DiscreteDistribution:
    """A finite discrete distribution over given points with given masses.

    Built by from_pmf. Points keep the caller's order (they are not sorted and duplicates are
    not merged); "cumulative" means cumulative in that order. Immutable.

    pmf and ppf also take a float64 array of any shape and return a new array of its shape.
    """

    def len(self) -> int:
        """The number of points, zero-mass points and duplicates included."""
    def points(self) -> list[float]:
        """The points, in the order given."""
    @overload
    def pmf(self, x: _Array) -> _Array:  # type: ignore[overload-overlap]
        """pmf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def pmf(self, x: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """pmf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def pmf(self, x: _Float) -> float:
        """The mass of the first point within 1e-12 of x, or 0.0 if there is none."""
    @overload
    def pmf(self, x: Buffer) -> memoryview:
        """pmf of every element of another float64 buffer, as a memoryview of its shape."""
    def pmf_at(self, index: SupportsIndex) -> float:
        """The mass of the point at index (an index past the end is an internal fault)."""
    def cdf_at(self, index: SupportsIndex) -> float:
        """The cumulative mass of the points up to and including index."""
    @overload
    def ppf(self, u: _Array) -> _Array:  # type: ignore[overload-overlap]
        """ppf of every element of a numpy array of float64, as a new array of its shape."""
    @overload
    def ppf(self, u: array[float]) -> array[float]:  # type: ignore[overload-overlap]
        """ppf of every element of an array.array('d'), as a new array.array('d')."""
    @overload
    def ppf(self, u: _Float) -> float:
        """The quantile: the first point whose cumulative mass exceeds u (at a tie, the last
        point whose cumulative mass equals u).

        Raises:
            SampleError: "quantile u=... not in (0, 1)" for u outside the open interval.
        """
    @overload
    def ppf(self, u: Buffer) -> memoryview:
        """ppf of every element of another float64 buffer, as a memoryview of its shape."""
    def mean(self) -> float:
        """The mean."""
    def var(self) -> float:
        """The variance."""
    def std(self) -> float:
        """The standard deviation."""
    def sample(self) -> float:
        """One draw by inversion, from the calling thread's generator.

        Raises:
            SampleError: a uniform of exactly 0 ("quantile u=0 not in (0, 1)").
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[float]:
        """A list of n draws.

        Args:
            n: the number of draws, a non-negative int.
            seed: an int from 0 to 2**64 - 1 gives a fresh stream for this call alone, the
                same on every run; None continues the calling thread's generator.

        Raises:
            SampleError: as sample.
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None) -> _Out:
        """Fill out with draws and return it: the values sample_n(len(out), seed) gives.

        Args:
            out: a writable, C-contiguous, one-dimensional buffer of float64 (a numpy array,
                array.array('d'), a memoryview of a bytearray cast to 'd'); held, so not
                resizable, for the whole call.
            seed: as in sample_n.
            start: with a seed, the index of the first draw: draws start .. start + len(out) - 1
                of the seeded stream, so that any split of one seeded sample over calls,
                processes or machines gives the same values. Refused (ValueError) without a
                seed.
            threads: draws run without the interpreter lock, split over this many threads
                for large fills (None: the available processors, at most 8); the values are the
                same for every count.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or not one-dimensional; start as above; threads
                not from 1 to 256. Nothing is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None) -> _Array:
        """n draws as a new numpy array of float64: sample_into(numpy.empty(n), ...).

        numpy is imported on the first call (ImportError without it).
        """
    def sample_qmc(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None, scramble: bool = True) -> _Array:
        """n quasi-random draws as a new numpy array of float64: draw k is ppf of the first
        coordinate of point start + k of a Sobol sequence (sobol_points(n, 1, ...)[:, 0]).

        The error of a mean over the draws shrinks almost as 1/n rather than 1/sqrt(n). The
        points are balanced in runs of a power of two aligned on a multiple of it: take n (and
        start) as powers of two or multiples of them; any n is allowed.

        Args:
            n: the number of draws, at most 2**32 - start.
            seed: the scrambling's seed (linear matrix scrambling and a digital shift from the
                seeded stream): the same draws on every run, machine and thread count. None
                scrambles from the calling thread's generator. Ignored when scramble is False.
            start: the index of the first point, so that any split of one sample over calls,
                processes or machines gives the same values; needs a seed when scrambled.
            threads: as in sample_array (the values are the same for every count).
            scramble: False for the plain sequence, whose first point is 0, which ppf refuses
                (start at 1 instead).

        Raises:
            ValueError: points past the sequence's 2**32; start without a seed when scrambled;
                threads not from 1 to 256. Nothing is drawn.
            SampleError: as ppf, for the first point whose quantile fails.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the saved state (the points and the cumulative table as built).

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.
        """

def from_pmf(points: _Floats, pmf: _Floats) -> DiscreteDistribution:
    """A discrete distribution with masses pmf (normalised here) at points.

    Raises:
        BuildError: "discrete distribution has no support points" (an empty list);
            "invalid support interval: points and pmf must have the same length";
            "probability mass must be positive" (a mass negative, infinite or NaN; 0 is
            allowed); "failed to normalize PDF on support" (every mass 0).
    """

@final
class HyperRect:
    """An axis-aligned box: the support of the multivariate samplers."""

    def __new__(cls, lo: _Floats, hi: _Floats) -> HyperRect:
        """The box with lower corner lo and upper corner hi.

        Raises:
            BuildError: "invalid support interval: " followed by "hyper-rect cannot be
                empty", "hyper-rect lo/hi must have same dimension" or "each lo must be < hi";
                "non-finite value in hyper-rect bounds".
        """
    def dim(self) -> int:
        """The dimension d."""
    def lo(self) -> list[float]:
        """The lower bounds."""
    def hi(self) -> list[float]:
        """The upper bounds."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the constructor and the two corners."""

@final
class RejectionSampler:
    """Plain rejection sampling in a box under a constant envelope. Built by rejection_sampler."""

    def dim(self) -> int:
        """The dimension d."""
    def pdf_max(self) -> float:
        """The envelope constant."""
    def sample(self) -> list[float]:
        """One accepted point, from the calling thread's generator.

        Raises:
            SampleError: "rejection sampler failed to accept" after max_trials rejections.
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[list[float]]:
        """A list of n accepted points; seed as in ContinuousDistribution.sample_n.

        Raises:
            SampleError: as sample.
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Out:
        """Fill out with the points sample_n(n, seed) gives, row by row, and return it.

        Args:
            out: a writable, C-contiguous buffer of float64 of shape (n, d), or flat with
                n * d entries.
            seed: as in sample_n.
            start: only 0: a point takes a variable number of words (proposals are drawn until
                one is accepted).

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or has another shape; start is not 0. Nothing
                is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Array:
        """The points of sample_n(n, seed) as a new numpy array of shape (n, d).

        numpy is imported on the first call (ImportError without it).
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its density, pickled by the pickler in use (the standard one saves
        module-level functions by name; cloudpickle also saves lambdas and closures; one that
        cannot be pickled raises that pickler's own error), and the saved state: the box,
        pdf_max and max_trials.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.
        """

@final
class MetropolisHastings:
    """An adaptive random-walk Metropolis chain in a box. Built by metropolis_hastings.

    The chain (its point, step size and counters) persists between calls; call init() first.
    Only the thread that created the sampler may use it.
    """

    def init(self, seed: SupportsIndex | None = None, *, point: _Floats | None = None) -> None:
        """Start the chain at a uniform point of the box with a positive, finite density.

        The start is drawn from the calling thread's generator, or, with ``seed``, from a fresh
        seeded stream, so that ``init(seed=s)`` followed by seeded ``sample_n`` calls gives the
        same chain on every run. Re-initialising zeroes the counters but keeps the adapted step
        size.

        With ``point``, the chain starts there instead (the only start on the whole space,
        support=None, whose dimension the first point fixes); the point must be inside the box
        and have a finite log density, and ``seed`` is then not used.

        Raises:
            SampleError: "mcmc sampler failed" when 100000 tries found no usable point.
            ValueError: a point of the wrong dimension, not finite, outside the box or with a
                log density that is not finite; no point on the whole space.
        """
    def step(self) -> list[float]:
        """Run one transition and return the current point.

        Raises:
            SampleError: "mcmc sampler not initialized (call init)".
        """
    def sample(self) -> list[float]:
        """Run one transition and return the current point (the same as step()).

        Raises:
            SampleError: "mcmc sampler not initialized (call init)".
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[list[float]]:
        """Run burn_in transitions, then return n points, each after thin transitions.

        Args:
            n: the number of points.
            seed: an int gives a fresh stream for this call; the output is reproducible only
                from the same chain state. None continues the calling thread's generator.

        Raises:
            SampleError: "mcmc sampler not initialized (call init)".
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Out:
        """Fill out with the points sample_n(n, seed) gives, row by row, and return it.

        Args:
            out: a writable, C-contiguous buffer of float64 of shape (n, d), or flat with
                n * d entries.
            seed: as in sample_n.
            start: only 0: a chain's points follow from the points before them.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or has another shape; start is not 0. Nothing
                is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Array:
        """The points of sample_n(n, seed) as a new numpy array of shape (n, d).

        numpy is imported on the first call (ImportError without it).
        """
    def sample_chains(self, n: SupportsIndex, chains: SupportsIndex = 4, seed: SupportsIndex | None = None, warmup: SupportsIndex | None = None, *, inits: Sequence[_Floats] | None = None) -> _Array:
        """Run several independent chains and return their points, for vx.diagnostics.

        Each chain is a copy of this sampler (which itself does not move), started on its own
        stream derived from ``seed`` (chain c's words never meet another chain's), at a uniform
        point of the box or at its point of ``inits``; it then makes ``warmup`` transitions and
        returns n points, each after the sampler's thinning. The same seed gives the same
        array, bit for bit, whatever the number of chains after c or the threads used. On the
        whole space without inits, every chain starts at this chain's current point.

        Args:
            n: points per chain.
            chains: the number of chains, 1 to 65536.
            seed: an int for a reproducible run; None draws the streams' key from the calling
                thread's generator.
            warmup: transitions after each start before the first point; None: burn_in.
            inits: one start point per chain.

        Returns:
            A float64 numpy array of shape (chains, n, d).

        Raises:
            ValueError: chains out of range, inits of the wrong length or dimension, a start
                point refused as in init(point=...), no start point on the whole space.
            SampleError: "mcmc sampler failed" when a chain found no uniform start.
        """
    def accept_rate(self) -> float:
        """Accepted proposals divided by transitions since init() (0.0 before any)."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its density, pickled by the pickler in use (the standard one saves
        module-level functions by name; cloudpickle also saves lambdas and closures; one that
        cannot be pickled raises that pickler's own error), and the saved state: the settings
        and the whole chain: the current point, the adapted step size and the counters. A state
        saved before log_density existed reads as a density.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.

        A run checkpointed this way and resumed with the same seeds gives exactly the values of
        the run left uninterrupted. The copy belongs to the thread that unpickles it.
        """

@final
class HmcSampler:
    """A Hamiltonian Monte Carlo chain in a box or on the whole space.

    Built by hmc_sampler. The chain persists between calls; call init() first. Only the thread
    that created the sampler may use it.
    """

    def init(self, seed: SupportsIndex | None = None, *, point: _Floats | None = None) -> None:
        """Start the chain at a uniform point of the box with a positive, finite density.

        The start is drawn from the calling thread's generator, or, with ``seed``, from a fresh
        seeded stream (the same start on every run). Re-initialising zeroes the counters and
        restarts the step-size adaptation from the step size reached.

        With ``point``, the chain starts there instead (the only start on the whole space,
        support=None, whose dimension the first point fixes); the point must be inside the box
        and have a finite log density, and ``seed`` is then not used.

        Raises:
            SampleError: "mcmc sampler failed" when 100000 tries found no usable point.
            ValueError: a point of the wrong dimension, not finite, outside the box or with a
                log density that is not finite; no point on the whole space.
        """
    def sample(self) -> list[float]:
        """Run one trajectory and return the current point.

        Raises:
            SampleError: "mcmc sampler not initialized (call init)".
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[list[float]]:
        """Run n trajectories and return the point after each (no burn-in, no thinning).

        seed: an int gives a fresh stream for this call; the output is reproducible only from
        the same chain state. None continues the calling thread's generator.

        Raises:
            SampleError: "mcmc sampler not initialized (call init)".
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Out:
        """Fill out with the points sample_n(n, seed) gives, row by row, and return it.

        Args:
            out: a writable, C-contiguous buffer of float64 of shape (n, d), or flat with
                n * d entries.
            seed: as in sample_n.
            start: only 0: a chain's points follow from the points before them.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or has another shape; start is not 0. Nothing
                is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Array:
        """The points of sample_n(n, seed) as a new numpy array of shape (n, d).

        numpy is imported on the first call (ImportError without it).
        """
    def sample_chains(self, n: SupportsIndex, chains: SupportsIndex = 4, seed: SupportsIndex | None = None, warmup: SupportsIndex | None = None, *, inits: Sequence[_Floats] | None = None) -> _Array:
        """Run several independent chains and return their points, for vx.diagnostics.

        Each chain is a copy of this sampler (which itself does not move), started on its own
        stream derived from ``seed`` (chain c's words never meet another chain's), at a uniform
        point of the box or at its point of ``inits``; it then makes ``warmup`` transitions and
        returns n points, each after the sampler's thinning. The same seed gives the same
        array, bit for bit, whatever the number of chains after c or the threads used. On the
        whole space without inits, every chain starts at this chain's current point.

        Args:
            n: points per chain.
            chains: the number of chains, 1 to 65536.
            seed: an int for a reproducible run; None draws the streams' key from the calling
                thread's generator.
            warmup: transitions after each start before the first point; None: adapt_steps.
            inits: one start point per chain.

        Returns:
            A float64 numpy array of shape (chains, n, d).

        Raises:
            ValueError: chains out of range, inits of the wrong length or dimension, a start
                point refused as in init(point=...), no start point on the whole space.
            SampleError: "mcmc sampler failed" when a chain found no uniform start.
        """
    def accept_rate(self) -> float:
        """Accepted trajectories divided by transitions since init() (0.0 before any)."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its density, pickled by the pickler in use (the standard one saves
        module-level functions by name; cloudpickle also saves lambdas and closures; one that
        cannot be pickled raises that pickler's own error), and the saved state: the settings
        and the chain: its current point, step size, counters and adaptation state; with a
        gradient function, that function too. A state saved before jitter existed reads back
        with the fixed trajectory (jitter=0.0) it was made with.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.

        A run checkpointed this way and resumed with the same seeds gives exactly the values of
        the run left uninterrupted. The copy belongs to the thread that unpickles it.
        """

@final
class GibbsSampler:
    """Systematic-scan Gibbs sweeps driven by a user coordinate sampler. Built by gibbs_sampler.

    The state persists between calls. Only the thread that created the sampler may use it.
    """

    def sample(self) -> list[float]:
        """Run sweeps_per_sample sweeps and return the state."""
    def step(self) -> list[float]:
        """Run sweeps_per_sample sweeps and return the state (the same as sample())."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its coordinate sampler, pickled by the pickler in use (the
        standard one saves module-level functions by name; cloudpickle also saves lambdas and
        closures; one that cannot be pickled raises that pickler's own error), and the saved
        state: the current state and sweeps_per_sample.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.

        The copy belongs to the thread that unpickles it.
        """

@final
class ConditionalFactorizationSampler:
    """Points drawn coordinate by coordinate from a user conditional sampler.

    Built by conditional_factorization_sampler; all randomness comes from the user function.
    """

    def sample(self) -> list[float]:
        """One point of dim coordinates.

        Raises:
            SampleError: "mcmc sampler failed" when dim is 0.
        """
    def sample_n(self, n: SupportsIndex, seed: SupportsIndex | None = None) -> list[list[float]]:
        """A list of n points; seed is checked but has no effect (the user function draws).

        Raises:
            SampleError: as sample, when n >= 1.
        """
    def sample_into(self, out: _Out, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Out:
        """Fill out with the points sample_n(n, seed) gives, row by row, and return it.

        Args:
            out: a writable, C-contiguous buffer of float64 of shape (n, d), or flat with
                n * d entries.
            seed: checked, without effect, as in sample_n.
            start: only 0: the points come from the user function, not from a generator.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or has another shape; start is not 0. Nothing
                is drawn.
            SampleError: as sample_n (out then holds unspecified values).
        """
    def sample_array(self, n: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Array:
        """The points of sample_n(n, seed) as a new numpy array of shape (n, d).

        numpy is imported on the first call (ImportError without it).
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its conditional sampler, pickled by the pickler in use (the
        standard one saves module-level functions by name; cloudpickle also saves lambdas and
        closures; one that cannot be pickled raises that pickler's own error), and the saved
        state: the dimension.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.
        """

@final
class GaussianCopula:
    """Vectors with Gaussian dependence and given marginals. Built by gaussian_copula."""

    def dim(self) -> int:
        """The dimension, the size of the correlation matrix."""
    def sample(self, ppfs: Sequence[_Density1], seed: SupportsIndex | None = None) -> list[float]:
        """One vector: correlated normals mapped to uniforms, then through ppfs.

        Args:
            ppfs: one quantile function per coordinate, each called once with a u in
                [1e-12, 1 - 1e-12].
            seed: an int gives a fresh stream for this call alone (so the same vector every
                time); None continues the calling thread's generator.

        Raises:
            SampleError: "mcmc sampler failed" when len(ppfs) differs from dim(); "failed to
                invert CDF" when a quantile function raises or returns a non-number.
        """
    def sample_into(self, out: _Out, ppfs: Sequence[_Density1], seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Out:
        """Fill out with n vectors, row by row, and return it: n calls of sample(ppfs) on one
        generator, so that with a seed the first row is sample(ppfs, seed).

        Args:
            out: a writable, C-contiguous buffer of float64 of shape (n, d), or flat with
                n * d entries.
            ppfs: as in sample.
            seed: as in sample.
            start: with a seed, the index of the first vector in the seeded stream (each takes
                2 * d words): any split of one seeded sample gives the same values.

        Raises:
            TypeError: out is not a writable buffer of float64.
            ValueError: out is not C-contiguous or has another shape; start without a seed.
                Nothing is drawn.
            SampleError: as sample.
        """
    def sample_array(self, n: SupportsIndex, ppfs: Sequence[_Density1], seed: SupportsIndex | None = None, start: SupportsIndex = 0) -> _Array:
        """n vectors as a new numpy array of shape (n, d), as sample_into fills them.

        numpy is imported on the first call (ImportError without it).
        """
    def sample_qmc(self, n: SupportsIndex, ppfs: Sequence[_Density1], seed: SupportsIndex | None = None, start: SupportsIndex = 0, scramble: bool = True) -> _Array:
        """n quasi-random vectors as a new numpy array of shape (n, d): row k from point
        start + k of a d-dimensional Sobol sequence, each coordinate's standard normal quantile
        (the uniform floored at 2**-53) taking the place of sample's normals.

        seed, start and scramble as in ContinuousDistribution.sample_qmc; d at most 1111.

        Raises:
            ValueError: d above 1111; points past the sequence's 2**32; start without a seed
                when scrambled. Nothing is drawn.
            SampleError: as sample.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: the saved state (the Cholesky factor as computed).

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.
        """

@final
class CdfMcEstimator:
    """Monte Carlo estimates of the normalising constant and the distribution function of a
    density in a box. Built by cdf_mc_estimator.

    The normalising constant is cached. Only the thread that created the estimator may use it.
    """

    def estimate_normalization(self, seed: SupportsIndex | None = None) -> float:
        """A fresh estimate of the integral of f over the box; it replaces the cached one.

        Raises:
            SampleError: "numerical integration failed" when the estimate is not finite and
                positive.
        """
    def cdf(self, x: _Floats, seed: SupportsIndex | None = None) -> float:
        """The estimate of P(X <= x), coordinate by coordinate, in [0, 1].

        The cached normalising constant is used; without one, it is estimated first from the
        same generator and cached. So on a fresh estimator a seeded call spends part of its
        stream on that estimate, and repeating it can give a different value.

        Raises:
            SampleError: "numerical integration failed" when len(x) is not the dimension or
                the normalising constant cannot be estimated.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickling and copying: its density, pickled by the pickler in use (the standard one saves
        module-level functions by name; cloudpickle also saves lambdas and closures; one that
        cannot be pickled raises that pickler's own error), and the saved state: the box, the
        sample counts and the cached normalising constant.

        Unpickling builds nothing again and calls no user function: the copy gives the same
        results, bit for bit. A saved state that was altered is refused with ValueError.

        The copy belongs to the thread that unpickles it.
        """

def rejection_sampler(f: _DensityN, support: HyperRect, pdf_max: _Float, max_trials: SupportsIndex = 100000) -> RejectionSampler:
    """A rejection sampler for the unnormalised density f in a box.

    A uniform proposal x is accepted with probability f(x) / pdf_max. A proposal where f(x)
    exceeds pdf_max ends the call with a SampleError naming the value and the point: the bound
    is too small, and accepting would skew the draws.

    Args:
        f: the density, called with the point as d floats (or, if that fails, as one list).
        support: the box.
        pdf_max: an upper bound of f.
        max_trials: proposals one draw may make.

    Raises:
        BuildError: "pdf_max must be finite and positive"; the HyperRect messages.
    """
def metropolis_hastings(f: _DensityN, support: HyperRect | None, step_size: _Float = 0.25, burn_in: SupportsIndex = 1000, thin: SupportsIndex = 1, target_accept: _Float = 0.25, adapt_steps: SupportsIndex = 2000, *, log_density: bool = False) -> MetropolisHastings:
    """A random-walk Metropolis chain for the unnormalised density f in a box or on all of R^d.

    Proposals move every coordinate by a normal step and are reflected at the box; the step
    size adapts towards target_accept during the first adapt_steps transitions after init(),
    within [1e-4, 10].

    Args:
        f: the density, called with the point as d floats (or one list); with
            log_density=True its logarithm (-inf outside the support; +inf and NaN reject).
        support: the box, or None for the whole of R^d (start with init(point=...)).
        step_size: the initial proposal scale.
        burn_in: transitions discarded at the start of every sample_n call.
        thin: transitions per returned point in sample_n.
        target_accept: the acceptance rate the adaptation aims at.
        adapt_steps: transitions during which the step size adapts (0: never).
        log_density: f gives the logarithm of the density: the chain never exponentiates, so
            log densities of -1e4 and below are sampled as well as any.

    Raises:
        BuildError: step_size not finite and positive, target_accept outside (0, 1), naming
            the setting and the value given.
    """
def hmc_sampler(f: _DensityN, support: HyperRect | None, step_size: _Float = 0.05, leapfrog_steps: SupportsIndex = 20, grad_eps: _Float = 1e-6, *, log_density: bool = False, grad: Callable[..., Sequence[_Float]] | _Compiled | bool | None = None, jitter: _Float = 1.0, adapt_steps: SupportsIndex = 0, target_accept: _Float = 0.8) -> HmcSampler:
    """A Hamiltonian Monte Carlo chain for the unnormalised density f in a box or on all of R^d.

    Each trajectory draws fresh momenta and makes leapfrog steps along the gradient of ln f. By
    default the number of steps is drawn for each trajectory uniformly from the integers in
    [(1 - jitter) L, (1 + jitter) L] (at least 1), so that no scale of the target can make a
    fixed trajectory length a half period, where a fixed trajectory would flip between two
    points; jitter=0.0 gives the fixed trajectory of L steps, bit for bit. A trajectory meeting
    a wall of the box bounces off it: the position is mirrored and that momentum component
    reversed.

    Without grad, the gradient is estimated by central differences: each transition calls f
    2 * d * (L + 1) + 1 times. With a gradient function, L + 1 calls of it and one of f; with
    grad=True, L + 1 calls of f. A gradient that is not d finite numbers (or raises) rejects
    the trajectory, like a NaN log density.

    Args:
        f: the density, called with the point as d floats (or one list); with
            log_density=True its logarithm (-inf outside the support; +inf and NaN reject);
            with grad=True a function returning (log density, gradient).
        support: the box, or None for the whole of R^d (start with init(point=...)).
        step_size: the leapfrog step.
        leapfrog_steps: position updates per trajectory (L), before jitter.
        grad_eps: the finite-difference step.
        log_density: f gives the logarithm of the density.
        grad: None (finite differences), a function giving the gradient of ln f at the point
            (d numbers; called like f) or a compiled one, double (int n, double *x,
            double *grad) writing the n components, or True: f gives the log density and its
            gradient.
        jitter: from 0 to 1, how far the number of steps varies around L.
        adapt_steps: transitions after init() during which the step size adapts by dual
            averaging towards target_accept (0: never); the last leaves the averaged step.
        target_accept: the mean acceptance probability the adaptation aims at.

    Raises:
        BuildError: step_size or grad_eps not finite and positive, leapfrog_steps 0, jitter
            outside [0, 1], target_accept outside (0, 1), naming the setting and the value.
        ValueError: grad=True without log_density=True.
        TypeError: grad neither a callable, True nor None.
    """
def gibbs_sampler(sample_coord: Callable[[int, list[float]], _Float], support: HyperRect, init: _Floats, sweeps_per_sample: SupportsIndex = 1) -> GibbsSampler:
    """A Gibbs sampler: each sweep sets coordinate i to sample_coord(i, x) for i = 0 .. d-1.

    Args:
        sample_coord: draws coordinate i given the current point x (a list); a failure writes
            NaN into the state.
        support: only its dimension is used.
        init: the starting point, d numbers.
        sweeps_per_sample: sweeps per call of sample() or step().

    Raises:
        SampleError: "mcmc sampler failed" when len(init) differs from support.dim().
    """
def conditional_factorization_sampler(sample_i: Callable[[int, list[float]], _Float], dim: SupportsIndex) -> ConditionalFactorizationSampler:
    """A sampler of p(x0) p(x1 | x0) p(x2 | x0, x1) ...: coordinate i is sample_i(i, prefix),
    where prefix lists the coordinates drawn before it; a failure gives NaN."""
def gaussian_copula(corr: Sequence[_Floats] | npt.NDArray[Any]) -> GaussianCopula:
    """A Gaussian copula with the given correlation matrix.

    Only the lower triangle and the diagonal are read; the diagonal is not rescaled, so give
    a correlation matrix (unit diagonal).

    Raises:
        ValueError: "InvalidCorrelation" when the matrix is empty, not square or not positive
            definite.
    """
def cdf_mc_estimator(f: _DensityN, support: HyperRect, normalization_samples: SupportsIndex = 50000, cdf_samples: SupportsIndex = 50000) -> CdfMcEstimator:
    """A Monte Carlo estimator for the unnormalised density f in a box.

    Args:
        f: the density, called with the point as d floats (or one list).
        support: the box.
        normalization_samples: uniform points per normalising-constant estimate.
        cdf_samples: uniform points per cdf() call.

    Raises:
        BuildError: the HyperRect messages.
    """
def diagnostics(draws: npt.NDArray[np.float64] | Buffer) -> dict[str, tuple[float, ...]]:
    """Convergence diagnostics of Markov chains, one value per coordinate.

    The draws are a float64 buffer of shape (chains, draws, coordinates), or (chains, draws)
    for one coordinate. The result has the keys "rhat" (rank-normalised split R-hat, the larger
    of its bulk and tail values), "ess_bulk" and "ess_tail" (effective sample sizes of the
    rank-normalised split chains and of the 5% and 95% quantile indicators) and "mcse_mean"
    (Monte Carlo standard error of the mean), each a tuple with one float per coordinate. A
    constant coordinate has R-hat NaN and both sizes equal to the number of split draws.

    Raises:
        TypeError: when draws is not a buffer of float64.
        ValueError: for a shape other than 2 or 3 dimensions, fewer than 2 chains or fewer
            than 4 draws per chain, or a NaN among the draws.
    """

def sobol_points(n: SupportsIndex, dim: SupportsIndex, seed: SupportsIndex | None = None, start: SupportsIndex = 0, threads: SupportsIndex | None = None, scramble: bool = True) -> _Array:
    """Points start .. start + n - 1 of the Sobol sequence in dim dimensions (Joe-Kuo direction
    numbers, Gray-code order), as a new numpy array of shape (n, dim) in [0, 1): the uniforms
    every sample_qmc maps. Plain points are scipy.stats.qmc.Sobol(dim, scramble=False)'s, bit
    for bit; scrambled ones (linear matrix scrambling and a digital shift, from the seed's
    stream) are uniform on the cube, with 53 random bits each, and keep the balance of the
    plain sequence. seed, start, threads and scramble as in ContinuousDistribution.sample_qmc.

    Raises:
        ValueError: dim not from 1 to 1111; points past the sequence's 2**32; start without a
            seed when scrambled; threads not from 1 to 256.
    """

@final
class vectorized:
    """Marks f as a function of many points at once.

    f takes a float64 numpy array of points, shape (m,) where the library passes one number and
    (m, d) where it passes d coordinates, and returns a float64 array of m values. Where an
    algorithm has independent points to evaluate (the interpolated engine's build, array
    queries of the density, rejection's proposals, the Monte Carlo estimator's points, HMC's
    finite differences, the copula's quantiles), it passes them in one call; elsewhere one
    point at a time, as an array of one. The results are those of calling f point by point
    whenever f is elementwise. A call that raises or returns anything else fails at every point
    it was given, as a failing Python function does. numpy is needed only when such a function
    is called. Calling the marker calls f; it pickles as vectorized(f).
    """

    def __new__(cls, f: Callable[..., Any]) -> vectorized:
        """Raises:
            TypeError: f is not callable.
        """
    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        """Calls the wrapped function."""
    @property
    def function(self) -> Callable[..., Any]:
        """The wrapped function."""
