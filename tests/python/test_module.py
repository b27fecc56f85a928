"""The module frame: inventory, exception classes, class properties, text signatures, one-time initialisation,
exported symbols, other interpreters."""

import ctypes
import functools
import glob
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import drovik
from drovik import _drovik

# Every public name of the module in registration order.
INVENTORY = [
    "BuildError", "SampleError", "Interval", "BuildOptions", "ContinuousDistribution",
    "from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options",
    "from_histogram", "from_pdf_loc_scale", "truncated", "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator",
    "rejection_sampler", "metropolis_hastings", "hmc_sampler", "gibbs_sampler",
    "conditional_factorization_sampler", "gaussian_copula", "cdf_mc_estimator",
]
FUNCTION_SIGNATURES = [
    "from_pdf(f, interval)", "from_pdf_with_options(f, interval, options)", "from_cdf(f, interval)",
    "from_pdf_dpdf(f, dpdf, interval, options=None)", "from_cdf_with_options(f, interval, options)",
    "from_histogram(edges, counts, density=False, options=None)",
    "from_pdf_loc_scale(f, interval, loc, scale, options=None)", "truncated(f, interval, trunc_interval, options=None)",
    "from_pmf(points, pmf)",
    "rejection_sampler(f, support, pdf_max, max_trials=100000)",
    "metropolis_hastings(f, support, step_size=0.25, burn_in=1000, thin=1, target_accept=0.25, adapt_steps=2000)",
    "hmc_sampler(f, support, step_size=0.05, leapfrog_steps=20, grad_eps=1e-6)",
    "gibbs_sampler(sample_coord, support, init, sweeps_per_sample=1)",
    "conditional_factorization_sampler(sample_i, dim)", "gaussian_copula(corr)",
    "cdf_mc_estimator(f, support, normalization_samples=50000, cdf_samples=50000)",
]
CONSTRUCTOR_SIGNATURES = {
    "Interval": "(lo, hi)",
    "HyperRect": "(lo, hi)",
    "BuildOptions": "(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, use_newton=True, "
    "hermite_grid_size=None, tdr_transform=None, tdr_construction_points=None, tdr_dpdf_rel_step=None)",
}
METHOD_SIGNATURES = {
    "Interval": [],
    "BuildOptions": ["hermite(grid_size)", "tdr(transform, construction_points=None)"],
    "ContinuousDistribution": [
        "support($self)", "sample($self)", "sample_n($self, n, seed=None)", "cdf($self, x)", "pdf($self, x)",
        "ppf($self, u)", "sf($self, x)", "isf($self, q)", "logpdf($self, x)", "logcdf($self, x)", "logsf($self, x)",
        "mean($self)", "var($self)", "std($self)", "median($self)", "entropy($self)", "interval($self, confidence)",
        "expect($self, func)", "uses_hermite_table($self)", "uses_tdr($self)",
    ],
    "DiscreteDistribution": [
        "len($self)", "points($self)", "pmf($self, x)", "pmf_at($self, index)", "cdf_at($self, index)",
        "ppf($self, u)", "mean($self)", "var($self)", "std($self)", "sample($self)", "sample_n($self, n, seed=None)",
    ],
    "HyperRect": ["dim($self)", "lo($self)", "hi($self)"],
    "RejectionSampler": ["dim($self)", "pdf_max($self)", "sample($self)", "sample_n($self, n, seed=None)"],
    "MetropolisHastings": ["init($self)", "step($self)", "sample($self)", "sample_n($self, n, seed=None)",
                           "accept_rate($self)"],
    "HmcSampler": ["init($self)", "sample($self)", "sample_n($self, n, seed=None)"],
    "GibbsSampler": ["sample($self)", "step($self)"],
    "ConditionalFactorizationSampler": ["sample($self)", "sample_n($self, n, seed=None)"],
    "GaussianCopula": ["dim($self)", "sample($self, ppfs, seed=None)"],
    "CdfMcEstimator": ["estimate_normalization($self, seed=None)", "cdf($self, x, seed=None)"],
}
NO_CONSTRUCTOR = [name for name in METHOD_SIGNATURES if name not in CONSTRUCTOR_SIGNATURES]
ALL_SIGNATURES = [(f"{cls}.{sig[: sig.index('(')]}", sig) for cls, sigs in METHOD_SIGNATURES.items() for sig in sigs]
ALL_SIGNATURES += [(sig[: sig.index("(")], sig) for sig in FUNCTION_SIGNATURES]


def test_inventory_order_and_package_reexports():
    names = _drovik.__all__
    assert type(names) is list and len(names) == len(set(names))
    assert names == INVENTORY
    assert [n for n in vars(_drovik) if n in INVENTORY] == names  # bound in registration order too
    assert (_drovik.__name__, _drovik.__doc__) == ("drovik._drovik", "")
    assert os.path.basename(_drovik.__file__) == "_drovik.abi3.so"
    assert drovik.__all__ == names and all(getattr(drovik, n) is getattr(_drovik, n) for n in names)
    namespace = {}
    exec("from drovik import *", namespace)
    assert {k for k in namespace if not k.startswith("__")} == set(names)


@pytest.mark.parametrize(
    "attr, class_name, trigger, text",
    [
        ("BuildError", "BuildErrorPy", lambda: drovik.from_pmf([], []), "discrete distribution has no support points"),
        ("SampleError", "SampleErrorPy", lambda: drovik.from_pmf([1.0], [1.0]).ppf(0.0), "quantile u=0 not in (0, 1)"),
    ],
)
def test_exception_classes(attr, class_name, trigger, text):
    cls = getattr(_drovik, attr)
    assert (cls.__name__, cls.__module__, cls.__qualname__) == (class_name, "_drovik", class_name)
    assert repr(cls) == f"<class '_drovik.{class_name}'>"
    assert cls.__bases__ == (RuntimeError,) and cls.__doc__ is None
    assert [issubclass(cls, c) for c in (_drovik.BuildError, _drovik.SampleError)].count(True) == 1  # distinct
    with pytest.raises(cls) as info:
        trigger()
    assert type(info.value) is cls and info.value.args == (text,) and type(info.value.args[0]) is str


