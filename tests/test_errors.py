"""Each argument check's exact exception type and text once, at one entry point that calls it,
and every message of the raw module. A message ending in "..." is matched as a prefix."""

import datetime
import functools
import math
import pickle
import threading
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction

import numpy as np
import pytest
from helpers import SANITIZED

import velk
from velk import _engine
from velk import _velk_core as core

X = np.array([0.0, 0.5, 1.25, 2.0, 3.5, 4.0])
Y = np.column_stack([np.sin(X), np.cos(3 * X)])
D = np.array([1.0, 0.5, 2.0, 1.0, 1.5, 1.0])
HUGE = 2**59  # elements: no copy of this many doubles can be allocated


def with_defaults(func, **defaults):
    return lambda **kw: func(**{**defaults, **kw})


XS = np.linspace(0.0, 1.0, 30)
raw = with_defaults(core.velk, x=X, y=Y, p=0.5, gamma=1.0)
cv = with_defaults(core.velk_cvscore, x=X, y=Y, p=0.5, gamma=1.0, delta=D, folds=[[0, 2], [1]])
SAMPLES = _engine.prepare(X, Y)
engine = with_defaults(_engine.fit, samples=SAMPLES, lam=1.0, jump_cost=1.0)
prepare = with_defaults(_engine.prepare, x=X, y=Y)
fit = with_defaults(velk.fit, x=XS, y=np.sin(6 * XS), p=0.9, gamma=1.0)
cv_score = with_defaults(velk.cv_score, x=XS, y=np.sin(6 * XS), p=0.9, gamma=1.0)
select = with_defaults(velk.select, x=XS, y=np.sin(6 * XS))
ar1_fit = with_defaults(velk.fit, x=XS, y=np.sin(6 * XS), smoothing=0.1, jump_cost=1.0, phi=0.5)
many = with_defaults(velk.select_many, data=np.c_[np.sin(6 * XS), XS])
fit_many = with_defaults(velk.fit_many, data=np.c_[np.sin(6 * XS), XS], p=0.9, gamma=1.0)
chosen = functools.cache(lambda: velk.select(XS, np.sin(6 * XS), n_jobs=1))


def spline(change=(), **kw):
    """A spline of two components, from a result with the entries of `change` (None removes
    an entry)."""
    res = dict(core.velk(XS, np.c_[np.sin(6 * XS), XS], 0.9, 1.0))
    res.update(change)
    res = {k: v for k, v in res.items() if v is not None}
    return velk.JumpSpline(res, kw.pop("p", 0.9), kw.pop("gamma", 1.0), **kw)


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


class NoLength(list):
    def __len__(self):
        raise RuntimeError("no length")


class CausedTypeError:
    def __float__(self):
        raise TypeError("no float") from KeyError("k")


NARROW = type("NarrowTypeError", (TypeError,), {})("narrow")
INTERNAL = velk.InternalError
NAN_X = X.copy()
NAN_X[2] = math.nan


TOO_FEW = "at least two finite data points are required, got 1"
FOLDS_TYPE = "folds must be an int or a sequence of index sequences, got "
TABLE_NOISE = "noise must be finite and positive, a scalar or one per component (2)"
TABLE_DELTA = "delta must be positive, a scalar or one per fitted sample (30)"
PHI_PRUNING = "phi needs pruning='functional': FPVI and PELT assume independent noise"


def case(id, call, exc, message, **kw):
    return pytest.param(call, kw, exc, message, id=id)


