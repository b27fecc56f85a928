import os
import sys

import pytest

# The reference helpers sit beside the tests.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import drovik  # noqa: E402


@pytest.fixture
def dist():
    """Three unsorted points with unequal masses."""
    return drovik.from_pmf([3.0, 1.0, 2.0], [1.0, 1.0, 2.0])


@pytest.fixture
def wide():
    """A thousand equally likely points: independent draws rarely coincide."""
    return drovik.from_pmf(range(1000), [1.0] * 1000)
