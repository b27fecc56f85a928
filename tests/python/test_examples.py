"""The README's code blocks and the tours run as they stand."""

import pathlib
import re

import pytest

from _helpers import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_code_blocks_run():
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks
    for block in blocks:
        result = run_python("-c", block, timeout=600)
        assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("tour, shown", [
    ("tour.py", ["failed to normalize PDF on support"]),
    ("inverse_polynomial_tour.py", ["largest u-error", "density calls for 100000 draws: 0"])])
def test_tours_run(tour, shown, tmp_path):
    result = run_python(str(ROOT / "examples" / tour), str(tmp_path), timeout=600)
    assert result.returncode == 0, result.stderr
    assert all(text in result.stdout for text in shown)
