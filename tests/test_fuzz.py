"""Arbitrary arguments for both entry points.

Every call must end in the outcome a plain-Python model of the argument handling predicts:
the documented exception type with its documented message, or a result that keeps the
result invariants (for velk_cvscore, the score recomputed from single fits).
VELK_FUZZ_EXAMPLES sets the number of examples per test (e.g. 100000 for a long run).
"""

import ctypes
import math
import operator
import os
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from helpers import SANITIZED, evaluate, prepare_reference
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from test_module import KEYS

from velk import _velk_core as core

# Under the sanitizers every allocation records its stack: fewer examples there.
EXAMPLES = int(os.environ.get("VELK_FUZZ_EXAMPLES", 30 if SANITIZED else 150))
FUZZ = settings(
    max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck)
)
HUGE = 2**59  # elements: no buffer of this many doubles can be allocated


class Outcome(Exception):
    """What the model expects: an exception type and the start of its message."""

    def __init__(self, kind, prefix=""):
        super().__init__(kind, prefix)
        self.kind, self.prefix = kind, prefix


class Internal:  # stands for velk's internal-error class, which the module does not expose
    pass


class Sentinel(Exception):
    pass


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# --- strategies ---------------------------------------------------------------------------


def sometimes(one_in):
    """True once in one_in draws; False is the simple case that shrinking goes for."""
    return st.sampled_from([False] * (one_in - 1) + [True])


def mostly(usual, rare):
    """usual nine times in ten: most examples should get as far as a fit."""
    return sometimes(10).flatmap(lambda r: rare if r else usual)


doubles = mostly(
    st.floats(-10, 10),
    st.one_of(
        st.floats(),  # NaN, infinities, subnormals, huge
        st.sampled_from([0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308]),
    ),
)


class Subclass(np.ndarray):
    pass


def misaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
    raw[...] = a
    return raw


LAYOUTS = [
    lambda a: a,
    lambda a: a[::-1].copy()[::-1],  # negative strides
    lambda a: np.repeat(a, 2, axis=0)[::2],
    np.asfortranarray,
    misaligned,
    lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
    lambda a: np.broadcast_to(a[:1], a.shape) if len(a) else a,  # zero strides
    lambda a: a.view(Subclass),
]

junk = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.lists(st.floats(), max_size=3),
    st.tuples(st.floats()),
    st.complex_numbers(),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.builds(object),
    hnp.arrays(
        st.one_of(hnp.scalar_dtypes(), st.just(np.dtype(">f8"))),
        hnp.array_shapes(min_dims=0, max_dims=3, max_side=3),
    ),
)


@st.composite
def vectors(draw, n):
    return draw(st.sampled_from(LAYOUTS))(draw(hnp.arrays(np.float64, n, elements=doubles)))


@st.composite
def matrices(draw, n):
    a = draw(hnp.arrays(np.float64, (n, draw(st.integers(0, 3))), elements=doubles))
    return draw(st.sampled_from(LAYOUTS))(a)


numbers = st.one_of(
    doubles,
    doubles.map(np.float64),
    st.integers(-3, 3),
    st.integers(),
    st.booleans(),
    st.floats(-2, 2).map(np.float32),
    st.integers(-2, 2).map(np.int8),
    st.sampled_from([Fraction(1, 3), Decimal("0.5"), Index(1), np.array(0.5), 10**400]),
    st.sampled_from(
        [
            FloatRaises(TypeError("no")),
            FloatRaises(Sentinel()),
            FloatRaises(OverflowError("big")),
            "0.5",
            b"1",
            None,
            1j,
        ]
    ),
)
index_values = st.one_of(
    st.integers(-2, 12),
    st.integers(),
    st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1]),
    st.integers(-2, 12).map(np.int64),
    st.integers(0, 12).map(np.uint64),
    st.booleans(),
    st.integers(0, 3).map(Index),
    st.sampled_from([1.0, np.float64(2.0), np.True_, None, "1"]),
)


