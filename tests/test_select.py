"""Choosing the smoothing and the jump cost: scores, the smoother's statistics, select."""

import contextlib
import math
import multiprocessing
import os
import sys
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest
from helpers import JUMPS, engine_fit, evaluate, run_python, signal
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk import _engine, _lockstep, _plan, _search
from velk._plan import Options, job_of
from velk._progress import Progress
from velk._samples import grid_step, read
from velk._score import bic_cost

# Searches of dozens of fits each, through the entry points that the other files check for
# leaks; LeakSanitizer's slow unwinding of every allocation made this file alone about a
# fifth of the sanitizer session.
pytestmark = pytest.mark.no_leak_check

# --- the cross-validation score -------------------------------------------------------


@pytest.mark.parametrize(
    "dim,kw",
    [(1, {"p": 0.95, "gamma": 0.01}), (2, {"p": 0.8, "gamma": 0.05}), (1, {"p": 0.0, "gamma": 1.0}),
     (1, {"smoothing": 0.5, "jump_cost": 2.0, "phi": 0.7})],
)  # fmt: skip
def test_cv_score_is_the_mean_error_of_fits_without_each_fold(dim, kw):
    # Every held-out sample counts, in units of its delta; jumps must not hide samples.
    x, y = signal(n=80, dim=dim)
    delta = np.random.default_rng(1).uniform(0.05, 0.2, 80)
    folds = velk.kfold(80, 4, seed=0)  # what folds=4 means
    assert len(velk.fit(x, y, delta=delta, **kw).jumps) >= 1
    total = 0.0
    for held in folds:
        train = np.setdiff1d(np.arange(80), held)
        spl = velk.fit(x[train], y[train], delta=delta[train], **kw)
        total += float(np.sum(((spl(x[held]) - y[held]) / delta[held, None]) ** 2))
    for given in (folds, 4):
        got = velk.cv_score(x, y, delta=delta, folds=given, **kw)
        assert got == pytest.approx(total / 80, rel=1e-12)


def test_cv_score_folds_refer_to_input_rows():
    x, y = signal(n=40)
    x[7] = np.nan
    keep, remapped = np.arange(40) != 7, [[0, 11], [3, 19], [1, 38]]
    got = velk.cv_score(x, y, p=0.9, gamma=1.0, folds=[[0, 7, 12], [3, 20], [1, 39]])
    assert got == velk.cv_score(x[keep], y[keep], p=0.9, gamma=1.0, folds=remapped)


@pytest.mark.parametrize(
    "kw", [{"p": 1.5}, {"gamma": 0.0}, {"folds": [list(range(39))]}, {"folds": [[]]},
           {"p": None, "gamma": None, "smoothing": 1.0, "jump_cost": 0.0}]
)  # fmt: skip
def test_cv_score_is_infinite_for_unusable_settings(kw):
    assert velk.cv_score(*signal(n=40), **{"p": 0.9, "gamma": 1.0, **kw}) == np.inf


# --- the smoothing length and the smoother's statistics -------------------------------


@pytest.mark.parametrize("m", [3, 4, 7, 30])
@pytest.mark.parametrize("lam", [1e-3, 1.0, 1e4, np.inf])
def test_degrees_of_freedom_are_the_trace_of_the_hat_matrix(m, lam):
    # The core fits the identity's columns: its values at x are the hat matrix.
    rng = np.random.default_rng(m)
    x = np.sort(rng.uniform(0.0, m, m))
    w = rng.uniform(0.5, 2.0, m)
    hat = evaluate(velk.velk(x, np.eye(m), 1.0 / (1.0 + lam), np.inf, 1.0 / np.sqrt(w)), x)
    res = engine_fit(x, np.zeros(m), 1.0 / np.sqrt(w), lam=lam, jump_cost=np.inf, stats=True)
    assert res["stats"]["edf"] == pytest.approx(np.trace(hat), rel=1e-8, abs=1e-8)


def test_smoothing_length_is_p_in_units_of_x():
    x, y = signal(n=150)
    lam = 0.5**4 / 0.1**2 / ((x[-1] - x[0]) / (len(x) - 1))
    by_length = velk.fit(x, y, smoothing=0.5, jump_cost=50.0, delta=0.1)
    by_p = velk.fit(x, y, p=1.0 / (1.0 + lam), jump_cost=50.0, delta=0.1)
    assert_allclose(by_length.coefs, by_p.coefs, rtol=1e-9, atol=1e-9)
    assert by_length.p == pytest.approx(by_p.p, rel=1e-12)
    assert by_length.gamma == pytest.approx(50.0 * by_p.p, rel=1e-12)


