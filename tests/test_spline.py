"""JumpSpline's calculus against scipy's PPoly as a black box, extrapolation, construction."""

import pickle

import numpy as np
import pytest
from helpers import probe_points
from numpy.testing import assert_allclose, assert_array_equal
from scipy.interpolate import PPoly

import velk


def jumpy(dim=1, n=120, seed=0, scale=1.0):
    """A fit with two jumps (one across zero) of curves that cross zero several times, on x
    times `scale` (30: the fit's unit of x is 2, not 1)."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, n))
    y = np.cos(x)[:, None] * np.arange(1, dim + 1) + np.where(x > 4.0, 1.5, 0.0)[:, None]
    y += np.where(x > 7.0, -2.0, 0.0)[:, None] + 0.05 * rng.standard_normal((n, dim))
    lam = 0.01 / 0.99 * scale**3  # the same curve whatever the scale
    p = 1.0 / (1.0 + lam)
    spl = velk.fit(scale * x, y if dim > 1 else y[:, 0], p=p, gamma=20.0 / 0.99 * p, delta=0.05)
    assert len(spl.jumps) == 2
    return spl


def oracle(spl):
    """scipy's own PPoly of the curve, built from breaks and coefs alone."""
    return PPoly(np.moveaxis(spl.coefs, -1, 0).copy(), spl.breaks, extrapolate=True)


@pytest.mark.parametrize("dim, scale", [(1, 1.0), (2, 1.0), (1, 30.0)])
@pytest.mark.parametrize("nu", [1, 2, 3, 4, 6])
def test_derivatives_agree_with_ppoly(dim, scale, nu):
    spl = jumpy(dim, scale=scale)
    t = probe_points(spl)
    assert_allclose(spl(t), oracle(spl)(t), rtol=1e-12, atol=1e-12)  # the values too
    assert_allclose(spl.to_ppoly()(t), spl(t), rtol=1e-13, atol=1e-13)
    want = oracle(spl).derivative(nu)(t) if nu < 4 else np.zeros(t.shape + spl(t).shape[1:])
    assert_allclose(spl(t, nu=nu), want, rtol=1e-12, atol=1e-12)
    assert_array_equal(spl.derivative(nu)(t), spl(t, nu=nu))  # one evaluation, same bits
    assert_allclose(spl.derivative(1).derivative(nu - 1)(t), spl(t, nu=nu), rtol=1e-13, atol=0)


@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize("nu", [1, 2])
def test_antiderivative_agrees_with_ppoly_and_vanishes_at_the_first_sample(dim, nu):
    spl = jumpy(dim)
    t = probe_points(spl)
    F = spl.antiderivative(nu)
    # Antiderivatives differ by a polynomial of degree nu - 1: compare derivatives of order
    # nu - 1, which differ by a constant, here fixed by F's value at x[0].
    g = oracle(spl).antiderivative(nu).derivative(nu - 1)
    assert_allclose(F.derivative(nu - 1)(t), g(t) - g(spl.x[0]), rtol=1e-10, atol=1e-10)
    assert_allclose(F(spl.x[0]), 0.0, atol=1e-14)
    assert_allclose(F.derivative(nu)(t), spl(t), rtol=1e-10, atol=1e-10)
    assert F.coefs.shape[-1] == 4 + nu and "nu=-" in repr(F)


@pytest.mark.parametrize("dim", [1, 2])
def test_integrate_agrees_with_ppoly_across_jumps(dim):
    spl = jumpy(dim)
    for a, b in [(0.5, 9.5), (3.9, 4.1), (9.5, 0.5), (-2.0, 12.0), (5.0, 5.0), (6.9, 7.1)]:
        assert_allclose(spl.integrate(a, b), oracle(spl).integrate(a, b), rtol=1e-10, atol=1e-10)
    ab = spl.integrate([0.5, 9.5], [[9.5], [0.5]])
    assert ab.shape == (2, 2) + (() if dim == 1 else (dim,))
    assert_allclose(ab[0, 0], -ab[1, 1])


