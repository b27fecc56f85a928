"""The random source from Python: the reference itself, seed rules, per-thread and per-process streams. Seeds of the
wrong type or range: test_bad_input; the rekey and fork safety of the per-thread generator: tests/cpp."""

import operator

import pytest

from _helpers import Index, on_thread, run_child
from _reference import SIGMA, DiscreteModel, chacha_permute_and_add, pcg32_key, seeded_uniforms

WIDE = DiscreteModel(range(1000), [1.0] * 1000)  # the model of the `wide` fixture


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


# A seeded stream is never rekeyed: 8256 draws run past the 8192 after which the per-thread generator rekeys.
@pytest.mark.parametrize("seed, n", [(2**64 - 1, 40), (True, 40), (Index(2**63), 40), (3, 8192 + 64)])
def test_seeded_draws(wide, seed, n):
    expected = WIDE.seeded_sample(operator.index(seed), n)
    assert wide.sample_n(n, seed=seed) == wide.sample_n(n, seed) == expected


def test_unseeded_calls_differ_and_none_means_unseeded(wide):
    calls = [tuple(wide.sample_n(20)) for _ in range(4)] + [tuple(wide.sample_n(20, None))]
    calls.append(tuple(wide.sample_n(20, seed=None)))
    assert len(set(calls)) == 6
    assert len({wide.sample() for _ in range(40)}) > 1


def test_each_process_keys_its_own_generator():
    code = "import drovik, json; print(json.dumps(drovik.from_pmf(range(1000), [1] * 1000).sample_n(24)))"
    runs = [run_child(code, timeout=120) for _ in range(2)]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stderr + runs[1].stderr
    assert runs[0].stdout != runs[1].stdout


def test_threads_have_their_own_generators(wide):
    wide.sample_n(3)
    streams = [tuple(on_thread(lambda: wide.sample_n(24))["value"]) for _ in range(3)] + [tuple(wide.sample_n(24))]
    assert len(set(streams)) == 4
