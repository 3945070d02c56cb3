"""Small NumPy references shared by the tests (import with ``from helpers import ...``)."""

from __future__ import annotations

import functools
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

# Set by `nox -s sanitizers` for the run under AddressSanitizer, where impossible
# allocations abort the process and freed memory is held in quarantine.
SANITIZED = os.environ.get("VELK_SANITIZED") == "1"
ROOT = Path(__file__).resolve().parents[1]


def run_python(args, **kw):
    """A child interpreter's run (`args` after the interpreter), its output captured.

    Under the sanitizers a child's LeakSanitizer scan at exit now and then dies on its own,
    with no report: such a run is repeated (twice at most), as .ci/checks.py judges a run;
    a report or any other failure stands."""
    for _ in range(3):
        r = subprocess.run([sys.executable, *args], capture_output=True, text=True, **kw)
        if not (SANITIZED and r.returncode != 0 and ci_checks().lsan_scan_crashed(r.stderr)):
            break
    return r


@functools.cache
def ci_checks():
    """.ci/checks.py, which the sanitized run (started by nox from a checkout) always has."""
    spec = importlib.util.spec_from_file_location("velk_ci_checks", ROOT / ".ci" / "checks.py")
    checks = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(checks)
    return checks


def evaluate(res, t):
    """Values (len(t), dim) of a velk result dict (or one of its pp_cell dicts), on pieces
    closed on the left."""
    breaks, coefs, dim = np.asarray(res["breaks"]), np.asarray(res["coefs"]), res["dim"]
    t = np.atleast_1d(np.asarray(t, dtype=float))
    piece = np.clip(np.searchsorted(breaks, t, side="right") - 1, 0, len(breaks) - 2)
    piece[(t <= breaks[0]) | np.isnan(t)] = 0
    dt = (t - breaks[piece])[:, None]
    rows = piece[:, None] * dim + np.arange(dim)
    v = coefs[rows, 0]
    for m in range(1, coefs.shape[1]):  # Horner, as the core evaluates
        v = v * dt + coefs[rows, m]
    return v


def prepare_reference(x, y, delta=None):
    """Plain-Python input preparation: finite filter, stable sort by x, merge of equal x
    with weighted means summed in sorted order. Returns (x, y, w) or the failing count."""
    y = np.asarray(y, dtype=float)
    n = len(y)
    x = np.arange(1.0, n + 1.0) if x is None else x
    d = np.ones(n) if delta is None else delta  # NumPy scalars divide like the core
    kept = sorted((i for i in range(n) if np.isfinite(y[i]).all()), key=lambda i: x[i])
    xs, sums, ws = [], [], []
    for i in kept:
        w = 1.0 / (d[i] * d[i])
        if xs and x[i] == xs[-1]:
            ws[-1], sums[-1] = ws[-1] + w, [s + w * v for s, v in zip(sums[-1], y[i])]
        else:
            xs, sums, ws = xs + [x[i]], sums + [[w * v for v in y[i]]], ws + [w]
    if len(xs) < 2:
        return len(xs) if len(kept) >= 2 else len(kept)
    ym = np.array([[s / w for s in row] for row, w in zip(sums, ws)]).reshape(len(xs), -1)
    return np.array(xs), ym, np.array(ws)


JUMPS = (3.0, 6.5)


def signal(n=200, dim=1, sigma=0.1, seed=0):
    """Smooth curves with steps at JUMPS on irregular x in [0, 10]."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 10.0, n))
    steps = (x > JUMPS[0]) * 1.0 - (x > JUMPS[1]) * 1.5
    y = np.sin(0.6 * x)[:, None] * np.arange(1, dim + 1) + steps[:, None]
    return x, y + sigma * rng.standard_normal((n, dim))


def ar1(z, phi):
    """White noise z (rows in time) made AR(1) with correlation phi, the variance kept."""
    z = np.array(z, dtype=float)
    for i in range(1, len(z)):
        z[i] = phi * z[i - 1] + np.sqrt(1 - phi**2) * z[i]
    return z


def misaligned(a):
    """A copy of `a` at an address that is not a multiple of its item size."""
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
    raw[...] = a
    return raw


def probe_points(spl):
    """A spline's breaks (interior and outer), the points between them and points outside."""
    b = spl.breaks
    return np.concatenate([b, (b[1:] + b[:-1]) / 2, [b[0] - 3.0, b[-1] + 3.0]])


# --- oracles of the jump search -------------------------------------------------------


