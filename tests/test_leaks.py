"""Every entry point, on every path, repeated: no reference, no Python object and no heap
memory may be left behind, and results must own what they hold."""

import gc
import math
import os
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
from helpers import SANITIZED

from velk import _velk_core as core

# Under AddressSanitizer freed memory sits in quarantine (RSS only grows) and LeakSanitizer
# checks the heap at exit, so a few repetitions keep the reference checks meaningful there.
REPEAT = 20 if SANITIZED else 2000

rng = np.random.default_rng(7)
N = 60
X = np.sort(rng.uniform(0.0, 10.0, N))
Y = np.column_stack([np.sin(X) + 3.0 * (X > 5.0), np.cos(X)])
D = rng.uniform(0.5, 2.0, N)
FOLDS = [[0, 5, 9], [1, 2], []]


class Raises:
    """A p whose float conversion raises a TypeError that has a cause."""

    def __float__(self):
        raise TypeError("no float") from KeyError("cause")


class NoLength(list):
    def __len__(self):
        raise RuntimeError("no length")


def nan_at(a, i):
    a = a.copy()
    a[i] = math.nan
    return a


# 2**59 samples of one value: neither a copy nor a mask of them can be allocated.
HUGE_Y = np.broadcast_to(Y[:1, :1], (2**59, 1))
HUGE_X = np.broadcast_to(X[:1], (2**59,))


INTERNAL = BaseException  # velk.InternalError is not exposed; checked by message below


def velk_case(exc=None, message=None, **kw):
    args = dict(x=X.copy(), y=Y.copy(), p=0.9, gamma=1.0, delta=D.copy())
    args.update(kw)
    return core.velk, args, exc, message


def cv_case(exc=None, message=None, **kw):
    args = dict(
        x=X.copy(), y=Y.copy(), p=0.9, gamma=1.0, delta=D.copy(), folds=[list(f) for f in FOLDS]
    )
    args.update(kw)
    return core.velk_cvscore, args, exc, message


CASES = {
    # successes
    "no jump": velk_case(p=1.0),
    "jumps": velk_case(),
    "jumps, PELT, local": velk_case(pruning="PELT", precondition="LOCAL"),
    "straight lines": velk_case(p=0.0, gamma=0.5),
    "defaults": velk_case(x=None, delta=None),
    "cv score": cv_case(),
    "cv score, tuples": cv_case(folds=((0, np.int64(5)), range(3)), pruning="pelt"),
    "cv infinite": cv_case(folds=[list(range(N - 1))]),
    # conversion errors
    "x list": velk_case(TypeError, "argument 'x'", x=list(X)),
    "y 1-D": velk_case(TypeError, "argument 'y'", y=Y[:, 0].copy()),
    "y big-endian": velk_case(TypeError, "argument 'y'", y=Y.astype(">f8")),
    "p str": velk_case(TypeError, "argument 'p'", p="0.5"),
    "p cause": velk_case(TypeError, "argument 'p'", p=Raises()),
    "gamma huge int": velk_case(OverflowError, "int too large", gamma=10**400),
    "delta int": cv_case(TypeError, "argument 'delta'", delta=D.astype(int)),
    "pruning None": velk_case(TypeError, "argument 'pruning'", pruning=None),
    "precondition bytes": cv_case(TypeError, "argument 'precondition'", precondition=b"x"),
    "folds str": cv_case(TypeError, "argument 'folds'", folds=[[0], "1"]),
    "folds float": cv_case(TypeError, "argument 'folds'", folds=[[0, 1.5]]),
    "folds overflow": cv_case(OverflowError, "", folds=[[0], [2**64]]),
    "folds no length": cv_case(TypeError, "argument 'folds'", folds=NoLength([[0], None])),
    "missing argument": (core.velk, dict(x=X.copy(), y=Y.copy(), p=1.0), TypeError, "velk()"),
    "unknown keyword": cv_case(TypeError, "velk_cvscore()", extra=1),
    # option errors
    "pruning": velk_case(ValueError, "unknown pruning 'Fpvi'", pruning="Fpvi"),
    "precondition": cv_case(ValueError, "unknown precondition ''", precondition=""),
    # errors of the core
    "p range": velk_case(RuntimeError, "p must satisfy", p=1.5),
    "too few": velk_case(RuntimeError, "at least two", y=nan_at(Y, slice(1, None))),
    "length": velk_case(RuntimeError, "x and y must", x=X[:-1].copy()),
    "delta length": velk_case(RuntimeError, "delta must", delta=D[:-1].copy()),
    # internal errors
    "NaN in x": velk_case(INTERNAL, "NaN in x", x=nan_at(X, 3)),
    "cv NaN in x": cv_case(INTERNAL, "NaN in x", x=nan_at(X, 3)),
    "cv fold index": cv_case(INTERNAL, "index out of range", folds=[[1], [N]]),
    "cv negative index": cv_case(INTERNAL, "index out of range", folds=[[-1]]),
    "cv short y": cv_case(INTERNAL, "index out of range", y=Y[:-1].copy()),
    # allocation failures
    "memory velk": velk_case(MemoryError, "", x=None, y=HUGE_Y, delta=None),
    "memory cv": cv_case(MemoryError, "", x=HUGE_X),
}
MEMORY = {"memory velk", "memory cv"}


