// The spline of every segment of a search's partition.
#pragma once

#include <vector>

#include "cancel.hpp"
#include "fit.hpp"
#include "prepare.hpp"

namespace velk::engine {

// Each segment fitted, left to right, as the minimiser of
// p e' Sigma^-1 e + (1 - p) int f''^2 (e_i = (y_i - f(x_i)) / delta_i; Sigma
// the AR(1) correlation of ar1_correlations, the identity for phi empty), at
// 0 < p < 1, and extended as the core's segments are (fit_segments).
std::vector<Segment> segment_splines(const PreparedData& data, const std::vector<Index>& partition,
                                     double p, const std::vector<double>& phi, Ticker& ticker);

}  // namespace velk::engine
