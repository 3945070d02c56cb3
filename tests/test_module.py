"""The extension module's Python face: binding, conversion, options, errors, results."""

import importlib
import importlib.util
import inspect
import math
import re
import threading
from fractions import Fraction

import numpy as np
import pytest
from helpers import SANITIZED

from velk import _velk_core as core

X = np.array([0.0, 0.5, 1.25, 2.0, 3.5, 4.0])
Y = np.column_stack([np.sin(X), np.cos(3 * X)])
D = np.array([1.0, 0.5, 2.0, 1.0, 1.5, 1.0])
KEYS = [
    "breaks",
    "coefs",
    "dim",
    "order",
    "discont",
    "discont_idx",
    "x",
    "y",
    "complexity_counter",
    "interval_cell",
    "pp_cell",
    "F",
    "partition",
    "precondition",
    "tau",
]


def fit(**overrides):
    return core.velk(**{**dict(x=X, y=Y, p=1.0, gamma=0.0), **overrides})


def cvscore(**overrides):
    defaults = dict(x=X, y=Y, p=1.0, gamma=1.0, delta=D, folds=[[0, 2], [1, 3]])
    return core.velk_cvscore(**{**defaults, **overrides})


def arrays(value):
    """Every array inside a result, nested ones included."""
    if isinstance(value, np.ndarray):
        yield value
    elif isinstance(value, (dict, list)):
        for item in value.values() if isinstance(value, dict) else value:
            yield from arrays(item)


def assert_same(a, b):
    assert type(a) is type(b)
    if isinstance(a, (dict, list)):
        assert (list(a) == list(b)) if isinstance(a, dict) else len(a) == len(b)
        for key in a if isinstance(a, dict) else range(len(a)):
            assert_same(a[key], b[key])
    elif isinstance(a, np.ndarray):
        assert (a.dtype, a.shape) == (b.dtype, b.shape)
        np.testing.assert_array_equal(a, b)
    else:
        assert a == b


# --- the module ---------------------------------------------------------------------------------


def test_module_holds_exactly_two_documented_functions():
    assert [n for n in vars(core) if not n.startswith("__")] == ["velk", "velk_cvscore"]
    assert core.__doc__ == ""
    for f, params in [
        (core.velk, "x, y, p, gamma, delta=None"),
        (core.velk_cvscore, "x, y, p, gamma, delta, folds"),
    ]:
        assert f.__text_signature__ == f'({params}, pruning="FPVI", precondition="none")'
        assert f.__doc__ is None
        assert str(inspect.signature(f)) == f"({params}, pruning='FPVI', precondition='none')"


def test_reinitialisation_returns_the_same_module():
    assert importlib.reload(core) is core
    spec = importlib.util.spec_from_file_location("velk._velk_core", core.__file__)
    assert importlib.util.module_from_spec(spec) is core


def test_subinterpreter_import_fails(tmp_path):
    run = getattr(pytest.importorskip("_testcapi"), "run_in_subinterp", None)
    if run is None:
        pytest.skip("no way to run a sub-interpreter")
    out = tmp_path / "outcome"
    code = f"""
import importlib.util
spec = importlib.util.spec_from_file_location('velk._velk_core', {core.__file__!r})
try:
    importlib.util.module_from_spec(spec)
    outcome = 'imported'
except ImportError as e:
    outcome = 'ImportError: ' + str(e)
open({str(out)!r}, 'w').write(outcome)
"""
    before = fit(p=0.5, gamma=0.1)
    assert run(code) == 0
    assert re.match(r"ImportError: .*interpreter", out.read_text())
    assert_same(fit(p=0.5, gamma=0.1), before)  # the main interpreter's module still works


