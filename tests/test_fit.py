"""Fits without a jump search (p = 1 or gamma = inf), through velk.velk."""

import math

import numpy as np
import pytest
from helpers import evaluate, piecewise_data, prepare_reference
from hypothesis import given, settings
from hypothesis import strategies as st
from numpy.testing import assert_allclose, assert_array_equal
from scipy.interpolate import make_smoothing_spline

import velk
from velk import _engine

INF = math.inf
NAN = math.nan


# --- input preparation -----------------------------------------------------------------

XS = st.sampled_from([-0.0, 0.0, 1.0, 2.0, 2.5, -3.0, 7.0, INF])
YS = st.one_of(st.floats(-1e3, 1e3), st.sampled_from([NAN, INF]))
DS = st.floats(0.1, 10.0) | st.floats(-10.0, -0.1)


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_preparation_matches_reference(data):
    n = data.draw(st.integers(2, 12))
    dim = data.draw(st.integers(1, 2))
    x = np.array(data.draw(st.lists(XS, min_size=n, max_size=n)))
    y = np.array(data.draw(st.lists(st.lists(YS, min_size=dim, max_size=dim), min_size=n,
                                    max_size=n)))  # fmt: skip
    delta = np.array(data.draw(st.lists(DS, min_size=n, max_size=n)))
    ref = prepare_reference(x, y, delta)
    if isinstance(ref, int):  # too few samples left
        with pytest.raises(RuntimeError, match=f"got {ref}$"):
            velk.velk(x, y, 1.0, 0.0, delta)
        return
    res = velk.velk(x, y, 1.0, 0.0, delta)
    assert_array_equal(res["x"], ref[0])
    assert_array_equal(np.signbit(res["x"]), np.signbit(ref[0]))  # first of -0.0/+0.0 kept
    assert_array_equal(res["y"], ref[1])  # bit for bit: same sums in the same order
    if not np.isfinite(x).all():  # the engine drops such rows, the core keeps them
        return
    # The engine's preparation: the same samples and weights, and each row's sample.
    s = _engine.prepare(x, y, np.abs(delta), index=True)  # it wants delta > 0
    assert_array_equal(s.x, ref[0])
    assert_allclose(s.y, ref[1], rtol=1e-12, atol=1e-12)
    assert_allclose(s.w, ref[2], rtol=1e-14)
    finite = np.isfinite(y).all(axis=1)
    assert_array_equal(s.index, np.where(finite, np.searchsorted(ref[0], x), -1))


def test_merged_weights_enter_the_fit():
    # Duplicated abscissae fit like one sample with the summed weight and weighted mean.
    rng = np.random.default_rng(1)
    x, y, delta = piecewise_data(rng, 12, 1)
    dup = [0, 3, 3, 7, 11]
    xa, ya, da = np.r_[x, x[dup]], np.r_[y, y[dup] + 0.5], np.r_[delta, 2 * delta[dup]]
    perm = rng.permutation(len(xa))
    res = velk.velk(xa[perm], ya[perm], 0.7, INF, da[perm])
    xr, yr, wr = prepare_reference(xa, ya, da)
    oracle = make_smoothing_spline(xr, yr[:, 0], w=wr, lam=(1 - 0.7) / 0.7)
    assert_allclose(evaluate(res, xr)[:, 0], oracle(xr), rtol=1e-9, atol=1e-9)


def test_worked_example():
    # The natural interpolating spline, extended by its tangents one unit beyond the ends.
    res = velk.velk(np.array([0.0, 1.0, 2.0]), np.array([[0.0], [1.0], [0.0]]), 1.0, INF)
    assert_array_equal(res["breaks"], [-1.0, 0.0, 1.0, 2.0, 3.0])
    rows = [[0, 0, 1.5, -1.5], [-0.5, 0, 1.5, 0], [0.5, -1.5, 0, 1], [0, 0, -1.5, 0]]
    assert_allclose(res["coefs"], rows, rtol=0, atol=1e-14)
