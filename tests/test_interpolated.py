"""The interpolated-inversion engine measured against exact distributions (scipy.stats, cut to
the interval analytically, or on their whole support): the u-error over the whole of (0, 1),
the distribution function, the summaries, seeded samples, scale invariance, every constructor,
and the refusals."""
import math

import pytest

import _varnix as v

np = pytest.importorskip("numpy")
stats = pytest.importorskip("scipy.stats")
special = pytest.importorskip("scipy.special")

I = v.Interval


class Shape:
    """A density (unnormalised, as a user would write it), its interval, the exact scipy
    distribution it is a cut of, and the exact mean, variance and entropy of the cut."""

    def __init__(self, name, f, lo, hi, ref, mean, var, entropy=None):
        self.name, self.f, self.lo, self.hi, self.ref = name, f, lo, hi, ref
        self.mean, self.var, self.entropy = mean, var, entropy
        self.cdf_lo = ref.cdf(lo)
        self.sf_hi = ref.sf(hi)
        self.mass = ref.cdf(hi) - self.cdf_lo if self.cdf_lo < 0.5 else ref.sf(lo) - self.sf_hi

    def cdf(self, x):
        return (self.ref.cdf(x) - self.cdf_lo) / self.mass

    def sf(self, x):
        return (self.ref.sf(x) - self.sf_hi) / self.mass

    def pdf(self, x):
        return self.ref.pdf(x) / self.mass

    def __repr__(self):
        return self.name


class Mixture:
    """A weighted sum of scipy distributions, 0.3 N(-2, 0.5) + 0.7 N(1.5, 1) unless given:
    scipy has no mixture, so its functions are formed here."""

    def __init__(self, parts=((0.3, stats.norm(-2.0, 0.5)), (0.7, stats.norm(1.5, 1.0)))):
        self.parts = parts

    def cdf(self, x):
        return sum(w * p.cdf(x) for w, p in self.parts)

    def sf(self, x):
        return sum(w * p.sf(x) for w, p in self.parts)

    def pdf(self, x):
        return sum(w * p.pdf(x) for w, p in self.parts)


class Arcsine:
    """beta(0.5, 0.5) in closed form: scipy's beta.sf loses digits near 0 (5e-12 at 1e-9)."""

    def cdf(self, x):
        return 2.0 / np.pi * np.arcsin(np.sqrt(x))

    def sf(self, x):
        # 1 - x is exact above 1/2, where the complement would lose the digits
        return np.where(x >= 0.5, self.cdf(1.0 - x), 1.0 - self.cdf(x))

    def pdf(self, x):
        with np.errstate(divide="ignore"):  # infinite at the ends
            return 1.0 / (np.pi * np.sqrt(x * (1.0 - x)))

    def ppf(self, u):
        return np.sin(0.5 * np.pi * u) ** 2


def mixture_density(x):
    return (0.3 * math.exp(-0.5 * ((x + 2.0) / 0.5) ** 2) / 0.5
            + 0.7 * math.exp(-0.5 * (x - 1.5) ** 2))


def triangular(x):
    return (x - 2.0) / 1.2 if x <= 3.2 else (6.0 - x) / 2.8


def gamma_half(x):
    return x ** -0.5 * math.exp(-x)  # raises at 0: an integrable pole at the end


def lognormal_moments(h):
    """Mean and variance of the standard lognormal cut to (0, h]: E[X^k; X < h] is
    exp(k^2 / 2) Phi(ln h - k)."""
    z = special.ndtr(math.log(h))
    m1 = math.exp(0.5) * special.ndtr(math.log(h) - 1.0) / z
    m2 = math.exp(2.0) * special.ndtr(math.log(h) - 2.0) / z
    return m1, m2 - m1 * m1


def t3_variance(h):
    """Variance of Student's t(3) cut to [-h, h]: with x = sqrt(3) tan(t) the mass is
    (2 / pi)(T + sin T cos T) and the second moment (6 / pi)(T - sin T cos T), T = atan(h/sqrt 3)."""
    t = math.atan(h / math.sqrt(3.0))
    sc = math.sin(t) * math.cos(t)
    return 3.0 * (t - sc) / (t + sc)


