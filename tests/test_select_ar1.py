"""select under AR(1) noise: phi found near the truth and no false jumps on autocorrelated
series, the step found, the profile's walk, the level a jump cost starts from, and what a
selection under AR(1) noise reports (its jump table under the AR(1) model)."""

from __future__ import annotations

import math

import numpy as np
import pytest
from helpers import ar1, engine_samples

import velk
from velk._ar1 import PHI_MAX, level_factor, profile
from velk._jumps import table_of


def series(seed, phi, n=400, step=0.0, sd=0.3, noise=False):
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    e = ar1(rng.standard_normal(n), phi)
    y = np.sin(4 * np.pi * x / n) + step * sd * (x >= n // 2) + sd * e
    return (x, y, e) if noise else (x, y)


@pytest.mark.parametrize("phi", [0.5, 0.8])
@pytest.mark.parametrize("seed", [0, 1, 3])
def test_smooth_curve_under_ar1_noise(phi, seed):
    x, y, e = series(seed, phi, noise=True)
    sel = velk.select(x, y, noise="ar1")
    # Near the correlation the noise drawn has (seed 1's is 0.1 to 0.15 below phi).
    assert abs(sel.phi - np.corrcoef(e[1:], e[:-1])[0, 1]) <= 0.15
    assert len(sel.spline.jumps) == 0
    # Between the innovations' level and the noise's (the curve takes up some of its
    # slow wander), not below the innovations'.
    assert 0.3 * math.sqrt(1 - phi * phi) * 0.9 < sel.noise < 0.3 * 1.2


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_step_under_ar1_noise_and_its_ar1_table_but_no_path(seed):
    x, y = series(seed, 0.5, step=3.0)
    sel = velk.select(x, y, noise="ar1")
    assert sel.spline.jump_indices.tolist() == [199]
    want = table_of(sel.spline, sel.noise, np.ones(len(x)))  # BIC's charge, as select's
    assert sel.phi > 0 and len(sel.jumps) == 1 and "ar1, phi=" in repr(sel)
    for name in ("low", "high", "size", "size_se", "probability"):
        np.testing.assert_array_equal(getattr(sel.jumps, name), getattr(want, name))
    with pytest.raises(ValueError, match="AR\\(1\\)"):
        sel.path()


@pytest.mark.parametrize(
    ("start", "truth", "want"),
    [([0.1, 0.25, 0.4], 0.83, 0.85), ([0.6, 0.75, 0.9], 0.1, 0.15), ([0.8, 0.95], 0.99, 0.95),
     ([0.0, 0.15], -0.5, 0.0), ([0.3, 0.45, 0.6], 0.44, 0.45)],
)  # fmt: skip
def test_profile_walks_to_the_best(start, truth, want):
    runs = []
    got = profile(lambda phi: runs.append(phi) or phi, lambda v: (v - truth) ** 2, start)
    assert got == pytest.approx(want)
    assert len(runs) == len(set(runs)) and all(0.0 <= v <= PHI_MAX for v in runs)


@pytest.mark.parametrize("phi", [0.0, 0.5, 0.8])
def test_level_factor_restores_the_marginal_level(phi):
    rng = np.random.default_rng(7)
    e = ar1(rng.standard_normal(20000), phi)
    samples = engine_samples(np.arange(20000.0), e)
    level = float(samples.noise_level()[0]) * level_factor(phi)
    assert level == pytest.approx(1.0, rel=0.05)
