"""Heavy-tailed noise: fits under Student-t noise by iteratively reweighted exact fits.

Student-t noise with nu degrees of freedom and scale s2 is Gaussian noise whose variance
s2 / tau is drawn per sample, tau ~ Gamma(nu / 2, nu / 2). For a fixed smoothing lam and
jump cost c the fit minimises (dim d components sharing one tau per sample, u_i the
weighted squared residual of sample i summed over its components)

    L(f, s2) = m d log s2 + sum_i (nu + d) log(1 + u_i / (nu s2)) + (lam R(f) + c J(f)) / s2,

minus twice the log-likelihood of t noise plus the fit's penalties in units of s2.
As nu -> inf it is the Gaussian objective. Each iteration lowers L twice:

- f-step: log(1 + v) is concave, so at the current residuals u0 the tangent
  s2 (nu + d) log(1 + u / (nu s2)) <= const + omega * u, omega = (nu + d) / (nu + u0 / s2),
  majorises s2 times the data term, equal at u0. One exact weighted fit (weights w * omega,
  the same lam and c) minimises the majoriser over every segmentation and curve, so L at
  the new fit is no larger than at the old one. So does a fit that keeps the current
  jumps and minimises over the curves with those jumps alone, the current curve among
  them: a pass over the samples, where the exact fit searches. The iterations keep the
  jumps until they converge, then refit exactly at the weights reached, and stop once
  such an exact fit no longer lowers L (it then found the same jumps, or others hardly
  better); else they go on from its jumps.
- s2-step: the EM update for the scale of a t (a Gaussian scale mixture): with omega
  recomputed at the new fit, s2 = (sum omega u + lam R + c J) / (m d) minimises the EM
  surrogate of L in s2, which touches L at the current s2, so L does not rise either.
  Repeated at the same fit, it converges to where dL/ds2 = 0 (that equation is its fixed
  point): the scale is minimised out at each fit, instead of the fits waiting on its
  slow EM convergence.

The jumps are those of the last fit, which is an exact one.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._ppoly import FloatArray, ppeval
from velk._score import charges, noise_charge

__all__ = ["NUS", "TFit", "em_weights", "likeliest_nu", "t_evidence", "t_fit"]

# The degrees of freedom tried: from very heavy tails to nearly Gaussian (inf is the
# Gaussian model itself, fitted without iterations).
NUS = (2.0, 4.0, 8.0, 16.0)
# Iterations stop once L falls by less than TOL of its size or by less than FLAT (L counts
# in units of minus twice a log-likelihood, the score's: no choice between settings turns
# on a thousandth of one), or after MAX_ITER. The fall shrinks by a steady factor, 0.05
# to 0.3 an iteration, so what FLAT leaves is of its order.
MAX_ITER = 40
TOL = 1e-7
FLAT = 1e-3
# The s2-steps at one fit stop once s2 moves by less than SCALE_TOL of itself: each is a
# pass over the samples, much cheaper than a fit.
SCALE_STEPS = 100
SCALE_TOL = 1e-10
# Never a scale below this fraction of the starting one: an interpolating curve would
# drive it to 0 and every weight to infinity.
TINY = 1e-12
# The t fits reweigh the samples and read their residuals in Python's own doubles, which
# hold weights (one over the noise variance) only well inside the doubles' range; the
# engine's Gaussian fits carry the scale apart and work at any.
WEIGHTS = (1e-280, 1e280)


class TFit(NamedTuple):
    """The last exact fit of a run and what the run found."""

    res: _engine.FitResult  # the fit with weights w * omega (stats included)
    scale: float  # s2, in the fits' units of D
    u: FloatArray  # its weighted squared residuals per sample (weights w alone)
    objective: list[float]  # L after the first fit and after every iteration
    iterations: int  # reweighted fits after the first one, exact or with the jumps kept


def residual_energy(samples: _engine.Samples, res: _engine.FitResult) -> FloatArray:
    """u_i = w_i * sum over components of (y_i - f(x_i))**2. Jumps lie between samples, so
    each sample takes the piece of its own segment."""
    dim = samples.y.shape[1]
    f = ppeval(res["breaks"], res["coefs"], dim, samples.x, 0, res["scale"])
    out: FloatArray = samples.w * np.sum((samples.y - f) ** 2, axis=1)
    return out


def neighbour_misfit(samples: _engine.Samples) -> FloatArray:
    """Each sample's squared misfit to the line through its neighbours (at the ends,
    through the next two), summed over components, in units of its variance under
    independent noise of unit variance: a residual that needs no fit."""
    x, y, w = samples.x, samples.y, samples.w
    m = len(x)
    i = np.arange(m)
    left = np.clip(i - 1, 0, m - 3)  # the two other samples of each line
    left[-1] = m - 3
    right = np.where(i == 0, 2, np.where(i == m - 1, m - 2, i + 1))
    left = np.where(i == 0, 1, left)
    a = (x[right] - x) / (x[right] - x[left])  # the weight of y[left] in the line at x
    b = 1.0 - a
    r = y - a[:, None] * y[left] - b[:, None] * y[right]
    var = 1.0 / w + a * a / w[left] + b * b / w[right]
    out: FloatArray = np.sum(r * r, axis=1) / var
    return out


def representable(samples: _engine.Samples) -> bool:
    """Whether t fits can weigh these samples: every weight inside WEIGHTS."""
    return bool(np.all((samples.w >= WEIGHTS[0]) & (samples.w <= WEIGHTS[1])))


def start_weights(samples: _engine.Samples, s2: float, nu: float) -> FloatArray:
    """EM weights from each sample's `neighbour_misfit`. Starting from a Gaussian fit
    instead would trap the iterations: it may isolate an outlier between two jumps, fit
    it exactly and so give it the largest weight of all."""
    if len(samples.x) < 3:
        return np.ones(len(samples.x))
    return weights_of(neighbour_misfit(samples), s2, nu, samples.y.shape[1])


def likeliest_nu(samples: _engine.Samples) -> float:
    """The degrees of freedom among NUS, or inf (Gaussian), under which the neighbour
    misfits are likeliest, taken as independent t variables, their scale profiled for
    each nu (by the EM update, which never lowers the likelihood). The misfits see
    outliers and heavy tails without a fit (a jump adds two large ones), so this is where
    a screen of the t models starts; their scores then judge. Needs three samples."""
    if not representable(samples):
        return math.inf  # `representable`
    u, dim = neighbour_misfit(samples), samples.y.shape[1]
    n = u.size * dim
    gauss = float(np.sum(u)) / n
    if not 0.0 < gauss < math.inf:
        return math.inf  # noise-free, or beyond the doubles
    best, out = n * (math.log(2.0 * math.pi * gauss) + 1.0), math.inf
    for nu in NUS:
        s2 = gauss
        for _ in range(MAX_ITER):
            new = max(float(np.sum(weights_of(u, s2, nu, dim) * u)) / n, TINY * gauss)
            done = abs(new - s2) <= 1e-6 * s2
            s2 = new
            if done:
                break
        # nu charged as the scores charge it, so that chance alone does not pick it
        value = u.size * normaliser(nu, dim) + objective(u, s2, nu, dim, 0.0) + noise_charge(u.size)
        if value < best:
            best, out = value, nu
    return out


def penalty(res: _engine.FitResult, jump_cost: float) -> float:
    """lam R + c J of a fit: roughness from its stats, the jumps at their cost."""
    st = res["stats"]
    jumps = len(res["jumps"])
    return float(st["prss"] - st["rss"]) + (jump_cost * jumps if jumps else 0.0)


def objective(u: FloatArray, s2: float, nu: float, dim: int, pen: float) -> float:
    """L(f, s2) of the module's notes."""
    m = len(u)
    return float(m * dim * math.log(s2) + (nu + dim) * np.sum(np.log1p(u / (nu * s2))) + pen / s2)


