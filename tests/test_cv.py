"""The raw cross-validation score, recomputed independently from single fits."""

import numpy as np
import pytest
from helpers import evaluate

from velk import velk, velk_cvscore


def reference_score(x, y, delta, folds, p, gamma, **kw):
    total = 0.0
    for fold in folds:
        keep = np.setdiff1d(np.arange(len(x)), fold)
        pred = evaluate(velk(x[keep], y[keep], p, gamma, delta[keep], **kw), x[list(fold)])
        total += np.sum(((pred - y[list(fold)]) / delta[list(fold), None]) ** 2)
    return total / len(x)


def data(n=40, dim=1, seed=0):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0, 10, n))
    y = np.sin(x)[:, None] + (x > 5)[:, None] * np.arange(1, dim + 1)
    return x, y + 0.1 * rng.standard_normal((n, dim)), rng.uniform(0.5, 2.0, n)


@pytest.mark.parametrize("dim", [1, 3])
@pytest.mark.parametrize(
    "p,gamma,kw",
    [(0.9, np.inf, {}), (1.0, 1.0, {}), (0.95, 2.0, {}), (0.95, 2.0, {"pruning": "PELT"}),
     (0.0, 1.0, {}), (0.9, 0.5, {"precondition": "local"})],
)  # fmt: skip
def test_matches_independent_recomputation(dim, p, gamma, kw):
    x, y, delta = data(dim=dim)
    perm = np.random.default_rng(dim).permutation(len(x))
    folds = [sorted(perm[k::5]) for k in range(4)]  # a fifth in no fold, still counted in n
    got = velk_cvscore(x, y, p, gamma, delta, folds, **kw)
    assert got == pytest.approx(reference_score(x, y, delta, folds, p, gamma, **kw), rel=1e-12)


@pytest.mark.parametrize("n,p,gamma,folds,expected", [
    (40, 0.9, 1.0, [[3, 3]], "twice [[3]]"),  # a repeated index counts each time
    (40, 0.9, 1.0, [], 0.0), (40, 0.9, 1.0, [[]], 0.0),
    # Screened settings.
    (40, 0.5, 0.0, [[0]], np.inf), (40, 0.5, -1.0, [[0]], np.inf), (40, -0.5, 1.0, [[0]], np.inf),
    (40, 1.5, 1.0, [[0]], np.inf), (40, np.nan, 1.0, [[0]], np.inf),
    (5, 0.9, 1.0, [[0, 1, 2, 3], [99]], np.inf),  # a failed fit, before the bad index
    (0, 0.9, 1.0, [[]], np.inf), (0, 0.9, 1.0, [], np.nan),
])  # fmt: skip
def test_special_scores(n, p, gamma, folds, expected):
    x, y, delta = data(n=n)
    got = velk_cvscore(x, y, p, gamma, delta, folds)
    if expected == "twice [[3]]":
        assert got > 0 and got == 2 * velk_cvscore(x, y, p, gamma, delta, [[3]])
    else:
        assert got == expected or (np.isnan(expected) and np.isnan(got))


@pytest.mark.parametrize("residual,expected", [(1.0, np.inf), (0.0, np.nan)])
def test_zero_delta_of_held_out_sample(residual, expected):
    x = np.arange(6.0)
    y = (2 * x)[:, None]
    y[2] += residual  # a straight line elsewhere: the held-out prediction is exact
    delta = np.ones(6)
    delta[2] = 0.0
    got = velk_cvscore(x, y, 1.0, np.inf, delta, [[2]])
    assert got == expected or (np.isnan(expected) and np.isnan(got))
