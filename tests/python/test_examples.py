"""The README's code blocks and the tour run as they stand."""

import os
import pathlib
import re
import subprocess
import sys

import drovik

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE_DIR = str(pathlib.Path(drovik.__file__).resolve().parents[1])


def run(args):
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=600)


def test_readme_code_blocks_run():
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks
    for block in blocks:
        result = run(["-c", block])
        assert result.returncode == 0, result.stderr


def test_tour_runs():
    result = run([str(ROOT / "examples" / "tour.py")])
    assert result.returncode == 0, result.stderr
    assert "failed to normalize PDF on support" in result.stdout
