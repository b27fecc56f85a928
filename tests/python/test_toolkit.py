"""The binding toolkit under attack: bound arguments that user code tries to free, re-entrant recursion through the
library, and declarations the toolkit must refuse at compile time."""

import pathlib
import shutil
import subprocess
import sysconfig

import pytest

from _helpers import run_child

ROOT = pathlib.Path(__file__).resolve().parents[2]


# User code run during binding empties the keyword dictionary, the only holder of the seed argument: a binding
# that kept borrowed references would then read a freed object.
FREEING_PROBES = {
    "a keyword name whose __eq__ empties the dict": "drawn = dist.sample_n(**{'seed': Seed(), S('n'): 1})",
    "an __index__ that empties the dict": "drawn = dist.sample_n(**{'n': N(), 'seed': Seed()})",
}
FREEING_SETUP = """
    import gc, drovik
    dist = drovik.from_pmf([0.5, 1.5], [1.0, 1.0])
    events = []
    def empty_dicts_holding(obj):
        for holder in gc.get_referrers(obj):
            if isinstance(holder, dict):
                holder.clear()
    class Seed:
        def __index__(self):
            events.append('seed converted')
            return 7
        def __del__(self):
            events.append('seed freed')
    class N:
        def __index__(self):
            empty_dicts_holding(self)
            return 1
    class S(str):
        __hash__ = str.__hash__
        def __eq__(self, other):
            empty_dicts_holding(self)
            return str.__eq__(self, other)
"""


@pytest.mark.parametrize("probe", FREEING_PROBES.values(), ids=list(FREEING_PROBES))
def test_user_code_cannot_free_a_bound_argument(probe):
    child = run_child(FREEING_SETUP + "    " + probe + "\n    print(drawn == dist.sample_n(1, seed=7), events)\n")
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == "True ['seed converted', 'seed freed']"


def test_recursion_through_sample_n_ends_in_the_interpreters_recursion_error():
    # Each level is a density whose first call draws from its own distribution again, so the depth is bounded
    # only by the recursion limit; 750 levels with a 16 KiB buffer each would overflow an 8 MiB C stack.
    child = run_child("""
        import math, sys, drovik
        depth = deepest = 0
        def density(x):
            global depth, deepest
            if recurse and depth == deepest:  # the first call at each level goes one level deeper
                depth = deepest = depth + 1
                try:
                    dist.sample_n(1)
                finally:
                    depth -= 1
            return math.exp(-0.5 * x * x)
        recurse = False
        dist = drovik.from_pdf_with_options(density, drovik.Interval(-5.0, 5.0), drovik.BuildOptions.tdr('log'))
        recurse = True
        sys.setrecursionlimit(1500)
        print('draws', len(dist.sample_n(1)), 'deepest', deepest)
    """)
    assert child.returncode == 0, child.stderr[-2000:]
    assert "draws 1" in child.stdout
    assert int(child.stdout.split("deepest")[1]) > 700  # the recursion limit, not the C stack, ended it


COMPILE_FAILURES = {  # declaration: the sentence of its failure, None where it compiles
    "a parameter kind without conversion": (
        "std::uint64_t f(std::vector<float> v) { return v.size(); }\n"
        "PyMethodDef def = drovik::py::function<\"f(v)\", f>();",
        "vector parameters hold doubles, vectors of doubles or objects"),
    "a result kind without conversion": (
        "std::vector<int> f(double) { return {}; }\n"
        "PyMethodDef def = drovik::py::function<\"f(x)\", f>();",
        "no conversion to Python for this result type"),
    "a default the binding cannot make": (
        "double f(double b) { return b; }\n"
        "PyMethodDef def = drovik::py::function<\"f(b=0.25x)\", f>();",
        "a default in a text signature must be"),
    "a struct that is no module class": (
        "struct Plain { int a; };\n"
        "double f(Plain) { return 0; }\n"
        "PyMethodDef def = drovik::py::function<\"f(p)\", f>();",
        "no conversion from Python for this parameter type"),
    # The same probe with supported kinds compiles, so the failures above are the kinds, not the probe.
    "supported kinds": (
        "std::vector<std::vector<double>> f(std::vector<double> v, double b) { return {v}; }\n"
        "void g(std::vector<drovik::py::Ref>, std::vector<std::vector<double>>) {}\n"
        "PyMethodDef d1 = drovik::py::function<\"f(v, b=0.25)\", f>();\n"
        "PyMethodDef d2 = drovik::py::function<\"g(a, b)\", g>();",
        None),
}


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("source, sentence", COMPILE_FAILURES.values(), ids=list(COMPILE_FAILURES))
def test_unconvertible_declarations_fail_to_compile(tmp_path, source, sentence):
    file = tmp_path / "probe.cpp"
    file.write_text('#include "toolkit.hpp"\n#include <vector>\n' + source + "\n")
    command = ["g++", "-std=c++23", "-fsyntax-only", "-DPy_LIMITED_API=0x03080000",
               f"-I{ROOT / 'python'}", f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}", str(file)]
    compiled = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert (compiled.returncode == 0) == (sentence is None), compiled.stderr[-3000:]
    assert sentence is None or sentence in compiled.stderr


def test_an_object_made_past_its_factory_says_so():
    child = run_child("""
        import drovik
        for cls in (drovik.ContinuousDistribution, drovik.MetropolisHastings):
            cls.__new__ = staticmethod(lambda c, *a: object.__new__(c))
            try:
                cls().sample_n(1)
            except RuntimeError as error:
                print(type(error).__name__, error)
    """)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.splitlines() == [
        f"RuntimeError {name} object was not created by its factory function and cannot be used"
        for name in ("ContinuousDistribution", "MetropolisHastings")]