_tn = stats.truncnorm(-5.0, 5.0)
_beta25, _beta55 = stats.beta(2.0, 5.0), stats.beta(0.5, 0.5)
_tri = stats.triang(0.3, loc=2.0, scale=4.0)
_ln = lognormal_moments(579.0)
# Where no cut is written, the interval holds all but less than 1e-18 of the mass.
SHAPES = [
    Shape("normal-tight", lambda x: math.exp(-0.5 * x * x), -5.0, 5.0, stats.norm(),
          0.0, _tn.var(), _tn.entropy()),
    Shape("normal-generous", lambda x: math.exp(-0.5 * x * x), -40.0, 40.0, stats.norm(),
          0.0, 1.0, 0.5 * math.log(2 * math.pi * math.e)),
    Shape("narrow-normal-off-centre", lambda x: math.exp(-0.5 * ((x - 7.0) / 0.3) ** 2),
          0.0, 40.0, stats.norm(7.0, 0.3), 7.0, 0.09),
    Shape("narrow-normal-wide", lambda x: math.exp(-0.5 * (x / 0.1) ** 2), -20.0, 20.0,
          stats.norm(0.0, 0.1), 0.0, 0.01),
    Shape("gamma2", lambda x: x * math.exp(-x), 0.0, 60.0, stats.gamma(2.0),
          2.0, 2.0, float(stats.gamma(2.0).entropy())),
    Shape("gamma0.5", gamma_half, 0.0, 40.0, stats.gamma(0.5), 0.5, 0.5),
    Shape("beta(2,5)", lambda x: x * (1.0 - x) ** 4, 0.0, 1.0, _beta25,
          _beta25.mean(), _beta25.var(), float(_beta25.entropy())),
    Shape("beta(0.5,0.5)", lambda x: (x * (1.0 - x)) ** -0.5, 0.0, 1.0, Arcsine(),
          _beta55.mean(), _beta55.var()),
    Shape("lognormal", lambda x: math.exp(-0.5 * math.log(x) ** 2) / x, 0.0, 579.0,
          stats.lognorm(1.0), *_ln),
    Shape("t3-wide", lambda x: (1.0 + x * x / 3.0) ** -2, -2804.0, 2804.0, stats.t(3.0),
          0.0, t3_variance(2804.0)),
    Shape("mixture", mixture_density, -12.0, 12.0, Mixture(), 0.45, 3.55 - 0.45 ** 2),
    Shape("exponential", lambda x: math.exp(-x), 0.0, 50.0, stats.expon(), 1.0, 1.0, 1.0),
    Shape("triangular", triangular, 2.0, 6.0, _tri, _tri.mean(), _tri.var(),
          float(_tri.entropy())),
]

def _power(x, p):
    return x ** p if x > 0.0 else 0.0


_inf = math.inf
_wb, _gb = stats.weibull_min(0.7), stats.gumbel_r()
# Whole supports, unbounded on one side or both, and finite ones too wide for an even grid;
# a moment given as None does not exist.
SHAPES += [
    Shape("normal-line", lambda x: math.exp(-0.5 * x * x), -_inf, _inf, stats.norm(),
          0.0, 1.0, 0.5 * math.log(2 * math.pi * math.e)),
    Shape("t3-line", lambda x: (1.0 + x * x / 3.0) ** -2, -_inf, _inf, stats.t(3.0), 0.0, 3.0),
    Shape("cauchy-line", lambda x: 1.0 / (1.0 + x * x), -_inf, _inf, stats.cauchy(), None, None),
    Shape("t2-line", lambda x: (1.0 + x * x / 2.0) ** -1.5, -_inf, _inf, stats.t(2.0), 0.0, None),
    Shape("pareto1.3-half", lambda x: x ** -2.3, 1.0, _inf, stats.pareto(1.3), 1.3 / 0.3, None),
    Shape("lognormal-half", lambda x: math.exp(-0.5 * math.log(x) ** 2) / x if x > 0 else 0.0,
          0.0, _inf, stats.lognorm(1.0), math.exp(0.5), (math.e - 1.0) * math.e),
    Shape("gamma0.5-half", gamma_half, 0.0, _inf, stats.gamma(0.5), 0.5, 0.5),
    Shape("weibull0.7-half", lambda x: _power(x, -0.3) * math.exp(-_power(x, 0.7)), 0.0, _inf,
          _wb, _wb.mean(), _wb.var()),
    Shape("gumbel-line", lambda x: math.exp(-(x + math.exp(-x))), -_inf, _inf, _gb,
          _gb.mean(), _gb.var(), float(_gb.entropy())),
    Shape("far-mixture-line",
          lambda x: math.exp(-0.5 * x * x) + math.exp(-0.5 * (x - 40.0) ** 2), -_inf, _inf,
          Mixture(((0.5, stats.norm(0.0, 1.0)), (0.5, stats.norm(40.0, 1.0)))), 20.0, 401.0),
    # Written as a user would: exp and cosh overflow far out (a NaN), where the tails are long
    # negligible.
    Shape("logistic-line", lambda x: math.exp(-x) / (1.0 + math.exp(-x)) ** 2, -_inf, _inf,
          stats.logistic(), 0.0, math.pi ** 2 / 3.0, 2.0),
    Shape("sech-line", lambda x: 1.0 / math.cosh(x), -_inf, _inf, stats.hypsecant(), 0.0,
          math.pi ** 2 / 4.0),
    Shape("normal-1e20", lambda x: math.exp(-0.5 * x * x), -1e20, 1e20, stats.norm(), 0.0, 1.0),
    Shape("normal-1e100", lambda x: math.exp(-0.5 * x * x), -1e100, 1e100, stats.norm(),
          0.0, 1.0),
    Shape("normal-1e300", lambda x: math.exp(-0.5 * x * x), -1e300, 1e300, stats.norm(),
          0.0, 1.0),
]
BY_NAME = {s.name: s for s in SHAPES}

