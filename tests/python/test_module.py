"""The module frame: inventory, exception classes, class properties, text
signatures, one-time initialisation, exported symbols, other interpreters."""

import ctypes
import glob
import importlib
import importlib.util
import inspect
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import drovik
from drovik import _drovik

# Every public name of the finished module, in registration order. Later
# work adds names in between, so the tests compare against this order rather
# than against a fixed list.
INVENTORY = [
    "BuildError", "SampleError",
    "Interval", "BuildOptions", "ContinuousDistribution",
    "from_pdf", "from_pdf_with_options", "from_pdf_dpdf", "from_cdf", "from_cdf_with_options",
    "from_histogram", "from_pdf_loc_scale", "truncated",
    "DiscreteDistribution", "from_pmf",
    "HyperRect", "RejectionSampler", "MetropolisHastings", "HmcSampler", "GibbsSampler",
    "ConditionalFactorizationSampler", "GaussianCopula", "CdfMcEstimator",
    "rejection_sampler", "metropolis_hastings", "hmc_sampler", "gibbs_sampler",
    "conditional_factorization_sampler", "gaussian_copula", "cdf_mc_estimator",
]
REGISTERED_SO_FAR = INVENTORY[: INVENTORY.index("from_pmf") + 1]

FUNCTION_SIGNATURES = {
    "from_pdf": "from_pdf(f, interval)",
    "from_pdf_with_options": "from_pdf_with_options(f, interval, options)",
    "from_pdf_dpdf": "from_pdf_dpdf(f, dpdf, interval, options=None)",
    "from_cdf": "from_cdf(f, interval)",
    "from_cdf_with_options": "from_cdf_with_options(f, interval, options)",
    "from_histogram": "from_histogram(edges, counts, density=False, options=None)",
    "from_pdf_loc_scale": "from_pdf_loc_scale(f, interval, loc, scale, options=None)",
    "truncated": "truncated(f, interval, trunc_interval, options=None)",
    "from_pmf": "from_pmf(points, pmf)",
}
CONSTRUCTOR_SIGNATURES = {
    "Interval": "(lo, hi)",
    "BuildOptions": "(quad_tolerance=None, ppf_tolerance=None, max_iterations=None, use_newton=True, "
    "hermite_grid_size=None, tdr_transform=None, tdr_construction_points=None, tdr_dpdf_rel_step=None)",
}
METHOD_SIGNATURES = {
    "Interval": [],
    "BuildOptions": ["hermite(grid_size)", "tdr(transform, construction_points=None)"],
    "ContinuousDistribution": [
        "support($self)",
        "sample($self)",
        "sample_n($self, n, seed=None)",
        "cdf($self, x)",
        "pdf($self, x)",
        "ppf($self, u)",
        "sf($self, x)",
        "isf($self, q)",
        "logpdf($self, x)",
        "logcdf($self, x)",
        "logsf($self, x)",
        "mean($self)",
        "var($self)",
        "std($self)",
        "median($self)",
        "entropy($self)",
        "interval($self, confidence)",
        "expect($self, func)",
        "uses_hermite_table($self)",
        "uses_tdr($self)",
    ],
    "DiscreteDistribution": [
        "len($self)",
        "points($self)",
        "pmf($self, x)",
        "pmf_at($self, index)",
        "cdf_at($self, index)",
        "ppf($self, u)",
        "mean($self)",
        "var($self)",
        "std($self)",
        "sample($self)",
        "sample_n($self, n, seed=None)",
    ],
}
NATIVE_CLASSES = sorted(METHOD_SIGNATURES)
CLASSES_WITHOUT_CONSTRUCTOR = ["ContinuousDistribution", "DiscreteDistribution"]

ALL_SIGNATURES = [(f"{cls}.{sig[: sig.index('(')]}", sig) for cls, sigs in METHOD_SIGNATURES.items() for sig in sigs]
ALL_SIGNATURES += [(name, sig) for name, sig in FUNCTION_SIGNATURES.items()]


def lookup(dotted):
    obj = _drovik
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


# ---------------------------------------------------------------------------
# Inventory