T, V, R, O = TypeError, ValueError, RuntimeError, OverflowError
NOT_2D = "expected a 2-D numpy.ndarray of float64, got 1-D ndarray of float64"
# fmt: off
ERRORS = [
    # The raw module: conversions, in parameter order and before the options are parsed.
    case("raw x list", raw, T, "argument 'x': expected None or a 1-D numpy.ndarray of float64, "
         "got list", x=[0.0, 1.0], pruning="bad"),
    case("raw x big-endian", raw, T, "argument 'x': expected None or a 1-D numpy.ndarray of "
         "float64, got 1-D ndarray of >f8", x=X.astype(">f8")),
    case("raw y 1-D", raw, T, "argument 'y': " + NOT_2D, y=Y[:, 0]),
    case("raw p str", raw, T, "argument 'p': must be real number, not str", p="0.5"),
    case("raw gamma cause", raw, T, "argument 'gamma': no float", gamma=CausedTypeError()),
    case("raw p narrow TypeError", raw, NARROW.__class__, "narrow", p=FloatRaises(NARROW)),
    case("raw gamma huge int", raw, O, "int too large to convert to float", gamma=10**400),
    case("cv x None", cv, T, "argument 'x': expected a 1-D numpy.ndarray of float64, got NoneType",
         x=None),
    case("raw pruning None", raw, T, "argument 'pruning': expected str, got NoneType",
         pruning=None),
    # Python's own wording, which varies between versions: only its words.
    case("raw missing gamma", lambda: core.velk(X, Y, 1.0), T, ("velk()", "missing", "'gamma'")),
    case("raw pruning case", raw, V, "unknown pruning 'Fpvi', expected 'FPVI' or 'PELT'",
         pruning="Fpvi", precondition="neither"),
    case("raw precondition", raw, V, "unknown precondition 'n\u00f6ne', expected 'none' or 'local'",
         precondition="n\u00f6ne", p=2.0),
    # Folds.
    case("folds str", cv, T, "argument 'folds': Can't extract `str` to `Vec`", folds=[[0], "2"],
         pruning="bad"),
    case("folds float", cv, T, "argument 'folds': 'float' object cannot be interpreted as an "
         "integer", folds=[[1.5]]),
    case("folds no length", cv, T, "argument 'folds': expected a Sequence, got NoneType",
         folds=NoLength([[0], None])),
    # The failed item ends the conversion: Python code must not run with its error pending.
    case("folds 2**63", cv, O, "Python int too large to convert to C long...",
         folds=[[2**63, Index(1)]]),
    # The core's checks, in order: p, gamma, rows, lengths.
    case("p NaN first", raw, R, "p must satisfy 0 <= p <= 1, got NaN", p=math.nan, gamma=-1.0),
    case("p next above 1", raw, R, "p must satisfy 0 <= p <= 1, got 1.0000000000000002",
         p=np.nextafter(1.0, 2.0)),
    case("p 1e22", raw, R, "p must satisfy 0 <= p <= 1, got 10000000000000000000000", p=1e22),
    case("p subnormal", raw, R, "p must satisfy 0 <= p <= 1, got -0." + "0" * 323 + "5",
         p=-5e-324),
    case("gamma -inf", raw, R, "gamma must satisfy 0 <= gamma, got -inf", gamma=-math.inf),
    case("rows before lengths", raw, R, TOO_FEW, x=X[:3], y=Y[:1]),
    case("merged rows", raw, R, TOO_FEW, x=np.array([-0.0, 0.0, np.nan]),
         y=np.array([[1.0], [2.0], [np.nan]])),
    case("x length", raw, R, "x and y must have matching length: x has 4, y has 5", x=X[:4],
         y=Y[:5]),
    case("delta length", raw, R, "delta must have the same length as x (5), got 4", x=None,
         y=Y[:5], delta=D[:4]),
    case("NaN x", raw, INTERNAL, "NaN in x", x=NAN_X),
    case("cv fold index", cv, INTERNAL, "index out of range", folds=[[1], [len(X)]]),
    case("cv short y", cv, INTERNAL, "index out of range", y=Y[:-1]),
    # The engine.
    case("engine samples", engine, T, "argument 'samples': expected velk._engine.Samples, got 1-D "
         "ndarray of float64", samples=X),
    case("engine lam str", engine, T, "argument 'lam': must be real number, not str", lam="1"),
    case("engine lam", engine, V, "lam must satisfy 0 <= lam, got -1", lam=-1.0),
    case("engine length", engine, V, "smoothing length must satisfy 0 <= length, got NaN",
         lam=None, length=math.nan),
    case("engine jump cost", engine, V, "jump cost must satisfy 0 <= jump cost, got -2",
         jump_cost=-2.0),
    case("prepare x length", prepare, V, "x must have one value per row of y", x=X[:4]),
    case("prepare delta length", prepare, V, "delta must have one value per row of y",
         delta=D[:5]),
    case("prepare zero delta", prepare, V, "delta must be positive", delta=np.r_[1.0, 0.0, D[2:]]),
    case("prepare negative w", prepare, V, "w must be positive", w=np.r_[1.0, -1.0, D[2:]]),
    case("prepare too few", prepare, V, TOO_FEW, x=np.r_[np.nan, X[1:2]], y=Y[:2]),
    case("prepare merged", prepare, V, TOO_FEW, x=np.zeros(6)),
    case("samples reweighted zero", lambda: SAMPLES.reweighted(np.r_[1.0, 0.0, D[2:]]), V,
         "factors must be positive and finite"),
    case("state", lambda: _engine.samples_from_state(X[::-1].copy(), Y, D, 0, 0, 0), V,
         "not the state of Samples"),
    # The public API.
    case("select delta off", select, V, "the noise level is 1.93e+198 times delta: select needs "
         "it between 1e-150 and 1e150 (is delta in the units of y?)", delta=1e-200),
    case("select t beyond the doubles", select, V, "Student-t noise needs delta (without delta, "
         "the noise level of y) between 1e-140 and 1e140: rescale y or delta",
         y=1e150 * np.sin(6 * XS), noise="t"),
    case("fit p NaN", fit, V, "p must be a number, got nan", p=math.nan),
    case("fit p range", fit, V, "p must satisfy 0 <= p <= 1, got 1.5", p=1.5),
    case("fit gamma range", fit, V, "gamma must satisfy 0 <= gamma, got -1", gamma=-1.0),
    case("fit p str", fit, T, "p must be a real number, got str", p="0.5"),
    case("fit p array", fit, T, "p must be a real number, got an array of shape (1,)",
         p=np.array([0.5])),
    case("fit gamma bool", fit, T, "gamma must be a real number, got bool", gamma=True),
    case("fit no gamma", fit, V, "give exactly one of gamma and jump_cost", gamma=None),
    case("fit p and smoothing", fit, V, "give exactly one of p and smoothing", smoothing=1.0),
    case("fit smoothing gamma", fit, V, "with smoothing, give jump_cost: gamma is relative to p "
         "(gamma = p * jump_cost)", p=None, smoothing=1.0),
    case("fit smoothing range", fit, V, "smoothing must satisfy 0 <= smoothing, got -1", p=None,
         gamma=None, smoothing=-1.0, jump_cost=1.0),
    case("fit y 3-D", fit, V, "y must be 1-D or 2-D (one row per sample), got 3-D",
         y=np.zeros((30, 2, 2))),
    case("fit y no column", fit, V, "y must have at least one column, got shape (30, 0)",
         y=np.zeros((30, 0))),
    case("fit y ragged", fit, V, "y must be a rectangular array: ...", y=[[1.0, 2.0], [3.0]]),
    case("fit y text", fit, T, "y must hold real numbers, got strings", y=["a"] * 30),
    case("fit y objects", fit, T, "y must hold real numbers, got values of type object",
         y=[object()] * 30),
    case("fit x length", fit, V, "x must be 1-D with one value per sample (30), got shape (2,)",
         x=[1.0, 2.0]),
    case("fit delta shape", fit, V, "delta must be a number or 1-D with one value per sample (30), "
         "got shape (5,)", delta=np.ones(5)),
    case("fit pruning", fit, V, "unknown pruning 'Pelx', expected one of 'functional', 'FPVI', "
         "'PELT'", pruning="Pelx"),
    case("fit pruning type", fit, T, "pruning must be a string, got int", pruning=1),
    case("cv folds float", cv_score, T, FOLDS_TYPE + "float", folds=2.0),
    case("cv folds 1", cv_score, V, "folds must be >= 2, got 1", folds=1),
    case("cv folds k > n", cv_score, V, "5-fold cross-validation needs at least 5 samples, got 4",
         x=XS[:4], y=XS[:4]),
    case("cv fold float", cv_score, V, "each fold must be a 1-D sequence of integer sample "
         "indices", folds=[[], [0.5]]),
    case("cv fold range", cv_score, V, "fold index out of range for 30 samples", folds=[[-1]]),
    case("cv jump cost", cv_score, V, "jump_cost must satisfy 0 <= jump_cost, got -1", p=None,
         gamma=None, smoothing=1.0, jump_cost=-1.0),
    case("select p", select, V, "p must satisfy 0 <= p <= 1, got 2", p=[2.0]),
    case("select p empty", select, V, "p must be a number or a non-empty 1-D sequence", p=[]),
    case("select smoothing empty", select, V, "smoothing must be a length or a non-empty 1-D "
         "sequence", smoothing=[]),
    case("select p and smoothing", select, V, "give p or smoothing, not both", p=0.5,
         smoothing=1.0),
    case("select gamma and cost", select, V, "give gamma or jump_cost, not both", p=0.5,
         gamma=1.0, jump_cost=1.0),
    case("select gamma alone", select, V, "gamma goes with p (gamma = p * jump_cost); give "
         "jump_cost", gamma=1.0),
    case("select executor and n_jobs", select, V, "give executor or n_jobs, not both", n_jobs=2,
         executor=ThreadPoolExecutor(1)),
    case("select n_jobs 0", select, V, "n_jobs must be a positive number or -1, got 0", n_jobs=0),
    case("select executor", select, T, "executor must be a concurrent.futures.Executor, got int",
         executor=4),
    case("select distinct x", select, V, "select needs at least three distinct x values, got 2",
         x=[1.0, 1.0, 2.0], y=[1.0, 2.0, 3.0]),
    case("kfold k", velk.kfold, T, "k must be an int, got float", n=10, k=2.0),
    case("kfold shuffle", velk.kfold, T, "shuffle must be True or False, got NoneType", n=10, k=3,
         shuffle=None),
    case("kfold range", velk.kfold, V, "k-fold needs 2 <= k <= n, got k=4, n=3", n=3, k=4),
    case("nu bool", lambda: spline().derivative(True), T, "nu must be an int, got bool"),
    case("nu negative", lambda: spline().antiderivative(-1), V, "nu must be >= 0, got -1"),
    case("spline result", lambda: velk.JumpSpline([1, 2], 0.5, 1.0), T,
         "result must be a result dictionary of velk.velk, got list"),
    case("spline p", spline, V, "p must satisfy 0 <= p <= 1, got 5", p=5.0),
    case("spline squeeze type", spline, T, "squeeze must be True or False, got int", squeeze=1),
    case("spline squeeze", spline, V, "squeeze needs a single component, the fit has 2",
         squeeze=True),
    case("spline time axis", spline, T, "time_axis must be a TimeAxis, got str", time_axis="s"),
    case("spline lacks", spline, V, "result lacks the entries x, y of a velk.velk result",
         change={"x": None, "y": None}),
    case("spline dim", spline, V, "result['dim'] must be >= 1, got 0", change={"dim": 0}),
    case("spline breaks", spline, V, "result does not hold a piecewise polynomial (breaks, coefs, "
         "dim)", change={"breaks": np.r_[1.0, 0.0]}),
    case("spline x", spline, V, "result['x'] must hold at least two increasing samples",
         change={"x": np.r_[XS[:2], XS[1:-1]]}),  # a repeated x
    case("spline y", spline, V, "result['y'] must have shape (30, 2)",
         change={"y": np.zeros((30, 1))}),
    case("spline cells", spline, V, "result's jumps and segments do not partition its samples",
         change={"interval_cell": [np.arange(29)]}),
    case("spline scale", spline, V, "result['scale'] must be two positive finite units (x_unit, "
         "y_unit)", change={"scale": (1.0, 0.0)}),
    # Jump tables, their pictures and paths.
    case("table noise sign", lambda: spline().jump_table(-1.0), V, TABLE_NOISE),
    case("table noise length", lambda: spline().jump_table([1.0, 2.0, 3.0]), V, TABLE_NOISE),
    case("table delta zero", lambda: spline().jump_table(1.0, np.zeros(30)), V, TABLE_DELTA),
    case("table delta length", lambda: spline().jump_table(1.0, np.ones(5)), V, TABLE_DELTA),
    case("plot table type", lambda: fit().plot(jumps=[]), T, "jumps must be a JumpTable, got list"),
    case("plot other table", lambda: fit().plot(jumps=fit(gamma=1e-3).jump_table(1.0)), V,
         "jumps is the table of another fit: 8 jumps, not this spline's 2 at its positions"),
    case("path lo", lambda: chosen().path(0.0, 1.0), V,
         "lo must be a positive finite jump cost, got 0.0"),
    case("path hi", lambda: chosen().path(1.0, math.inf), V,
         "hi must be a positive finite jump cost, got inf"),
    case("path order", lambda: chosen().path(2.0, 1.0), V, "lo must not exceed hi, got lo=2, hi=1"),
    case("path str", lambda: chosen().path("a", 1.0), T, "lo must be a number, got str"),
    case("path t noise", lambda: velk.select(XS, np.sin(6 * XS), noise="t", n_jobs=1).path(), V,
         "the jump-cost path needs Gaussian noise: under Student-t noise each cost would need a "
         "reweighting of its own"),
    # Time.
    case("fit x months", fit, V, "timedeltas in years or months have no fixed length in seconds",
         x=np.arange(30).astype("m8[M]")),
    case("fit x mixed", fit, T, "values mix datetimes and timedeltas",
         x=[datetime.datetime(2020, 1, 1), datetime.timedelta(1)] * 15),
    # AR(1) noise.
    case("phi 1", ar1_fit, V, "phi must satisfy -1 < phi < 1, got 1", phi=1.0),
    case("phi -1", ar1_fit, V, "phi must satisfy -1 < phi < 1, got -1", phi=-1.0),
    case("phi PELT", ar1_fit, V, PHI_PRUNING, pruning="PELT"),
    case("phi FPVI", ar1_fit, V, PHI_PRUNING, pruning="FPVI"),
    case("phi lines", ar1_fit, V, "phi is not supported with straight lines (an infinite lam or "
         "length)", smoothing=math.inf),
    case("phi uneven", ar1_fit, V, "phi < 0 needs evenly spaced x: the correlation phi**(dx / h) "
         "between uneven samples is defined for phi >= 0 only, got -0.5", x=XS**2, phi=-0.5),
    # The noise model of select: a name, or phi known.
    case("noise name", select, V, "unknown noise 'laplace', expected one of 'gaussian', "
         "'student-t', 'ar1', 'auto', 'white', 't'", noise="laplace"),
    case("noise phi 1", select, V, "noise as phi must satisfy -1 < phi < 1, got 1", noise=1.0),
    case("noise phi -1", select, V, "noise as phi must satisfy -1 < phi < 1, got -1", noise=-1.0),
    case("noise None", select, T, "noise must be a real number, got NoneType", noise=None),
    # Many series.
    case("many data", many, T, "data must be a 2-D array (a series per column), a DataFrame, a "
         "mapping or a sequence of series, got int", data=42),
    case("many executor and n_jobs", many, V, "give executor or n_jobs, not both", n_jobs=2,
         executor=ThreadPoolExecutor(1)),
    case("many delta", many, V, "delta of shape (3, 3) does not match data (30, 2)",
         delta=np.ones((3, 3))),
    case("many tuple", many, V, "a series is y, (x, y) or (x, y, delta), got a tuple of 1",
         data=[(XS,)]),
    case("fit_many pruning", fit_many, V, "unknown pruning 'none', expected one of 'functional', "
         "'FPVI', 'PELT'", pruning="none"),
]
if not SANITIZED:  # AddressSanitizer aborts on an impossible allocation instead of failing it
    ERRORS += [
        case("raw memory", raw, MemoryError, "", x=None, y=np.broadcast_to(Y[:1, :1], (HUGE, 1))),
        case("cv memory", cv, MemoryError, "", x=np.broadcast_to(X[:1], (HUGE,))),
        case("engine memory", prepare, MemoryError, "", x=np.broadcast_to(X[:1], (HUGE,)),
             y=np.broadcast_to(Y[:1, :1], (HUGE, 1))),
    ]