@pytest.mark.parametrize("dim", [1, 3])
def test_roots_agree_with_ppoly(dim):
    spl = jumpy(dim)
    got, want = spl.roots(), oracle(spl).roots(discontinuity=False)
    if dim == 1:
        got, want = [got], [want]
    assert len(got) == dim
    for i, (g, w) in enumerate(zip(got, want)):  # component i's roots
        assert len(g) >= 3
        assert_allclose(g, w, rtol=0, atol=1e-9)
        assert_allclose(spl(g).reshape(len(g), -1)[:, i], 0, atol=1e-9)


def test_roots_at_jumps_and_on_zero_segments():
    x = np.arange(12.0)
    y = np.array([2.0, 2, 2, 2, -1, -1, -1, -1, 0, 0, 0, 0])  # across zero, then zero
    spl = velk.fit(x, y, p=0.9, gamma=0.01)
    assert_allclose(spl.jumps, [3.5, 7.5])
    # The step across zero at 3.5 is no root; the zero segment reports where it starts,
    # which is its jump (the curve takes its right-hand value there).
    assert_allclose(spl.roots(), [7.5])
    assert_allclose(spl.roots(extrapolate="nan"), [7.5])


def test_extrapolate_nan_outside_the_samples():
    spl = jumpy()
    nan = velk.fit(spl.x, spl.y, p=0.99, gamma=5.0, delta=0.05, extrapolate="NaN")
    t = np.array([spl.x[0] - 1.0, spl.x[0], 5.0, spl.x[-1], spl.x[-1] + 1e-9])
    inside = np.array([False, True, True, True, False])
    want = np.where(inside, spl(t), np.nan)  # assert_allclose matches NaN only with NaN
    assert_allclose(nan(t), want, rtol=1e-10)
    assert_allclose(spl(t, extrapolate="nan"), want, rtol=1e-10)
    assert_allclose(nan.to_ppoly()(t), nan(t), rtol=1e-13)
    assert np.isnan(nan.integrate(spl.x[0] - 1.0, 5.0)) and np.isfinite(nan.integrate(1.0, 5.0))
    assert np.all((nan.roots() >= spl.x[0]) & (nan.roots() <= spl.x[-1]))
    assert nan.derivative().extrapolate == "nan" and "extrapolate='nan'" in repr(nan)


def test_splines_pickle_and_stay_immutable():
    spl = jumpy(2)
    t = probe_points(spl)
    raw = velk.JumpSpline(velk.velk(spl.x, spl.y, spl.p, spl.gamma, np.full(120, 0.05)), 0.5, 1.0)
    for s in (spl, spl.derivative(2), spl.antiderivative(), raw):
        copy = pickle.loads(pickle.dumps(s))
        assert_array_equal(copy(t), s(t))
        assert repr(copy) == repr(s)
        assert_array_equal(copy.jumps, spl.jumps)
        with pytest.raises(AttributeError, match="immutable"):
            s.p = 0.5
        with pytest.raises(AttributeError, match="immutable"):
            del s.p
        with pytest.raises(ValueError, match="read-only"):
            s.breaks[0] = 0.0


def test_values_at_infinity_and_nan_are_the_end_pieces_limits():
    spl = jumpy(2)
    right, left = spl.derivative()([spl.x[-1], spl.x[0]])  # the straight end pieces' slopes
    t = np.array([np.inf, -np.inf, np.nan])
    want = np.array([np.sign(right) * np.inf, -np.sign(left) * np.inf, [np.nan, np.nan]])
    assert_array_equal(spl(t), want)  # and no warning (the suite makes warnings errors)
    assert_array_equal(spl(t, nu=1), [right, left, [np.nan, np.nan]])
    assert_array_equal(spl(t, nu=2), [[0, 0], [0, 0], [np.nan, np.nan]])
    flat = velk.fit(np.arange(5.0), np.ones(5), p=0.5, gamma=1.0)
    assert_array_equal(flat([-np.inf, np.inf]), [1.0, 1.0])
    ends = np.sign([right, -left]) * [[np.inf], [-np.inf]]
    assert_array_equal(spl.antiderivative()(t)[:2], ends)