def test_all_lists_the_registered_names_in_inventory_order():
    names = _drovik.__all__
    assert isinstance(names, list)
    assert len(names) == len(set(names))
    assert set(names) <= set(INVENTORY), set(names) - set(INVENTORY)
    assert set(REGISTERED_SO_FAR) <= set(names)
    assert names == [n for n in INVENTORY if n in names]
    assert names[:2] == ["BuildError", "SampleError"]


def test_module_attributes_were_bound_in_registration_order():
    bound = [name for name in vars(_drovik) if name in INVENTORY]
    assert bound == _drovik.__all__


def test_module_identity_and_docstring():
    assert _drovik.__name__ == "drovik._drovik"
    assert _drovik.__doc__ == ""
    assert os.path.basename(_drovik.__file__) == "_drovik.abi3.so"
    assert importlib.import_module("drovik._drovik") is _drovik


@pytest.mark.parametrize("name", REGISTERED_SO_FAR)
def test_package_reexports_every_public_name(name):
    assert name in drovik.__all__
    assert getattr(drovik, name) is getattr(_drovik, name)


def test_package_all_matches_the_extension():
    assert drovik.__all__ == _drovik.__all__
    namespace = {}
    exec("from drovik import *", namespace)
    assert {k for k in namespace if not k.startswith("__")} == set(_drovik.__all__)


@pytest.mark.parametrize("name", ["BuildError", "SampleError"])
def test_exceptions_come_first_and_are_classes(name):
    assert isinstance(getattr(_drovik, name), type)


