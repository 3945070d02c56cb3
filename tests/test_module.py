"""The raw extension module's face: its functions, import, input layouts and the result."""

import importlib
import importlib.util
import pickle
import re

import numpy as np
import pytest
from helpers import misaligned

from velk import _velk_core as core

X = np.array([0.0, 0.5, 1.25, 2.0, 3.5, 4.0])
Y = np.column_stack([np.sin(X), np.cos(3 * X)])
D = np.array([1.0, 0.5, 2.0, 1.0, 1.5, 1.0])
KEYS = ["breaks", "coefs", "dim", "order", "discont", "discont_idx", "x", "y",
        "complexity_counter", "interval_cell", "pp_cell", "F", "partition", "precondition",
        "tau"]  # fmt: skip


def fit(**overrides):
    return core.velk(**{**dict(x=X, y=Y, p=1.0, gamma=0.0), **overrides})


def cvscore(**overrides):
    defaults = dict(x=X, y=Y, p=1.0, gamma=1.0, delta=D, folds=[[0, 2], [1, 3]])
    return core.velk_cvscore(**{**defaults, **overrides})


def assert_same(a, b):
    """Equal results: the same keys in order, types, dtypes, shapes and bits."""
    assert pickle.dumps(a) == pickle.dumps(b)


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


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a[::-1].copy()[::-1],  # negative strides
        lambda a: np.repeat(a, 2, axis=0)[::2],
        np.asfortranarray,
        misaligned,
        lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),  # read-only
        lambda a: a.view(type("Sub", (np.ndarray,), {})),
    ],
)
def test_any_layout_reads_like_contiguous(layout):
    y3 = np.hstack([Y, Y[:, :1]])[:, ::2]  # a column-strided view, too
    expected = fit(y=np.ascontiguousarray(y3), delta=D, p=0.5)
    assert_same(fit(x=layout(X), y=layout(y3), delta=layout(D), p=0.5), expected)
    folds = [[0, 3], [5]]
    assert cvscore(x=layout(X), y=layout(Y), delta=layout(D), folds=folds) == cvscore(folds=folds)
