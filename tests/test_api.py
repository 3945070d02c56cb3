"""The Python API: JumpSpline evaluation, fit input handling, folds."""

import pickle

import numpy as np
import pytest
from helpers import evaluate
from numpy.testing import assert_allclose, assert_array_equal

import velk

JUMPS = (3.0, 6.5)


def signal(n=200, dim=1, sigma=0.1, seed=0):
    """Smooth curves with steps at JUMPS on irregular x in [0, 10]."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, n))
    steps = (x > JUMPS[0]) * 1.0 - (x > JUMPS[1]) * 1.5
    y = np.sin(0.6 * x)[:, None] * np.arange(1, dim + 1) + steps[:, None]
    return x, y + sigma * rng.standard_normal((n, dim))


def probe_points(spl):
    """Breaks (interior and outer), points between them, and points far outside."""
    b = spl.breaks
    return np.concatenate([b, (b[1:] + b[:-1]) / 2, [b[0] - 5.0, b[-1] + 5.0]])


# --- evaluation -------------------------------------------------------------------------


@pytest.mark.parametrize("dim", [1, 3])
def test_values_equal_independent_evaluation_and_ppoly(dim):
    x, y = signal(dim=dim)
    spl = velk.fit(x, y, p=0.95, gamma=50.0, delta=0.1)
    raw = velk.velk(x, y, 0.95, 50.0, np.full(len(x), 0.1))
    assert len(spl.jumps) == 2
    t = probe_points(spl)
    own = {"breaks": spl.breaks, "coefs": spl.coefs.reshape(-1, 4), "dim": dim}
    assert_array_equal(spl(t), evaluate(own, t))  # bit for bit, like the core evaluates
    assert_allclose(spl(t), evaluate(raw, t), rtol=1e-9, atol=1e-9)
    assert_allclose(spl.to_ppoly()(t), spl(t), rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("nu", [1, 2, 3])
def test_derivatives_match_finite_differences(nu):
    x, y = signal(dim=2)
    spl = velk.fit(x, y, p=0.9, gamma=50.0, delta=0.1)
    b = spl.breaks
    # Points well inside pieces, where the curve is a single cubic.
    t = b[:-1] + np.array([0.3, 0.7])[:, None] * np.diff(b)
    t = t[:, np.diff(b) > 1e-3].ravel()
    h = 1e-6
    fd = (spl(t + h, nu - 1) - spl(t - h, nu - 1)) / (2 * h)
    assert_allclose(spl(t, nu), fd, rtol=1e-5, atol=1e-5 * np.abs(fd).max())


@pytest.mark.parametrize(
    "y,t,shape",
    [
        ([0.0, 1.0, 4.0, 9.0], 2.5, ()),
        ([0, 1, 4, 9], [[1.0, 2.0, 3.0]], (1, 3)),
        (np.zeros((4, 1)), [1.0, 2.0], (2, 1)),
        (np.zeros((4, 3)), 2.0, (3,)),
    ],
)
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
    assert len(spl.x) == 60 - 3 - 2
    t = probe_points(spl)
    assert_allclose(spl(t), evaluate(raw, t)[:, 0], rtol=1e-9, atol=1e-12)
    assert_array_equal(spl.jump_indices, raw["discont_idx"])
    cover = np.concatenate([np.arange(len(spl.x))[s] for s in spl.segments])
    assert_array_equal(cover, np.arange(len(spl.x)))


@pytest.mark.parametrize(
    "kw,message",
    [
        ({"p": 1.5}, "p must satisfy 0 <= p <= 1, got 1.5"),
        ({"gamma": -1.0}, "gamma must satisfy 0 <= gamma, got -1"),
        ({"x": [1.0, 2.0]}, "x must be 1-D with one value per sample"),
        ({"delta": -0.1}, "delta must be positive"),
        ({"y": np.zeros((4, 2, 2))}, "y must be 1-D or 2-D"),
        ({"y": [1.0, np.nan, np.nan, np.nan]}, "at least two finite data points"),
    ],
)
def test_invalid_input_raises_value_error(kw, message):
    args = {"x": None, "y": [1.0, 2.0, 0.0, 3.0], "p": 0.5, "gamma": 1.0, **kw}
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        velk.fit(args.pop("x"), args.pop("y"), **args)


def test_spline_is_immutable_and_pickles():
    x, y = signal(n=50)
    spl = velk.fit(x, y[:, 0], p=0.9, gamma=2.0, delta=0.1)
    with pytest.raises(AttributeError):
        spl.p = 0.5
    with pytest.raises(ValueError):
        spl.breaks[0] = 0.0
    copy = pickle.loads(pickle.dumps(spl))
    t = probe_points(spl)
    assert_array_equal(copy(t), spl(t))
    assert repr(copy) == repr(spl) and "jumps=[" in repr(spl)


# --- folds -----------------------------------------------------------------------------


@pytest.mark.parametrize("n,k,shuffle", [(10, 3, True), (11, 5, False), (5, 5, True)])
def test_kfold_partitions(n, k, shuffle):
    folds = velk.kfold(n, k, shuffle=shuffle, seed=4)
    assert_array_equal(np.sort(np.concatenate(folds)), np.arange(n))
    assert max(map(len, folds)) - min(map(len, folds)) <= 1
    assert all(np.all(np.diff(f) > 0) for f in folds)
    again = velk.kfold(n, k, shuffle=shuffle, seed=4)
    assert all(np.array_equal(a, b) for a, b in zip(folds, again))
    if not shuffle:
        assert_array_equal(folds[1], np.arange(1, n, k))
    with pytest.raises(ValueError):
        velk.kfold(n, n + 1)
