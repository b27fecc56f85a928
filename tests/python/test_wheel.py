"""The installed wheel, run by its own interpreter: seeded draws equal the reference, and the extension needs
nothing but the C library."""

import os
import subprocess

import pytest

from _reference import DiscreteModel, seeded_uniforms

WHEEL_PYTHON = os.environ.get("DROVIK_WHEEL_PYTHON")
pytestmark = pytest.mark.skipif(not WHEEL_PYTHON, reason="runs against an installed wheel (make test-wheel)")


def in_wheel(code):
    result = subprocess.run([WHEEL_PYTHON, "-c", code], cwd="/", capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_the_wheel_is_the_installed_package_and_draws_the_reference_stream():
    location, draws = in_wheel("import drovik; print(drovik.__file__); "
                               "print(drovik.from_pmf([1, 2], [1, 1]).sample_n(5, seed=42))").splitlines()
    assert "site-packages" in location
    model = DiscreteModel([1.0, 2.0], [1.0, 1.0])
    assert draws == str([model.ppf(u) for u in seeded_uniforms(42, 5)])


def test_the_extension_needs_only_the_c_library():
    extension = in_wheel("import drovik._drovik as m; print(m.__file__)")
    dynamic = subprocess.run(["readelf", "-d", extension], capture_output=True, text=True, check=True).stdout
    needed = sorted(line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line)
    assert all(name.startswith(("libc.so", "libm.so", "ld-linux")) for name in needed), needed
    symbols = subprocess.run(["readelf", "--syms", extension], capture_output=True, text=True, check=True).stdout
    assert ".symtab" not in symbols  # stripped
