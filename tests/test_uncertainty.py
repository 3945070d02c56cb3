"""Jump tables: intervals, sizes and probabilities of each jump."""

from __future__ import annotations

import pickle

import numpy as np
import pytest
from helpers import ar1, dense_solve

import velk
from velk._ar1 import correlations
from velk._jumps import _sweep, _sweep_ar1


def _series(step: float, n: int = 300, seed: int = 0, sd: float = 0.5) -> tuple[np.ndarray, ...]:
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 10.0, n)
    return x, np.sin(x) + step * (x > 5.0) + sd * rng.standard_normal(n)


@pytest.mark.parametrize("q, phi", [(0.7, None), (0.0, None), (0.7, 0.6), (0.0, 0.9)])
def test_filter_energy_matches_direct_likelihood(q: float, phi: float | None) -> None:
    # The integrated Wiener process observed with noise (independent, or AR(1) of
    # correlation phi ** (dx / h) between uneven samples, of unequal variances): the
    # filter's running energy must equal the Gaussian density of samples 2.. given
    # samples 0, 1 computed densely (q = 0: straight lines).
    rng = np.random.default_rng(1)
    x = np.sort(rng.uniform(0, 3, 12))
    y = rng.standard_normal(12)
    var = rng.uniform(0.1, 0.5, 12)
    d = x - x[0]
    noise = np.diag(var)
    if phi is None:
        got = _sweep(x, y, var, q).energy[-1]
    else:
        got = _sweep_ar1(x, y, var, q, correlations(x, phi)).energy[-1]
        lag = np.abs(np.subtract.outer(d, d)) / (d[-1] / 11)
        noise = phi**lag * np.sqrt(np.outer(var, var))
    # Cov of an IWP started from a diffuse level and slope: add a huge level/slope prior
    # (not so huge that the dense solve loses the digits compared).
    lo = np.minimum.outer(d, d)
    k = q * (lo**2 * (3 * np.maximum.outer(d, d) - lo) / 6)
    big = 1e6
    c = k + big * (1 + np.outer(d, d)) + noise
    full = np.linalg.slogdet(2 * np.pi * c)[1] + y @ np.linalg.solve(c, y)
    c2 = c[:2, :2]
    head = np.linalg.slogdet(2 * np.pi * c2)[1] + y[:2] @ np.linalg.solve(c2, y[:2])
    assert got == pytest.approx(full - head, rel=1e-5)


@pytest.mark.parametrize("seed", [1, 3])
def test_ar1_table_is_todays_at_phi_0_and_widens_with_phi(seed: int) -> None:
    # A marginal step (2 sd) under AR(1) noise of correlation 0.6, fitted as such: read
    # with larger phi, the same samples carry less information.
    x, e = np.linspace(0.0, 10.0, 300), ar1(np.random.default_rng(seed).standard_normal(300), 0.6)
    spl = velk.fit(x, np.sin(x) + (x > 5.0) + 0.5 * e, smoothing=0.5, jump_cost=4.0, phi=0.6)
    k = int(np.argmin(np.abs(spl.jumps - 5.0)))
    today = spl._replace(phi=None).jump_table(noise=0.5)
    tables = [spl._replace(phi=phi).jump_table(noise=0.5) for phi in (0.0, 0.3, 0.6)]
    for name in ("low", "high", "size", "size_se", "probability"):
        np.testing.assert_allclose(getattr(tables[0], name), getattr(today, name), rtol=1e-7)
    width = [t.high[k] - t.low[k] for t in tables]
    se = [t.size_se[k, 0] for t in tables]
    assert width[0] <= width[1] <= width[2] and width[0] < width[2]
    assert se[0] < se[1] < se[2]


