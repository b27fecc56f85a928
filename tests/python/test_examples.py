"""The README's code blocks and the tour run as they stand."""

import pathlib
import re

from _helpers import run_python

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_readme_code_blocks_run():
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks
    for block in blocks:
        result = run_python("-c", block, timeout=600)
        assert result.returncode == 0, result.stderr


def test_tour_runs():
    result = run_python(str(ROOT / "examples" / "tour.py"), timeout=600)
    assert result.returncode == 0, result.stderr
    assert "failed to normalize PDF on support" in result.stdout