# --- select ---------------------------------------------------------------------------


def test_select_finds_shared_jumps_of_several_components():
    x, y = signal(n=200, dim=2, sigma=0.1, seed=3)
    sel = velk.select(x, y, delta=0.1)
    assert_allclose(sel.spline.jumps, JUMPS, atol=0.1)
    assert sel.noise == pytest.approx(1.0, rel=0.25)
    i = int(np.argmin(sel.scores))
    assert sel.scores[i] == sel.score and sel.smoothing_grid[i] == sel.smoothing
    assert sel.n_jumps[i] == 2 and (sel.spline.p, sel.spline.gamma) == (sel.p, sel.gamma)
    # The choice reproduces through fit.
    again = velk.fit(x, y, smoothing=sel.smoothing, jump_cost=sel.jump_cost, delta=0.1)
    assert_allclose(again(x), sel.spline(x), rtol=1e-12, atol=1e-12)


def test_select_says_when_its_choice_sits_on_an_edge():
    # A curve sampled six times a period, almost without noise: the least smooth wins,
    # down to the floor of the search.
    x = np.arange(200.0)
    y = np.sin(x) + 1e-6 * np.random.default_rng(0).standard_normal(200)
    sel = velk.select(x, y)
    assert sel.edge == "rough" and sel.smoothing == min(sel.smoothing_grid)
    assert "rough edge" in repr(sel)
    assert velk.select(x, y, smoothing=[0.3, 3.0]).edge == "rough"
    # A step between straight lines: a given grid too rough, or the default search.
    x = np.linspace(0.0, 1.0, 120)
    y = 2.0 * x + 3.0 * (x > 0.4) + 0.1 * np.random.default_rng(0).standard_normal(120)
    assert velk.select(x, y, smoothing=[0.01, 0.1]).edge == "smooth"
    assert velk.select(x, y, smoothing=[1e-3, 0.1, np.inf]).edge is None
    sel = velk.select(x, y)
    assert sel.edge is None and len(sel.spline.jumps) == 1


def test_select_stops_where_a_rougher_length_loses():
    # Here the search's least smooth length wins and half of it loses: the search must end
    # there, not halve the same length forever (in a child process, so that a hang fails
    # the test instead of stalling the suite).
    code = (
        "import numpy as np, velk; x = np.arange(14.0); y = (x >= 6) + 0.003 * "
        "np.random.default_rng(1).standard_normal(14); sel = velk.select(x, y, n_jobs=1); "
        "assert sel.edge is None and sel.smoothing > min(sel.smoothing_grid), sel"
    )
    r = run_python(["-c", code], timeout=60)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("xs,ys", [(1e-3, 1.0), (1e3, 1e-3), (1.0, 40.0), (1e-9, 1.0), (1e9, 1.0)])
def test_select_makes_the_same_choice_in_other_units(xs, ys):
    x, y = signal(n=150, seed=4)
    ref = velk.select(x, y[:, 0])
    sel = velk.select(x * xs, y[:, 0] * ys)
    assert_allclose(sel.smoothing_grid / xs, ref.smoothing_grid, rtol=1e-9)
    assert_array_equal(sel.n_jumps, ref.n_jumps)
    assert_allclose(sel.scores, ref.scores, rtol=1e-9, atol=1e-6)
    assert_allclose(sel.spline.jumps / xs, ref.spline.jumps, rtol=1e-9)
    assert sel.noise / ys == pytest.approx(ref.noise, rel=1e-9)


FORKSERVER = multiprocessing.get_context("forkserver")
POOLS = {"threads": lambda: ThreadPoolExecutor(3),
         "processes": lambda: ProcessPoolExecutor(2, mp_context=FORKSERVER)}  # fmt: skip


@pytest.mark.parametrize("how", ["threads", "processes", "n_jobs", "one core"])
def test_select_in_parallel_equals_serial(how, monkeypatch):
    x, y = signal(n=100, dim=2)
    serial = velk.select(x, y, delta=0.1, n_jobs=1)
    if how == "n_jobs":
        par = velk.select(x, y, delta=0.1, n_jobs=2)
    elif how == "one core":  # the default n_jobs there makes no pool
        monkeypatch.setattr(os, "cpu_count", lambda: 1)
        par = velk.select(x, y, delta=0.1)
    else:
        with POOLS[how]() as pool:
            par = velk.select(x, y, delta=0.1, executor=pool)
    assert_array_equal(par.scores, serial.scores)
    assert (par.p, par.gamma) == (serial.p, serial.gamma)
    assert_array_equal(par.spline.coefs, serial.spline.coefs)


