"""The module's surface, argument binding and conversion rules, shared by every class."""
import subprocess
import sys

import pytest

import _varnix as v

EXPECTED_ALL = [
    "BuildError", "SampleError", "Interval", "Support", "BuildOptions", "ContinuousDistribution",
    "from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options",
    "from_histogram", "from_pdf_loc_scale", "truncated", "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator", "rejection_sampler",
    "metropolis_hastings", "hmc_sampler", "gibbs_sampler", "conditional_factorization_sampler",
    "gaussian_copula", "cdf_mc_estimator", "diagnostics", "sobol_points",
    "vectorized",
]

CLASSES = [n for n in EXPECTED_ALL if n[0].isupper() and not n.endswith("Error")]


def test_all_lists_the_names_in_registration_order():
    assert v.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert getattr(v, name) is not None


def test_exception_types_are_runtime_errors_with_their_own_names():
    for attr, name in [("BuildError", "BuildErrorPy"), ("SampleError", "SampleErrorPy")]:
        exc = getattr(v, attr)
        assert issubclass(exc, RuntimeError)
        assert exc.__name__ == name and exc.__module__ == "_varnix"


def test_module_has_an_empty_docstring():
    assert v.__doc__ == ""


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed_and_have_no_dict(name):
    cls = getattr(v, name)
    assert cls.__module__ == "_varnix"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", [n for n in CLASSES if n not in
                                  ("Interval", "Support", "BuildOptions", "HyperRect")])
