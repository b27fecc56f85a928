"""The random source as seen from Python: the reference itself, seed rules,
unseeded streams per thread and process, and fork safety."""

import ctypes
import json
import multiprocessing
import operator
import os
import subprocess
import sys
import threading

import pytest

import drovik
from _reference import (
    DiscreteModel,
    chacha_block,
    chacha_permute_and_add,
    pcg32_key,
    seeded_uniforms,
    SIGMA,
)

# ---------------------------------------------------------------------------
# The reference against published vectors, so that the golden values derived
# from it can be trusted.


def test_reference_block_function_matches_the_published_chacha20_vector():
    # Block-function test vector of RFC 7539, section 2.3.2 (96-bit nonce layout).
    key = [int.from_bytes(bytes(range(i, i + 4)), "little") for i in range(0, 32, 4)]
    state = list(SIGMA) + key + [1, 0x09000000, 0x4A000000, 0]
    assert chacha_permute_and_add(state, 20) == [
        0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3,
        0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
        0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9,
        0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
    ]


def test_reference_chacha8_zero_key_keystream():
    block = chacha_block([0] * 8, 0, 8)
    assert b"".join(w.to_bytes(4, "little") for w in block).hex() == (
        "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
        "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
    )


@pytest.mark.parametrize(
    "seed, words, first_words, uniforms",
    [
        (
            0,
            [0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06, 0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7],
            [0xA79A3B6C, 0xB585F767, 0xBAD8C037, 0x7746A55F],
            [0.7090754154265618, 0.46592172228961015, 0.6991432426747317],
        ),
        (
            42,
            [0x7BA18FA4, 0x0A3D3258, 0xCCA1B8EA, 0xB8140169, 0x75C88C2B, 0x54F7B418, 0xA16E448D, 0xF220DFE4],
            None,
            [0.6818961923066714, 0.950275407672484, 0.4275164028565197],
        ),
    ],
)
def test_reference_seed_expansion_and_first_draws(seed, words, first_words, uniforms):
    assert pcg32_key(seed) == words
    if first_words:
        assert chacha_block(words, 0, 8)[:4] == first_words
    assert seeded_uniforms(seed, 3) == uniforms


# ---------------------------------------------------------------------------
# Seed rules


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def _overflow_message(value):
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong
    with pytest.raises(OverflowError) as info:
        convert(value)
    return str(info.value)


def _index_message(value):
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


@pytest.mark.parametrize("seed", [0, 1, 2**32, 2**63, 2**64 - 1, True, Index(2**64 - 1), Index(0)])
def test_valid_seeds(seed, wide):
    value = operator.index(seed)
    model = DiscreteModel(range(1000), [1.0] * 1000)
    expected = model.seeded_sample(value, 40)
    assert wide.sample_n(40, seed=seed) == expected
    assert wide.sample_n(40, seed) == expected


def test_numpy_integer_seed(wide):
    np = pytest.importorskip("numpy")
    assert wide.sample_n(8, seed=np.uint64(2**64 - 1)) == wide.sample_n(8, seed=2**64 - 1)
    assert wide.sample_n(8, seed=np.int64(3)) == wide.sample_n(8, seed=3)


@pytest.mark.parametrize("seed", [-1, -(2**63), -(2**64), 2**64, 2**64 + 1, 2**100, Index(-1), Index(2**64)])
def test_out_of_range_seeds_raise_overflow_error_unchanged(seed, wide):
    with pytest.raises(OverflowError) as info:
        wide.sample_n(3, seed=seed)
    assert type(info.value) is OverflowError
    assert str(info.value) == _overflow_message(operator.index(seed))
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("seed", [1.0, 0.5, float("nan"), float("inf"), "1", b"1", [1], 1j])
def test_non_integer_seeds_raise_prefixed_type_error(seed, wide):
    with pytest.raises(TypeError) as info:
        wide.sample_n(3, seed=seed)
    inner = _index_message(seed)
    assert str(info.value) == f"argument 'seed': {inner}"
    assert type(info.value.__cause__) is TypeError
    assert str(info.value.__cause__) == inner


def test_float_seed_message():
    d = drovik.from_pmf([1.0], [1.0])
    with pytest.raises(TypeError, match=r"^argument 'seed': 'float' object cannot be interpreted as an integer$"):
        d.sample_n(1, seed=1.0)


def test_seed_none_means_the_thread_generator(wide):
    a = wide.sample_n(30, seed=None)
    b = wide.sample_n(30, None)
    c = wide.sample_n(30)
    assert len({tuple(a), tuple(b), tuple(c)}) == 3