def watched(args):
    """The arguments and everything the converters look inside."""
    objs = list(args.values())
    for a in args.values():
        if isinstance(a, (list, tuple)):
            objs.extend(iter(a))  # not through a hostile __len__
    return objs


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(func, args):
    return func(**args)


def run(func, args, exc, message, times):
    for _ in range(times):
        try:
            call(func, args)
        except BaseException as e:  # internal errors derive from BaseException only
            if exc is None or not isinstance(e, exc) or message not in str(e):
                raise
            if exc is INTERNAL:
                assert not isinstance(e, Exception)
        else:
            assert exc is None, f"expected {exc.__name__}"


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(name, capfd):
    if SANITIZED and name in MEMORY:
        pytest.skip("AddressSanitizer aborts on an impossible allocation instead of failing it")
    func, args, exc, message = CASES[name]
    objs = watched(args)
    run(func, args, exc, message, 50)  # warm up caches and free lists
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    memory = rss()
    run(func, args, exc, message, REPEAT)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == refs
    if not SANITIZED:
        # A leaked result of these sizes is several kilobytes per call.
        assert rss() - memory < 2 * 2**20
        # Python objects made by the calls and still alive: a leak leaves at least one per
        # call, while the interpreter's bounded caches (attribute names, a table that
        # happens to grow) keep a few dozen.
        tracemalloc.start()
        try:
            run(func, args, exc, message, 1000)
            gc.collect()  # also empties the free lists
            in_call = tracemalloc.Filter(True, __file__, call.__code__.co_firstlineno + 1)
            assert len(tracemalloc.take_snapshot().filter_traces([in_call]).traces) < 300
        finally:
            tracemalloc.stop()
    capfd.readouterr()  # the internal errors' diagnostics


def test_results_own_their_memory_and_nothing_else_holds_them():
    x, y, delta = X.copy(), Y.copy(), D.copy()
    r = core.velk(x, y, 0.9, 1.0, delta)
    assert len(r["discont"]) > 0
    arrays = [
        r[k]
        for k in ("breaks", "coefs", "discont", "discont_idx", "x", "y", "F", "partition", "tau")
    ]
    arrays += list(r["interval_cell"])
    arrays += [d[k] for d in r["pp_cell"] for k in ("breaks", "coefs")]
    assert not any(np.shares_memory(a, b) for a in arrays for b in (x, y, delta))
    saved = [a.copy() for a in arrays]
    refs = [weakref.ref(a) for a in arrays]
    del x, y, delta
    for _ in range(20):  # reuse the freed argument memory
        core.velk(X * 2.0, Y[::-1].copy(), 0.5, 0.1, D)
    for a, s in zip(arrays, saved):
        np.testing.assert_array_equal(a, s)
    del arrays, a
    del r
    assert all(ref() is None for ref in refs)  # freed by reference counting, no cycle