def test_internal_error_is_a_base_exception_with_a_diagnostic(capfd):
    x = X.copy()
    x[2] = np.nan
    with pytest.raises(BaseException, match=r"^NaN in x$") as first:
        fit(x=x)
    cls = type(first.value)
    assert not issubclass(cls, Exception)
    assert (cls.__module__, cls.__name__) == ("velk", "InternalError")
    err = capfd.readouterr().err
    assert f"thread {threading.get_ident()}" in err
    assert re.search(r"\w+\.[ch]pp:\d+: NaN in x$", err, re.M)
    with pytest.raises(cls):  # one class per process
        cvscore(x=x, folds=[[]])


# --- binding and conversion ---------------------------------------------------------------------


# Python's own wording varies between versions; it names the function and the argument.
@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: core.velk(X, Y, 1), ["velk()", "missing", "'gamma'"]),
        (lambda: core.velk(X, Y, 1, 0, None, "FPVI", "none", 0), ["velk()", "at most 7"]),
        (lambda: core.velk(X, Y, 1, 0, x=X), ["velk()", "'x'"]),
        (lambda: core.velk_cvscore(X, Y, 1, 1, D, [], q=1), ["velk_cvscore()", "'q'"]),
        (lambda: core.velk_cvscore(X, Y, 1, 1, D), ["velk_cvscore()", "missing", "'folds'"]),
    ],
)
def test_binding_errors(call, words):
    with pytest.raises(TypeError) as info:
        call()
    assert all(w in str(info.value) for w in words)


@pytest.mark.parametrize("entry", [fit, cvscore])
@pytest.mark.parametrize(
    "name, value, fragment",
    [
        ("x", [0.0, 1.0, 2.0], "got list"),
        ("x", X.astype(np.int64), "got 1-D ndarray of int64"),
        ("x", X[None, :], "got 2-D ndarray of float64"),
        ("x", X.astype(">f8"), "got 1-D ndarray of >f8"),
        ("y", Y[:, 0], "got 1-D ndarray of float64"),
        ("y", None, "got NoneType"),
        ("p", "0.5", "must be real number, not str"),
        ("delta", list(D), "got list"),
        ("pruning", None, "got NoneType"),
        ("precondition", b"none", "got bytes"),
    ],
)
def test_conversion_errors_name_the_argument(entry, name, value, fragment):
    with pytest.raises(TypeError) as info:
        entry(**{"pruning": "bad", name: value})  # conversions precede option parsing
    assert type(info.value) is TypeError
    message = str(info.value)
    assert message.startswith(f"argument '{name}': ") and message.endswith(fragment)


class FloatFails:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_conversion_keeps_cause_and_passes_other_exceptions():
    first = TypeError("no")
    first.__cause__ = KeyError("k")
    with pytest.raises(TypeError, match="^argument 'gamma': no$") as info:
        fit(gamma=FloatFails(first))
    assert isinstance(info.value.__cause__, KeyError)
    narrow = type("NarrowTypeError", (TypeError,), {})
    for exc in [narrow("narrow"), ValueError("value"), OverflowError("big")]:
        with pytest.raises(type(exc)) as info:
            fit(p=FloatFails(exc))
        assert info.value is exc
    with pytest.raises(OverflowError, match="^int too large"):
        fit(p=10**400)


@pytest.mark.parametrize(
    "overrides, same",
    [
        (dict(p=True), {}),
        (dict(p=np.float64(1)), {}),
        (dict(p=Fraction(1)), {}),
        (dict(x=None), dict(x=np.arange(1.0, 7.0))),
        (dict(delta=None), dict(delta=np.ones(6))),
        (dict(gamma=-0.0), {}),
        (dict(p=-0.0, gamma=math.inf), dict(p=0.0, gamma=math.inf)),
    ],
)
def test_equivalent_arguments(overrides, same):
    assert_same(fit(**overrides), fit(**same))