def held_until_stopped(flag):
    """A faked fit that runs (10 s at most) until its cancel flag is set."""
    for _ in range(2000):
        if flag[0]:
            break
        threading.Event().wait(0.005)


def test_guesses_of_the_next_round_are_used_once_or_stopped(monkeypatch):
    # A guess is fitted on an idle worker with a flag of its own: used as it is when the
    # strategy asks for it, stopped through its flag when the strategy goes elsewhere.
    x, y = signal(n=100)
    t, _ = job_of(read(x, y, None), Options.of(None, None, None, None, "functional", "none"), False)
    calls, real, started = [], _search.score_cell, threading.Event()

    def score_cell(pb, length, cost):
        calls.append((length, pb.cancel))
        if length == 0.5:  # the round lasts until the guess runs beside it
            started.wait(10.0)
        if length == 8.0:  # the guess nobody asks for: held until it is told to stop
            started.set()
            held_until_stopped(pb.cancel)
        return real(pb, length, cost)

    def strategy(search):
        search.ahead = [(4.0, 9.0), (8.0, 9.0)]
        yield [(0.5, 9.0), (1.0, 9.0)]
        yield [(4.0, 9.0)]

    monkeypatch.setattr(_search, "score_cell", score_cell)
    search = _search.Search(t.pb)
    with ThreadPoolExecutor(3) as pool:
        _search.drive(search, strategy(search), pool, Progress(False))
    assert sorted(v for v, _ in calls) == [0.5, 1.0, 4.0, 8.0]
    flags = dict(calls)
    assert not flags[0.5][0] and flags[8.0][0] == 1 and not t.pb.cancel[0]
    assert list(search.cells) == [(0.5, 9.0), (1.0, 9.0), (4.0, 9.0)]
    assert search.cells[(4.0, 9.0)].score == real(t.pb, 4.0, 9.0)[0].score


def scored(length, cost, score, prss=1.0):
    """A faked fit's cell: no jumps, unit edf and lam."""
    return _search.Cell(length, cost, score, 0, 1.0, prss, 1.0)


# Scores by smoothing length: the best at 2, then clearly worse. The ladder stops at the
# first length that is 80 worse, or 40 worse for the second length running; the length
# after it in its round is dropped unfitted or stopped.
LADDER = {0.25: 9.0, 0.5: 8.0, 1.0: 5.0, 2.0: 0.0, 4.0: 10.0, 8.0: 50.0, 16.0: 45.0, 32.0: 1.0}


@pytest.mark.parametrize(
    "scores,fitted",
    [
        ({}, [0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0]),  # two in a row across rounds
        # the run broken, and then one 40 worse followed by one far worse
        ({16.0: 30.0, 64.0: 60.0}, [0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0, 32.0, 64.0, 128.0]),
        ({4.0: 81.0}, [0.25, 0.5, 1.0, 2.0, 4.0]),  # far worse at once
        ({4.0: 79.0}, [0.25, 0.5, 1.0, 2.0, 4.0, 8.0]),  # two in one round
    ],
)
@pytest.mark.parametrize("how", ["serial", "threads", "in step"])
def test_the_ladder_stops_at_the_first_length_clearly_past_the_best(
    monkeypatch, scores, fitted, how
):
    table = {**LADDER, **scores}
    calls, held, late = [], {}, []
    rung = lambda v: math.log2(v).is_integer()  # noqa: E731 - a length of the ladder

    def cell(v, cost):  # the refinement's lengths within GIVE_UP of the best
        score = 100.0 + table.get(v, 99.0 if rung(v) else 30.0)
        return scored(v, cost, score)

    def score_cell(pb, length, cost):
        calls.append(length)
        if rung(length) and length not in fitted:  # dropped: held until its flag stops it
            held[length] = pb.cancel
            held_until_stopped(pb.cancel)
        return cell(length, cost), {}

    def watched(strategy):  # a round ends with its dropped fits told to stop
        settings = next(strategy)
        with contextlib.suppress(StopIteration):
            while True:
                yield settings
                late.extend(v for v, _ in settings if v in held and not held[v][0])
                settings = strategy.send(None)

    monkeypatch.setattr(_search, "score_cell", score_cell)

    def fit_batch(items, **kw):  # many series in step: a batch of a round's j-th settings
        calls.extend(it[2] for it in items)
        return items

    monkeypatch.setattr(_engine, "fit_batch", fit_batch)
    monkeypatch.setattr(_lockstep, "cell_of", lambda pb, v, cost, res: cell(v, cost))
    cancel = np.zeros(1, np.uint8)
    search = _search.Search(_search.Problem(None, 100, 1, 0.0, "functional", "none", cancel))
    strategy = watched(_search.default_search(search, 1.0, 1e3, 1.0))
    if how == "in step":
        _lockstep.drive_together([(search, strategy)], cancel)
    else:
        with ThreadPoolExecutor(2) if how == "threads" else contextlib.nullcontext() as pool:
            _search.drive(search, strategy, pool, Progress(False))
    assert sorted(v for v, _ in search.cells if rung(v)) == fitted
    assert len(search.cells) == len(fitted) + 4  # and refined around the best in full
    assert search.best().length == 2.0 and not late
    if how != "threads":  # where nothing runs ahead, the dropped are never fitted
        assert sorted(filter(rung, calls)) == fitted


