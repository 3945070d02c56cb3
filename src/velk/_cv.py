"""Cross-validation folds and scores."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Union

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._params import Setting, setting
from velk._ppoly import FloatArray, ppeval
from velk._samples import arrays
from velk._validate import PRECONDITION, PRUNING, boolean, check_folds, integer, option, real

__all__ = ["cv_score", "kfold"]

Folds = Union[int, Sequence[npt.ArrayLike]]
Indices = npt.NDArray[np.intp]


def kfold(
    n: int, k: int = 5, *, shuffle: bool = True, seed: int | np.random.Generator | None = None
) -> list[npt.NDArray[np.intp]]:
    """Split the sample indices 0, ..., n-1 into k folds for cross-validation.

    Parameters
    ----------
    n : int
        Number of samples.
    k : int, optional
        Number of folds, 2 <= k <= n. Fold sizes differ by at most one.
    shuffle : bool, optional
        Assign samples to folds at random (the default). With ``shuffle=False`` fold i
        holds every k-th sample from i on: interleaved rather than contiguous, since a
        smoother cannot predict a held-out block, only extrapolate into it.
    seed : int or numpy.random.Generator, optional
        Seed of the shuffle; None draws fresh entropy.

    Returns
    -------
    list of ndarray
        k sorted index arrays that together hold every index once.

    Examples
    --------
    >>> import velk
    >>> velk.kfold(7, 3, shuffle=False)
    [array([0, 3, 6]), array([1, 4]), array([2, 5])]
    >>> sorted(len(f) for f in velk.kfold(10, 3, seed=1))
    [3, 3, 4]
    """
    n = integer("n", n)
    k = integer("k", k)
    shuffle = boolean("shuffle", shuffle)
    if not 2 <= k <= n:
        raise ValueError(f"k-fold needs 2 <= k <= n, got k={k}, n={n}")
    order = np.random.default_rng(seed).permutation(n) if shuffle else np.arange(n)
    return [np.sort(order[i::k]) for i in range(k)]


def resolve_folds(folds: Folds, n: int, position: npt.NDArray[np.intp]) -> list[Indices]:
    """Folds as arrays of indices into the n usable samples, `position` giving the usable
    index of each input row (-1 for a row left out).

    An int means that many shuffled folds with seed 0, so that scores are reproducible.
    Explicit folds index the caller's samples; held-out samples that were dropped as not
    finite are left out of them.
    """
    folds = check_folds(folds)
    if isinstance(folds, int):
        k = int(folds)
        if 2 <= k and n < k:
            raise ValueError(f"{k}-fold cross-validation needs at least {k} samples, got {n}")
        return kfold(n, k, seed=0)
    out = []
    for fold in folds:
        idx = np.asarray(fold)
        if idx.size == 0:
            out.append(np.zeros(0, np.intp))
            continue
        if idx.ndim != 1 or not np.issubdtype(idx.dtype, np.integer):
            raise ValueError("each fold must be a 1-D sequence of integer sample indices")
        if idx.min() < 0 or idx.max() >= len(position):
            raise ValueError(f"fold index out of range for {len(position)} samples")
        mapped = position[idx]
        out.append(mapped[mapped >= 0])
    return out


def fold_score(
    x: FloatArray,
    y: FloatArray,
    delta: FloatArray,
    folds: list[Indices],
    setting: Setting,
    pruning: str = "functional",
    precondition: str = "none",
    phi: float | None = None,
) -> float:
    """The score of `cv_score` for usable samples (any order), folds of indices into them,
    and the fit's setting. The samples are sorted once; every training set is a sorted
    subset, which the engine prepares without sorting again."""
    if not setting.jump_cost > 0.0:
        return math.inf
    order = np.argsort(x, kind="stable")
    total, count = 0.0, 0
    for held in folds:
        train = np.ones(len(x), dtype=bool)
        train[held] = False
        rows = order[train[order]]
        try:
            samples = _engine.prepare(x[rows], y[rows], delta[rows])
        except ValueError:  # too few samples left to fit
            return math.inf
        res = _engine.fit(
            samples,
            lam=setting.lam,
            length=setting.length,
            jump_cost=setting.jump_cost,
            pruning=pruning,
            precondition=precondition,
            phi=phi,
        )
        pred = ppeval(res["breaks"], res["coefs"], y.shape[1], x[held], 0, res["scale"])
        r = (pred - y[held]) / delta[held, None]
        total += float(np.sum(r * r))
        count += len(held)
    return total / count if count else math.inf


def cv_score(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    p: float | None = None,
    gamma: float | None = None,
    smoothing: object = None,
    jump_cost: float | None = None,
    delta: npt.ArrayLike | None = None,
    folds: Folds = 5,
    pruning: str = "functional",
    precondition: str = "none",
    phi: float | None = None,
) -> float:
    """Cross-validation score of a choice of p and gamma; smaller is better.

    For each fold the samples outside it are fitted (as by `fit`) and the fit predicts the
    held-out samples. The score is the mean over the held-out samples of the squared
    prediction error divided by delta squared (summed over the components of y), so about
    1 for a good fit when delta is the noise level. Every held-out sample counts, also one
    that falls between the two training samples around a jump: the fit predicts it from
    the side it is nearer to, and a misplaced jump pays for it.

    Parameters
    ----------
    x, y, delta, p, gamma, smoothing, pruning, precondition, phi
        As for `fit` (exactly one of `p` and `smoothing`). Samples with a NaN or infinite
        x, y or delta take no part. With `phi` each training set is fitted under AR(1)
        noise in its own sample order, and a held-out sample is predicted by the curve
        alone: the noise's correlation with its neighbours is not used, so under strongly
        correlated noise random folds still favour rough fits.
    folds : int or sequence of array_like, optional
        An int k means `kfold` with k shuffled folds and seed 0; or give the folds
        themselves as sequences of indices into the samples.

    Returns
    -------
    float
        The score; ``inf`` when p is outside [0, 1], gamma <= 0, a fold leaves fewer
        than two samples to fit or no sample is held out.

    See Also
    --------
    velk_cvscore : the core's score, which divides by the number of samples.

    Examples
    --------
    >>> import numpy as np
    >>> import velk
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0.0, 10.0, 100)
    >>> y = np.sin(x) + 0.1 * rng.standard_normal(100)
    >>> good = velk.cv_score(x, y, p=0.99, gamma=10.0, delta=0.1)
    >>> rough = velk.cv_score(x, y, p=1.0, gamma=10.0, delta=0.1)
    >>> bool(good < rough)
    True
    """
    xa, y2, da, _, axis = arrays(x, y, delta)
    full = _engine.prepare(xa, y2, da, index=True)  # checks the samples once
    assert full.index is not None  # asked for
    usable = np.flatnonzero(full.index >= 0)
    position = np.full(len(y2), -1, dtype=np.intp)
    position[usable] = np.arange(len(usable))
    fl = resolve_folds(folds, len(usable), position)
    pruning = option("pruning", pruning, PRUNING)
    precondition = option("precondition", precondition, PRECONDITION)
    phi = None if phi is None else real("phi", phi)
    pv = None if p is None else real("p", p)  # out of range scores inf (see Returns)
    gv = None if gamma is None else real("gamma", gamma)
    if pv is not None and not 0.0 <= pv <= 1.0:
        return math.inf
    if gv is not None and not gv > 0.0:
        return math.inf
    st = setting(pv, gv, smoothing, jump_cost, axis)[0]
    xs = usable + 1.0 if xa is None else xa[usable]
    ds = np.ones(len(usable)) if da is None else da[usable]
    return fold_score(xs.astype(np.float64), y2[usable], ds, fl, st, pruning, precondition, phi)
