// The public API's fit: the same model at any scale of x, y and delta.
//
// In the caller's units (1 - p) / p carries units of x^3 / y^2 and the weights
// are 1 / delta^2, so x * 1e300, delta * 1e-200 or a smoothing length far from
// 1 leave the representable doubles. Here x, y and delta are divided by powers
// of two near their own scales (exactly), x and y are shifted to start near 0,
// the smoothing and the jump cost follow, and the result is mapped back.
#pragma once

#include "array.hpp"
#include "cancel.hpp"
#include "chk.hpp"
#include "options.hpp"
#include "stats.hpp"
#include "velk.hpp"

namespace velk {

// How smooth: lam = (1 - p) / p in the caller's units, or a smoothing length
// in units of x, the width of the spline's equivalent kernel:
// lam = length^4 * w / h, w the mean weight and h the mean spacing of the
// prepared samples.
struct Smoothing {
    enum class Kind : std::uint8_t { Lam, Length };
    Kind kind = Kind::Lam;
    double value = 0.0;
};

// The caller's samples, owned: fit_scaled rescales them in place.
struct Samples {
    std::vector<double> x;      // N
    Matrix y;                   // N x dim
    std::vector<double> delta;  // N, or empty for all 1
};

// A fit in the caller's units, but for its polynomials: piece k of a
// component is y_unit * sum_m coefs[m] * ((t - breaks[k]) / x_unit)^(3 - m),
// so that the coefficients stay finite at every scale (for x * 1e-160 the
// cubic coefficient in units of x would be near 1e480). The units are powers
// of two, so converting to plain coefficients, where they fit, is exact.
struct ScaledFit {
    FitResult fit;  // x, y, breaks, jumps in the caller's units; F in units of D
    double x_unit = 1.0;
    double y_unit = 1.0;
    double lam = 0.0;       // in the caller's units (0 or inf where out of range)
    std::vector<double> w;  // the prepared samples' weights, in the caller's units
    FitStats stats;         // rss in units of D; only when asked for
};

// Minimises, over the partitions into segments, the sum of each segment's
// D + lam * R plus jump_cost per jump: D the weighted residual sum of
// squares, R the integral of f''^2. x must be finite and delta finite and
// non-zero; rows of y with a non-finite value are dropped. tau stays in the
// units the search used.
Outcome<ScaledFit> fit_scaled(Samples&& samples, Pruning pruning, Precondition precondition,
                              Smoothing smoothing, double jump_cost, bool with_stats,
                              Ticker& ticker);

}  // namespace velk