@pytest.mark.parametrize("at_2,rounds", [(30.0, [2, 2, 1]), (10.0, [2, 2, 2])])
def test_a_length_where_the_ladder_likely_stops_goes_alone(at_2, rounds):
    # The parabola through the last three scores foresees 4 past the best by more than
    # twice GIVE_UP: 8 would be stopped unused, so 4 goes alone (the same lengths scored).
    table = {0.25: 30.0, 0.5: 10.0, 1.0: 0.0, 2.0: at_2, 4.0: 200.0, 8.0: 300.0}
    search = _search.Search(None)
    strategy, sizes = _search.default_search(search, 1.0, 1e3, 1.0), []
    batch = next(strategy)
    while len(sizes) < 3:
        sizes.append(len(batch))
        for v, c in batch:
            if search.record((v, c), scored(v, c, table[v]), {}):
                break
        batch = strategy.send(None)
    assert sizes == rounds


@pytest.mark.parametrize(
    "below,above,quarters",
    [(39.0, 39.0, [-1, 1]), (41.0, 10.0, [1]), (5.0, 41.0, [-1]), (50.0, 60.0, [])],
)
def test_the_quarter_octaves_skip_a_side_whose_half_octave_is_clearly_worse(below, above, quarters):
    search = _search.Search(None)
    for v, score in [(2.0, 0.0), (2.0 / 2**0.5, below), (2.0 * 2**0.5, above)]:
        search.record((v, 1.0), scored(v, 1.0, score), {})
    got = _search.quarter_steps(search, 2.0, 1.0, lambda s: None)
    assert got == [(2.0 * 2 ** (q / 4), 1.0) for q in quarters]


@pytest.mark.parametrize(
    ("moved", "again"), [(1.009, False), (0.991, False), (1.011, True), (0.98, True)]
)
def test_the_search_runs_once_more_where_the_noise_left_moves_the_cost(monkeypatch, moved, again):
    # The best at length 2, every fit leaving `moved` times the first noise variance.
    def score_cell(pb, length, cost):
        return scored(length, cost, 50 * abs(math.log2(length) - 1), prss=98 * moved), {}

    monkeypatch.setattr(_search, "score_cell", score_cell)
    pb = _search.Problem(None, 100, 1, 0.0, "functional", "none", np.zeros(1, np.uint8))
    search = _search.Search(pb)
    plan = _plan.default_plan(_plan.Task(None, pb, 1.0, 1.0, 1.0, 1e3))
    _search.drive(search, plan.run(search), None, Progress(False))
    first = bic_cost(100, 1, 1.0)
    later = [s for s in search.cells if s[1] != first]  # (length, jump cost)
    assert sorted(v for v, _ in later) == (
        [2 * 2**k for k in (-0.5, -0.25, 0, 0.25, 0.5)] if again else []
    )
    assert all(cost == pytest.approx(first * moved, rel=1e-12) for _, cost in later)
    assert search.best().length == 2.0