def test_panic_exception_derives_from_base_exception_only():
    panic = drovik.PanicException
    assert panic is _drovik.PanicException and panic.__bases__ == (BaseException,)
    assert "PanicException" not in _drovik.__all__ and "PanicException" not in drovik.__all__
    assert panic.__doc__ and "BaseException" in panic.__doc__


@pytest.mark.parametrize("name", sorted(METHOD_SIGNATURES))
def test_native_class_is_final_with_exactly_its_methods(name):
    cls = getattr(_drovik, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "_drovik")
    assert repr(cls) == f"<class '_drovik.{name}'>" and cls.__bases__ == (object,)
    assert not cls.__doc__  # nothing beyond the constructor's text signature
    assert cls.__text_signature__ == CONSTRUCTOR_SIGNATURES.get(name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    properties = ["hi", "lo"] if name == "Interval" else []
    methods = [sig[: sig.index("(")] for sig in METHOD_SIGNATURES[name]]
    assert sorted(n for n in dir(cls) if not n.startswith("_")) == sorted(methods + properties)


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
@pytest.mark.parametrize("call", [lambda cls: cls(), lambda cls: cls(1, points=2), lambda cls: cls.__new__(cls)])
def test_no_constructor(name, call):
    with pytest.raises(TypeError) as info:
        call(getattr(_drovik, name))
    assert str(info.value) == f"No constructor defined for {name}"


def test_instances_have_no_dict_no_weakref_and_no_len():
    dist = drovik.from_pmf([3.0, 1.0, 2.0], [1.0, 1.0, 2.0])
    assert type(dist).__dictoffset__ == type(dist).__weakrefoffset__ == 0 and not hasattr(dist, "__dict__")
    for action, error in [
        (lambda: setattr(dist, "extra", 1), AttributeError), (lambda: setattr(dist, "mean", 1), AttributeError),
        (lambda: weakref.ref(dist), TypeError), (lambda: len(dist), TypeError),
    ]:
        with pytest.raises(error):
            action()
    assert (dist.len(), dist.mean()) == (3, 2.0)


@pytest.mark.parametrize("dotted, signature", ALL_SIGNATURES, ids=[d for d, _ in ALL_SIGNATURES])
def test_text_signature(dotted, signature):
    obj = functools.reduce(getattr, dotted.split("."), _drovik)
    assert obj.__name__ == signature[: signature.index("(")]
    assert obj.__text_signature__ == signature[signature.index("(") :]
    assert obj.__doc__ is None  # no prose after the "--" marker
    if "." not in dotted:
        assert (type(obj).__name__, obj.__module__) == ("builtin_function_or_method", "_drovik")


def test_second_initialisation_fails_and_leaves_the_module_alone():
    entry = ctypes.PyDLL(_drovik.__file__).PyInit__drovik
    entry.restype, entry.argtypes = ctypes.py_object, []
    with pytest.raises(ImportError, match="only once"):
        entry()
    with pytest.raises(ImportError, match="only once"):  # the same file under another name
        importlib.util.module_from_spec(importlib.util.spec_from_file_location("alias._drovik", _drovik.__file__))
    assert drovik.from_pmf([1.0, 2.0], [1.0, 3.0]).pmf_at(1) == 0.75


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_module_initialiser_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _drovik.__file__], check=True, capture_output=True, text=True)
    assert [line.split()[1:] for line in out.stdout.splitlines() if line.strip()] == [["T", "PyInit__drovik"]]


def _other_interpreters():
    found = {}
    for path in sorted(glob.glob("/root/.pyenv/versions/3.*/bin/python3") + glob.glob("/usr/bin/python3.*")):
        match = re.search(r"3\.(\d+)(\.\d+)*(/bin/python3)?$", path)
        if match and int(match.group(1)) >= 8 and os.access(path, os.X_OK):
            found.setdefault(os.path.realpath(path), path)
    found.pop(os.path.realpath(sys.executable), None)
    return sorted(found.values())


OTHER_INTERPRETERS = _other_interpreters()
_PROBE = r"""
import json, drovik
d = drovik.from_pmf([3, 1, 2, 5], [1, 1, 2, 0.5])
out = [drovik._drovik.__all__, d.sample_n(40, seed=2**64 - 1), d.mean(), d.var()]
for call in (lambda: d.ppf(1.5), lambda: d.ppf("x"), lambda: d.cdf_at(4)):
    try:
        call()
    except (drovik.SampleError, TypeError, drovik.PanicException) as exc:
        out.append([type(exc).__name__, str(exc), type(exc.__cause__).__name__])
print(json.dumps(out))
"""


@functools.lru_cache(maxsize=None)
def _probe(python):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(drovik.__file__))))
    env.pop("PYTHONHOME", None)
    proc = subprocess.run([python, "-B", "-c", _PROBE], cwd="/", env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.skipif(not OTHER_INTERPRETERS, reason="no other CPython >= 3.8 on this machine")
@pytest.mark.parametrize("python", OTHER_INTERPRETERS)
def test_imports_under_other_interpreters(python):
    # The stable-ABI build behaves identically everywhere; this interpreter's answers are pinned elsewhere.
    assert _probe(python) == _probe(sys.executable)
