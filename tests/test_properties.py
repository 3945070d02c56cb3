"""Arbitrary arguments for every entry point: each call ends in a documented exception type or
in a result that keeps the invariants of a result. VELK_FUZZ_EXAMPLES sets the number of
examples per entry point (e.g. 100000 for a long run)."""

import math
import os

import numpy as np
import pytest
from helpers import SANITIZED, misaligned
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from test_module import KEYS

import velk
from velk import _engine
from velk import _velk_core as core

# Under the sanitizers every allocation records its stack: fewer examples there.
EXAMPLES = int(os.environ.get("VELK_FUZZ_EXAMPLES", 40 if SANITIZED else 200))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))  # fmt: skip


LAYOUTS = [lambda a: a, lambda a: a[::-1].copy()[::-1], np.asfortranarray, misaligned,
           lambda a: np.broadcast_to(a[:1], a.shape) if len(a) else a]  # fmt: skip
floats = st.floats(-10, 10) | st.floats() | st.sampled_from([0.0, -0.0, 5e-324, 1e308])
junk = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=3),
                 st.lists(st.floats(), max_size=3), st.builds(object),
                 hnp.arrays(hnp.scalar_dtypes(), hnp.array_shapes(min_dims=0, max_dims=3,
                                                                  max_side=3)))  # fmt: skip


@st.composite
def arguments(draw, entry):
    n = draw(st.integers(0, 12))
    m = draw(st.sampled_from([n] * 8 + [max(n - 1, 0), n + 1]))  # mostly matching lengths
    vec = hnp.arrays(np.float64, m, elements=floats).map(draw(st.sampled_from(LAYOUTS)))
    args = {
        "x": draw(st.none() | vec),
        "y": draw(hnp.arrays(np.float64, (n, draw(st.integers(0, 3))), elements=floats)),
        "delta": draw(st.none() | vec),
    }
    setting = {"p": st.floats(0, 1) | floats, "gamma": st.floats(0, 5) | floats}
    if entry == "engine":
        setting = {"lam": st.floats(0, 1e6) | floats, "jump_cost": st.floats(0, 5) | floats}
    args.update({k: draw(v) for k, v in setting.items()})
    if draw(st.booleans()):
        names = ["FPVI", "pelt", "bad"] + (["functional"] if entry == "engine" else [])
        args["pruning"] = draw(st.sampled_from(names))
    if draw(st.sampled_from([False] * 4 + [True])):  # now and then anything at all
        args[draw(st.sampled_from(sorted(args)))] = draw(junk)
    return args


def check_result(r, args):
    assert list(r)[: len(KEYS)] == KEYS
    x, y, dim, m = r["x"], r["y"], r["dim"], len(r["x"])
    assert y.shape == (m, dim) and m >= 2 and np.all(np.diff(x) > 0)
    assert r["coefs"].shape == ((len(r["breaks"]) - 1) * dim, 4)
    cells = r["interval_cell"]
    assert np.array_equal(np.concatenate(cells), np.arange(m))  # so each cell is a run
    last = np.array([c[-1] for c in cells[:-1]], dtype=np.int64)
    assert np.array_equal(r["discont_idx"], last)
    assert np.array_equal(r["discont"], (x[last + 1] + x[last]) * 0.5)
    assert np.all(r["partition"] <= np.arange(m))
    parts = r["pp_cell"]
    joined = np.concatenate([parts[0]["breaks"]] + [q["breaks"][1:] for q in parts[1:]])
    assert np.array_equal(r["breaks"], joined)
    assert np.array_equal(r["coefs"], np.concatenate([q["coefs"] for q in parts]), equal_nan=True)


def engine_fit(x, y, delta, **setting):
    """Both steps of the engine: its samples, then a fit."""
    return _engine.fit(_engine.prepare(x, y, delta), **setting)


def check_engine_result(r, args):
    """The engine's fit: pieces over the prepared samples, each jump halfway between two samples."""
    samples = _engine.prepare(args["x"], args["y"], args["delta"])
    x, dim, b = samples.x, samples.y.shape[1], r["breaks"]
    assert np.all(np.diff(x) > 0) and np.all(np.diff(b) >= 0) and b[0] < x[0] and b[-1] > x[-1]
    assert r["coefs"].shape == ((len(b) - 1) * dim, 4) and r["coefs"].dtype == np.float64
    k = r["jump_index"]
    assert k.dtype == np.int64 and np.all(np.diff(k) > 0) and np.all((k >= 0) & (k < len(x) - 1))
    assert np.array_equal(r["jumps"], (x[k] + x[k + 1]) * 0.5)
    assert np.isin(r["jumps"], b).all() and type(r["samples_fed"]) is int


ALLOWED = {
    "raw": (TypeError, ValueError, RuntimeError, OverflowError),
    "engine": (TypeError, ValueError),
}


@pytest.mark.parametrize("entry", ["raw", "engine"])
@FUZZ
@given(data=st.data())
def test_documented_errors_or_a_sound_result(entry, data):
    args = data.draw(arguments(entry))
    call = {"raw": core.velk, "engine": engine_fit}[entry]
    try:
        with np.errstate(all="ignore"):
            r = call(**args)
    except velk.InternalError as e:  # the raw module's, of a NaN abscissa
        assert entry == "raw" and str(e) == "NaN in x" and np.isnan(args["x"]).any(), e
    except ALLOWED[entry]:
        pass
    else:
        if entry == "engine":
            check_engine_result(r, args)
        else:
            check_result(r, args)
            if args["p"] == 1 or args["gamma"] == math.inf:
                assert len(r["interval_cell"]) == 1 and not r["F"].any()


@FUZZ
@given(
    x=st.none() | junk | hnp.arrays(np.float64, 8, elements=floats),
    y=junk | hnp.arrays(np.float64, st.sampled_from([(8,), (8, 2)]), elements=floats),
    p=junk | st.floats(0, 1),
    delta=junk | floats,
)
def test_public_fit_raises_type_or_value_errors_only(x, y, p, delta):
    try:
        with np.errstate(all="ignore"):
            spl = velk.fit(x, y, p=p, gamma=1.0, delta=delta)
    except (TypeError, ValueError):
        return
    # The curve is finite at the samples; `coefs` in units of x and y may not be (a line
    # through values near the largest double leaves it on the extrapolated piece), and
    # where the values come within rounding of the largest double the curve's rounding
    # may overflow there too (a line through 0 and 1.8e308 takes a slope just past it).
    with np.errstate(all="ignore"):
        at = spl(spl.x)
    edge = np.max(np.abs(spl.y)) > 1e307
    assert len(spl.x) >= 2 and (edge or np.isfinite(at).all())
    assert np.shape(at) == np.shape(spl.y)