# ---------------------------------------------------------------------------
# Unseeded streams


def test_unseeded_calls_are_not_all_identical(wide):
    calls = [tuple(wide.sample_n(20)) for _ in range(5)]
    assert len(set(calls)) == 5
    singles = [wide.sample() for _ in range(40)]
    assert len(set(singles)) > 1


def test_each_process_keys_its_own_generator(tmp_path):
    code = "import drovik, json; d = drovik.from_pmf(range(1000), [1] * 1000); print(json.dumps(d.sample_n(24)))"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(drovik.__file__)))] + sys.path
    )
    runs = [
        subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
        for _ in range(2)
    ]
    for run in runs:
        assert run.returncode == 0, run.stderr
    first, second = (json.loads(r.stdout.strip().splitlines()[-1]) for r in runs)
    assert first != second


def test_threads_have_their_own_generators(wide):
    wide.sample_n(3)
    results = {}

    def draw(name):
        results[name] = wide.sample_n(24)

    threads = [threading.Thread(target=draw, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    main = wide.sample_n(24)
    streams = [tuple(main)] + [tuple(results[i]) for i in range(3)]
    assert len(set(streams)) == 4


def test_long_unseeded_stream_crosses_the_rekey_without_repeating(wide):
    # A fresh thread starts a fresh generator, so the rekey after 1024 blocks
    # (8192 draws) falls at a known place in this one call.
    out = {}
    t = threading.Thread(target=lambda: out.setdefault("draws", wide.sample_n(3 * 8192 + 40)))
    t.start()
    t.join()
    draws = out["draws"]
    assert len(draws) == 3 * 8192 + 40
    assert set(draws) <= set(float(i) for i in range(1000))
    windows = {}
    for start in range(0, len(draws) - 16, 16):
        key = tuple(draws[start : start + 16])
        assert key not in windows, (windows.get(key), start)
        windows[key] = start
    for boundary in (8192, 2 * 8192, 3 * 8192):
        assert draws[boundary : boundary + 32] != draws[:32]


# ---------------------------------------------------------------------------
# Fork safety: a child must not replay what its parent draws next


def _draws_in_forked_child(dist, k):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        status = 1
        try:
            os.close(read_end)
            payload = json.dumps(dist.sample_n(k)).encode()
            while payload:
                payload = payload[os.write(write_end, payload) :]
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    return json.loads(b"".join(chunks))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_does_not_replay_the_parent_stream(wide):
    wide.sample_n(3)  # the parent's generator now holds a partly used buffer
    child = _draws_in_forked_child(wide, 24)
    parent = wide.sample_n(24)
    assert len(child) == 24
    assert child != parent
    # Nor a shifted copy of it.
    assert not set(zip(child, child[1:], child[2:])) & set(zip(parent, parent[1:], parent[2:]))


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_two_forked_children_differ(wide):
    wide.sample()
    first = _draws_in_forked_child(wide, 24)
    second = _draws_in_forked_child(wide, 24)
    parent = wide.sample_n(24)
    assert len({tuple(first), tuple(second), tuple(parent)}) == 3


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_child_of_a_parent_that_never_drew_works(wide):
    # No generator exists yet on a fresh thread; the child creates its own.
    out = {}

    def in_thread():
        out["child"] = _draws_in_forked_child(wide, 8)

    t = threading.Thread(target=in_thread)
    t.start()
    t.join()
    assert len(out["child"]) == 8


def _mp_child(conn, dist, k):
    conn.send(dist.sample_n(k))
    conn.close()


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="no fork start method")
def test_multiprocessing_fork_child_does_not_replay_the_parent_stream(wide):
    ctx = multiprocessing.get_context("fork")
    wide.sample_n(5)
    receive, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=_mp_child, args=(send, wide, 24))
    proc.start()
    send.close()
    child = receive.recv()
    proc.join()
    parent = wide.sample_n(24)
    assert proc.exitcode == 0
    assert len(child) == 24
    assert child != parent


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_seeded_draws_are_the_same_in_a_forked_child(wide):
    child = _draws_in_forked_child_seeded(wide, 24, 9)
    assert child == wide.sample_n(24, seed=9) == DiscreteModel(range(1000), [1.0] * 1000).seeded_sample(9, 24)


def _draws_in_forked_child_seeded(dist, k, seed):
    class Seeded:
        def sample_n(self, n):
            return dist.sample_n(n, seed=seed)

    return _draws_in_forked_child(Seeded(), k)
