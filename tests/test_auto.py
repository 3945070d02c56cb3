"""noise="auto": the other models screened at the Gaussian search's choice, a full search
only under one that beats it there, and the charge that keeps chance from winning."""

from __future__ import annotations

import math

import numpy as np
import pytest
from helpers import ar1

import velk
from velk import _plan
from velk._plan import Options, job_of
from velk._robust import likeliest_nu
from velk._samples import read
from velk._select import searched

pytestmark = pytest.mark.no_leak_check  # dozens of reweighted fits a selection


def curve(seed: int, kind: str, n: int = 400):
    rng = np.random.default_rng(seed)
    x = np.arange(float(n))
    e = rng.standard_normal(n)
    y = np.sin(4 * np.pi * x / n)
    if kind == "outliers":
        e[rng.choice(n, n // 50, replace=False)] += 6.0 * rng.choice([-1.0, 1.0], n // 50)
        y = y + 2.5 * 0.3 * (x >= n // 2)
    elif kind == "spikes":  # a few so large that the Gaussian fit isolates each
        e[rng.choice(n, 3, replace=False)] += 20.0 * rng.choice([-1.0, 1.0], 3)
        y = y + 2.5 * 0.3 * (x >= n // 2)
    elif kind.startswith("ar"):
        e = ar1(e, float(kind[2:]))
    elif kind == "step":
        y = y + 2.5 * 0.3 * (x >= n // 2)
    return x, y + 0.3 * e


def full(x, y, nu=math.inf, phi=None):
    """The full default search under one noise model."""
    t, plan = job_of(read(x, y, None), Options.of(None, None, None, None, "functional", "none"),
                     False, nu=nu, phi=phi)  # fmt: skip
    return searched(t, plan, None, False)[0].best()


@pytest.mark.parametrize(
    ("kind", "seed", "model"),
    [("outliers", 0, "student-t"), ("outliers", 1, "student-t"), ("spikes", 0, "student-t"),
     ("spikes", 1, "student-t"), ("ar0.5", 2, "ar1"), ("ar0.8", 1, "ar1"), ("ar0.8", 4, "ar1")],
)  # fmt: skip
def test_auto_is_the_full_search_under_the_model_that_wins_the_screen(
    kind, seed, model, monkeypatch
):
    x, y = curve(seed, kind)
    calls = []

    def spy(self, nu, phi, v, at=_plan.Screen.at):
        return calls.append((nu, phi, v)) or at(self, nu, phi, v)

    monkeypatch.setattr(_plan.Screen, "at", spy)
    sel = velk.select(x, y, noise="auto", n_jobs=1)
    assert sel.noise_model == model
    # No false jump, the step found.
    assert sel.spline.jump_indices.tolist() == ([] if kind.startswith("ar") else [199])
    best, gauss = full(x, y, nu=sel.nu, phi=sel.phi if model == "ar1" else None), full(x, y)
    assert (sel.score, sel.smoothing) == (best.score, best.length)
    assert sel.score < gauss.score
    # Where each walk of the screen starts and which way it goes: AR(1) noise doubles the
    # length from the Gaussian choice at phi's estimate, t noise starts at the likeliest
    # nu there and then halves the length.
    start, ar = gauss.length, [(phi, v) for nu, phi, v in calls if phi is not None]
    walk = [v for phi, v in ar if phi == ar[0][0]]  # at phi's estimate, before the profile
    if model == "ar1" or seed == 0:  # seed 1's estimates of phi are below 0: no walk
        assert walk[0] == 2 * start and sorted(walk) == [start * 2.0**k for k in range(len(walk))]
    t = [(nu, v) for nu, phi, v in calls if phi is None]
    if model == "ar1":
        assert not t  # its misfits read Gaussian: no t fit
    else:
        assert (likeliest_nu(read(x, y, None).samples), start) in t
        halves = [v for _, v in t if v != start]
        assert halves and all(v == start / 2.0 ** (k + 1) for k, v in enumerate(halves))
    # The screens side by side on a pool choose the same.
    two = velk.select(x, y, noise="auto", n_jobs=2)
    assert (two.score, two.noise_model, two.nu, two.phi) == (sel.score, model, sel.nu, sel.phi)


def test_a_model_with_a_parameter_pays_log_m_for_it(monkeypatch):
    # AR(1) noise with phi = 0 is the independent model, plus the charge for phi; a phi
    # given is searched alone.
    x, y = curve(0, "step")
    gauss = velk.select(x, y, noise="gaussian")
    monkeypatch.setattr(_plan, "estimate_phi", lambda *a: pytest.fail("phi was given"))
    ar = velk.select(x, y, noise=0.0)
    assert (ar.noise_model, ar.phi, ar.smoothing) == ("ar1", 0.0, gauss.smoothing)
    assert ar.score - gauss.score == pytest.approx(math.log(len(x)), abs=1e-6)


NOISE_FREE = {
    "constant": lambda x: np.full((len(x), 1), 3.0),
    "line": lambda x: np.c_[2.0 + 0.5 * x],
    "steps, two components": lambda x: np.c_[1.0 * (x > 60), -2.0 * (x > 130) + 1.0],
}


@pytest.mark.parametrize("even", [True, False])
@pytest.mark.parametrize("kind", sorted(NOISE_FREE))
def test_noise_free_data_read_as_independent_noise(kind, even):
    # Residuals at the rounding floor are no likelier under correlated or heavy-tailed
    # noise: the Gaussian model, which pays for no parameter, wins.
    x = np.arange(200.0) if even else np.cumsum(np.random.default_rng(1).uniform(0.5, 1.5, 200))
    y = NOISE_FREE[kind](x)
    gauss = velk.select(x, y, n_jobs=1)  # noise="auto", the default
    assert gauss.noise_model == "gaussian"
    for noise in ("ar1", "student-t"):
        assert velk.select(x, y, noise=noise, n_jobs=1).score > gauss.score + 1.0


@pytest.mark.parametrize("phi", [0.4, 0.9])
def test_rounding_rows_are_what_independent_noise_leaves_in_the_ar_rows(phi):
    from velk._ar1 import correlations, rounding_rows

    x = np.cumsum(np.random.default_rng(2).uniform(0.2, 2.0, 12))
    firsts = np.array([4, 9])
    c = correlations(x, phi)
    rows = np.eye(12)  # the row transform of the AR(1) fit, built densely
    inner = np.setdiff1d(np.arange(1, 12), firsts)  # rows that difference with the one before
    rows[inner, inner - 1] = -c[inner]
    rows[inner] /= np.sqrt(1.0 - c[inner] ** 2)[:, None]
    # E |R e|^2 = trace(R R^T) for e independent of unit variance.
    assert rounding_rows(x, phi, firsts) == pytest.approx(np.sum(rows**2) / 12, rel=1e-12)


@pytest.mark.parametrize("seed", [9, 10])
def test_the_t_screen_walks_down_from_gaussian_lines(seed):
    # Three spikes of 20 sd: the Gaussian fit isolates each between two jumps and then
    # ties on straight lines, where no t fit follows the sine; t noise wants a rougher
    # curve than the Gaussian chose.
    rng = np.random.default_rng(seed)
    x = np.arange(400) / 400
    e = rng.standard_normal(400)
    e[rng.choice(400, 3, replace=False)] += 20.0 * rng.choice([-1.0, 1.0], 3)
    y = np.sin(2 * np.pi * x) + 2.5 * (x >= 0.5) + e
    assert math.isinf(velk.select(x, y, n_jobs=1, noise="gaussian").smoothing)
    sel = velk.select(x, y, noise="auto", n_jobs=1)
    assert sel.noise_model == "student-t"
    (at,) = sel.spline.jump_indices  # the step alone, found within a sample
    assert abs(at - 199) <= 1
