// What model selection needs to know about a fit besides its cost.
#pragma once

#include <vector>

#include "array.hpp"
#include "fit.hpp"

namespace velk::engine {

// The smoothing spline of one run of samples as a linear smoother, for
// minimising sum w (y - f)^2 + lam * int f''^2 (x strictly increasing, m
// samples):
//   trace   the trace of its hat matrix, the degrees of freedom it spends
//           (2 for a straight line, m for interpolation);
//   logdet  log det(I + B^-1 R / lam) with B = Q' W^-1 Q and R the Gram
//           matrix of the second differences Q: the log-determinant of the
//           covariance of Q'y when the spline is the integrated Wiener
//           process that lam stands for, relative to that of noise alone.
// Runs of two samples or fewer, and lam = inf, give (m or 2, 0).
struct SmootherStats {
    double trace = 0.0;
    double logdet = 0.0;
};
SmootherStats smoother_stats(const VecView& x, const VecView& w, double lam);

// Of a whole fit with jumps, on its prepared samples: the weighted residual sum
// of squares, the integral of f''^2 over the segments (their cubic pieces), and
// the sums over segments and components of trace and logdet.
struct FitStats {
    double rss = 0.0;
    double roughness = 0.0;
    double edf = 0.0;
    double logdet = 0.0;
};
FitStats fit_stats(const PreparedData& data, const std::vector<Segment>& segments, double lam);

}  // namespace velk::engine