def test_coverage_of_the_size_is_near_nominal() -> None:
    z = []  # over the tables that found the step at 5 (their intervals: the posterior test's)
    for seed in range(30):
        x, y = _series(3.0, n=200, seed=100 + seed, sd=1.0)
        table = velk.select(x, y).jumps
        near = np.flatnonzero(np.abs(table.position - 5.0) < 0.5)
        if len(near):
            z.append(abs(table.size[near[0], 0] - 3.0) / table.size_se[near[0], 0])
    assert 0.8 <= np.mean(np.array(z) <= 1.96) <= 1.0
    # E|Z| = 0.80 for a standard normal: a standard error doubled gives 0.4, halved 1.6
    assert 0.55 <= np.mean(z) <= 1.1


@pytest.mark.parametrize(
    "step, n, seed, unit, cost",
    [(1.5, 200, 2, 10.0, None), (2.0, 200, 0, 0.1, None), (1.0, 1000, 0, 1.0, None),
     (1.5, 200, 2, 10.0, 16.0)],
)  # fmt: skip
def test_a_jump_select_keeps_is_charged_in_the_noise_it_leaves(step, n, seed, unit, cost):
    # The prior odds per cut are BIC's, (2 dim + 1) log m in the noise variance the fit
    # leaves, as jump_table charges them, whatever estimate the search set its cost with
    # (the first case's cost is 1.26 times that). A prior harsher than select's puts these
    # marginal steps (4 to 5 se) under 0.2; a cost not taken in noise variances (units of
    # y other than the noise's) sends them to 0 or 1. A jump cost of one's own is in units
    # of y squared, and charged in noise variances too.
    rng = np.random.default_rng(seed)
    x = (np.arange(n) + 0.5) / n
    y = np.sin(2 * np.pi * x) + step * (x > 0.5) + rng.standard_normal(n)
    sel = velk.select(x, unit * y, jump_cost=None if cost is None else [cost * unit**2])
    p = sel.jumps.probability
    assert len(p) >= 1 and np.all((0.4 <= p) & (p <= 0.95))
    if cost is None:
        assert p == pytest.approx(sel.spline.jump_table(noise=sel.noise).probability, rel=1e-9)


def test_record_is_read_only_iterable_and_converts_dates_as_the_path_does() -> None:
    t = np.datetime64("2024-01-01") + np.arange(120) * np.timedelta64(1, "D")
    y = np.where(np.arange(120) < 60, 0.0, 3.0) + 0.3 * np.random.default_rng(5).normal(size=120)
    sel = velk.select(t, y)
    table, rows = sel.jumps, list(sel.jumps)
    assert len(rows) == len(table) == len(sel.spline.jumps) >= 1 and len(rows[0]) == 6
    assert table.low.dtype.kind == "M" and rows[0][0] == table.position[0]
    assert np.array_equal(table.position, sel.spline.jumps)
    path = sel.path()  # whose jumps are dates too
    assert np.array_equal(path.jumps[path.at(sel.jump_cost)], sel.spline.jumps)
    with pytest.raises(AttributeError):
        table.size = None  # type: ignore[misc]
    with pytest.raises(ValueError):
        table.size[0, 0] = 1.0
    columns = ["position", "low", "high", "size", "size_se", "probability"]
    assert list(table.to_frame().columns) == columns and "JumpTable" in repr(sel)
    back = pickle.loads(pickle.dumps(sel)).jumps
    assert np.array_equal(back.low, table.low) and np.array_equal(back.size_se, table.size_se)
    y = np.sin(3 * t.astype(float) / 120) + 0.1 * np.random.default_rng(6).normal(size=120)
    assert repr(velk.select(t, y).jumps) == "JumpTable(no jumps)"