def container(kind, items):
    if kind == "array":  # an integer array when the items allow it
        try:
            return np.array(items, dtype=np.int64)
        except (TypeError, ValueError, OverflowError):
            return list(items)
    if kind == "str":
        return "".join(map(str, items))
    if kind == "set":
        try:
            return set(items)
        except TypeError:  # unhashable folds: a mapping, which is no sequence either
            return dict(enumerate(items))
    return {"list": list, "tuple": tuple, "iter": iter}[kind](items)


@st.composite
def folds(draw):
    kinds = st.sampled_from(["list", "tuple", "array", "str", "set", "iter"])
    inner = draw(st.lists(st.tuples(kinds, st.lists(index_values, max_size=4)), max_size=4))
    return container(draw(kinds), [container(kind, items) for kind, items in inner])


options = {
    "pruning": mostly(st.sampled_from(["FPVI", "fpvi", "PELT", "pelt"]), st.text(max_size=5)),
    "precondition": mostly(
        st.sampled_from(["none", "Local", "NONE", "lOcAl"]), st.text(max_size=6)
    ),
}


@st.composite
def arguments(draw, cv):
    n = draw(st.integers(0, 12))
    length = mostly(st.just(n), st.sampled_from([max(n - 1, 0), n + 1]))
    args = {
        "x": draw(vectors(draw(length))),
        "y": draw(matrices(n)),
        "p": draw(mostly(st.one_of(st.floats(0, 1), st.sampled_from([0.0, 1.0])), numbers)),
        "gamma": draw(
            mostly(st.one_of(st.floats(0, 5), st.sampled_from([0.0, math.inf])), numbers)
        ),
        "delta": draw(vectors(draw(length))),
    }
    if not cv:
        args["x"] = draw(st.one_of(st.just(args["x"]), st.none()))
        args["delta"] = draw(st.one_of(st.just(args["delta"]), st.none()))
    if cv:
        args["folds"] = draw(
            mostly(
                st.lists(st.lists(st.integers(-1, n + 1), max_size=4), max_size=4),
                st.one_of(folds(), junk),
            )
        )
    for name in ("pruning", "precondition"):
        if draw(st.booleans()):
            args[name] = draw(options[name])
    # Now and then replace an argument by anything at all, or by a buffer too big to copy.
    if draw(sometimes(5)):
        args[draw(st.sampled_from(list(args)))] = draw(junk)
    if not SANITIZED and draw(sometimes(20)):  # ASan aborts instead of failing
        name = draw(st.sampled_from(["x", "y", "delta"]))
        shape = (HUGE, 1) if name == "y" else (HUGE,)
        args[name] = np.broadcast_to(np.float64(1.0), shape)
    return args


# --- the model of argument handling -------------------------------------------------------


def float_array(obj, ndim):
    return isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == np.float64


def raised(e, name):
    """The Outcome of an exception raised while converting an argument."""
    return Outcome(type(e), f"argument '{name}': " if type(e) is TypeError else "")


def convert_double(name, obj):
    if isinstance(obj, (str, bytes)):  # float() parses text, the C conversion does not
        raise Outcome(TypeError, f"argument '{name}': ")
    try:
        return float(obj)
    except Exception as e:  # noqa: BLE001 - whatever the conversion raises passes through
        raise raised(e, name) from None


def sequence_items(obj):
    if isinstance(obj, str):
        raise Outcome(TypeError, "argument 'folds': Can't extract `str` to `Vec`")
    if not ctypes.pythonapi.PySequence_Check(ctypes.py_object(obj)):
        raise Outcome(TypeError, "argument 'folds': expected a Sequence")
    try:
        return [v for v in iter(obj)]
    except Exception as e:  # noqa: BLE001
        raise raised(e, "folds") from None


def convert_folds(obj):
    out = []
    for fold in sequence_items(obj):
        values = []
        for v in sequence_items(fold):
            try:
                v = int(v) if isinstance(v, int) else operator.index(v)
            except Exception as e:  # noqa: BLE001
                raise raised(e, "folds") from None
            if not -(2**63) <= v < 2**63:
                raise Outcome(OverflowError)
            values.append(v)
        out.append(values)
    return out