def test_classes_without_constructor_refuse_to_be_called(name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        getattr(v, name)()


@pytest.mark.parametrize("obj, signature", [
    (lambda: v.Interval, "(lo, hi)"),
    (lambda: v.BuildOptions.tdr, "(transform, construction_points=None)"),
    (lambda: v.BuildOptions.hermite, "(grid_size)"),
    (lambda: v.from_pdf, "(f, interval)"),
    (lambda: v.from_histogram, "(edges, counts, density=False, options=None)"),
    (lambda: v.ContinuousDistribution.sample_n, "($self, n, seed=None)"),
    (lambda: v.ContinuousDistribution.support, "($self)"),
    (lambda: v.metropolis_hastings,
     "(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, adapt_steps=2000, "
     "*, log_density=False)"),
    (lambda: v.GaussianCopula.sample, "($self, ppfs, seed=None)"),
])
def test_text_signatures_are_exposed_like_builtins(obj, signature):
    target = obj()
    assert target.__text_signature__ == signature
    assert not target.__doc__


def test_build_options_signature_lists_every_keyword():
    assert v.BuildOptions.__text_signature__ == (
        "(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, use_newton=True, "
        "hermite_grid_size=None, tdr_transform=None, tdr_construction_points=None, "
        "tdr_dpdf_rel_step=None)")


@pytest.mark.parametrize("call, message", [
    (lambda: v.from_pdf(abs), "from_pdf() missing 1 required positional argument: 'interval'"),
    (lambda: v.from_pdf(), "from_pdf() missing 2 required positional arguments: 'f' and 'interval'"),
    (lambda: v.Interval(0.0, 1.0, 2.0),
     "Interval.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: v.BuildOptions.tdr("log", 3, 4),
     "BuildOptions.tdr() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: v.Interval(0.0, hi=1.0, top=2.0),
     "Interval.__new__() got an unexpected keyword argument 'top'"),
    (lambda: v.Interval(0.0, lo=1.0),
     "Interval.__new__() got multiple values for argument 'lo'"),
    (lambda: v.from_pmf(points=[1.0]),
     "from_pmf() missing 1 required positional argument: 'pmf'"),
])
def test_binding_errors_name_the_function_and_parameters(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_bind_by_name():
    i = v.Interval(hi=2.0, lo=-1.0)
    assert (i.lo, i.hi) == (-1.0, 2.0)


def test_conversion_type_errors_are_prefixed_with_the_argument_name():
    with pytest.raises(TypeError) as info:
        v.Interval(0.0, "x")
    assert str(info.value).startswith("argument 'hi': ")
    with pytest.raises(TypeError, match="^argument 'use_newton': 'NoneType' object cannot be "
                                        "converted to 'PyBool'$"):
        v.BuildOptions(use_newton=None)
    with pytest.raises(TypeError, match="^argument 'transform': 'int' object cannot be "
                                        "converted to 'PyString'$"):
        v.BuildOptions.tdr(3)
    with pytest.raises(TypeError, match="^argument 'interval': 'tuple' object cannot be "
                                        "converted to 'Interval'$"):
        v.from_pdf(abs, (0.0, 1.0))


def test_the_first_bad_parameter_in_signature_order_is_reported():
    with pytest.raises(TypeError, match="^argument 'lo'"):
        v.Interval("a", "b")


@pytest.mark.parametrize("value, exc", [(-1, OverflowError), (2**64, OverflowError),
                                        (1.5, TypeError), ("3", TypeError)])
def test_size_parameters_accept_only_unsigned_64_bit_integers(value, exc):
    with pytest.raises(exc) as info:
        v.BuildOptions.hermite(value)
    if exc is TypeError:
        assert str(info.value).startswith("argument 'grid_size': ")


def test_size_parameters_accept_objects_with_index():
    class Seven:
        def __index__(self):
            return 7
    v.BuildOptions.hermite(Seven())
    v.BuildOptions.hermite(2**64 - 1)


def test_float_parameters_accept_ints_and_float_like_objects():
    class Half:
        def __float__(self):
            return 0.5
    i = v.Interval(Half(), 3)
    assert (i.lo, i.hi) == (0.5, 3.0)


def test_bool_parameters_accept_numpy_booleans():
    np = pytest.importorskip("numpy")
    v.BuildOptions(use_newton=np.bool_(False))
    with pytest.raises(TypeError):
        v.BuildOptions(use_newton=1)


def test_second_initialisation_in_one_process_raises_import_error():
    code = (
        "import sys, importlib\n"
        "import _varnix\n"
        "del sys.modules['_varnix']\n"
        "try:\n"
        "    importlib.import_module('_varnix')\n"
        "except ImportError as e:\n"
        "    print('refused:', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("refused: ")


def test_import_works_from_any_directory(tmp_path):
    out = subprocess.run([sys.executable, "-c", "import _varnix; print(len(_varnix.__all__))"],
                         capture_output=True, text=True, check=True, cwd=tmp_path)
    assert out.stdout.strip() == str(len(EXPECTED_ALL))


@pytest.mark.parametrize("call, arg", [
    (lambda: v.metropolis_hastings(abs, v.HyperRect([0], [1]), step_size=None), "step_size"),
    (lambda: v.hmc_sampler(abs, v.HyperRect([0], [1]), leapfrog_steps=None), "leapfrog_steps"),
    (lambda: v.rejection_sampler(abs, v.HyperRect([0], [1]), 1.0, None), "max_trials"),
    (lambda: v.cdf_mc_estimator(abs, v.HyperRect([0], [1]), cdf_samples=None), "cdf_samples"),
    (lambda: v.from_histogram([0.0, 1.0], [1.0], density=None), "density"),
])
def test_none_is_a_value_for_parameters_whose_default_is_not_none(call, arg):
    with pytest.raises(TypeError, match=f"^argument '{arg}': "):
        call()


def test_none_means_absent_for_parameters_whose_default_is_none():
    d = v.from_histogram([0.0, 1.0], [1.0], options=None)
    assert not d.uses_hermite_table() and not d.uses_tdr()
    assert len(d.sample_n(3, seed=None)) == 3
    assert v.BuildOptions(quad_tolerance=None, hermite_grid_size=None) is not None


@pytest.mark.parametrize("call, message", [
    (lambda: v.from_pmf([1.0], [1.0]).len(1),
     "DiscreteDistribution.len() takes 0 positional arguments but 1 was given"),
    (lambda: v.from_pmf([1.0], [1.0]).mean(x=1),
     "DiscreteDistribution.mean() got an unexpected keyword argument 'x'"),
    (lambda: v.HyperRect([0.0], [1.0]).dim(1, 2),
     "HyperRect.dim() takes 0 positional arguments but 2 were given"),
])
def test_methods_without_parameters_refuse_arguments_with_the_same_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: v.from_pmf([1], [1], [1], q=3), "from_pmf() got an unexpected keyword argument 'q'"),
    (lambda: v.from_pmf([1], [1], [1], pmf=3), "from_pmf() got multiple values for argument 'pmf'"),
])
def test_keyword_errors_are_reported_before_surplus_positional_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_texts_keep_embedded_nuls_and_lone_surrogates():
    with pytest.raises(ValueError) as info:
        v.BuildOptions.tdr("lo\0g")
    assert str(info.value) == "unknown TDR transform 'lo\0g', expected 'log' or 'inv_sqrt'"
    with pytest.raises(ValueError) as info:
        v.BuildOptions.tdr("\ud800X")
    assert str(info.value) == "unknown TDR transform '\ud800x', expected 'log' or 'inv_sqrt'"
    v.BuildOptions(hermite_grid_size=4, tdr_transform="\ud800")  # accepted and ignored
    with pytest.raises(TypeError) as info:
        v.from_pmf([1.0], [1.0], **{"a\0\ud800": 1})
    assert str(info.value) == "from_pmf() got an unexpected keyword argument 'a\0\ud800'"