@pytest.mark.parametrize("step, seed", [(1.5, 7), (2.0, 8), (4.0, 9)])
def test_table_is_the_posterior_of_piece_by_piece_scores_and_fits(step, seed):
    # Score every cut from fresh sweeps of its two pieces: a shifted index, a wrong level
    # or an interval taken too wide or too narrow makes the tables differ. The
    # probability from fresh fits of the pieces: a jump at each cut has prior odds
    # m ** -1.5 (BIC's charge, 3 log m noise variances), against the fit energy it saves.
    n, sd = 80, 1.0
    x, y = _series(step, n=n, seed=seed, sd=sd)
    spl = velk.fit(x, y, smoothing=0.5, jump_cost=2.0)
    k = int(np.argmin(np.abs(spl.jumps - 5.0)))
    table = spl.jump_table(noise=sd)
    a, b = spl.segments[k].start, spl.segments[k + 1].stop
    x, y = x[a:b], y[a:b]
    q = sd**2 / ((1 - spl.p) / spl.p)
    var = np.full(b - a, sd**2)
    cuts = np.arange(2, b - a - 1)

    def energy(x, y, var):
        return _sweep(x, y, var, q).energy[-1]

    def fitted(x, y):  # the smoothing-spline energy of one piece fitted alone
        return dense_solve(x, y[:, None], np.ones(len(x)), (1 - spl.p) / spl.p)[0]

    score = np.array([energy(x[:c], y[:c], var[:c]) + energy(-x[c:][::-1], y[c:][::-1], var[c:])
                      for c in cuts])  # fmt: skip
    post = np.exp(-0.5 * (score - score.min()))
    post /= post.sum()
    order = np.argsort(-post)
    kept = order[: np.searchsorted(np.cumsum(post[order]), 0.95) + 1]
    mid = 0.5 * (x[:-1] + x[1:])
    assert table.low[k] == pytest.approx(mid[cuts[kept].min() - 1])
    assert table.high[k] == pytest.approx(mid[cuts[kept].max() - 1])
    saved = [fitted(x, y) - fitted(x[:c], y[:c]) - fitted(x[c:], y[c:]) for c in cuts]
    odds = np.sum(np.exp(0.5 * (np.array(saved) / sd**2 - 3 * np.log(n))))
    inside = (cuts >= cuts[kept].min()) & (cuts <= cuts[kept].max())  # kept may skip some
    assert table.probability[k] == pytest.approx(odds / (1 + odds) * post[inside].sum(), rel=1e-4)


@pytest.mark.parametrize("phi, smoothing", [(None, 0.5), (0.6, 0.5), (None, np.inf), (0.9, 0.2)])
def test_the_mirrored_series_gives_the_mirrored_table(phi, smoothing):
    # Each cut is scored by a forward sweep of the piece before it and a backward sweep of
    # the piece after it: reflected data must swap the two and change nothing else. Each
    # size is the spline's own jump: straight lines too (their filter has no curvature),
    # and the fits under AR(1) noise, whose filter carries the noise.
    rng = np.random.default_rng(3)
    x = np.sort(rng.uniform(0.0, 10.0, 200))  # uneven: correlations phi ** (dx / h)
    d = rng.uniform(0.5, 1.5, 200)  # and unequal variances
    y = np.sin(x) + 1.5 * (x > 4) - 1.0 * (x > 7) + 0.4 * d * ar1(rng.standard_normal(200), 0.6)
    fits = [velk.fit(u, v, delta=e, smoothing=smoothing, jump_cost=3.0, phi=phi)
            for u, v, e in ((x, y, d), (-x[::-1], y[::-1], d[::-1]))]  # fmt: skip
    a, b = fits[0].jump_table(0.4, d), fits[1].jump_table(0.4, d[::-1])
    assert len(a) >= 2
    for j, size in zip(fits[0].jumps, a.size[:, 0]):
        gap = fits[0](j) - fits[0](np.nextafter(j, -np.inf))
        assert size == pytest.approx(gap, rel=1e-6, abs=1e-9)
    np.testing.assert_allclose(a.position, -b.position[::-1])
    np.testing.assert_allclose(np.c_[a.low, a.high], -np.c_[b.high, b.low][::-1], rtol=1e-9)
    np.testing.assert_allclose(np.c_[a.size, a.size_se], np.c_[-b.size, b.size_se][::-1], rtol=1e-6)
    np.testing.assert_allclose(a.probability, b.probability[::-1], rtol=1e-4)
