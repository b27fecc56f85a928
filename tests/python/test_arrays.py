"""drovik.sample_array: the draws of sample_n bit for bit, as one float64 buffer; numpy arrays as arguments."""

import math
import signal
import tracemalloc

import numpy as np
import pytest
from scipy import stats

import drovik
import multivar_ref as ref
from _helpers import HI, LO, Calls, assert_follows, bump, run_child
from _replica import raises_exactly
from multivar_ref import seeded

IV = drovik.Interval(-3.0, 4.0)
OPTIONS = drovik.BuildOptions


def normal(x):
    return math.exp(-0.5 * x * x)


UNIVARIATE = {
    "plain inversion": lambda: drovik.from_pdf(normal, IV),
    "plain, no Newton": lambda: drovik.from_pdf_with_options(normal, IV, OPTIONS(use_newton=False)),
    "table": lambda: drovik.from_pdf_with_options(normal, IV, OPTIONS.hermite(64)),
    "tdr log": lambda: drovik.from_pdf_with_options(normal, IV, OPTIONS.tdr("log")),
    # the box hat's 32 grid cells have their middle 16 at the peak
    "tdr inv_sqrt": lambda: drovik.from_pdf_with_options(normal, drovik.Interval(-1.9375, 2.0625),
                                                         OPTIONS.tdr("inv_sqrt")),
    "inverse polynomial": lambda: drovik.from_pdf_inverse_polynomial(normal, IV),
    "cdf": lambda: drovik.from_cdf(lambda x: (x + 3.0) / 7.0, IV),
    "histogram": lambda: drovik.from_histogram([0.0, 1.0, 3.0], [2.0, 5.0]),
    "discrete": lambda: drovik.from_pmf([0.5, 1.5, 4.0], [0.2, 0.3, 0.5]),
}
SLOW = {"plain inversion", "plain, no Newton"}  # milliseconds a draw from a Python density


@pytest.mark.parametrize("kind", UNIVARIATE)
def test_univariate_arrays_are_sample_n_bit_for_bit(kind):
    dist = UNIVARIATE[kind]()
    counts = [(0, 9), (7, 1), (3, 0)] if kind in SLOW else [(0, 5000), (7, 1), (2**64 - 1, 2049), (3, 0)]
    for seed, n in counts:  # across the 2048-draw chunks where a draw is cheap
        array = drovik.sample_array(dist, n, seed=seed)
        assert array.dtype == np.float64 and array.shape == (n,) and array.flags.c_contiguous
        assert array.tobytes() == np.array(dist.sample_n(n, seed), dtype=np.float64).tobytes()


def test_unseeded_arrays_follow_the_distribution():
    assert_follows(drovik.sample_array(UNIVARIATE["tdr log"](), 20000), stats.truncnorm(-3.0, 4.0).cdf, 1e-4)


CHAINS = {"mh": (drovik.metropolis_hastings, ref.MetropolisHastings), "hmc": (drovik.hmc_sampler, ref.Hmc)}


@pytest.mark.parametrize("kind, params", [("mh", {"burn_in": 7, "thin": 3}), ("mh", {}), ("hmc", {"leapfrog_steps": 4})])
def test_chain_arrays_match_the_reference_and_leave_the_chain_where_sample_n_would(kind, params):
    density, (make, make_replica) = Calls(bump), CHAINS[kind]
    chain, replica = make(density, drovik.HyperRect(LO, HI), **params), make_replica(bump, LO, HI, **params)
    chain.init()
    replica.start(density.point())  # after init the last point asked for is where the chain starts
    array = drovik.sample_array(chain, 25, seed=11)
    assert array.shape == (25, 2) and array.tolist() == replica.sample_n(25, seeded(11))
    assert chain.sample_n(4, seed=12) == replica.sample_n(4, seeded(12))  # the state after the array
    if kind == "mh":
        assert chain.accept_rate() == replica.accept_rate()


@pytest.mark.parametrize("make", [
    lambda: drovik.rejection_sampler(bump, drovik.HyperRect(LO, HI), 1.6),
    lambda: drovik.conditional_factorization_sampler(lambda i, prefix: 0.25 * i + sum(prefix) / 8, 3),
], ids=["rejection", "factorization"])
def test_stateless_point_arrays_are_sample_n_bit_for_bit(make):
    sampler = make()
    for seed, n in [(5, 40), (9, 0)]:
        array = drovik.sample_array(sampler, n, seed=seed)
        assert array.shape == (n, len(sampler.sample())) and array.tolist() == sampler.sample_n(n, seed)