# u on a grid dense in both tails (log-spaced down to 1e-10) and in the body.
_tail = np.logspace(-10, math.log10(0.05), 120)
U_GRID = np.unique(np.concatenate([_tail, np.linspace(0.05, 0.95, 181), 1.0 - _tail]))
# Masses above a point, for isf, down to where 1 - q no longer resolves.
Q_GRID = np.logspace(-15, math.log10(0.5), 60)


def support(lo, hi):
    return I(lo, hi) if math.isfinite(lo) and math.isfinite(hi) else v.Support(lo, hi)


def build(shape, resolution=1e-12, scale=1.0):
    f = shape.f if scale == 1.0 else (lambda x: scale * shape.f(x))
    return v.from_pdf_with_options(f, support(shape.lo, shape.hi),
                                   v.BuildOptions.interpolated(u_resolution=resolution))


def _floor(shape, xs):
    """What no double can resolve: the density times the spacing of the doubles at x."""
    return shape.pdf(xs) * np.spacing(np.where(xs != 0.0, np.abs(xs), 1e-300))


def u_errors(shape, d):
    """max |F(Q(u)) - u| over U_GRID, read on the survival side above 1/2 so that the upper
    tail is not lost to rounding, and max |S(isf(q)) - q| over Q_GRID, each less _floor."""
    xs = np.array([d.ppf(float(u)) for u in U_GRID])
    lower = U_GRID <= 0.5
    err = np.where(lower, np.abs(shape.cdf(xs) - U_GRID), np.abs(shape.sf(xs) - (1.0 - U_GRID)))
    qx = np.array([d.isf(float(q)) for q in Q_GRID])
    err_q = np.abs(shape.sf(qx) - Q_GRID)
    return max(float(np.max(err - _floor(shape, xs))), float(np.max(err_q - _floor(shape, qx))))


@pytest.fixture(scope="module", params=SHAPES, ids=repr)
def built(request):
    shape = request.param
    return shape, build(shape)


def _end_steps(shape):
    """The mass between each end and its neighbouring double: below it no quantile in double
    precision is closer (6.7e-9 at the pole of beta(0.5, 0.5) at 1; negligible elsewhere)."""
    return max(float(shape.cdf(np.nextafter(shape.lo, shape.hi))),
               float(shape.sf(np.nextafter(shape.hi, shape.lo))))


def test_the_u_error_is_within_the_resolution_and_reported(built):
    shape, d = built
    reported = d.u_error()
    assert 0.0 < reported <= max(1e-12, 1.01 * _end_steps(shape))
    assert d.interval_count() > 0
    assert d.uses_interpolation() and not d.uses_hermite_table() and not d.uses_tdr()
    measured = u_errors(shape, d)
    assert measured <= 1e-12, shape
    assert measured <= reported  # the build's own estimate is not optimistic


@pytest.mark.parametrize("resolution", [1e-14, 1e-10, 1e-5])
@pytest.mark.parametrize("name", ["normal-tight", "gamma0.5", "t3-wide", "mixture"])
def test_every_resolution_is_met(name, resolution):
    shape = BY_NAME[name]
    d = build(shape, resolution)
    assert d.u_error() <= max(resolution, 1.01 * _end_steps(shape))
    assert u_errors(shape, d) <= resolution, (shape, resolution)


def test_a_coarser_resolution_needs_fewer_intervals():
    shape = BY_NAME["normal-tight"]
    counts = [build(shape, r).interval_count() for r in (1e-14, 1e-12, 1e-10, 1e-8, 1e-5)]
    assert counts == sorted(counts, reverse=True) and counts[0] > 4 * counts[-1]


