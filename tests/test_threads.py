"""Concurrent callers: every thread gets exactly what a serial call returns, also from the
engine's fits, which run without the interpreter lock."""

import sys
import threading

import numpy as np
import pytest
from test_module import assert_same

from velk import _engine
from velk import _velk_core as core

THREADS, ROUNDS = 4, 15
LONG_X = np.arange(3000.0)


def calls(seed):
    rng = np.random.default_rng(seed)
    n = 30 + 5 * seed
    x = np.sort(rng.uniform(0.0, 10.0, n))
    y = np.column_stack([np.sin(x) + (x > 4.0) * seed, rng.standard_normal(n)])
    delta = rng.uniform(0.5, 2.0, n)
    folds = [list(range(k, n, 4)) for k in range(4)]
    options = dict(pruning=["FPVI", "PELT"][seed % 2], precondition=["none", "local"][seed % 2])
    return (
        core.velk(x, y, 0.9, 0.5, delta, **options),
        core.velk(None, y, 0.0, 1.0, **options),
        core.velk_cvscore(x, y, 0.9, 0.5, delta, folds, **options),
        _engine.fit(_engine.prepare(LONG_X, np.sin(LONG_X / (50.0 + seed))[:, None]
                                    + (LONG_X > 1000.0)[:, None]),
                    lam=1e4, jump_cost=2.0, **options),
    )  # fmt: skip


@pytest.fixture
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_get_serial_results(switch_often):
    serial = {seed: calls(seed) for seed in range(THREADS)}
    got, errors = {}, []
    start = threading.Barrier(THREADS)

    def work(seed):
        try:
            start.wait()
            got[seed] = [calls(seed) for _ in range(ROUNDS)]
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for seed, rounds in got.items():
        for result in rounds:
            assert_same(list(result), list(serial[seed]))
