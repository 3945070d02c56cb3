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

// Passes over at least this many candidates (one component) add the cut test:
// an older candidate dominating on the part of the region that a newer one
// leaves. It costs about ten pairwise tests and pays once a drop saves many
// extensions: a candidate lives about as many steps as the live set holds
// (Little's law), so with ~300 ns a test against ~12 ns an extension the
// break-even lies at a few hundred, where it was measured (10^5 samples,
// smoothing lengths 16 to 16384: 150 loses 14 % at 1024, 300 gains nothing
// more). In three components it drops 2-5 % more at 20-60 % more time, so one
// component only. Tests lower it to 0 to exercise the test on small problems.
inline constexpr Index kCutFrom = 256;

// p > 0: the model's spline segments.
PartitionResult functional_search(const SegmentModel& model, double gamma, Ticker& ticker,
                                  Index cut_from = kCutFrom);

// p = 0: weighted least-squares lines, each candidate a 2-parameter state
// (value at the current end and slope).
PartitionResult functional_line_search(const LineModel& model, double gamma, Ticker& ticker);

// p > 0 with AR(1) noise: candidates are the reduced quadratics of ar1.hpp.
PartitionResult ar1_functional_search(const Ar1Model& model, double gamma, Ticker& ticker,
                                      Index cut_from = kCutFrom);

}  // namespace velk::engine
