"""The module frame: inventory, exception classes, class properties, text signatures and static methods against the
type stubs, one-time initialisation, exported symbols, other interpreters."""

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
    assert public(STUB_NAMES) == public(vars(_drovik))


# A panic derives from BaseException only, so that `except Exception` does not swallow it.
@pytest.mark.parametrize("attr, class_name, module, base", [
    ("BuildError", "BuildErrorPy", "_drovik", RuntimeError), ("SampleError", "SampleErrorPy", "_drovik", RuntimeError),
    ("PanicException", "PanicException", "drovik", BaseException)])
def test_exception_classes(attr, class_name, module, base):
    cls = getattr(_drovik, attr)
    assert (cls.__name__, cls.__module__, cls.__qualname__, cls.__bases__) == (class_name, module, class_name, (base,))
    assert (cls.__doc__ is None) == (base is RuntimeError)


def assert_signed(obj):
    assert obj.__text_signature__ and not obj.__doc__, obj  # no prose after the "--" marker
    inspect.signature(obj)  # the stub check passes over a text signature that does not parse, too


# Names, kinds, order and defaults of the parameters are checked against the stub by `make test-stubs`, which passes
# over a callable without a text signature and does not tell a static method from one that takes self.
@pytest.mark.parametrize("name", sorted(public(STUB_NAMES)))
def test_every_callable_has_a_text_signature_and_the_stub_marks_the_static_methods(name):
    node, obj = STUB_NAMES[name], getattr(_drovik, name)
    if isinstance(node, ast.FunctionDef):
        assert (type(obj).__name__, obj.__module__, obj.__name__) == ("builtin_function_or_method", "_drovik", name)
        assert_signed(obj)
        return
    declared = members(node)
    if "__new__" in declared:  # only the constructible classes carry a constructor signature
        assert_signed(obj)
    else:
        assert obj.__text_signature__ is None
    for attr, value in vars(obj).items():
        if not attr.startswith("_") and inspect.ismethoddescriptor(value):
            decorators = [d.id for d in declared[attr].decorator_list if isinstance(d, ast.Name)]
            assert ("staticmethod" in decorators) == isinstance(value, staticmethod), attr
            assert_signed(getattr(obj, attr))


@pytest.mark.parametrize("name", NATIVE_CLASSES)
def test_native_class_is_final(name):
    cls = getattr(_drovik, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "_drovik")
    assert cls.__bases__ == (object,) and not cls.__doc__  # the name, qualified name and module make the repr
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    if "__new__" not in members(STUB_NAMES[name]):  # built by factory functions only
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls(1, points=2)


def test_instances_have_no_dict_no_weakref_and_no_len():
    dist = drovik.from_pmf([3.0, 1.0, 2.0], [1.0, 1.0, 2.0])
    # No attribute can be set and no weak reference made without these slots.
    assert type(dist).__dictoffset__ == type(dist).__weakrefoffset__ == 0 and not hasattr(dist, "__dict__")
    with pytest.raises(TypeError):
        len(dist)


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