def normaliser(nu: float, dim: int) -> float:
    """Minus twice the log of the t density's normalising constant per sample, less the
    scale's part: d log(nu pi) + 2 (log Gamma(nu / 2) - log Gamma((nu + d) / 2))."""
    return dim * math.log(nu * math.pi) + 2.0 * (math.lgamma(nu / 2) - math.lgamma((nu + dim) / 2))


def weights_of(u: FloatArray, s2: float, nu: float, dim: int) -> FloatArray:
    """The EM weights (nu + d) / (nu + u / s2): 1 on average for t noise, small for
    outliers."""
    out: FloatArray = (nu + dim) / (nu + u / s2)
    return out


def mean_spacing(x: FloatArray) -> float:
    return float(x[-1] - x[0]) / (len(x) - 1)


class Run(NamedTuple):
    """How every fit of a run is made."""

    samples: _engine.Samples
    jump_cost: float
    pruning: str
    precondition: str
    cancel: object


def exact_fit(
    run: Run, omega: FloatArray, lam: float, jumps: npt.NDArray[np.int64] | None = None
) -> _engine.FitResult:
    """The exact fit with each sample's weight times its EM weight omega (at least 1e-300:
    a residual whose square the doubles do not hold has the weight 0); with `jumps`, the
    best fit with those jumps instead."""
    return _engine.fit(
        run.samples.reweighted(np.maximum(omega, 1e-300)),
        lam=lam,
        jump_cost=run.jump_cost,
        pruning=run.pruning,
        precondition=run.precondition,
        cancel=run.cancel,  # type: ignore[arg-type]
        stats=True,
        jump_index=jumps,
    )