def test_the_distribution_function_agrees_with_the_exact_one(built):
    shape, d = built
    us = (1e-9, 1e-4, 0.1, 0.5, 0.9, 1 - 1e-4)
    xs = [float(shape.ref.ppf(u)) for u in us] if not isinstance(shape.ref, Mixture) else \
        [-4.1, -2.0, 0.0, 1.5, 3.0, 5.2]
    for x in xs:
        if not (shape.lo < x < shape.hi):
            continue
        c, s = float(shape.cdf(x)), float(shape.sf(x))
        assert abs(d.cdf(x) - c) <= 1e-12 and abs(d.sf(x) - s) <= 1e-12, (shape, x)
        assert abs(math.exp(d.logcdf(x)) - c) <= 1e-12 and abs(math.exp(d.logsf(x)) - s) <= 1e-12
        # the table's cdf and ppf are one function and its inverse
        assert abs(d.cdf(d.ppf(d.cdf(x))) - d.cdf(x)) <= 1e-13
        assert d.pdf(x) == pytest.approx(float(shape.pdf(x)), rel=1e-9)
    assert d.cdf(shape.lo) == 0.0 and d.cdf(shape.hi) == 1.0
    assert d.sf(shape.lo) == 1.0 and d.sf(shape.hi) == 0.0
    assert d.cdf(shape.lo - 1.0) == 0.0 and d.sf(shape.hi + 1.0) == 0.0


def test_summaries_agree_with_the_exact_moments(built):
    shape, d = built
    if shape.mean is None:
        with pytest.raises(v.SampleError, match=r"the mean does not exist: .*\|x\|\^-2"):
            d.mean()
    if shape.var is None:
        for query in (d.var, d.std):
            with pytest.raises(v.SampleError, match=r"the variance does not exist: .*\|x\|\^-3"):
                query()
        if shape.mean is not None:
            assert d.mean() == pytest.approx(shape.mean, rel=1e-10, abs=1e-10), shape
            assert d.expect(lambda x: x) == pytest.approx(shape.mean, rel=1e-9, abs=1e-10)
        return
    sd = math.sqrt(shape.var)
    assert abs(d.mean() - shape.mean) <= 1e-10 * max(abs(shape.mean), sd), shape
    assert d.var() == pytest.approx(shape.var, rel=1e-10), shape
    assert d.std() == pytest.approx(sd, rel=1e-10), shape
    assert abs(shape.cdf(d.median()) - 0.5) <= 1e-12
    lo, hi = d.interval(0.9)
    assert abs(shape.cdf(lo) - 0.05) <= 1e-12 and abs(shape.sf(hi) - 0.05) <= 1e-12
    if shape.entropy is not None:
        assert d.entropy() == pytest.approx(shape.entropy, rel=1e-10, abs=1e-12), shape
    m2 = shape.var + shape.mean ** 2
    assert d.expect(lambda x: x * x) == pytest.approx(m2, rel=1e-10), shape


def test_a_failing_expect_function_is_an_integration_failure():
    d = build(BY_NAME["normal-tight"])
    with pytest.raises(v.SampleError, match="numerical integration failed"):
        d.expect(lambda x: 1.0 / 0.0)


def test_seeded_samples_follow_the_exact_distribution(built):
    shape, d = built
    xs = np.asarray(d.sample_n(20000, seed=11))
    assert d.sample_n(20000, seed=11) == list(xs)  # reproducible
    assert np.all((xs >= shape.lo) & (xs <= shape.hi))
    assert stats.kstest(xs, shape.cdf).pvalue > 1e-4, shape
    # the tail below the 1e-3 quantile holds its share (binomial: 20 expected)
    assert 4 <= int(np.sum(xs < d.ppf(1e-3))) <= 45


def test_each_draw_is_the_quantile_of_one_uniform():
    # Draws of a uniform density are the stream's uniforms themselves (to the resolution):
    # the normal's draws from the same seed are its quantiles of those, draw for draw.
    opts = v.BuildOptions.interpolated()
    uniform = v.from_pdf_with_options(lambda x: 1.0, I(0.0, 1.0), opts)
    normal = build(BY_NAME["normal-tight"])
    us = uniform.sample_n(2000, seed=5)
    xs = normal.sample_n(2000, seed=5)
    assert len(set(us)) == 2000
    for u, x in zip(us, xs):
        assert abs(normal.cdf(x) - u) <= 2e-12
    # split into consecutive runs, a batch gives the same draws
    assert normal.sample_n(3, seed=5) == xs[:3]


@pytest.mark.parametrize("scale", [2.0 ** -40, 1e-12, 1e9])
@pytest.mark.parametrize("name", ["normal-tight", "gamma2", "gamma0.5", "t3-wide", "mixture"])
def test_the_density_scale_changes_nothing(name, scale):
    shape = BY_NAME[name]
    calls = {"base": 0, "scaled": 0}

    def counting(key, factor):
        def f(x):
            calls[key] += 1
            return factor * shape.f(x)
        return f

    opts = v.BuildOptions.interpolated(u_resolution=1e-12)
    base = v.from_pdf_with_options(counting("base", 1.0), I(shape.lo, shape.hi), opts)
    scaled = v.from_pdf_with_options(counting("scaled", scale), I(shape.lo, shape.hi), opts)
    assert calls["base"] == calls["scaled"]
    assert scaled.interval_count() == base.interval_count()
    us = np.array([1e-10, 1e-5, 0.3, 0.5, 0.77, 1 - 1e-7])
    xb = np.array([base.ppf(float(u)) for u in us])
    xs = np.array([scaled.ppf(float(u)) for u in us])
    if scale == 2.0 ** -40:
        # A power of two changes no digit of any value: the same build, bit for bit.
        assert list(xs) == list(xb)
    else:
        # The same intervals; their masses differ only by rounding.
        assert np.all(np.abs(shape.cdf(xs) - shape.cdf(xb)) <= 1e-14), (xs, xb)
    assert scaled.pdf(1.0) == pytest.approx(base.pdf(1.0), rel=1e-13)


