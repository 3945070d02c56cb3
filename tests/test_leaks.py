"""Every entry point, on its paths to a result and to each kind of failure, repeated: no
reference, no Python object and no heap memory may be left behind, and results must own
what they hold."""

import gc
import os
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
from helpers import SANITIZED
from test_errors import ERRORS

import velk
from velk import _engine
from velk import _velk_core as core

# Under AddressSanitizer freed memory sits in quarantine (RSS only grows) and LeakSanitizer
# checks the heap at exit, so a few repetitions keep the reference checks meaningful there.
REPEAT = 20 if SANITIZED else 2000

rng = np.random.default_rng(7)
N = 60
X = np.sort(rng.uniform(0.0, 10.0, N))
Y = np.column_stack([np.sin(X) + 3.0 * (X > 5.0), np.cos(X)])
D = rng.uniform(0.5, 2.0, N)
SAMPLES = _engine.prepare(X, Y, D)
# A fit long enough to look at its cancel token, which is set.
LONG = np.arange(70000.0)
STOP_ARGS = dict(samples=_engine.prepare(LONG, LONG[:, None]), lam=1.0, jump_cost=1.0,
                 cancel=np.ones(1, np.uint8))  # fmt: skip


def restored(state):
    return _engine.samples_from_state(*state)


def succeeds(func, **kw):
    return pytest.param(func, kw, None, None, id=f"{func.__name__} {sorted(kw)}")


ERROR_CASES = {"raw p str", "raw gamma cause", "folds no length", "folds 2**63", "p NaN first",
               "raw pruning case", "cv fold index", "NaN x", "engine lam str", "engine samples",
               "prepare zero delta", "prepare too few", "state", "raw memory", "cv memory",
               "engine memory"}  # fmt: skip
CASES = [
    succeeds(core.velk, x=X, y=Y, p=0.9, gamma=1.0, delta=D),
    succeeds(core.velk, x=None, y=Y, p=0.0, gamma=0.5, pruning="PELT", precondition="local"),
    succeeds(core.velk_cvscore, x=X, y=Y, p=0.9, gamma=1.0, delta=D, folds=((0, 5), range(3))),
    succeeds(_engine.prepare, x=X, y=Y, delta=D, index=True),
    succeeds(_engine.fit, samples=SAMPLES, length=0.3, jump_cost=2.0, stats=True),
    succeeds(_engine.search, samples=SAMPLES, lam=0.0, jump_cost=2.0, pruning="PELT"),
    succeeds(restored, state=SAMPLES.__reduce__()[1]),
    pytest.param(_engine.fit, STOP_ARGS, KeyboardInterrupt, "", id="engine cancelled"),
] + [p for p in ERRORS if p.id in ERROR_CASES]
assert len(CASES) == 8 + len(ERROR_CASES) - 3 * SANITIZED  # no name of a case mistyped


def watched(kw):
    """The arguments and everything the converters look inside."""
    objs = list(kw.values())
    for a in kw.values():
        if isinstance(a, (list, tuple)):
            objs.extend(iter(a))  # not through a hostile __len__
    return objs


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(func, kw):
    return func(**kw)


def run(func, kw, exc, message, times):
    for _ in range(times):
        try:
            call(func, kw)
        except BaseException as e:  # internal errors derive from BaseException only
            if exc is None or type(e) is not exc or str(message).rstrip(".") not in str(e):
                raise
        else:
            assert exc is None, f"expected {exc.__name__}"


@pytest.mark.parametrize("func,kw,exc,message", CASES)
def test_repeated_calls_leave_nothing_behind(func, kw, exc, message, capfd):
    if SANITIZED and exc is MemoryError:
        pytest.skip("AddressSanitizer aborts on an impossible allocation instead of failing it")
    objs = watched(kw)
    run(func, kw, exc, message, 50)  # warm up caches and free lists
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    memory = rss()
    run(func, kw, exc, message, REPEAT)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == refs
    if not SANITIZED:
        # A leaked result of these sizes is several kilobytes per call.
        assert rss() - memory < 2 * 2**20
        # Python objects made by the calls and still alive: a leak leaves at least one per
        # call, while the interpreter's bounded caches keep a few dozen.
        tracemalloc.start()
        try:
            run(func, kw, exc, message, 1000)
            gc.collect()  # also empties the free lists
            in_call = tracemalloc.Filter(True, __file__, call.__code__.co_firstlineno + 1)
            assert len(tracemalloc.take_snapshot().filter_traces([in_call]).traces) < 300
        finally:
            tracemalloc.stop()
    capfd.readouterr()  # the internal errors' diagnostics


@pytest.mark.parametrize("entry", ["raw", "engine"])
def test_results_own_their_memory_and_nothing_else_holds_them(entry):
    x, y, delta = X.copy(), Y.copy(), D.copy()
    if entry == "raw":
        r = core.velk(x, y, 0.9, 1.0, delta)
        arrays = [v for v in r.values() if isinstance(v, np.ndarray)] + list(r["interval_cell"])
        arrays += [d[k] for d in r["pp_cell"] for k in ("breaks", "coefs")]
        assert len(r["discont"]) > 0
    else:
        samples = _engine.prepare(x, y, delta)
        r = _engine.fit(samples, lam=0.1, jump_cost=1.0)
        arrays = [v for v in r.values() if isinstance(v, np.ndarray)]
        assert len(r["jumps"]) > 0
        # The samples' arrays are views of the object itself, which no one can write to.
        views = [samples.x, samples.y, samples.w]
        for v in views:
            assert v.base is samples and not v.flags.writeable
            with pytest.raises(ValueError):
                v.flags.writeable = True
        arrays += views
        del samples, v, views
    for a in arrays:
        assert a.flags.c_contiguous
        assert not any(np.shares_memory(a, b) for b in (x, y, delta))
    saved = [a.copy() for a in arrays]
    refs = [weakref.ref(a) for a in arrays]
    del x, y, delta
    for _ in range(20):  # reuse the freed argument memory
        velk.velk(X * 2.0, Y[::-1].copy(), 0.5, 0.1, D)
    for a, s in zip(arrays, saved):
        np.testing.assert_array_equal(a, s)
    del arrays, a, r
    assert all(ref() is None for ref in refs)  # freed by reference counting, no cycle
