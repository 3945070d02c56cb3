// The noise level the samples show before any fit.
#pragma once

#include <vector>

#include "samples.hpp"

namespace velk::engine {

// Of each component of three or more samples, relative to their standard
// deviations (in units of y where they were all 1). Each sample minus the
// straight line through its two neighbours, scaled to unit variance under the
// weights, is a pseudo-residual; their median absolute deviation ignores the
// few that straddle a jump or a sharp bend. A component whose pseudo-residuals
// are mostly zero falls back to their root mean square, and to 1 when all are
// zero. Never below rounding_level: data without noise (a constant, a line, an
// exact step) show the rounding of their values. Computed in the units of the
// fits, so any scale of y and delta works; a level beyond the doubles comes back
// as 0 or inf.
std::vector<double> noise_level(const Samples& samples);

// Of each component, relative to the standard deviations likewise: the noise that
// the rounding of the values alone could make, in the values and in a fit's sums
// over them, 8 sqrt(m) eps max |y_i| / delta_i for m samples. A difference of
// this size is no evidence of anything. Zero only where y is.
std::vector<double> rounding_level(const Samples& samples);

// The same samples with every standard deviation multiplied by `factor` > 0
// (weights divided by its square), in the units of the fits: so that a weighted
// residual sum of squares counts in noise variances even where the caller's
// weights are not doubles.
Samples rescaled(const Samples& samples, double factor);

// The same samples with each weight multiplied by its factor (positive and finite),
// in the units of the fits: the reweighted fits of heavy-tailed noise share one
// preparation, and weights the caller's doubles cannot hold keep their scale.
Samples reweighted(const Samples& samples, const VecView& factors);

}  // namespace velk::engine