def convert(args, cv):
    """The values the core receives, or the Outcome of the first failing conversion."""
    x, y, delta = args["x"], args["y"], args["delta"]
    if not ((x is None and not cv) or float_array(x, 1)):
        raise Outcome(TypeError, "argument 'x': ")
    if not float_array(y, 2):
        raise Outcome(TypeError, "argument 'y': ")
    p, gamma = convert_double("p", args["p"]), convert_double("gamma", args["gamma"])
    if not ((delta is None and not cv) or float_array(delta, 1)):
        raise Outcome(TypeError, "argument 'delta': ")
    folds = convert_folds(args["folds"]) if cv else None
    pruning, precondition = args.get("pruning", "FPVI"), args.get("precondition", "none")
    for name, text in [("pruning", pruning), ("precondition", precondition)]:
        if not isinstance(text, str):
            raise Outcome(TypeError, f"argument '{name}': ")
    if pruning not in ("FPVI", "fpvi", "PELT", "pelt"):
        raise Outcome(ValueError, f"unknown pruning '{pruning}', expected 'FPVI' or 'PELT'")
    lower = "".join(c.lower() if "A" <= c <= "Z" else c for c in precondition)
    if lower not in ("none", "local"):
        raise Outcome(
            ValueError, f"unknown precondition '{precondition}', expected 'none' or 'local'"
        )
    return x, y, p, gamma, delta, folds, lower


def huge(a):
    return a is not None and a.shape[0] >= HUGE


def prepare(x, y, p, gamma, delta):
    """Prepared (x, y) of a fit, or the Outcome of its failure."""
    if not 0 <= p <= 1:
        raise Outcome(RuntimeError, "p must satisfy 0 <= p <= 1, got ")
    if gamma < 0:
        raise Outcome(RuntimeError, "gamma must satisfy 0 <= gamma, got ")
    n = len(y)
    if n < 2:
        raise Outcome(RuntimeError, f"at least two finite data points are required, got {n}")
    if x is not None and len(x) != n:
        raise Outcome(RuntimeError, f"x and y must have matching length: x has {len(x)}, ")
    if delta is not None and len(delta) != n:
        raise Outcome(RuntimeError, f"delta must have the same length as x ({n}), got ")
    kept = np.isfinite(y).all(axis=1)
    if kept.sum() >= 2 and x is not None and np.isnan(x[kept]).any():
        raise Outcome(Internal, "NaN in x")
    ref = prepare_reference(x, y, delta)
    if isinstance(ref, int):
        raise Outcome(RuntimeError, f"at least two finite data points are required, got {ref}")
    return ref[0], ref[1]


def check_outcome(call, expected):
    event(f"{expected.kind.__name__}: {expected.prefix.split(',')[0][:40]}")  # for statistics
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    if expected.kind is Internal:
        assert (type(exc).__module__, type(exc).__name__) == ("velk", "InternalError")
        assert not isinstance(exc, Exception)
    else:
        assert type(exc) is expected.kind
    assert str(exc).startswith(expected.prefix), (str(exc), expected.prefix)


def same(a, b):
    return np.array_equal(a, b, equal_nan=True)