def t_fit(
    samples: _engine.Samples,
    *,
    length: float,
    jump_cost: float,
    nu: float,
    scale: float,
    pruning: str = "functional",
    precondition: str = "none",
    cancel: object = None,
    floor: float = 0.0,
) -> TFit:
    """The fit under t noise with nu degrees of freedom at one smoothing length and jump
    cost, from the starting scale s2 = `scale` (the noise variance in the fits' units)
    and `start_weights`; the scale is then estimated with the curve, never below
    `floor`."""
    if not representable(samples):
        raise ValueError(
            "Student-t noise needs delta (without delta, the noise level of y) between "
            "1e-140 and 1e140: rescale y or delta"
        )
    run = Run(samples, jump_cost, pruning, precondition, cancel)
    dim = samples.y.shape[1]
    low = max(floor, TINY * scale)
    s2 = max(scale, low)
    # lam from the length at the samples' own weights, then fixed: a length would follow
    # the weights as they change, and the objective with it.
    lam = (
        math.inf
        if math.isinf(length)
        else length**4 * float(np.mean(samples.w)) / mean_spacing(samples.x)
    )
    res = exact_fit(run, start_weights(samples, s2, nu), lam)
    u = residual_energy(samples, res)
    history = [objective(u, s2, nu, dim, penalty(res, jump_cost))]
    exact = False  # whether the next fit searches; the last one always does
    for k in range(MAX_ITER):
        exact = exact or k == MAX_ITER - 1
        new = exact_fit(run, weights_of(u, s2, nu, dim), lam, None if exact else res["jump_index"])
        u_new = residual_energy(samples, new)
        pen = penalty(new, jump_cost)
        res, u, s2 = new, u_new, scale_of(u_new, pen, s2, nu, dim, low)
        history.append(objective(u, s2, nu, dim, pen))
        flat = history[-2] - history[-1] <= max(TOL * (1.0 + abs(history[-1])), FLAT)
        if flat and exact:
            break
        exact = flat
    return TFit(res, s2, u, history, len(history) - 1)


def scale_of(u: FloatArray, pen: float, s2: float, nu: float, dim: int, low: float) -> float:
    """The s2 that minimises L at a fit's residuals u and penalty pen, from s2 by the
    module's s2-step repeated (each step lowers L), never below `low`."""
    n = len(u) * dim
    for _ in range(SCALE_STEPS):
        new = max(float(np.sum(weights_of(u, s2, nu, dim) * u) + pen) / n, low)
        if abs(new - s2) <= SCALE_TOL * s2:
            return new
        s2 = new
    return s2


def em_weights(
    samples: _engine.Samples, res: _engine.FitResult, s2: float, nu: float
) -> FloatArray:
    """Each sample's EM weight under t noise at a fit of scale s2: its expected precision
    given the fit, by which its own weight is multiplied. Given those precisions the noise
    is Gaussian, which is how a jump table reads a t fit: an outlier then counts as little
    as in the fit, instead of drawing a jump to itself."""
    return weights_of(residual_energy(samples, res), s2, nu, samples.y.shape[1])


def t_evidence(m: int, dim: int, tf: TFit, nu: float, floor: float = 0.0) -> float:
    """Minus twice the approximate log marginal likelihood of a t fit, on the scale of
    `velk._score.evidence` so that the two compare.

    The Gaussian score is a Laplace approximation that is exact for Gaussian noise: the
    data term at the fit, plus the log-determinant of the curve's posterior relative to
    noise alone, plus the charges for segments and jumps. Here the data term is the t
    density itself, its normaliser included (the log-gamma terms and d log(nu pi)); the
    curvature is the weighted fit's log-determinant, the EM weights standing in for the
    t likelihood's Hessian. Both scores drop the same constant n (1 + log 2 pi), so that
    as nu -> inf this tends to the Gaussian score at s2 = prss / n, plus the charge for
    nu itself.

    No residual counts below what the rounding of the values makes (`floor` per value),
    as the Gaussian score's total never counts below m dim floor: on noise-free data the
    t density's sharper peak would otherwise win over the Gaussian by far.
    """
    st = tf.res["stats"]
    s2 = tf.scale
    n = m * dim
    jumps = len(tf.res["jumps"])
    u = np.maximum(tf.u, dim * floor)
    data = float(n * math.log(s2) + (nu + dim) * np.sum(np.log1p(u / (nu * s2))))
    rough = float(st["prss"] - st["rss"]) / s2
    return (
        data
        + m * normaliser(nu, dim)
        - n * (1.0 + math.log(2.0 * math.pi))
        + rough
        + float(st["logdet"])
        + charges(m, dim, jumps)
        + noise_charge(m)
    )
