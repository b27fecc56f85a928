"""The module frame: inventory, exception classes, class properties, text signatures against the type stubs,
one-time initialisation, exported symbols, other interpreters."""

import ast
import ctypes
import functools
import glob
import importlib.util
import inspect
import os
import pathlib
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import drovik
from _helpers import run_child
from drovik import _drovik

STUB = ast.parse((pathlib.Path(__file__).resolve().parents[2] / "python" / "drovik" / "_drovik.pyi").read_text())
STUB_NAMES = {node.name: node for node in STUB.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
# Every public name of the module in registration order, as the stub declares it.
INVENTORY = ast.literal_eval(next(node.value for node in STUB.body
                                  if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"))
NATIVE_CLASSES = sorted(name for name, node in STUB_NAMES.items() if isinstance(node, ast.ClassDef)
                        and any(getattr(d, "id", "") == "final" for d in node.decorator_list))


def public(names):
    return {n for n in names if not n.startswith("_")}


def members(node):
    return {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}


def test_inventory_order_and_package_reexports():
    names = _drovik.__all__
    assert type(names) is list and names == INVENTORY and len(names) == len(set(names)) == 30
    assert [n for n in vars(_drovik) if n in INVENTORY] == names  # bound in registration order too
    assert (_drovik.__name__, _drovik.__doc__) == ("drovik._drovik", "")
    assert os.path.basename(_drovik.__file__) == "_drovik.abi3.so"
    assert drovik.__all__ == names and all(getattr(drovik, n) is getattr(_drovik, n) for n in names)
    namespace = {}
    exec("from drovik import *", namespace)
    assert {k for k in namespace if not k.startswith("__")} == set(names)
    assert public(STUB_NAMES) == public(vars(_drovik))


@pytest.mark.parametrize("attr, class_name, trigger, text", [
    ("BuildError", "BuildErrorPy", lambda: drovik.from_pmf([], []), "discrete distribution has no support points"),
    ("SampleError", "SampleErrorPy", lambda: drovik.from_pmf([1.0], [1.0]).ppf(0.0), "quantile u=0 not in (0, 1)"),
])
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


def stub_parameters(function, skip_first):
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), function.name
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults)][1 if skip_first else 0:]


def runtime_parameters(obj, skip_self):
    assert obj.__text_signature__ and not obj.__doc__, obj  # no prose after the "--" marker
    params = list(inspect.signature(obj).parameters.values())
    if skip_self:
        assert (params[0].name, params[0].kind) == ("self", inspect.Parameter.POSITIONAL_ONLY)
        params = params[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params), obj
    return [(p.name, p.default) for p in params]


@pytest.mark.parametrize("name", sorted(public(STUB_NAMES)))
def test_text_signatures_match_the_stub(name):
    node, obj = STUB_NAMES[name], getattr(_drovik, name)
    if isinstance(node, ast.FunctionDef):
        assert (type(obj).__name__, obj.__module__, obj.__name__) == ("builtin_function_or_method", "_drovik", name)
        assert stub_parameters(node, False) == runtime_parameters(obj, False)
        return
    declared = members(node)
    assert public(declared) == public(vars(obj))
    if "__new__" in declared:  # only the constructible classes carry a constructor signature
        assert stub_parameters(declared["__new__"], True) == runtime_parameters(obj, False)
    else:
        assert obj.__text_signature__ is None
    for attr, value in vars(obj).items():
        if attr.startswith("_") or not inspect.ismethoddescriptor(value):
            continue
        static = isinstance(value, staticmethod)
        decorators = [d.id for d in declared[attr].decorator_list if isinstance(d, ast.Name)]
        assert ("staticmethod" in decorators) == static and getattr(obj, attr).__name__ == attr, attr
        assert stub_parameters(declared[attr], not static) == runtime_parameters(getattr(obj, attr), not static)


@pytest.mark.parametrize("name", NATIVE_CLASSES)
def test_native_class_is_final(name):
    cls = getattr(_drovik, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "_drovik")
    assert repr(cls) == f"<class '_drovik.{name}'>" and cls.__bases__ == (object,) and not cls.__doc__
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    if "__new__" not in members(STUB_NAMES[name]):  # built by factory functions only
        for call in (lambda: cls(), lambda: cls(1, points=2), lambda: cls.__new__(cls)):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"No constructor defined for {name}"


def test_instances_have_no_dict_no_weakref_and_no_len():
    dist = drovik.from_pmf([3.0, 1.0, 2.0], [1.0, 1.0, 2.0])
    assert type(dist).__dictoffset__ == type(dist).__weakrefoffset__ == 0 and not hasattr(dist, "__dict__")
    for action, error in [(lambda: setattr(dist, "extra", 1), AttributeError),
                          (lambda: setattr(dist, "mean", 1), AttributeError),
                          (lambda: weakref.ref(dist), TypeError), (lambda: len(dist), TypeError)]:
        with pytest.raises(error):
            action()
    assert (dist.len(), dist.mean()) == (3, 2.0)


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
    child = run_child(_PROBE, python=python, timeout=120)
    assert child.returncode == 0, child.stderr
    return child.stdout


@pytest.mark.skipif(not OTHER_INTERPRETERS, reason="no other CPython >= 3.8 on this machine")
@pytest.mark.parametrize("python", OTHER_INTERPRETERS)
def test_imports_under_other_interpreters(python):
    # The stable-ABI build behaves identically everywhere; this interpreter's answers are pinned elsewhere.
    assert _probe(python) == _probe(sys.executable)
