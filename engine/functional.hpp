// Jump search with functional pruning.
//
// The forward states of PELT, one per candidate start l, are quadratic
// functions of the unknowns at the current end r (value and slope per
// component):
//   C_l(z) = F[l-1] + gamma + energy_l + sum_k |R_l z_k - b_lk|^2.
// Feeding a sample applies the same monotone map to every candidate, so a
// candidate whose function lies above a newer one's wherever it could still
// matter never wins again and is dropped for good. PELT's own rule is kept.
// The states, their extensions and so every energy are PELT's, bit for bit.
#pragma once

#include "ar1.hpp"
#include "array.hpp"
#include "cancel.hpp"
#include "line_states.hpp"
#include "partition_search.hpp"
#include "segment.hpp"

namespace velk::engine {

// p > 0: the model's spline segments.
PartitionResult functional_search(const SegmentModel& model, double gamma, Ticker& ticker);

// p = 0: weighted least-squares lines, each candidate a 2-parameter state
// (value at the current end and slope).
PartitionResult functional_line_search(const LineModel& model, double gamma, Ticker& ticker);

// p > 0 with AR(1) noise: candidates are the reduced quadratics of ar1.hpp.
PartitionResult ar1_functional_search(const Ar1Model& model, double gamma, Ticker& ticker);

}  // namespace velk::engine