@pytest.mark.parametrize("resolution", [0.0, 0.9e-14, 2e-5, 1.0, -1e-12, math.nan, math.inf])
def test_a_resolution_outside_the_supported_range_is_refused(resolution):
    with pytest.raises(ValueError, match="u_resolution .* is outside"):
        v.BuildOptions.interpolated(u_resolution=resolution)


def test_the_default_resolution_is_1e_12():
    d = v.from_pdf_with_options(lambda x: math.exp(-x), I(0.0, 30.0), v.BuildOptions.interpolated())
    assert 0.0 < d.u_error() <= 1e-12


def _raise_above_half(x):
    if x > 0.5:
        raise ValueError("broken")
    return 1.0


@pytest.mark.parametrize("f, lo, hi, text", [
    (lambda x: x, -1.0, 2.0, r"density is negative at x=-\S+ \(value -"),
    (lambda x: 0.0, 0.0, 1.0, r"density is zero at all \d+ points examined in \[0, 1\]"),
    (_raise_above_half, 0.0, 1.0, r"density is not finite at x=0\.\d+ \(value NaN\)"),
    (lambda x: math.inf if x > 0.5 else 1.0, 0.0, 1.0,
     r"density is not finite at x=0\.\d+ \(value inf\)"),
    (lambda x: math.nan, 0.0, 1.0, r"density is not finite at x=\S+ \(value NaN\)"),
    (lambda x: 1.0 / x, 0.0, 1.0, r"mass of the density cannot be found near x=0: .*integrable"),
])
def test_a_density_that_cannot_be_a_density_is_refused_with_what_and_where(f, lo, hi, text):
    with pytest.raises(v.BuildError, match=text):
        v.from_pdf_with_options(f, I(lo, hi), v.BuildOptions.interpolated())


@pytest.mark.parametrize("f, text", [
    (lambda x: math.nan if 0.3 < x < 0.4 else x, r"distribution function is not finite at x=0\.3"),
    (lambda x: x if x < 0.5 else x - 0.25, r"distribution function decreases at x=0\.5"),
])
def test_a_distribution_function_that_cannot_be_one_is_refused(f, text):
    with pytest.raises(v.BuildError, match=text):
        v.from_cdf_with_options(f, I(0.0, 1.0), v.BuildOptions.interpolated())


_normal = lambda x: math.exp(-0.5 * x * x)  # noqa: E731


@pytest.mark.parametrize("make, ref", [
    (lambda o: v.from_pdf_dpdf(_normal, lambda x: 0.0, I(-5, 5), o), stats.truncnorm(-5, 5)),
    (lambda o: v.from_cdf_with_options(stats.norm.cdf, I(-5, 5), o), stats.truncnorm(-5, 5)),
    (lambda o: v.truncated(_normal, I(-8, 8), I(-5, 1), o), stats.truncnorm(-5, 1)),
    (lambda o: v.from_pdf_loc_scale(_normal, I(-5, 5), 2.0, 3.0, o),
     stats.truncnorm(-5, 5, loc=2.0, scale=3.0)),
], ids=["dpdf", "cdf", "truncated", "loc_scale"])
def test_every_constructor_with_options_accepts_the_engine(make, ref):
    d = make(v.BuildOptions.interpolated(u_resolution=1e-12))
    assert d.uses_interpolation()
    s = d.support()
    for u in (1e-9, 1e-4, 0.25, 0.5, 0.9, 1 - 1e-6):
        x = d.ppf(u)
        assert s.lo <= x <= s.hi
        assert abs(d.cdf(x) - u) <= 1e-13
        assert abs(ref.cdf(x) - u) <= 1e-12
    assert 0.0 < d.u_error() <= 1e-12


@pytest.mark.parametrize("name", ["gamma2", "normal-tight", "normal-generous", "beta(2,5)",
                                  "exponential", "triangular"])
