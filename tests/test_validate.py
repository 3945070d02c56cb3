"""Bad arguments of the public functions: TypeError for a wrong type, ValueError for a wrong
value, with a message that names the argument."""

import numpy as np
import pytest

import velk

X = np.linspace(0.0, 1.0, 30)
Y = np.sin(6.0 * X)
BASE = {"p": 0.9, "gamma": 1.0}


def call(name, **kw):
    if name == "fit":
        return velk.fit(kw.pop("x", X), kw.pop("y", Y), **{**BASE, **kw})
    if name == "cv_score":
        return velk.cv_score(kw.pop("x", X), kw.pop("y", Y), **{**BASE, **kw})
    if name == "select":
        return velk.select(kw.pop("x", X), kw.pop("y", Y), **{"p": [0.9], "gamma": [1.0], **kw})
    return velk.kfold(**{"n": 10, "k": 3, **kw})


FIT_ARGS = [
    ({"gamma": np.nan}, ValueError, "gamma must be a number, got nan"),
    ({"p": np.nan}, ValueError, "p must be a number, got nan"),
    ({"p": "0.5"}, TypeError, "p must be a real number, got str"),
    ({"gamma": None}, ValueError, "give exactly one of gamma and jump_cost"),
    ({"y": np.zeros((30, 0))}, ValueError, "y must have at least one column"),
    ({"y": ["a"] * 30}, TypeError, "y must hold real numbers, got strings"),
    ({"y": Y + 0j}, TypeError, "y must hold real numbers, got complex"),
    (
        {"pruning": "Pelx"},
        ValueError,
        "unknown pruning 'Pelx', expected one of 'functional', 'FPVI', 'PELT'",
    ),
    ({"pruning": 1}, TypeError, "pruning must be a string, got int"),
    ({"precondition": "lokal"}, ValueError, "unknown precondition 'lokal'"),
]


@pytest.mark.parametrize("name", ["fit", "cv_score"])
@pytest.mark.parametrize("kw,error,message", FIT_ARGS)
def test_fit_and_score_arguments(name, kw, error, message):
    with pytest.raises(error, match=message):
        call(name, **kw)


@pytest.mark.parametrize(
    "name,kw,error,message",
    [
        ("fit", {"extrapolate": "cubic"}, ValueError, "unknown extrapolate 'cubic'"),
        ("cv_score", {"folds": 2.0}, TypeError, "folds must be an int or a sequence"),
        ("cv_score", {"folds": "ab"}, TypeError, "folds must be an int or a sequence"),
        ("cv_score", {"folds": 1}, ValueError, "folds must be >= 2, got 1"),
        ("select", {"n_jobs": "2"}, TypeError, "n_jobs must be an int, got str"),
        ("select", {"n_jobs": 0}, ValueError, "n_jobs must be a positive number or -1, got 0"),
        ("select", {"n_jobs": 2.0}, TypeError, "n_jobs must be an int, got float"),
        ("select", {"executor": 4}, TypeError, "executor must be a concurrent.futures.Executor"),
        ("select", {"progress": "yes"}, TypeError, "progress must be True or False"),
        ("select", {"pruning": "FPV"}, ValueError, "unknown pruning 'FPV'"),
        ("kfold", {"k": 2.0}, TypeError, "k must be an int, got float"),
        ("kfold", {"n": "10"}, TypeError, "n must be an int, got str"),
        ("kfold", {"shuffle": None}, TypeError, "shuffle must be True or False"),
    ],
)
def test_other_arguments(name, kw, error, message):
    with pytest.raises(error, match=message):
        call(name, **kw)


@pytest.mark.parametrize("name", ["fit", "cv_score", "select"])
def test_option_names_ignore_case(name):
    canonical = call(name, pruning="PELT", precondition="local")
    for pruning, precondition in [("Pelt", "LOCAL"), ("pelt", "Local")]:
        got = call(name, pruning=pruning, precondition=precondition)
        if name == "fit":
            np.testing.assert_array_equal(got.coefs, canonical.coefs)
        elif name == "cv_score":
            assert got == canonical
        else:
            np.testing.assert_array_equal(got.scores, canonical.scores)