def _misaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(np.float64).reshape(a.shape)
    raw[...] = a
    assert not raw.flags.aligned
    return raw


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a[::-1].copy()[::-1],  # negative strides
        lambda a: np.repeat(a, 2, axis=0)[::2],
        np.asfortranarray,
        _misaligned,
        lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),  # read-only
        lambda a: a.view(type("Sub", (np.ndarray,), {})),
    ],
)
def test_any_layout_reads_like_contiguous(layout):
    y3 = np.hstack([Y, Y[:, :1]])[:, ::2]  # a column-strided view, too
    expected = fit(y=np.ascontiguousarray(y3), delta=D)
    assert_same(fit(x=layout(X), y=layout(y3), delta=layout(D)), expected)
    folds = [[0, 3], [5]]
    assert cvscore(x=layout(X), y=layout(Y), delta=layout(D), folds=folds) == cvscore(folds=folds)


# --- options ------------------------------------------------------------------------------------


@pytest.mark.parametrize("pruning", ["FPVI", "fpvi", "PELT", "pelt"])
@pytest.mark.parametrize(
    "given, parsed", [("none", "none"), ("NoNe", "none"), ("LOCAL", "local"), ("local", "local")]
)
def test_options_accepted(pruning, given, parsed):
    assert fit(pruning=pruning, precondition=given)["precondition"] == parsed


@pytest.mark.parametrize("text", ["Fpvi", " FPVI", "FPVI ", "", "FP\0VI", "fpv\u0131", "PELT\n"])
def test_unknown_pruning(text):
    message = f"unknown pruning '{text}', expected 'FPVI' or 'PELT'"
    for call in [
        lambda: fit(pruning=text, precondition="neither"),  # pruning is parsed first
        lambda: cvscore(pruning=text, p=2.0),
    ]:
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            call()


@pytest.mark.parametrize("text", ["", "non", "LOCAL ", "loc\0al", "n\u00f6ne"])
def test_unknown_precondition(text):
    message = f"unknown precondition '{text}', expected 'none' or 'local'"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        fit(precondition=text, p=2.0)  # options precede the numeric checks


# --- core failures ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(p=1.5), "p must satisfy 0 <= p <= 1, got 1.5"),
        (dict(p=math.nan, gamma=-1), "p must satisfy 0 <= p <= 1, got NaN"),
        (dict(gamma=-math.inf), "gamma must satisfy 0 <= gamma, got -inf"),
        (dict(x=X[:4], y=Y[:5]), "x and y must have matching length: x has 4, y has 5"),
        (dict(y=Y[:5], x=None, delta=D[:4]), "delta must have the same length as x (5), got 4"),
    ],
)
def test_core_errors_become_runtime_errors(overrides, message):
    with pytest.raises(RuntimeError) as info:
        fit(**overrides)
    assert type(info.value) is RuntimeError and str(info.value) == message


# --- the result ---------------------------------------------------------------------------------


@pytest.mark.parametrize("dim", [0, 1, 3])
def test_result_layout(dim):
    y = np.arange(6.0 * dim).reshape(6, dim) ** 2 % 7
    r = fit(y=y, delta=D)
    assert list(r) == KEYS
    m = len(X)
    assert (r["dim"], r["order"], r["complexity_counter"]) == (dim, 4, m)
    assert all(type(r[k]) is int for k in ["dim", "order", "complexity_counter"])
    assert r["precondition"] == "none"
    pieces = len(r["breaks"]) - 1
    shapes = dict(
        breaks=(m + 2,),
        coefs=(pieces * dim, 4),
        discont=(0,),
        discont_idx=(0,),
        x=(m,),
        y=(m, dim),
        F=(m,),
        partition=(m,),
        tau=(m,),
    )
    for key, shape in shapes.items():
        want = np.int64 if key in ("discont_idx", "partition") else np.float64
        assert (r[key].shape, r[key].dtype) == (shape, want), key
    assert len(r["interval_cell"]) == 1 and r["interval_cell"][0].dtype == np.int64
    [part] = r["pp_cell"]
    assert list(part) == ["breaks", "coefs", "dim", "order"]
    assert (part["dim"], part["order"]) == (dim, 4)