# fmt: on


@pytest.mark.parametrize("call,kw,exc,message", ERRORS)
def test_errors(call, kw, exc, message, capfd):
    with pytest.raises(BaseException) as info:
        call(**kw)
    e, text = info.value, str(info.value)
    assert type(e) is exc, (type(e), e)
    if isinstance(message, tuple):
        assert all(word in text for word in message), text
    elif message.endswith("..."):
        assert text.startswith(message[:-3]), text
    else:
        assert text == message
    if message == "argument 'gamma': no float":
        assert isinstance(e.__cause__, KeyError)  # the rewrapped error keeps its cause
    if exc is INTERNAL:
        assert not isinstance(e, Exception)
        err = capfd.readouterr().err  # the diagnostic, naming the calling thread
        assert f"velk: internal error in thread {threading.get_ident()} at " in err
        assert f": {message}\n" in err


class HugeLength(list):  # the length is only a hint: nothing of this size is reserved
    def __len__(self):
        return 2**62


FOLDS = [[0, 2], [1, 3]]


@pytest.mark.parametrize(
    "call,kw,same",
    [
        (raw, {}, {"pruning": "FPVI", "precondition": "none"}),  # the defaults
        (raw, {"p": True}, {"p": 1.0}),
        (raw, {"p": Fraction(1, 2)}, {}),
        (raw, {"x": None}, {"x": np.arange(1.0, 7.0)}),
        (raw, {"delta": None}, {"delta": np.ones(6)}),
        (raw, {"delta": -D}, {"delta": D}),  # only the square of delta enters
        (raw, {"gamma": -0.0}, {"gamma": 0.0}),
        (raw, {"pruning": "pelt", "precondition": "LoCaL"}, {"pruning": "PELT",
                                                              "precondition": "local"}),
        (cv, {"folds": ((np.int64(0), True + 1), (np.uint8(1), 3))}, {"folds": FOLDS}),
        (cv, {"folds": NoLength([NoLength([0, 2]), [1, 3]])}, {"folds": FOLDS}),
        (cv, {"folds": HugeLength([HugeLength([0, 2]), [1, 3]])}, {"folds": FOLDS}),
    ],
)  # fmt: skip
def test_equivalent_arguments(call, kw, same):
    assert pickle.dumps(call(**kw)) == pickle.dumps(call(**same))  # types, shapes and bits
