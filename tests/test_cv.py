"""Cross-validation score: recomputed independently from single fits."""

import numpy as np
import pytest
from helpers import evaluate

from velk import velk, velk_cvscore


def reference_score(x, y, delta, folds, p, gamma, **kw):
    n = len(x)
    total = 0.0
    for fold in folds:
        keep = np.setdiff1d(np.arange(n), fold)
        r = velk(x[keep], y[keep], p, gamma, delta[keep], **kw)
        pred = evaluate(r, x[list(fold)])
        total += np.sum(((pred - y[list(fold)]) / delta[list(fold), None]) ** 2)
    return total / n


def data(n=40, dim=1, seed=0):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0, 10, n))
    y = (
        np.sin(x)[:, None]
        + (x > 5)[:, None] * np.arange(1, dim + 1)
        + 0.1 * rng.standard_normal((n, dim))
    )
    delta = rng.uniform(0.5, 2.0, n)
    return x, y, delta


class TestScore:
    @pytest.mark.parametrize("dim", [1, 3])
    @pytest.mark.parametrize(
        "p,gamma,kw",
        [
            (0.9, np.inf, {}),
            (1.0, 1.0, {}),
            (0.95, 2.0, {}),
            (0.95, 2.0, {"pruning": "PELT"}),
            (0.0, 1.0, {}),
            (0.9, 0.5, {"precondition": "local"}),
        ],
    )
    def test_matches_independent_recomputation(self, dim, p, gamma, kw):
        x, y, delta = data(dim=dim)
        rng = np.random.default_rng(dim)
        perm = rng.permutation(len(x))
        folds = [sorted(perm[k::5]) for k in range(5)]
        got = velk_cvscore(x, y, p, gamma, delta, folds, **kw)
        assert got == pytest.approx(reference_score(x, y, delta, folds, p, gamma, **kw), rel=1e-12)

    def test_repeats_count_each_time_divisor_stays_n(self):
        x, y, delta = data()
        once = velk_cvscore(x, y, 0.9, 1.0, delta, [[3]])
        twice = velk_cvscore(x, y, 0.9, 1.0, delta, [[3, 3]])
        assert once > 0 and twice == 2 * once

    def test_folds_outside_every_fold_still_count_in_n(self):
        x, y, delta = data(n=20)
        folds = [[0, 2], [1, 3]]
        assert velk_cvscore(x, y, 0.9, 1.0, delta, folds) == pytest.approx(
            reference_score(x, y, delta, folds, 0.9, 1.0), rel=1e-12
        )

    @pytest.mark.parametrize("folds,expected", [([], 0.0), ([[]], 0.0)])
    def test_nothing_held_out(self, folds, expected):
        x, y, delta = data()
        assert velk_cvscore(x, y, 0.9, 1.0, delta, folds) == expected

    @pytest.mark.parametrize(
        "p,gamma", [(0.5, 0.0), (0.5, -1.0), (-0.5, 1.0), (1.5, 1.0), (np.nan, 1.0)]
    )
    def test_screened_parameters_give_inf(self, p, gamma):
        x, y, delta = data()
        assert velk_cvscore(x, y, p, gamma, delta, [[0]]) == np.inf

    def test_failed_training_fit_gives_inf_before_bad_index_is_seen(self):
        x, y, delta = data(n=5)
        assert velk_cvscore(x, y, 0.9, 1.0, delta, [[0, 1, 2, 3], [99]]) == np.inf
        assert velk_cvscore(x[:0], y[:0], 0.9, 1.0, delta[:0], [[]]) == np.inf

    def test_empty_input_without_folds_is_nan(self):
        x, y, delta = data(n=0)
        assert np.isnan(velk_cvscore(x, y, 0.9, 1.0, delta, []))

    @pytest.mark.parametrize("residual,expected", [(1.0, np.inf), (0.0, None)])
    def test_zero_delta_of_held_out_sample(self, residual, expected):
        x = np.arange(6.0)
        y = (2 * x)[:, None]
        y[2] += residual  # a straight line elsewhere: the held-out prediction is exact
        delta = np.ones(6)
        delta[2] = 0.0
        got = velk_cvscore(x, y, 1.0, np.inf, delta, [[2]])
        assert got == expected if expected is not None else np.isnan(got)

    @pytest.mark.parametrize("fold", [[-1], [40], [2**40]])
    def test_out_of_range_index_after_successful_fit_is_internal_error(self, fold):
        x, y, delta = data()
        with pytest.raises(BaseException) as info:
            velk_cvscore(x, y, 0.9, 1.0, delta, [[1], fold])
        assert type(info.value).__name__ == "InternalError"
        assert not isinstance(info.value, Exception)

    def test_short_y_is_internal_error(self):
        x, y, delta = data()
        with pytest.raises(BaseException) as info:
            velk_cvscore(x, y[:-1], 0.9, 1.0, delta, [[1]])
        assert type(info.value).__name__ == "InternalError"
