import os
import sys

import pytest

# _reference sits beside the tests and builds on the ChaCha/PCG32 reference in tests/reference.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "reference")]

import drovik  # noqa: E402


@pytest.fixture
def wide():  # independent draws rarely coincide
    return drovik.from_pmf(range(1000), [1.0] * 1000)