def test_a_distribution_function_is_inverted_to_the_resolution(name):
    # The quantiles of a cdf-defined engine against the exact ones; the entropy from the
    # interpolated quantile function's own density; no other summaries but the quantile-based
    # ones.
    shape = BY_NAME[name]
    d = v.from_cdf_with_options(lambda x: float(shape.cdf(x)), I(shape.lo, shape.hi),
                                v.BuildOptions.interpolated())
    for u in U_GRID[::7]:
        x = d.ppf(float(u))
        err = abs(shape.cdf(x) - u) if u <= 0.5 else abs(shape.sf(x) - (1.0 - u))
        assert err <= 1e-12 + float(_floor(shape, np.array(x))), (shape, u)
    assert d.pdf(1.0) is None
    assert abs(d.entropy() - shape.entropy) <= 1e-8, shape
    with pytest.raises(v.SampleError, match="requires an underlying PDF"):
        d.mean()
    assert abs(shape.cdf(d.median()) - 0.5) <= 1e-12


@pytest.mark.parametrize("make, entropy", [
    (lambda o: v.from_cdf_with_options(lambda x: x, I(0.0, 1.0), o), 0.0),
    (lambda o: v.from_cdf_with_options(lambda x: x, I(0.0, 2.0), o), math.log(2.0)),
    (lambda o: v.from_cdf_with_options(lambda x: x ** 3, I(0.0, 1.0), o),
     2.0 / 3.0 - math.log(3.0)),  # density 3x^2: -E[ln 3 + 2 ln X], E[ln X] = -1/3
    (lambda o: v.from_cdf_with_options(lambda x: x if x < 1.0 else (1.0 if x < 2.0 else x - 1.0),
                                       I(0.0, 3.0), o), math.log(2.0)),  # a gap of no mass
    (lambda o: v.from_cdf_with_options(lambda x: x * x, I(0.0, 1.0), v.BuildOptions.hermite(16)),
     None),
], ids=["uniform", "uniform-2", "power", "gap", "hermite"])
def test_the_entropy_of_a_distribution_function_is_its_densitys_or_refused(make, entropy):
    d = make(v.BuildOptions.interpolated())
    if entropy is None:
        with pytest.raises(v.SampleError, match=r"entropy needs a density: build from the "
                                                r"distribution function with "
                                                r"BuildOptions.interpolated\(\)"):
            d.entropy()
    else:
        assert abs(d.entropy() - entropy) <= 1e-8


def test_the_quantile_function_takes_the_closed_unit_interval():
    # ppf(0) and ppf(1) (isf(1) and isf(0)) are the support's ends, as a plain Sobol point 0
    # needs; the specified engines keep refusing them.
    d = v.from_pdf_with_options(lambda x: math.exp(-x), I(0.0, 30.0), v.BuildOptions.interpolated())
    assert (d.ppf(0.0), d.ppf(1.0), d.isf(0.0), d.isf(1.0)) == (0.0, 30.0, 30.0, 0.0)
    assert list(d.ppf(np.array([0.0, 1.0]))) == [0.0, 30.0]
    for u in (-1e-300, 1.0 + 2e-16, math.nan):
        with pytest.raises(v.SampleError, match="not in"):
            d.ppf(u)
    plain = v.from_pdf(lambda x: math.exp(-x), I(0.0, 30.0))
    for u in (0.0, 1.0):
        with pytest.raises(v.SampleError, match=r"quantile u=[01] not in \(0, 1\)"):
            plain.ppf(u)


def test_truncation_and_loc_scale_give_the_exact_distributions():
    base = lambda x: math.exp(-0.5 * x * x)  # noqa: E731
    opts = v.BuildOptions.interpolated()
    t = v.truncated(base, I(-8.0, 8.0), I(1.0, 3.0), opts)
    ref = stats.truncnorm(1.0, 3.0)
    for x in (1.1, 1.5, 2.9):
        assert abs(t.cdf(x) - ref.cdf(x)) <= 1e-12
        assert t.pdf(x) == pytest.approx(ref.pdf(x), rel=1e-10)
    assert t.mean() == pytest.approx(ref.mean(), rel=1e-10)
    ls = v.from_pdf_loc_scale(base, I(-5.0, 5.0), 2.0, 3.0, opts)
    ref = stats.truncnorm(-5.0, 5.0, loc=2.0, scale=3.0)
    assert ls.support().lo == -13.0 and ls.support().hi == 17.0
    for u in (1e-8, 0.3, 0.99):
        assert abs(ref.cdf(ls.ppf(u)) - u) <= 1e-12
    assert ls.var() == pytest.approx(ref.var(), rel=1e-10)
    assert ls.pdf(2.0) == pytest.approx(ref.pdf(2.0), rel=1e-10)