def test_a_slot_reached_after_its_round_takes_no_guess():
    # A worker may reach a slot of the previous round only once the next round has begun,
    # when the guesses it knew are no longer taken: it must not fit them a second time.
    with ThreadPoolExecutor(1) as pool:
        workers = _search.Workers(None, pool)
        workers.live, workers.rounds = True, 2
        workers.slot(lambda known: [(8.0, 9.0)], 1)
        assert not workers.futures
        workers.slot(lambda known: [(8.0, 9.0)], 2)  # its own round's: taken (and fails,
        assert list(workers.futures) == [(8.0, 9.0)]  # with no problem to fit)


def test_the_ladder_guesses_from_the_scores_of_its_round():
    search = _search.Search(None)
    batch, after, cost, h = [1.0, 2.0, 4.0, 8.0], [16.0, 32.0], 5.0, 4.0
    scores = {1.0: 3.0, 2.0: 1.0, 4.0: 2.0, 8.0: None}
    guess = _search.ladder_guess(_search.Past(search), [], batch, after, cost, h)
    known = lambda s: scores[s[0]]  # noqa: E731
    # The best inside the round: refined around it first, dearest first.
    assert guess(known) == [(2.0 * 2**0.5, cost), (2.0 * 2**-0.5, cost), (16.0, cost), (32.0, cost)]
    scores[8.0] = 0.5  # the stiffest wins: the ladder goes on
    assert guess(known) == [(16.0, cost), (32.0, cost)]
    # ... and likely stops at 16 (the parabola through 2, 4 and 8 says 90 above the best):
    # 16 alone, then the refinement around 8.
    scores.update({1.0: 300.0, 2.0: 150.0, 4.0: 20.0, 8.0: 0.0})
    assert guess(known) == [(16.0, cost), (8.0 * 2**0.5, cost), (8.0 * 2**-0.5, cost)]
    scores.update({1.0: 0.0, 8.0: 9.0})  # the least smooth wins: halved
    assert guess(known) == [(0.5, cost), (16.0, cost), (32.0, cost)]
    assert guess(lambda s: None) == [(16.0, cost), (32.0, cost)]
    # The best so far far below the length before it, the stiffer ones still running: the
    # ladder likely goes on.
    scores.update({1.0: 300.0, 2.0: 100.0, 4.0: None, 8.0: None})
    assert guess(known) == [(16.0, cost), (32.0, cost)]


