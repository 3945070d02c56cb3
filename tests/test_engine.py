"""The public API's compiled module: the functional search, any scale, threads, Ctrl-C."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from helpers import SANITIZED, engine_fit
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk import _engine


def long_signal(n, jumps):
    """A smooth curve and `jumps` steps of about 40 noise sd."""
    rng = np.random.default_rng(0)
    x = np.arange(n, dtype=float)
    k = np.minimum(np.arange(n) * (jumps + 1) // n, jumps)
    level = rng.choice([-1.0, 1.0], (jumps + 1, 1)) * rng.uniform(1.5, 2.5, (jumps + 1, 1))
    y = np.sin(x / 300.0)[:, None] + np.cumsum(level, axis=0)[k]
    return x, y + 0.05 * rng.standard_normal((n, 1)), np.full(n, 0.05)


@pytest.mark.parametrize("scale", [1e10, 1e200, 1e-200])
def test_reweighted_samples_fit_as_prepared_with_those_weights(scale):
    # Weights keep their scale (1e-20), also where the doubles cannot hold them (1e+-400).
    x, y, _ = long_signal(300, 3)
    f = np.random.default_rng(1).uniform(0.1, 3.0, 300)
    d = np.full(300, scale)
    samples = (
        _engine.prepare(x, y * scale, d).reweighted(f),
        _engine.prepare(x, y * scale, d / np.sqrt(f)),
    )
    assert_allclose(samples[0].w, samples[1].w, rtol=1e-15)  # 0 beyond the doubles
    a, b = (_engine.fit(s, length=5.0, jump_cost=1.0) for s in samples)
    assert len(a["jumps"]) == 3 and np.array_equal(a["jump_index"], b["jump_index"])
    assert_allclose(a["coefs"], b["coefs"], rtol=1e-9, atol=1e-12)
    assert a["scale"] == b["scale"]


@pytest.mark.parametrize(
    "xs,ys", [(1.0, 1.0), (1e-160, 1.0), (1e300, 1.0), (1.0, 1e-300), (1e-150, 1e-300)]
)
def test_any_scale_gives_the_same_fit(xs, ys):
    x, y, delta = long_signal(600, 3)
    ref = velk.fit(x, y, delta=delta, smoothing=6.0, jump_cost=30.0)
    spl = velk.fit(x * xs, y * ys, delta=delta * ys, smoothing=6.0 * xs, jump_cost=30.0)
    assert_array_equal(spl.jump_indices, ref.jump_indices)
    assert np.isfinite(spl._coefs).all()
    t = (x[:-1] + 0.3) * xs
    assert_allclose(spl(t) / ys, ref(x[:-1] + 0.3), rtol=1e-12)
    assert_allclose(spl.derivative()(t) * xs / ys, ref.derivative()(x[:-1] + 0.3), rtol=1e-9,
                    atol=1e-12)  # fmt: skip


@pytest.mark.parametrize("dim,phi", [(1, None), (2, None), (1, 0.5)])
@pytest.mark.parametrize("length", [1000.0, 5000.0])
def test_the_fit_attains_the_energy_that_the_search_minimised(dim, phi, length):
    # Stiff smoothing of long segments: a solve that squares the condition number
    # returns a curve visibly off the minimiser (by 1e-8 here, by 70 % at 10^6
    # samples), and select would score that curve.
    n = 5000
    rng = np.random.default_rng(1)
    x = np.arange(n, dtype=float)
    y = (np.sin(6 * x / n) + 3.0 * (x > n / 2))[:, None] + rng.standard_normal((n, dim))
    s = _engine.prepare(x, y)
    kw = {"length": length, "jump_cost": 30.0, "phi": phi}
    res = _engine.fit(s, stats=True, **kw)
    energy = res["stats"]["prss"] + 30.0 * len(res["jumps"])
    assert_allclose(energy, _engine.search(s, **kw)["costs"][-1], rtol=1e-12)
    if phi is None:  # lines cost no curvature: each segment's residuals are orthogonal to them
        spl = velk.fit(x, y, smoothing=length, jump_cost=30.0)
        assert_array_equal(spl.jump_indices, res["jump_index"])
        for seg in np.split(np.arange(n), spl.jump_indices + 1):
            r = y[seg] - spl(x[seg]).reshape(len(seg), dim)
            for line in (np.ones(len(seg)), x[seg] - x[seg].mean()):
                bound = 1e-9 * np.linalg.norm(line) * np.linalg.norm(r, axis=0)
                assert (abs(line @ r) <= bound).all()


@pytest.mark.parametrize("kw", [{"p": 0.5, "jump_cost": 1.0}, {"p": 1.0, "jump_cost": np.inf}])
def test_spacings_too_uneven_for_doubles_are_an_error_not_nan(kw):
    # Interpolating four samples 1e-200 apart needs cubic coefficients near 1e600.
    x, y = np.r_[0.0, 1e-200, 2e-200, 3e-200, 1, 2, 3, 4], np.sin(np.arange(8.0))
    with pytest.raises(ValueError, match="overflows double precision: the largest spacing"):
        velk.fit(x, y, **kw)
    assert np.isfinite(velk.fit(x, y, p=0.0, jump_cost=1.0)(x)).all()  # lines are fine


def slow_fit(**kw):
    """PELT on a long smooth signal: minutes unless stopped."""
    x, y, delta = long_signal(400000 if not SANITIZED else 60000, 0)
    return engine_fit(x, y, delta, lam=1e6, jump_cost=100.0, pruning="PELT", **kw)


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name == "nt", reason="POSIX signals")
def test_ctrl_c_stops_a_long_fit_promptly():
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    # A shell's background job inherits SIGINT ignored, and Python then installs no
    # handler of its own: install it for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(0.3, interrupt).start()
        with pytest.raises(KeyboardInterrupt):
            slow_fit()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert time.perf_counter() - sent[0] < (0.2 if not SANITIZED else 2.0)


def test_a_token_stops_a_fit_in_another_thread():
    token = np.zeros(1, np.uint8)
    caught = []

    def work():
        try:
            slow_fit(cancel=token)
        except KeyboardInterrupt:
            caught.append(time.perf_counter())

    worker = threading.Thread(target=work)
    worker.start()
    time.sleep(0.3)
    token[0] = 1
    stopped = time.perf_counter()
    worker.join(timeout=30)
    assert caught and caught[0] - stopped < (0.2 if not SANITIZED else 2.0)


@pytest.mark.parametrize("curvature", [0.0, 3.0, -3.0])
def test_noise_level_is_the_noise_whatever_the_curvature_and_jumps(curvature):
    # The misfits to the line through each sample's neighbours, (y0 + y2) / 2 - y1 over
    # sqrt(1.5), are one constant on a parabola, here `curvature` noise sd: the estimate
    # centres their spread on its median, and a few jumps move only their own.
    rng = np.random.default_rng(4)
    x = np.arange(4000.0)
    bend = curvature * 0.7 * np.sqrt(1.5) * x**2
    y = bend + 20.0 * (x > 1000) - 35.0 * (x > 3000) + 0.7 * rng.standard_normal(4000)
    assert _engine.prepare(x, y[:, None], None).noise_level()[0] == pytest.approx(0.7, rel=0.05)


@pytest.mark.parametrize("dim,phi,lam", [(1, None, 50.0), (2, None, np.inf), (1, 0.5, 50.0)])
def test_a_fit_at_given_jumps_is_the_best_curve_with_those_jumps(dim, phi, lam):
    x, y, d = long_signal(600, 3)
    y = np.hstack([y, np.cos(x / 50.0)[:, None]])[:, :dim]
    s = _engine.prepare(x, y, d)
    kw = {"lam": lam, "jump_cost": 30.0, "phi": phi, "stats": True}
    found = _engine.fit(s, **kw)
    again = _engine.fit(s, jump_index=found["jump_index"], **kw)
    assert again["samples_fed"] == 0 < found["samples_fed"]
    assert_array_equal(again["coefs"], found["coefs"])
    assert again["stats"] == found["stats"]
    energy = found["stats"]["prss"] + 30.0 * len(found["jumps"])
    whole = {**kw, "jump_cost": np.inf}  # one segment, no search
    for jumps in ([], found["jump_index"] + 1, [1, 300, 597]):
        got = _engine.fit(s, jump_index=np.array(jumps, dtype=np.int64), **kw)
        assert_array_equal(got["jump_index"], jumps)
        # Segments fit on their own: the sum of each one's own best curve.
        parts = np.split(np.arange(600), np.asarray(jumps, dtype=int) + 1)
        alone = sum(_engine.fit(_engine.prepare(x[i], y[i], d[i]), **whole)["stats"]["prss"]
                    for i in parts)  # fmt: skip
        assert got["stats"]["prss"] == pytest.approx(alone, rel=1e-9)
        assert got["stats"]["prss"] + 30.0 * len(jumps) > energy
    assert len(found["jumps"]) >= 3
    for bad in ([5, 5], [7, 3], [599], [-1]):
        with pytest.raises(
            ValueError, match=r"increasing indices of samples before the last \(599\)"
        ):
            _engine.fit(s, jump_index=np.array(bad), **kw)