def test_histogram_quantiles_are_exact_to_the_resolution():
    d = v.from_histogram([0.0, 1.0, 2.0, 2.5, 4.0], [1.0, 3.0, 0.0, 2.0],
                         options=v.BuildOptions.interpolated())
    assert d.uses_interpolation()
    # masses 1/6, 1/2, 0, 1/3 over bins of widths 1, 1, 0.5, 1.5: a piecewise linear cdf
    for u, x in [(1 / 12, 0.5), (1 / 6 + 1 / 4, 1.5), (1 - 1 / 6, 3.25)]:
        assert d.ppf(u) == pytest.approx(x, abs=1e-11)
        assert d.cdf(x) == pytest.approx(u, abs=1e-12)
    assert d.cdf(2.25) == pytest.approx(4 / 6, abs=1e-12)  # the empty bin
    assert d.mean() == pytest.approx((0.5 * 1 + 1.5 * 3 + 3.25 * 2) / 6, rel=1e-12)
    draws = d.sample_n(1000, seed=2)
    assert not any(2.0 < x < 2.5 for x in draws)


def test_the_other_engines_report_no_diagnostics():
    f = lambda x: math.exp(-0.5 * x * x)  # noqa: E731
    for opts in (v.BuildOptions(), v.BuildOptions.hermite(16), v.BuildOptions.tdr("log")):
        d = v.from_pdf_with_options(f, I(-5.0, 5.0), opts)
        assert d.interval_count() is None
        assert not d.uses_interpolation()


_line = (-math.inf, math.inf)


@pytest.mark.parametrize("make, error, text", [
    (lambda: v.Support(math.nan, 1.0), v.BuildError, "non-finite value in support bounds"),
    (lambda: v.Support(math.inf, math.inf), v.BuildError, "non-finite value in support bounds"),
    (lambda: v.Support(1.0, 1.0), v.BuildError, "lo must be strictly less than hi"),
    (lambda: v.Interval(*_line), v.BuildError, "non-finite value in support bounds"),
    (lambda: v.from_pdf(_normal, v.Support(*_line)), v.BuildError,
     r"unbounded support needs the interpolated engine \(BuildOptions.interpolated\(\)\)"),
    (lambda: v.from_pdf_with_options(_normal, v.Support(0.0, math.inf), v.BuildOptions.hermite(64)),
     v.BuildError, "unbounded support needs the interpolated engine"),
    (lambda: v.from_pdf_with_options(_normal, v.Support(*_line), v.BuildOptions.tdr("log")),
     v.BuildError, "unbounded support needs the interpolated engine"),
    (lambda: v.from_cdf(stats.norm.cdf, v.Support(*_line)), v.BuildError,
     "unbounded support needs the interpolated engine"),
    (lambda: v.truncated(_normal, v.Support(*_line), v.Support(0.0, math.inf)), v.BuildError,
     "unbounded support needs the interpolated engine"),
    (lambda: v.from_pdf_with_options(lambda x: 1.0, v.Support(0.0, math.inf),
                                     v.BuildOptions.interpolated()), v.BuildError,
     r"near x=8\.98846567431158e\+307: the density does not fall fast enough"),
    (lambda: v.from_pdf_with_options(lambda x: 1.0 / x, v.Support(1.0, math.inf),
                                     v.BuildOptions.interpolated()), v.BuildError,
     "the density does not fall fast enough towards the unbounded end"),
    (lambda: v.from_pdf_with_options(lambda x: 0.0, v.Support(*_line),
                                     v.BuildOptions.interpolated()), v.BuildError,
     r"density is zero at all \d+ points examined in \[-inf, inf\]"),
    (lambda: v.from_pdf_with_options(lambda x: math.exp(-x) if x < 50 else math.nan,
                                     v.Support(0.0, math.inf), v.BuildOptions.interpolated()),
     v.BuildError, r"density is not finite at x=64 \(value NaN\)"),
    (lambda: v.from_pdf_with_options(lambda x: math.exp(-0.5 * (x - 1e6) ** 2),
                                     v.Support(0.0, math.inf), v.BuildOptions.interpolated()),
     v.BuildError, r"density is not finite at x=1\.3407807929942597e\+154 \(value NaN\)"),
], ids=["nan-end", "inf-lo", "empty", "interval-stays-finite", "plain-inversion", "hermite",
        "tdr", "cdf-bisection", "truncated-plain", "constant-half-line", "1/x-half-line",
        "zero-everywhere", "nan-where-the-tail-still-counts", "overflow-before-any-mass"])
def test_unbounded_supports_are_refused_where_nothing_can_answer_for_them(make, error, text):
    with pytest.raises(error, match=text):
        make()


