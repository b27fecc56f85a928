"""The random source from Python: the reference itself, seed rules, per-thread and per-process streams, fork safety."""

import ctypes
import json
import operator
import os
import subprocess
import sys
import threading

import pytest

import drovik
from _reference import SIGMA, DiscreteModel, chacha_permute_and_add, pcg32_key, seeded_uniforms

WIDE = DiscreteModel(range(1000), [1.0] * 1000)  # the model of the `wide` fixture
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")


def test_reference_against_published_vectors():
    # ChaCha20 block function, RFC 7539 section 2.3.2 (96-bit nonce layout).
    key = [int.from_bytes(bytes(range(i, i + 4)), "little") for i in range(0, 32, 4)]
    assert chacha_permute_and_add(list(SIGMA) + key + [1, 0x09000000, 0x4A000000, 0], 20) == [
        0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3, 0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
        0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9, 0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
    ]
    # Published PCG32 key expansion and first seeded (ChaCha8) draws.
    assert [pcg32_key(0), pcg32_key(42)] == [
        [0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06, 0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7],
        [0x7BA18FA4, 0x0A3D3258, 0xCCA1B8EA, 0xB8140169, 0x75C88C2B, 0x54F7B418, 0xA16E448D, 0xF220DFE4],
    ]
    assert seeded_uniforms(0, 3) == [0.7090754154265618, 0.46592172228961015, 0.6991432426747317]
    assert seeded_uniforms(42, 3) == [0.6818961923066714, 0.950275407672484, 0.4275164028565197]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("seed", [2**64 - 1, True, Index(2**63)])
def test_valid_seeds(seed, wide):
    expected = WIDE.seeded_sample(operator.index(seed), 40)
    assert wide.sample_n(40, seed=seed) == wide.sample_n(40, seed) == expected


def test_seeded_stream_is_never_rekeyed(wide):
    assert wide.sample_n(8192 + 64, seed=3) == WIDE.seeded_sample(3, 8192 + 64)


@pytest.mark.parametrize("seed", [-1, 2**64, Index(-1)])
def test_out_of_range_seeds_raise_overflow_error_unchanged(seed, wide):
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes, convert.restype = [ctypes.py_object], ctypes.c_ulonglong
    with pytest.raises(OverflowError) as expected:
        convert(operator.index(seed))
    with pytest.raises(OverflowError) as info:
        wide.sample_n(3, seed=seed)
    assert type(info.value) is OverflowError and str(info.value) == str(expected.value)


@pytest.mark.parametrize("seed, kind", [(1.0, "float"), ("1", "str"), ([1], "list")])
def test_non_integer_seeds_raise_prefixed_type_error(seed, kind, wide):
    inner = f"'{kind}' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        wide.sample_n(3, seed=seed)
    assert str(info.value) == f"argument 'seed': {inner}"
    assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == inner


def test_unseeded_calls_differ_and_none_means_unseeded(wide):
    calls = [tuple(wide.sample_n(20)) for _ in range(4)] + [tuple(wide.sample_n(20, None))]
    calls.append(tuple(wide.sample_n(20, seed=None)))
    assert len(set(calls)) == 6
    assert len({wide.sample() for _ in range(40)}) > 1


def test_each_process_keys_its_own_generator(tmp_path):
    code = "import drovik, json; print(json.dumps(drovik.from_pmf(range(1000), [1] * 1000).sample_n(24)))"
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(drovik.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root] + sys.path))
    runs = [subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                           timeout=120) for _ in range(2)]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stderr + runs[1].stderr
    assert runs[0].stdout != runs[1].stdout


def _in_thread(fn):
    out = []
    t = threading.Thread(target=lambda: out.append(fn()))
    t.start()
    t.join()
    return out[0]


def test_threads_have_their_own_generators(wide):
    wide.sample_n(3)
    streams = [tuple(_in_thread(lambda: wide.sample_n(24))) for _ in range(3)] + [tuple(wide.sample_n(24))]
    assert len(set(streams)) == 4


def test_long_unseeded_stream_crosses_the_rekey_without_repeating(wide):
    # A fresh thread starts a fresh generator, so the rekey after 8192 draws falls at a known place.
    draws = _in_thread(lambda: wide.sample_n(3 * 8192 + 40))
    windows = [tuple(draws[i : i + 16]) for i in range(0, len(draws) - 16, 16)]
    assert len(set(windows)) == len(windows)
    for boundary in (8192, 2 * 8192, 3 * 8192):
        assert draws[boundary : boundary + 32] != draws[:32]


def _in_child(fn):
    """fn() evaluated in a forked child; small results only (one pipe write)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.write(write_end, json.dumps(fn()).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    data = os.read(read_end, 1 << 16)
    os.close(read_end)
    assert os.waitpid(pid, 0)[1] == 0
    return json.loads(data)


@needs_fork
def test_forked_children_do_not_replay_the_parent_stream(wide):
    wide.sample_n(3)  # the parent's generator now holds a partly used buffer
    first, second = (_in_child(lambda: wide.sample_n(24)) for _ in range(2))
    parent = wide.sample_n(24)
    assert len({tuple(first), tuple(second), tuple(parent)}) == 3
    # Nor a shifted copy of it.
    assert not set(zip(first, first[1:], first[2:])) & set(zip(parent, parent[1:], parent[2:]))


@needs_fork
def test_forked_child_of_a_thread_that_never_drew(wide):
    assert len(_in_thread(lambda: _in_child(lambda: wide.sample_n(8)))) == 8


@needs_fork
def test_seeded_draws_are_the_same_in_a_forked_child(wide):
    assert _in_child(lambda: wide.sample_n(24, seed=9)) == wide.sample_n(24, seed=9) == WIDE.seeded_sample(9, 24)
