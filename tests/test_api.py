"""The Python API: JumpSpline evaluation, fit input handling, folds."""

import numpy as np
import pytest
from helpers import evaluate, probe_points, signal
from numpy.testing import assert_allclose, assert_array_equal

import velk

# --- evaluation -------------------------------------------------------------------------


@pytest.mark.parametrize("y,t,shape", [
    ([0.0, 1.0, 4.0, 9.0], 2.5, ()), ([0, 1, 4, 9], [[1.0, 2.0, 3.0]], (1, 3)),
    (np.zeros((4, 1)), [1.0, 2.0], (2, 1)), (np.zeros((4, 3)), 2.0, (3,)),
])  # fmt: skip
def test_shapes_follow_input(y, t, shape):
    spl = velk.fit(None, y, p=0.5, gamma=np.inf)
    assert np.shape(spl(t)) == shape
    assert spl.coefs.shape[1:] == (np.shape(y)[1:] + (4,))
    assert_array_equal(spl.x, [1.0, 2.0, 3.0, 4.0])


def test_missing_values_are_dropped_and_duplicates_merged():
    x, y = signal(n=60)
    x[[3, 40]] = x[[2, 41]]  # two duplicate abscissae
    delta = np.full(60, 0.1)
    x[5], y[9, 0], delta[20] = np.nan, np.inf, np.nan
    spl = velk.fit(list(x), y[:, 0], p=0.9, gamma=2.0, delta=delta)
    keep = np.ones(60, bool)
    keep[[5, 9, 20]] = False
    raw = velk.velk(x[keep], y[keep], 0.9, 2.0, delta[keep])
    t = probe_points(spl)
    assert_allclose(spl(t), evaluate(raw, t)[:, 0], rtol=1e-9, atol=1e-12)
    assert_array_equal(spl.jump_indices, raw["discont_idx"])
    cover = np.concatenate([np.arange(len(spl.x))[s] for s in spl.segments])
    assert_array_equal(cover, np.arange(len(spl.x)))
    wrapped = velk.JumpSpline(raw, 0.9, 2.0)  # the raw result, in units of x and y
    assert wrapped.segments == spl.segments
    assert_allclose(wrapped(t)[:, 0], spl(t), rtol=1e-9, atol=1e-12)


# --- folds -----------------------------------------------------------------------------


# The interleaved folds without shuffling are the doctest's of velk._cv.
@pytest.mark.parametrize("n,k", [(10, 3), (5, 5)])
def test_shuffled_kfold_partitions_into_sorted_folds(n, k):
    folds = velk.kfold(n, k, seed=4)
    assert_array_equal(np.sort(np.concatenate(folds)), np.arange(n))
    assert max(map(len, folds)) - min(map(len, folds)) <= 1
    assert all(np.all(np.diff(f) > 0) for f in folds)
