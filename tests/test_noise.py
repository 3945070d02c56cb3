"""Student-t noise: the reweighted fits, their score and the choice of noise model."""

from __future__ import annotations

import math

import numpy as np
import pytest
from numpy.testing import assert_allclose

import velk
from velk import _engine, _robust
from velk._robust import exact_fit, likeliest_nu, objective, start_weights, t_evidence, t_fit
from velk._score import evidence

# Searches of dozens of fits each, through the entry points that the other files check for
# leaks; LeakSanitizer's slow unwinding of every allocation made this file alone about a
# fifth of the sanitizer session.
pytestmark = pytest.mark.no_leak_check


def outliers(seed: int, dim: int = 1, uneven: bool = False, n: int = 300):
    """A 2.5 sd step at the middle, 2 % of the samples 6 sd off."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, n, n)) if uneven else np.arange(float(n))
    y = np.sin(x / 40.0)[:, None] + 2.5 * (x > n / 2)[:, None] + rng.standard_normal((n, dim))
    bad = rng.choice(n, n // 50, replace=False)
    y[bad] += 6.0 * rng.choice([-1.0, 1.0], (len(bad), 1))
    return x, y


@pytest.mark.parametrize("nu", [2.0, 4.0, 16.0])
@pytest.mark.parametrize(
    ("dim", "uneven", "weighted"), [(1, False, False), (2, True, False), (3, False, True)]
)
def test_objective_never_increases_and_iterations_are_bounded(
    nu, dim, uneven, weighted, monkeypatch
):
    x, y = outliers(5, dim, uneven)
    delta = np.linspace(0.7, 1.4, len(x)) if weighted else None
    s = _engine.prepare(x, y, delta)
    cost = (2 * dim + 1) * math.log(len(x))
    searched = []

    def fit(run, omega, lam, jumps=None):
        searched.append(jumps is None)
        return exact_fit(run, omega, lam, jumps)

    monkeypatch.setattr(_robust, "exact_fit", fit)
    tf = t_fit(s, length=8.0, jump_cost=cost, nu=nu, scale=1.0)
    steps = np.diff(tf.objective)
    assert np.all(steps <= 1e-9 * abs(tf.objective[0]))
    assert 1 <= tf.iterations == len(tf.objective) - 1 == len(searched) - 1 <= 40
    # The jumps are kept until a fall below a thousandth of a unit, then searched for; the
    # first such fall of a search ends the run. So the last fit searched, and few did.
    flat = [False, *(-steps <= 1e-3)]
    assert searched == [True, *flat[:-1]]
    assert flat[-1] and not any(f and e for f, e in zip(flat[1:-1], searched[1:-1]))
    assert tf.res["samples_fed"] > 0 and sum(searched) <= 3
    # Cut short, the run still ends on a search.
    monkeypatch.setattr(_robust, "MAX_ITER", 2)
    searched.clear()
    assert t_fit(s, length=8.0, jump_cost=cost, nu=nu, scale=1.0).iterations == 2
    assert searched == [True, False, True]
    # The last value is L at the fit and scale returned, recomputed from the fit's curve
    # and stats (a stale fit or scale would not match); and no other scale does better.
    st = tf.res["stats"]
    pen = st["prss"] - st["rss"] + cost * len(tf.res["jumps"])
    assert objective(tf.u, tf.scale, nu, dim, pen) == pytest.approx(tf.objective[-1], rel=1e-12)
    for f in (0.999, 1.001):
        assert objective(tf.u, f * tf.scale, nu, dim, pen) > tf.objective[-1]
    # Every reweighted fit smooths with the lam the engine takes for the length as given.
    lam = _engine.fit(s, length=8.0, jump_cost=cost)["lam"]
    assert tf.res["lam"] == pytest.approx(lam, rel=1e-13)


@pytest.mark.parametrize("at", [0, 1, 7, 19])
def test_start_weights_single_out_an_outlier_and_trust_a_line(at):
    x = np.cumsum(np.linspace(0.5, 1.5, 20))
    y = (2.0 * x - 1.0)[:, None]
    clean = start_weights(_engine.prepare(x, y), 1.0, 4.0)
    assert np.allclose(clean, 5.0 / 4.0)  # a line is fitted exactly by every neighbour pair
    assert np.allclose(start_weights(_engine.prepare(x[:3], y[:3]), 1.0, 4.0), 5.0 / 4.0)
    y[at] += 10.0
    w = start_weights(_engine.prepare(x, y), 1.0, 4.0)
    assert w[at] <= w.min() * (1.0 + 1e-12) and w[at] < 0.3


@pytest.mark.parametrize("floor", [0.0, 1e-6])
@pytest.mark.parametrize("dim", [1, 2])
def test_t_score_tends_to_the_gaussian_one(dim, floor):
    # As nu grows the t density, its normaliser included, becomes the Gaussian one: a
    # missing log-gamma or log(nu pi) term, or a wrong constant, breaks the limit. With
    # a floor above the residuals (a line fitted exactly), both count every value at it.
    rng = np.random.default_rng(0)
    x = np.arange(200.0)
    if floor:
        y = np.tile(1.0 + 0.5 * x[:, None], (1, dim))
    else:
        y = np.cos(x / 30.0)[:, None] + rng.standard_normal((200, dim))
    s = _engine.prepare(x, y)
    cost = (2 * dim + 1) * math.log(200)
    tf = t_fit(s, length=10.0, jump_cost=cost, nu=1e10, scale=1.0, floor=floor)
    # The Gaussian score at the same fit, the scale profiled the same way, plus the
    # charge for nu.
    k = len(tf.res["jumps"])
    g = evidence(200, dim, k, dict(tf.res["stats"]), floor) + math.log(200)
    assert t_evidence(200, dim, tf, 1e10, floor) == pytest.approx(g, abs=0.05 + cost / 200 * k)


def test_the_jump_table_of_t_noise_weighs_the_outliers_as_the_fit_did():
    # Read with every sample at full weight, the outliers draw the position's posterior:
    # to the last samples (seed 1, an outlier at 299) or across half the series (seed 0).
    for seed in (0, 1):
        x, y = outliers(seed)
        ((pos, low, high, _, _, prob),) = velk.select(x, y[:, 0], noise="t").jumps
        assert pos == 150.5 and low <= pos <= high <= low + 4.0 and prob > 0.9


def test_names_of_the_noise_models_and_the_t_scale_in_units_of_y():
    x, y = outliers(1)
    a, b = velk.select(x, y[:, 0], noise="gaussian"), velk.select(x, y[:, 0], noise="White")
    assert a.score == b.score and (a.noise_model, b.noise_model) == ("gaussian", "gaussian")
    assert np.array_equal(a.spline.jumps, b.spline.jumps)
    default, auto = velk.select(x, y[:, 0]), velk.select(x, y[:, 0], noise="AUTO")
    assert default.score == auto.score < a.score and default.noise_model == "student-t"
    t, t1000 = (velk.select(x, u * y[:, 0], noise="t") for u in (1.0, 1000.0))
    assert t.noise_model == "student-t" and t.noise == pytest.approx(t1000.noise / 1000, rel=1e-6)
    in_hours = velk.select(x / 60.0, y[:, 0], noise="t")  # and of x
    assert in_hours.score == pytest.approx(t.score, rel=1e-9)
    assert_allclose(in_hours.spline.jumps * 60.0, t.spline.jumps, rtol=1e-12)
    assert 0.5 < t.noise < 1.5 and t.nu in (2.0, 4.0, 8.0, 16.0)
    assert t.iterations >= 1 and "student-t" in repr(t)


def tailed(kind: str, dim: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    e = rng.standard_normal((400, dim))
    if kind.startswith("t"):  # one scale per sample, shared by its components
        nu = float(kind[1:])
        e /= np.sqrt(rng.chisquare(nu, (400, 1)) / nu)
    elif kind == "spikes":
        e[rng.choice(400, 4, replace=False)] += 25.0
    return 0.3 * e


@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize(
    ("kind", "likely"),
    [("gaussian", {math.inf}), ("t2", {2.0, 4.0}), ("t4", {2.0, 4.0, 8.0}),
     ("spikes", {2.0, 4.0})],
)  # fmt: skip
def test_the_likeliest_nu_of_the_neighbour_misfits(kind, likely, dim):
    x = np.arange(400.0)
    curve = np.sin(x / 40.0)[:, None] + 1.0 * (x >= 200)[:, None]
    for seed, unit in zip(range(3), (1.0, 1e-3, 1e3)):  # in any units of y
        s = _engine.prepare(x, unit * (curve + tailed(kind, dim, seed)))
        assert likeliest_nu(s) in likely
    # No noise at all (a line): nothing to read, the Gaussian model.
    assert likeliest_nu(_engine.prepare(x, 2.0 * x[:, None])) == math.inf