def check_result(r, x, y, p, gamma, precondition, args):
    assert list(r) == KEYS
    m, dim = len(x), y.shape[1]
    arrays = [r[k] for k in KEYS if isinstance(r[k], np.ndarray)] + r["interval_cell"]
    arrays += [part[k] for part in r["pp_cell"] for k in ("breaks", "coefs")]
    for a in arrays:
        assert type(a) is np.ndarray and a.flags.c_contiguous and a.flags.writeable
        assert not any(np.shares_memory(a, b) for b in args.values() if isinstance(b, np.ndarray))
    for key, dtype, shape in [
        ("x", np.float64, (m,)),
        ("y", np.float64, (m, dim)),
        ("F", np.float64, (m,)),
        ("tau", np.float64, (m,)),
        ("partition", np.int64, (m,)),
    ]:
        assert (r[key].dtype, r[key].shape) == (dtype, shape), key
    assert same(r["x"], x) and same(r["y"], y)
    assert (r["dim"], r["order"], r["precondition"]) == (dim, 4, precondition)
    assert all(type(r[k]) is int for k in ("dim", "order", "complexity_counter"))
    assert (r["partition"] <= np.arange(m)).all()

    runs = r["interval_cell"]
    assert all(run.dtype == np.int64 and len(run) > 0 for run in runs)
    assert same(np.concatenate(runs), np.arange(m))
    assert all(same(run, np.arange(run[0], run[-1] + 1)) for run in runs)
    last = np.array([run[-1] for run in runs[:-1]], dtype=np.int64)
    assert r["discont_idx"].dtype == np.int64 and same(r["discont_idx"], last)
    assert r["discont"].dtype == np.float64 and same(r["discont"], (x[last + 1] + x[last]) * 0.5)
    if p == 1 or gamma == math.inf or math.isnan(gamma):
        assert len(runs) == 1
    if p == 1 or gamma == math.inf:
        assert (r["F"] == 0).all() and (r["partition"] == 0).all() and (r["tau"] == 1).all()
        assert r["complexity_counter"] == m

    bounds = np.concatenate([[x[0] - 1.0], r["discont"], [x[-1] + 1.0]])
    parts = r["pp_cell"]
    assert len(parts) == len(runs)
    for k, part in enumerate(parts):
        assert list(part) == ["breaks", "coefs", "dim", "order"]
        assert (part["dim"], part["order"]) == (dim, 4)
        assert same(part["breaks"][[0, -1]], bounds[k : k + 2])
        assert part["coefs"].shape == ((len(part["breaks"]) - 1) * dim, 4)
    assert same(
        r["breaks"], np.concatenate([parts[0]["breaks"]] + [q["breaks"][1:] for q in parts[1:]])
    )
    assert same(r["coefs"], np.concatenate([q["coefs"] for q in parts]))


def cv_model(x, y, p, gamma, delta, folds, pruning, precondition):
    """The score from single fits, or the Outcome of the failure."""
    if gamma <= 0 or not 0 <= p <= 1:  # a NaN gamma passes
        return math.inf
    if huge(x):
        raise Outcome(MemoryError)
    n = len(x)
    score = 0.0
    for fold in folds:
        train = [i for i in range(n) if i not in set(fold)]
        if any(i >= len(y) or i >= len(delta) for i in train):
            raise Outcome(Internal, "index out of range")
        try:
            prepare(x[train], y[train], p, gamma, delta[train])
        except Outcome as out:
            if out.kind is RuntimeError:
                return math.inf
            raise
        fit = core.velk(x[train], y[train], p, gamma, delta[train], pruning, precondition)
        if any(not 0 <= v < n for v in fold):
            raise Outcome(Internal, "index out of range")
        pred = evaluate(fit, x[fold]) if fold else np.zeros((0, y.shape[1]))
        for k, i in enumerate(fold):
            if i >= len(y) or i >= len(delta):
                raise Outcome(Internal, "index out of range")
            for j in range(y.shape[1]):
                res = (pred[k, j] - y[i, j]) / delta[i]
                score = score + res * res
    return score / n if n else math.nan


# --- the tests ----------------------------------------------------------------------------


@FUZZ
@given(arguments(cv=False))
def test_velk(args):
    try:
        x, y, p, gamma, delta, _, precondition = convert(args, cv=False)
        if huge(y):
            raise Outcome(MemoryError)
        with np.errstate(all="ignore"):
            xs, ys = prepare(x, y, p, gamma, delta)
    except Outcome as expected:
        check_outcome(lambda: core.velk(**args), expected)
    else:
        r = core.velk(**args)
        event(f"fit with {len(r['interval_cell'])} segments")
        check_result(r, xs, ys, p, gamma, precondition, args)


@FUZZ
@given(arguments(cv=True))
def test_velk_cvscore(args):
    try:
        x, y, p, gamma, delta, folds, _ = convert(args, cv=True)
        with np.errstate(all="ignore"):
            score = cv_model(
                x,
                y,
                p,
                gamma,
                delta,
                folds,
                args.get("pruning", "FPVI"),
                args.get("precondition", "none"),
            )
    except Outcome as expected:
        check_outcome(lambda: core.velk_cvscore(**args), expected)
    else:
        got = core.velk_cvscore(**args)
        event(f"score {'finite' if math.isfinite(score) else score}")
        assert type(got) is float
        assert got == score or (math.isnan(got) and math.isnan(score))
