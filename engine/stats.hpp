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

// The integral of f''^2 over the cubic pieces between the len samples of one
// segment's spline (its extension pieces excluded).
double segment_roughness(const PPForm& pp, Index len);

// fit_stats under AR(1) noise, phi_b the correlation of each interval (as
// ar1_correlations), 0 < lam: rss is e' Sigma^-1 e, edf the trace of the
// smoother (P + lam K)^-1 P on the values and slopes at the samples (P the
// data rows' precision, K the curvature's), and logdet that of the covariance
// of the second differences of y, log det(Q'VQ + R / lam) - log det(Q'W^-1 Q),
// V = W^-1/2 Sigma W^-1/2: it carries sum log(1 - phi_b^2) over the segment's
// intervals, so fits under different noise models compare.
FitStats ar1_fit_stats(const PreparedData& data, const std::vector<Segment>& segments, double lam,
                       const std::vector<double>& phi);

}  // namespace velk::engine