def test_public_functions_are_builtins_of_the_native_module():
    for name in FUNCTION_SIGNATURES:
        fn = getattr(_drovik, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__name__ == name
        assert fn.__module__ == "_drovik"


# ---------------------------------------------------------------------------
# Exception classes


@pytest.mark.parametrize(
    "attr, class_name, trigger, text",
    [
        ("BuildError", "BuildErrorPy", lambda: drovik.from_pmf([], []), "discrete distribution has no support points"),
        ("SampleError", "SampleErrorPy", lambda: drovik.from_pmf([1.0], [1.0]).ppf(0.0), "quantile u=0 not in (0, 1)"),
    ],
)
def test_exception_classes(attr, class_name, trigger, text):
    cls = getattr(_drovik, attr)
    assert cls.__name__ == class_name
    assert f"{cls.__module__}.{cls.__qualname__}" == f"_drovik.{class_name}"
    assert repr(cls) == f"<class '_drovik.{class_name}'>"
    assert cls.__bases__ == (RuntimeError,)
    assert cls.__doc__ is None
    with pytest.raises(cls) as info:
        trigger()
    exc = info.value
    assert type(exc) is cls
    assert isinstance(exc, RuntimeError) and isinstance(exc, Exception)
    assert exc.args == (text,)
    assert type(exc.args[0]) is str
    assert str(exc) == text


def test_exception_classes_are_distinct():
    assert not issubclass(_drovik.BuildError, _drovik.SampleError)
    assert not issubclass(_drovik.SampleError, _drovik.BuildError)


def test_panic_exception_derives_from_base_exception_only():
    panic = drovik.PanicException
    assert panic is _drovik.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "PanicException" not in _drovik.__all__
    assert "PanicException" not in drovik.__all__
    assert panic.__doc__ and "BaseException" in panic.__doc__


def test_panic_is_not_caught_by_except_exception():
    d = drovik.from_pmf([1.0], [1.0])
    with pytest.raises(drovik.PanicException):
        try:
            d.cdf_at(1)
        except Exception:  # noqa: BLE001 - that this does not catch it is the point
            pytest.fail("PanicException was caught by 'except Exception'")


# ---------------------------------------------------------------------------
# Classes


@pytest.mark.parametrize("name", NATIVE_CLASSES)
def test_class_identity(name):
    cls = getattr(_drovik, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "_drovik"
    assert repr(cls) == f"<class '_drovik.{name}'>"
    assert cls.__bases__ == (object,)
    assert not cls.__doc__  # nothing beyond the constructor's text signature
    assert cls.__text_signature__ == CONSTRUCTOR_SIGNATURES.get(name)


@pytest.mark.parametrize("name", NATIVE_CLASSES)
def test_class_is_final(name):
    cls = getattr(_drovik, name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        exec("class Sub(cls): pass", {"cls": cls})


@pytest.mark.parametrize("name", NATIVE_CLASSES)
def test_class_exposes_exactly_its_methods(name):
    cls = getattr(_drovik, name)
    public = sorted(n for n in dir(cls) if not n.startswith("_"))
    properties = ["hi", "lo"] if name == "Interval" else []
    assert public == sorted([sig[: sig.index("(")] for sig in METHOD_SIGNATURES[name]] + properties)


@pytest.mark.parametrize("name", CLASSES_WITHOUT_CONSTRUCTOR)
@pytest.mark.parametrize(
    "call",
    [
        lambda cls: cls(),
        lambda cls: cls(1, 2),
        lambda cls: cls(points=[1.0]),
        lambda cls: cls.__new__(cls),
    ],
    ids=["no-args", "positional", "keyword", "dunder-new"],
)
def test_no_constructor(name, call):
    cls = getattr(_drovik, name)
    with pytest.raises(TypeError) as info:
        call(cls)
    assert str(info.value) == f"No constructor defined for {name}"


def test_instances_have_no_dict_and_no_weakref(dist):
    cls = type(dist)
    assert cls is _drovik.DiscreteDistribution
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert not hasattr(dist, "__dict__")
    with pytest.raises(AttributeError):
        dist.extra = 1
    with pytest.raises(AttributeError):
        dist.mean = lambda: 0.0
    with pytest.raises(TypeError):
        weakref.ref(dist)
    assert dist.mean() == 2.0


def test_discrete_distribution_has_no_len_protocol(dist):
    with pytest.raises(TypeError):
        len(dist)
    assert dist.len() == 3


# ---------------------------------------------------------------------------
# Text signatures


@pytest.mark.parametrize("dotted, signature", ALL_SIGNATURES, ids=[d for d, _ in ALL_SIGNATURES])
def test_text_signature(dotted, signature):
    obj = lookup(dotted)
    assert obj.__name__ == signature[: signature.index("(")]
    assert obj.__text_signature__ == signature[signature.index("(") :]
    # Nothing but the signature: no prose after the "--" marker.
    assert obj.__doc__ is None


def _parameters(signature):
    inner = signature[signature.index("(") + 1 : -1]
    params = []
    for item in filter(None, (p.strip() for p in inner.split(","))):
        name, _, default = item.partition("=")
        params.append((name, default or None))
    return params


@pytest.mark.parametrize("dotted, signature", ALL_SIGNATURES, ids=[d for d, _ in ALL_SIGNATURES])
def test_inspect_signature(dotted, signature):
    obj = lookup(dotted)
    expected = _parameters(signature)
    got = list(inspect.signature(obj).parameters.values())
    assert [p.name for p in got] == [("self" if n == "$self" else n) for n, _ in expected]
    for param, (_, default) in zip(got, expected):
        if default is None:
            assert param.default is inspect.Parameter.empty
        else:
            assert repr(param.default) == default


@pytest.mark.parametrize("signature", METHOD_SIGNATURES["DiscreteDistribution"])
def test_bound_method_signature_drops_self(dist, signature):
    bound = getattr(dist, signature[: signature.index("(")])
    names = list(inspect.signature(bound).parameters)
    assert names == [n for n, _ in _parameters(signature) if n != "$self"]


class _PyMethodDef(ctypes.Structure):
    _fields_ = [
        ("ml_name", ctypes.c_char_p),
        ("ml_meth", ctypes.c_void_p),
        ("ml_flags", ctypes.c_int),
        ("ml_doc", ctypes.c_char_p),
    ]


def _raw_method_def(obj):
    # builtin functions: PyObject_HEAD, then m_ml; method descriptors:
    # PyObject_HEAD, d_type, d_name, d_qualname, then d_method.
    head = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)
    pointer = ctypes.sizeof(ctypes.c_void_p)
    offset = head if type(obj).__name__ == "builtin_function_or_method" else head + 3 * pointer
    address = ctypes.c_void_p.from_address(id(obj) + offset).value
    return _PyMethodDef.from_address(address)


@pytest.mark.skipif(platform.python_implementation() != "CPython", reason="reads CPython object layout")
@pytest.mark.parametrize("dotted, signature", ALL_SIGNATURES, ids=[d for d, _ in ALL_SIGNATURES])
def test_raw_docstring_is_signature_and_marker_only(dotted, signature):
    obj = lookup(dotted)
    if type(obj).__name__ not in ("builtin_function_or_method", "method_descriptor"):
        pytest.skip(f"unexpected callable type {type(obj).__name__}")
    raw = _raw_method_def(obj)
    if raw.ml_name != obj.__name__.encode():
        pytest.skip("object layout differs from the one assumed here")
    assert raw.ml_doc == (signature + "\n--\n\n").encode()


# ---------------------------------------------------------------------------
# One initialisation per process


def test_second_initialisation_through_the_entry_point_fails():
    entry = ctypes.PyDLL(_drovik.__file__).PyInit__drovik
    entry.restype = ctypes.py_object
    entry.argtypes = []
    with pytest.raises(ImportError, match="only once"):
        entry()
    # The module already imported is untouched.
    assert drovik.from_pmf([1.0, 2.0], [1.0, 3.0]).pmf_at(1) == 0.75


@pytest.mark.parametrize("alias", ["alias._drovik", "_drovik"])
def test_loading_the_file_under_another_name_fails(alias):
    spec = importlib.util.spec_from_file_location(alias, _drovik.__file__)
    saved = sys.modules.get(alias)
    try:
        with pytest.raises(ImportError, match="only once"):
            importlib.util.module_from_spec(spec)
    finally:
        if saved is None:
            sys.modules.pop(alias, None)
        else:
            sys.modules[alias] = saved
    assert drovik.from_pmf([5.0], [1.0]).ppf(0.5) == 5.0


# ---------------------------------------------------------------------------
# Exported symbols


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_module_initialiser_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _drovik.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit__drovik"]
    assert re.search(r"\sT PyInit__drovik$", out, re.M)


# ---------------------------------------------------------------------------
# Other interpreters: the extension is built for the stable ABI


def _other_interpreters():
    here = os.path.realpath(sys.executable)
    found = {}
    candidates = glob.glob("/root/.pyenv/versions/3.*/bin/python3") + glob.glob("/usr/bin/python3.*")
    for path in sorted(candidates):
        match = re.search(r"python3\.(\d+)$", path) or re.search(r"/versions/3\.(\d+)[.\d]*/bin/python3$", path)
        if not match or int(match.group(1)) < 8 or not os.access(path, os.X_OK):
            continue
        real = os.path.realpath(path)
        if real != here:
            found.setdefault(real, path)
    return sorted(found.values())


OTHER_INTERPRETERS = _other_interpreters()

_PROBE = r"""
import json, sys
import drovik
from drovik import _drovik
assert sys.version_info >= (3, 8)
out = {"all": _drovik.__all__, "version": list(sys.version_info[:2])}
d = drovik.from_pmf([3, 1, 2, 5], [1, 1, 2, 0.5])
out["draws"] = d.sample_n(40, seed=2**64 - 1)
out["moments"] = [d.mean(), d.var()]
try:
    d.ppf(1.5)
except drovik.SampleError as exc:
    out["error"] = str(exc)
try:
    d.ppf("x")
except TypeError as exc:
    out["type_error"] = [str(exc), type(exc.__cause__).__name__]
try:
    d.cdf_at(4)
except drovik.PanicException as exc:
    out["panic"] = str(exc)
print(json.dumps(out))
"""


@pytest.mark.skipif(not OTHER_INTERPRETERS, reason="no other CPython >= 3.8 on this machine")
@pytest.mark.parametrize("python", OTHER_INTERPRETERS)
def test_imports_under_other_interpreters(python, tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(drovik.__file__)))
    env.pop("PYTHONHOME", None)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run(
        [python, "-c", _PROBE], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    d = drovik.from_pmf([3, 1, 2, 5], [1, 1, 2, 0.5])
    assert got["all"] == _drovik.__all__
    assert got["draws"] == d.sample_n(40, seed=2**64 - 1)
    assert got["moments"] == [d.mean(), d.var()]
    assert got["error"] == "quantile u=1.5 not in (0, 1)"
    assert got["type_error"][0].startswith("argument 'u': ")
    assert got["type_error"][1] == "TypeError"
    assert got["panic"] == "index out of bounds: the len is 4 but the index is 4"
