"""Choosing the smoothing and the jump cost: scores, the smoother's statistics, select."""

import multiprocessing
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest
from helpers import evaluate
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk._smoothing import segment_stats

JUMPS = (3.0, 6.5)


def signal(n=200, dim=1, sigma=0.1, seed=0):
    """Smooth curves with steps at JUMPS on irregular x in [0, 10]."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, n))
    steps = (x > JUMPS[0]) * 1.0 - (x > JUMPS[1]) * 1.5
    y = np.sin(0.6 * x)[:, None] * np.arange(1, dim + 1) + steps[:, None]
    return x, y + sigma * rng.standard_normal((n, dim))


# --- the cross-validation score -------------------------------------------------------


@pytest.mark.parametrize("dim,p,gamma", [(1, 0.95, 0.01), (2, 0.8, 0.05), (1, 0.0, 1.0)])
def test_cv_score_scores_every_held_out_sample_like_the_core(dim, p, gamma):
    # With folds that hold out every sample once, the mean over held-out samples is the
    # core's score, whose divisor is the number of samples; jumps must not hide samples.
    x, y = signal(n=80, dim=dim)
    delta = np.random.default_rng(1).uniform(0.05, 0.2, 80)
    folds = velk.kfold(80, 4, seed=2)
    assert len(velk.fit(x, y, p=p, gamma=gamma, delta=delta).jumps) >= 1
    core = velk.velk_cvscore(x, y, p, gamma, delta, folds)
    got = velk.cv_score(x, y, p=p, gamma=gamma, delta=delta, folds=folds)
    assert got == pytest.approx(core, rel=1e-12)
    assert velk.cv_score(x, y, p=p, gamma=gamma, delta=delta, folds=4) == pytest.approx(
        velk.velk_cvscore(x, y, p, gamma, delta, velk.kfold(80, 4, seed=0)), rel=1e-12
    )


def test_cv_score_folds_refer_to_input_rows():
    x, y = signal(n=40)
    x[7] = np.nan
    folds = [[0, 7, 12], [3, 20], [1, 39]]
    keep = np.arange(40) != 7
    remapped = [[0, 11], [3, 19], [1, 38]]
    got = velk.cv_score(x, y, p=0.9, gamma=1.0, folds=folds)
    assert got == velk.cv_score(x[keep], y[keep], p=0.9, gamma=1.0, folds=remapped)
    with pytest.raises(ValueError, match="out of range"):
        velk.cv_score(x, y, p=0.9, gamma=1.0, folds=[[40]])


@pytest.mark.parametrize("kw", [{"p": 1.5}, {"gamma": 0.0}, {"folds": [list(range(39))]}])
def test_cv_score_is_infinite_for_unusable_settings(kw):
    x, y = signal(n=40)
    args = {"p": 0.9, "gamma": 1.0, **kw}
    assert velk.cv_score(x, y, **args) == np.inf


# --- the smoothing length and the smoother's statistics -------------------------------


@pytest.mark.parametrize("m", [3, 4, 7, 30])
@pytest.mark.parametrize("lam", [1e-3, 1.0, 1e4, np.inf])
def test_segment_trace_is_the_trace_of_the_fitted_hat_matrix(m, lam):
    # The core fits the identity's columns: its values at x are the hat matrix.
    rng = np.random.default_rng(m)
    x = np.sort(rng.uniform(0.0, m, m))
    w = rng.uniform(0.5, 2.0, m)
    res = velk.velk(x, np.eye(m), 1.0 / (1.0 + lam), np.inf, 1.0 / np.sqrt(w))
    hat = evaluate(res, x)
    tr, logdet = segment_stats(x, w, lam)
    assert tr == pytest.approx(np.trace(hat), rel=1e-8, abs=1e-8)
    assert np.isfinite(logdet)


@pytest.mark.parametrize("m,lam", [(5, 0.3), (12, 20.0)])
def test_segment_logdet_matches_a_dense_determinant(m, lam):
    rng = np.random.default_rng(m)
    x = np.sort(rng.uniform(0.0, m, m))
    w = rng.uniform(0.5, 2.0, m)
    h = np.diff(x)
    q = np.zeros((m, m - 2))
    r = np.zeros((m - 2, m - 2))
    for j in range(m - 2):
        q[j : j + 3, j] = [1 / h[j], -1 / h[j] - 1 / h[j + 1], 1 / h[j + 1]]
        r[j, j] = (h[j] + h[j + 1]) / 3
        if j + 1 < m - 2:
            r[j, j + 1] = r[j + 1, j] = h[j + 1] / 6
    a = r / lam + q.T @ np.diag(1 / w) @ q
    assert segment_stats(x, w, lam)[1] == pytest.approx(np.linalg.slogdet(a)[1], rel=1e-10)


def test_smoothing_length_is_p_in_units_of_x():
    x, y = signal(n=150)
    delta = 0.1
    h = (x[-1] - x[0]) / (len(x) - 1)
    lam = 0.5**4 / delta**2 / h
    by_length = velk.fit(x, y, smoothing=0.5, gamma=0.5, delta=delta)
    by_p = velk.fit(x, y, p=1.0 / (1.0 + lam), gamma=0.5, delta=delta)
    assert_allclose(by_length.coefs, by_p.coefs, rtol=1e-9, atol=1e-9)
    assert by_length.p == pytest.approx(by_p.p, rel=1e-12)
    with pytest.raises(ValueError, match="exactly one of p and smoothing"):
        velk.fit(x, y, p=0.5, smoothing=0.5, gamma=1.0)
    with pytest.raises(ValueError, match="smoothing must satisfy"):
        velk.fit(x, y, smoothing=-1.0, gamma=1.0)


# --- select ---------------------------------------------------------------------------


def family(kind, n, seed):
    rng = np.random.default_rng([seed, n])
    t = np.arange(n) / n
    y = rng.standard_normal(n)
    if kind == "smooth":
        y += 2.0 * np.sin(4 * np.pi * t)
    if kind == "step":
        y += np.sin(2 * np.pi * t) + 3.0 * (np.arange(n) >= n // 2 + seed)
    return t, y


@pytest.mark.parametrize("kind,n", [("constant", 100), ("smooth", 100), ("smooth", 300)])
def test_select_finds_no_jump_in_noise(kind, n):
    found = [len(velk.select(*family(kind, n, seed)).spline.jumps) for seed in range(6)]
    assert sum(k > 0 for k in found) <= 1


@pytest.mark.parametrize("n,least", [(100, 4), (300, 4)])
def test_select_finds_one_step(n, least):
    hits = 0
    for seed in range(6):
        sel = velk.select(*family("step", n, seed))
        hits += (
            len(sel.spline.jumps) == 1 and abs(sel.spline.jump_indices[0] + 1 - n // 2 - seed) <= 3
        )
    assert hits >= least


@pytest.mark.parametrize("criterion", ["reml", "cp"])
def test_select_finds_shared_jumps_of_several_components(criterion):
    x, y = signal(n=200, dim=2, sigma=0.1, seed=3)
    sel = velk.select(x, y, delta=0.1, criterion=criterion)
    assert_allclose(sel.spline.jumps, JUMPS, atol=0.1)
    assert sel.noise == pytest.approx(1.0, rel=0.25)
    i = list(sel.lam_grid).index(sel.lam)
    assert sel.scores[i, 0] == sel.score == sel.scores.min()
    assert sel.n_jumps[i, 0] == 2 and (sel.spline.p, sel.spline.gamma) == (sel.p, sel.gamma)


def test_select_follows_a_best_choice_beyond_its_first_grid():
    # A step between straight lines: the best smoothing lies beyond the first grid, up
    # to straight lines, after which there is nothing further to search.
    x = np.linspace(0.0, 1.0, 120)
    y = 2.0 * x + 3.0 * (x > 0.4) + 0.1 * np.random.default_rng(0).standard_normal(120)
    sel = velk.select(x, y, smoothing=[0.01, 0.1])
    assert sel.edge == "the last smoothing of the grid"
    sel = velk.select(x, y)
    assert sel.edge is None and len(sel.spline.jumps) == 1
    t, y = family("constant", 200, 0)
    sel = velk.select(t, y)
    assert sel.edge is None and len(sel.spline.jumps) == 0
    assert "Selection(reml" in repr(sel) and "settings searched" in repr(sel)


SCALES = [
    (1e-3, 1.0),
    (1e3, 1e-3),
    (1.0, 40.0),
    (1e-9, 1.0),
    (1e9, 1.0),
]


@pytest.mark.parametrize("xs,ys", SCALES)
def test_select_makes_the_same_choice_in_other_units(xs, ys):
    x, y = signal(n=150, seed=4)
    ref = velk.select(x, y[:, 0])
    sel = velk.select(x * xs, y[:, 0] * ys)
    assert_allclose(sel.smoothing_grid / xs, ref.smoothing_grid, rtol=1e-9)
    assert_allclose(sel.n_jumps, ref.n_jumps)
    assert sel.smoothing / xs == pytest.approx(ref.smoothing, rel=1e-9)
    assert_allclose(sel.spline.jumps / xs, ref.spline.jumps, rtol=1e-9)
    assert sel.noise / ys == pytest.approx(ref.noise, rel=1e-9)


@pytest.mark.parametrize("how", ["threads", "processes", "n_jobs"])
def test_select_in_parallel_equals_serial(how):
    x, y = signal(n=100, dim=2)
    serial = velk.select(x, y, delta=0.1)
    if how == "threads":
        with ThreadPoolExecutor(3) as pool:
            par = velk.select(x, y, delta=0.1, executor=pool)
    elif how == "processes":
        ctx = multiprocessing.get_context("forkserver")
        with ProcessPoolExecutor(2, mp_context=ctx) as pool:
            par = velk.select(x, y, delta=0.1, executor=pool)
    else:
        par = velk.select(x, y, delta=0.1, n_jobs=2)
    assert_array_equal(par.scores, serial.scores)
    assert (par.p, par.gamma) == (serial.p, serial.gamma)
    assert_array_equal(par.spline.coefs, serial.spline.coefs)


def test_select_progress_line_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as if tqdm were not installed
    x, y = signal(n=40)
    velk.select(x, y, p=0.9, gamma=[1.0, 2.0], progress=True)
    assert capsys.readouterr().err.endswith("2/2 settings scored\n")


def test_select_plot_draws_the_search():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y = signal(n=80)
    sel = velk.select(x, y, criterion="cv", folds=velk.kfold(80, 2, shuffle=False))
    try:
        ax = sel.plot()
        assert len(ax.lines) == sel.scores.shape[1] + 1  # one per gamma column, the choice
    finally:
        plt.close("all")


@pytest.mark.parametrize(
    "kw,message",
    [
        ({"p": [2.0]}, "no setting"),
        ({"p": 0.5, "smoothing": 1.0}, "not both"),
        ({"criterion": "aic"}, "criterion must be one of"),
        ({"n_jobs": 2, "executor": ThreadPoolExecutor(1)}, "not both"),
        ({"n_jobs": 0}, "n_jobs"),
    ],
)
def test_select_rejects(kw, message):
    x, y = signal(n=40)
    with pytest.raises(ValueError, match=message):
        velk.select(x, y, **kw)
