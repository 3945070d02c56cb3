"""The jump search (p < 1, finite gamma) through velk.velk: worked examples, edges, ties."""

import math

import numpy as np
import pytest
from helpers import evaluate, piecewise_data
from numpy.testing import assert_allclose, assert_array_equal

import velk

PRUNINGS = ["FPVI", "PELT"]


def fit(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none"):
    y = np.asarray(y, dtype=float).reshape(len(x), -1)  # 1-D: one component
    return velk.velk(np.asarray(x, dtype=float), y, p, gamma, delta, pruning, precondition)


# --- worked examples --------------------------------------------------------------------


@pytest.mark.parametrize("precondition", ["none", "local"])
def test_prefix_energies_worked_example(precondition):
    res = fit([0, 1, 2, 4], [0, 1, 0, 3], 0.5, 1e300, precondition=precondition)
    assert_allclose(res["F"], [0, 0, 3 / 10, 237 / 340], rtol=1e-14)
    assert res["complexity_counter"] == 4
    assert fit([0, 1, 2, 4], [0, 1, 0, 3], 0.0, 1e300)["complexity_counter"] == 4  # lines too
    # Preconditioning changes only the rounding (the C++ searches check both): its slope
    # scales are the one sign that it ran.
    assert (res["tau"] == 1.0).all() == (precondition == "none")


@pytest.mark.parametrize(
    "y, p, gamma, pruning, counter",
    [([0, 0, 0, 1, 1, 1], 0.5, 0.1, "FPVI", 18), ([0, 0, 0, 1, 1, 1], 0.5, 0.1, "PELT", 12),
     ([0, 1, 2, 10, 9, 8], 0.0, 1.0, "FPVI", 12), ([0, 1, 2, 10, 9, 8], 0.0, 1.0, "PELT", 12)],
)  # fmt: skip
def test_search_worked_examples(y, p, gamma, pruning, counter):
    res = fit(range(6), y, p, gamma, pruning=pruning)
    assert_allclose(res["F"], np.r_[0, 0, 0, 1, 1, 1] * gamma, atol=1e-15 if p else 1e-14)
    assert_array_equal(res["partition"], [0, 0, 0, 2, 3, 3])
    assert res["complexity_counter"] == counter


@pytest.mark.parametrize("pruning", PRUNINGS)
@pytest.mark.parametrize("p", [0.0, 0.5])
@pytest.mark.parametrize("gamma", [0.0, math.nan])
def test_two_samples(pruning, p, gamma):
    res = fit([1, 3], [5, -2], p, gamma, pruning=pruning)
    assert_array_equal(res["F"], [0, 0])
    assert_array_equal(res["partition"], [0, 0])
    assert res["complexity_counter"] == 2
    assert_array_equal(res["breaks"], [0, 1, 3, 4])
    assert_allclose(evaluate(res, [0.0, 2.0, 4.0])[:, 0], [8.5, 1.5, -5.5])  # the line, extended


@pytest.mark.parametrize("pruning, p", [("FPVI", 0.3), ("PELT", 0.3), ("FPVI", 0.0)])
def test_nan_gamma_takes_no_jump(pruning, p):
    x, y, delta = piecewise_data(np.random.default_rng(5), 15, 2)
    res, ref = (fit(x, y, p, gamma, delta, pruning) for gamma in (math.nan, 1e300))
    assert_array_equal(res["F"], ref["F"])
    assert_array_equal(res["partition"], np.zeros(15))
    if pruning == "FPVI":  # every scan runs down to l = 1
        n = 15
        assert res["complexity_counter"] == n + (sum(range(2, n)) if p else (n - 2) * (n - 3) // 2)


@pytest.mark.parametrize("pruning", PRUNINGS)
def test_ties_keep_no_jump_then_the_shortest_last_segment(pruning):
    # Zero runs have energy exactly 0: at r = 5 the starts 4 and 3 both cost
    # F[3] + gamma = F[2] + gamma = 2 gamma exactly.
    res = fit(range(6), [1, -2, 5, 0, 0, 0], 0.5, 0.01, pruning=pruning)
    assert_array_equal(res["partition"], [0, 0, 1, 2, 3, 4])
    assert res["F"][5] == 0.01 + 0.01
    # gamma equal to E(0, 2): the jump at 2 costs exactly the no-jump value.
    y = [0, 1, 0, 5, -3, 7]
    F = fit(range(6), y, 0.5, 1e300)["F"]
    assert fit(range(6), y, 0.5, F[2], pruning=pruning)["partition"][2] == 0
    # gamma equal to the cost of no jump at all: no jump can win, and no search is run.
    assert fit(range(6), y, 0.5, F[5], pruning=pruning)["complexity_counter"] == 6