def failing_after_the_build():
    changed = {"now": False}  # after the build the density rises above the hat: a draw there fails
    dist = drovik.from_pdf_with_options(lambda x: 1e9 if changed["now"] and x > 1.0 else normal(x), IV,
                                        OPTIONS.tdr("log"))
    changed["now"] = True
    return dist


@pytest.mark.parametrize("make, n, seed, error", [
    *[(UNIVARIATE["discrete"], n, seed, Exception)
      for n, seed in [(-1, None), (2.0, None), (3, -1), (3, 1.5)]],  # the kind of each argument, and its range
    (failing_after_the_build, 100_000, 2, drovik.SampleError),
])
def test_bad_arguments_and_failing_draws_fail_like_sample_n(make, n, seed, error):
    dist = make()
    with pytest.raises(error) as expected:
        dist.sample_n(n, seed)
    with pytest.raises(type(expected.value)) as got:
        drovik.sample_array(dist, n, seed)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("make, n", [
    (lambda d: drovik.from_pdf(d, IV), 2**62),
    (lambda d: drovik.rejection_sampler(lambda a, b: d(a), drovik.HyperRect(LO, HI), 1.0), 2**61),  # 2**62 doubles
])
def test_impossible_counts_are_memory_errors_before_any_draw(make, n):
    density = Calls(normal)
    sampler = make(density)
    density.args.clear()
    with pytest.raises(MemoryError):
        drovik.sample_array(sampler, n, seed=1)
    assert density.args == []


def test_not_a_sampler_is_a_type_error():
    with pytest.raises(TypeError, match=r"^sample_array\(\) takes one of ContinuousDistribution, .*not 'GibbsSampler'$"):
        drovik.sample_array(drovik.gibbs_sampler(lambda i, s: 0.5, drovik.HyperRect([0.0], [1.0]), [0.5]), 3)


def interrupt(*_):
    raise KeyboardInterrupt("alarm")


def test_ctrl_c_stops_a_long_native_fill_and_frees_the_buffer():
    dist = drovik.from_histogram([0.0, 1.0, 3.0], [2.0, 5.0])
    previous = signal.signal(signal.SIGALRM, interrupt)  # a real signal: the fill holds the interpreter lock
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt, match="alarm"):
            drovik.sample_array(dist, 4 * 10**8, seed=1)  # 3.2 GB of draws: many seconds without the interrupt
        assert tracemalloc.get_traced_memory()[0] - before < 10**6
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        tracemalloc.stop()


def test_import_without_numpy_works_and_sample_array_names_numpy():
    out = run_child("import sys; sys.modules['numpy'] = None\nimport drovik\ntry:\n"
                    "    drovik.sample_array(drovik.from_pmf([1.0], [1.0]), 3)\nexcept ImportError as e:\n    print(e)\n",
                    timeout=120)
    assert out.returncode == 0 and "numpy" in out.stdout and "pip install numpy" in out.stdout, out.stderr


# ---------------------------------------------------------------------------
# Arrays in


@pytest.mark.parametrize("call", [
    lambda a: drovik.from_pmf(a([1.0, 2.0, 5.0]), a([2, 3, 5])).sample_n(50, seed=3),
    lambda a: drovik.gaussian_copula(a([[1.0, 0.5], [0.5, 1.0]])).sample([lambda u: u, lambda u: u], seed=2),
])
def test_numpy_arrays_are_taken_like_lists(call):
    assert call(np.array) == call(list)


def test_array_items_fail_like_list_items_and_a_zero_dimensional_array_is_no_sequence():
    with pytest.raises(TypeError) as from_list:  # the items of the array as Python objects, not numpy's
        drovik.from_pmf([[1.0], [2.0]], [0.5, 0.5])
    raises_exactly(TypeError, str(from_list.value), drovik.from_pmf, np.array([[1.0], [2.0]]), [0.5, 0.5])
    raises_exactly(TypeError, "argument 'points': 'ndarray' object cannot be converted to 'Sequence'",
                   drovik.from_pmf, np.array(1.0), [1.0])
