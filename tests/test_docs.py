"""The examples in the docstrings and in the README run as shown."""

import doctest
import importlib
import re
from pathlib import Path

import matplotlib
import pytest
from numpy.testing import assert_allclose

matplotlib.use("Agg")
import matplotlib.pyplot as plt

README = Path(__file__).resolve().parents[1] / "README.md"


@pytest.mark.parametrize(
    "name", ["velk._fit", "velk._spline", "velk._cv", "velk._select", "velk._many"]
)
def test_docstring_examples(name):
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testmod(importlib.import_module(name), optionflags=flags)
    assert result.attempted > 0 and result.failed == 0


def test_readme_examples(tmp_path, monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)
    assert len(blocks) >= 3
    monkeypatch.chdir(tmp_path)
    ns: dict = {}
    try:
        for i, code in enumerate(blocks):
            exec(compile(code, f"README.md block {i + 1}", "exec"), ns)
            if i == 0:
                assert_allclose(ns["spline"].jumps, [5.0])
            if "batch" in ns:  # many series: each its own jumps
                got = [sel.spline.jumps.round(2).tolist() for sel in ns.pop("batch").values()]
                assert got == [[], [2.99], [7.01]]
            if "daily" in ns:  # the time series: the jump halfway between Jun 30 and Jul 1
                assert list(ns.pop("daily").jumps.astype(str)) == ["2023-06-30 12:00:00"]
    finally:
        plt.close("all")


def test_worked_example():
    # The data ship with statsmodels, which only the docs extra installs.
    pytest.importorskip("statsmodels")
    page = README.parent / "docs" / "example.rst"
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    try:
        result = doctest.testfile(str(page), module_relative=False, optionflags=flags)
    finally:
        plt.close("all")
    assert result.attempted > 0 and result.failed == 0