def test_result_with_jumps():
    y = np.r_[np.zeros(6), np.full(6, 10.0)] + np.linspace(0, 0.1, 12)
    r = core.velk(None, y[:, None], 0.5, 1.0)
    assert len(r["interval_cell"]) == len(r["pp_cell"]) == 2
    assert_same(r["interval_cell"][1], np.arange(6, 12, dtype=np.int64))
    assert_same(r["discont_idx"], np.array([5], dtype=np.int64))
    assert_same(r["discont"], np.array([6.5]))
    assert [list(d) for d in r["pp_cell"]] == [["breaks", "coefs", "dim", "order"]] * 2


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer aborts on an impossible allocation")
def test_allocation_failure_is_a_memory_error():
    # 2**59 rows of one repeated value: copying them cannot be allocated anywhere.
    huge = np.lib.stride_tricks.as_strided(Y[:1, :1], shape=(2**59, 1), strides=(0, 0))
    with pytest.raises(MemoryError):
        fit(x=None, y=huge)


def test_result_owns_its_memory():
    x, y, delta = X.copy(), Y.copy(), D.copy()
    r = fit(x=x, y=y, delta=delta)
    for a in arrays(r):
        assert not any(np.shares_memory(a, arg) for arg in (x, y, delta))
        assert a.size == 0 or type(a.base).__name__ == "PyCapsule"
        assert a.flags.c_contiguous and a.flags.writeable
    r["x"][:] = -1.0
    np.testing.assert_array_equal(x, X)


# --- velk_cvscore -------------------------------------------------------------------------------


class NoLength(list):
    def __len__(self):
        raise RuntimeError("no length")


class HugeLength(list):  # the length is only a hint: nothing of this size is reserved
    def __len__(self):
        return 2**62


@pytest.mark.parametrize(
    "folds",
    [
        ((np.int64(0), True + 1), (np.uint8(1), 3)),
        np.array([[0, 2], [1, 3]]),
        [range(0, 4, 2), range(1, 4, 2)],
        NoLength([NoLength([0, 2]), [1, 3]]),
        HugeLength([HugeLength([0, 2]), [1, 3]]),
    ],
)
def test_fold_containers(folds):
    assert cvscore(folds=folds) == cvscore(folds=[[0, 2], [1, 3]])


@pytest.mark.parametrize(
    "folds, exc, message",
    [
        ("02", TypeError, "argument 'folds': Can't extract `str` to `Vec`"),
        ([[0], "2"], TypeError, "argument 'folds': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'folds': expected a Sequence, got int"),
        ([[0], {1: 2}], TypeError, "argument 'folds': expected a Sequence, got dict"),
        (
            [[1.5]],
            TypeError,
            "argument 'folds': 'float' object cannot be interpreted as an integer",
        ),
        ([[2**63]], OverflowError, None),
        ([[-(2**63) - 1]], OverflowError, None),
        (NoLength([[0], None]), TypeError, "argument 'folds': expected a Sequence, got NoneType"),
    ],
)
def test_fold_conversion_errors(folds, exc, message):
    with pytest.raises(exc) as info:
        cvscore(folds=folds, pruning="bad")
    assert type(info.value) is exc
    assert str(info.value) == message if message else "argument" not in str(info.value)


def test_cvscore_scores_and_failures():
    assert cvscore(folds=[]) == 0.0
    assert cvscore(gamma=0.0) == math.inf
    assert cvscore(folds=[[0, 1, 2, 3, 4]]) == math.inf  # one training sample left
    with pytest.raises(BaseException, match="^index out of range$") as info:
        cvscore(folds=[[-1]])  # converted fine, refused by the core after the fit
    assert not isinstance(info.value, Exception)
    for name in ["x", "delta"]:
        with pytest.raises(TypeError, match=f"^argument '{name}': .*got NoneType$"):
            cvscore(**{name: None})