@pytest.mark.parametrize("make, ref", [
    (lambda o: v.from_cdf_with_options(stats.norm.cdf, v.Support(*_line), o), stats.norm()),
    (lambda o: v.from_cdf_with_options(lambda x: 1.0 / (1.0 + math.exp(-x)), v.Support(*_line), o),
     stats.logistic()),  # math.exp overflows at -inf: the limit 0 stands in
    (lambda o: v.truncated(_normal, v.Support(*_line), v.Support(1.0, math.inf), o),
     stats.truncnorm(1.0, math.inf)),
    (lambda o: v.from_pdf_loc_scale(_normal, v.Support(*_line), 2.0, 3.0, o),
     stats.norm(2.0, 3.0)),
    # found only from the image of the base's 0: no rung from 0 comes within 300 sd
    (lambda o: v.from_pdf_loc_scale(_normal, v.Support(*_line), 1e5, 100.0, o),
     stats.norm(1e5, 100.0)),
], ids=["cdf", "cdf-overflowing", "truncated", "loc_scale", "loc_scale-far"])
def test_every_constructor_takes_an_unbounded_support(make, ref):
    d = make(v.BuildOptions.interpolated())
    s = d.support()
    assert isinstance(s, v.Support) and (d.ppf(0.0), d.ppf(1.0)) == (s.lo, s.hi)
    a, b = d.cut()  # a finite end is kept, an infinite one cut
    assert (a == s.lo if math.isfinite(s.lo) else a > s.lo) and b < s.hi
    for u in (1e-15, 1e-9, 0.25, 0.5, 0.9):
        assert abs(ref.cdf(d.ppf(u)) - u) <= 1.2e-12
    assert abs(ref.sf(d.isf(1e-15)) - 1e-15) <= 1.2e-12


@pytest.mark.parametrize("f, tight", [
    (lambda x: math.exp(-0.5 * x * x), (-8.5, 8.5)),
    (lambda x: (1.0 + x * x / 3.0) ** -2, (-2e5, 2e5)),
    (lambda x: math.exp(-0.5 * math.log(x) ** 2) / x if x > 0 else 0.0, (0.0, 3e3)),
])
def test_an_unbounded_support_costs_little_more_than_a_tight_interval(f, tight):
    def calls(interval):
        n = [0]

        def counted(x):
            n[0] += 1
            return f(x)
        v.from_pdf_with_options(counted, interval, v.BuildOptions.interpolated())
        return n[0]
    lo = tight[0] if tight[0] == 0.0 else -math.inf
    assert calls(v.Support(lo, math.inf)) <= 1.5 * calls(I(*tight))


@pytest.mark.parametrize("name", ["normal-line", "cauchy-line", "pareto1.3-half",
                                  "gamma0.5-half", "far-mixture-line", "normal-1e300"])
def test_a_million_draws_on_a_whole_support_are_uniform_in_u_for_every_seed(name):
    # Ten seeds of 10**6 draws each: a p-value below 1e-5 anywhere fails (false alarm < 1e-3
    # per shape).
    shape = BY_NAME[name]
    d = build(shape)
    pvalues = [stats.kstest(d.sample_array(10**6, seed=seed), shape.cdf).pvalue
               for seed in range(10)]
    assert min(pvalues) > 1e-5, (shape, pvalues)


def test_a_peak_finer_than_the_doubles_where_it_lies_warns():
    # At 3e12 neighbouring doubles are 4.9e-4 apart, half the scale: one step holds a fifth of
    # the mass, and no quantile can be closer than that.
    opts = v.BuildOptions.interpolated()
    with pytest.warns(RuntimeWarning, match=r"measured u-error is 0\.\d+ \(above 0\.0001\)"):
        d = v.from_pdf_loc_scale(_normal, v.Support(*_line), -3e12, 1e-3, opts)
    assert d.u_error() > 0.1
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        v.from_pdf_loc_scale(_normal, v.Support(*_line), -3e12, 10.0, opts)


@pytest.mark.parametrize("make", [
    lambda o: v.from_pdf_with_options(lambda x: gamma_half(x - 3.0), v.Interval(3.0, 53.0), o),
    lambda o: v.from_pdf_loc_scale(gamma_half, v.Interval(0.0, 50.0), 3.0, 1.0, o),
], ids=["density at 3", "shifted to 3"])
def test_a_singular_end_away_from_zero_builds_to_what_the_doubles_allow(make):
    # Next to 3 one step between doubles holds 2.4e-8 of a gamma(1/2)'s mass: no quantile can
    # be closer than that there. The build reports it as its u-error and meets the resolution
    # wherever a step holds less.
    d = make(v.BuildOptions.interpolated())
    ref = stats.gamma(0.5, loc=3.0)
    step = ref.cdf(math.nextafter(3.0, 4.0))
    assert step <= d.u_error() <= 2.0 * step
    body = np.linspace(0.01, 0.99, 99)
    assert max(abs(ref.cdf(d.ppf(u)) - u) for u in body) <= 1e-12