def test_select_with_given_grids(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as if tqdm were not installed
    x, y = signal(n=40)
    sel = velk.select(x, y, p=[0.5, 0.99], gamma=[0.3, 2.0], progress=True)
    assert capsys.readouterr().err.endswith("4 settings scored\n")
    # Every p with every gamma, gamma = p * jump_cost.
    pairs = sorted(zip(sel.p_grid, sel.p_grid * sel.jump_cost_grid))
    assert_allclose(pairs, [(0.5, 0.3), (0.5, 2.0), (0.99, 0.3), (0.99, 2.0)], rtol=1e-12)
    again = velk.fit(x, y, p=sel.p, gamma=sel.gamma)
    assert_allclose(again(x), sel.spline(x), rtol=1e-9, atol=1e-12)
    # p = 1 interpolates (no noise left to score), p = 0 fits straight lines.
    sel = velk.select(x, y, p=[0.0, 0.9, 1.0])
    assert_array_equal(sel.smoothing_grid, [0.0, sel.smoothing_grid[1], np.inf])
    assert sel.scores[0] == np.inf and sel.p == 0.9
    # Jump costs of one's own with the default search of lengths: every length with each.
    sel = velk.select(x, y, jump_cost=[5.0, 50.0])
    assert_array_equal(sel.jump_cost_grid, np.tile([5.0, 50.0], len(sel.scores) // 2))
    # The lengths are those the default search tries at the first cost.
    first = velk.select(x, y, jump_cost=5.0).smoothing_grid
    assert set(sel.smoothing_grid) == set(first)


@pytest.mark.parametrize("grid", [{"smoothing": [5.0]}, {"p": [0.01]}])
def test_given_lengths_jump_at_bics_cost(grid):
    # Without a jump cost, BIC's: (2 dim + 1) log m noise variances, the noise here of unit
    # variance (estimated before any fit, to a few per cent at m = 2000).
    rng = np.random.default_rng(0)
    x = np.arange(2000.0)
    y = np.sin(x / 300.0) + rng.standard_normal(2000)
    sel = velk.select(x, y, **grid, n_jobs=1)
    assert sel.jump_cost == pytest.approx(3 * math.log(2000), rel=0.1)


X200 = np.arange(200.0)
NOISY = np.sin(X200 / 20.0) + (X200 > 100) + 0.1 * np.random.default_rng(0).standard_normal(200)


@pytest.mark.parametrize(
    "x,y,jumps,noise",
    [
        (X200, np.full(200, 3.0), [], 0.0),  # a flat sensor
        (X200, np.zeros(200), [], 0.0),
        (X200, 2.0 * X200 - 1.0, [], 0.0),  # an exact line
        (X200, np.where(X200 < 100, -1.0, 1.0), [99.5], 0.0),  # an exact step
        (X200, np.repeat([3.0, 7.0, -2.0, 7.0], 50), [49.5, 99.5, 149.5], 0.0),
        (X200, NOISY * 1e300, [100.5], 0.0922 * 1e300),  # scales of y the engine handles
        (X200, NOISY * 1e-300, [100.5], 0.0922 * 1e-300),
        (X200 + 1e15, NOISY, [1e15 + 100.5], 0.0922),  # an offset far beyond the spacing
        (np.repeat(X200[:100], 2), NOISY, [49.5], 0.103),  # every x twice
    ],
)  # fmt: skip
def test_select_on_awkward_data(x, y, jumps, noise):
    sel = velk.select(x, y)
    assert_allclose(sel.spline.jumps, jumps, rtol=1e-15, atol=0)
    assert sel.noise == pytest.approx(noise, rel=0.01, abs=0)
    assert np.isfinite(sel.score)


# R's WWWusage: users connected to a server each minute, whole counts of a smooth curve.
WWW = [88, 84, 85, 85, 84, 85, 83, 85, 88, 89, 91, 99, 104, 112, 126, 138, 146, 151, 150, 148,
       147, 149, 143, 132, 131, 139, 147, 150, 148, 145, 140, 134, 131, 131, 129, 126, 126, 132,
       137, 140, 142, 150, 159, 167, 170, 171, 172, 172, 174, 175, 172, 172, 174, 174, 169, 165,
       156, 142, 131, 121, 112, 104, 102, 99, 99, 95, 88, 84, 84, 87, 89, 88, 85, 86, 89, 91, 91,
       94, 101, 110, 121, 135, 145, 149, 156, 165, 171, 175, 177, 182, 193, 204, 208, 210, 215,
       222, 228, 226, 222, 220]  # fmt: skip


@pytest.mark.parametrize("scale,delta", [(1.0, None), (0.125, None), (1e3, None), (1.0, 2.0)])
def test_select_on_counts_takes_their_rounding_for_noise(scale, delta):
    # Rounding to whole counts is noise of sd 1/sqrt(12): the rough fits that chase its
    # pattern leave less and must not win by it (they did, with 8 jumps of a hundredth).
    sel = velk.select(np.arange(100.0), np.array(WWW) * scale, delta=delta)
    assert sel.edge is None and len(sel.spline.jumps) <= 1
    assert sel.noise >= scale / (delta or 1.0) / math.sqrt(12.0)


@pytest.mark.parametrize(
    "values,step",
    [
        (np.arange(10.0), 1.0),  # counts
        (np.array([0.1 + 0.2, 0.7, 0.4]), 0.1),  # decimals, as binary writes them
        (7.0 + np.arange(10.0) / 8.0, 0.125),  # an offset grid, in other units
        (np.r_[np.arange(100.0) / 100.0, 0.123], 0.0),  # one value off it, past the head
        (np.random.default_rng(0).standard_normal(100), 0.0),
        (np.array([3.0, 3.0, 5.0]), 0.0),  # any two values lie on a grid
        (1.0 + np.arange(10.0) * 1e-13, 0.0),  # within the doubles' own rounding
    ],
)
def test_grid_step_is_the_resolution_of_the_values(values, step):
    assert grid_step(values) == pytest.approx(step, rel=1e-9)


@pytest.mark.parametrize("noise", ["gaussian", "auto", "t", "ar1"])
def test_select_prepares_the_samples_once(monkeypatch, noise):
    # Every fit of the search shares one preparation (sorting, merging, weights), the
    # reweighted fits of t noise too: once, these were prepared again for every fit.
    prepare, calls = _engine.prepare, []
    monkeypatch.setattr(_engine, "prepare", lambda *a, **k: calls.append(1) or prepare(*a, **k))
    velk.select(*signal(n=200), n_jobs=1, noise=noise)
    assert len(calls) == 1