def reinsch(x):
    """Q and R of the natural cubic spline through values f: int f''^2 = f' Q R^-1 Q' f."""
    n, h = len(x), np.diff(x)
    Q, R = np.zeros((n, n - 2)), np.zeros((n - 2, n - 2))
    for j in range(n - 2):
        Q[j : j + 3, j] = [1 / h[j], -1 / h[j] - 1 / h[j + 1], 1 / h[j + 1]]
        R[j, j] = (h[j] + h[j + 1]) / 3
        if j + 1 < n - 2:
            R[j, j + 1] = R[j + 1, j] = h[j + 1] / 6
    return Q, R


GAUSS = 0.5 + np.array([-0.5, 0.5]) / np.sqrt(3.0)


def dense_rows(x, y, w, lam, phi=0.0, h=1.0, even=False):
    """Rows (A, b) over (f_0, d_0, ..., f_n-1, d_n-1) whose squared residual is
    e' inv(Sigma) e + lam * int f''^2: e whitened by a square root of the inverse of the
    AR(1) correlations phi**(|t_i - t_j|), t = x / h (0, 1, ... if even), and f'' of the
    cubic Hermite pieces integrated by two-point Gauss quadrature."""
    n = len(x)
    sel = np.zeros((n, 2 * n))
    sel[np.arange(n), 2 * np.arange(n)] = 1.0
    t = np.arange(len(x)) if even else x / h  # integer lags, so that a negative phi has its powers
    prec = np.linalg.inv(np.power(float(phi), np.abs(t[:, None] - t[None, :])))
    vals, vecs = np.linalg.eigh(prec)
    white = np.sqrt(np.clip(vals, 0.0, None))[:, None] * vecs.T
    sw = np.sqrt(w)[:, None]
    rows, rhs = [white @ (sw * sel)], [white @ (sw * y)]
    for k in range(n - 1):
        hk = x[k + 1] - x[k]
        for s in GAUSS:  # f'' of the Hermite piece at a Gauss point of [x_k, x_k+1]
            r = np.zeros(2 * n)
            r[2 * k : 2 * k + 4] = [12 * s - 6, hk * (6 * s - 4), 6 - 12 * s, hk * (6 * s - 2)]
            rows.append((np.sqrt(lam * hk / 2) / hk**2 * r)[None])
            rhs.append(np.zeros((1, y.shape[1])))
    return np.vstack(rows), np.vstack(rhs)


def dense_solve(x, y, w, lam, phi=0.0, h=1.0, even=False):
    """(least value, values f, slopes d) of the segment."""
    if len(x) == 1:
        return 0.0, y, np.zeros_like(y)
    A, b = dense_rows(x, y, w, lam, phi, h, even)
    z = np.linalg.lstsq(A, b, rcond=None)[0]
    return float(np.sum((A @ z - b) ** 2)), z[0::2], z[1::2]


def best_costs(n, energy, gamma):
    """Unpruned dynamic programme over every allowed partition of each prefix: the last
    segment has two or more samples, only the first may be sample 0 alone."""
    best = np.zeros(n)
    for r in range(2, n):
        best[r] = min([energy(0, r)] + [best[l - 1] + gamma + energy(l, r) for l in range(1, r)])
    return best


def piecewise_data(rng, n, dim):
    x = np.cumsum(rng.uniform(0.3, 1.5, n))
    steps = rng.choice([0.0, 0.0, 3.0, -4.0], n) * (np.arange(n) > 1)
    y = np.cumsum(steps)[:, None] + np.sin(x)[:, None] + 0.3 * rng.standard_normal((n, dim))
    return x, y, rng.uniform(0.5, 2.0, n)


# --- the engine ---------------------------------------------------------------------


def engine_samples(x, y, delta=None):
    """velk._engine.Samples of array-likes (1-D y is one component)."""
    from velk import _engine

    y = np.asarray(y, dtype=float)
    x = None if x is None else np.asarray(x, dtype=float)
    return _engine.prepare(x, y[:, None] if y.ndim == 1 else y, delta)


def engine_fit(x, y, delta=None, **kw):
    from velk import _engine

    return _engine.fit(engine_samples(x, y, delta), **kw)


# --- the suite itself -----------------------------------------------------------------


def shard(count, spec):
    """Indices of shard "I/N" of `count` tests: every N-th from the I-th, so that the cases
    of one parametrized test, often alike in cost, spread over all shards."""
    import pytest

    try:
        i, n = (int(v) for v in spec.split("/"))
    except ValueError:
        raise pytest.UsageError(f"--shard wants I/N, got {spec!r}") from None
    if not 0 <= i < n:
        raise pytest.UsageError(f"--shard {spec}: I must be in 0..N-1")
    return set(range(i, count, n))
