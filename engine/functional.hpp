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

// Passes over at least this many candidates (one component) add the cut test
// (dominance.hpp) for the candidates that no pairwise test drops. A drop saves
// the extensions of the rest of a candidate's life, which is about as many
// steps as the live set holds (Little's law), while the tests of a pass cost
// the same per candidate at any size: the test pays from about a hundred on.
// Measured at 10^5 samples (smooth curve, three steps), against 512: from 128
// it feeds 96 samples per sample instead of 137 at L = 1024 in 0.95x the
// time, and 276 instead of 467 at L = 4096 in 0.75x; from 64 it feeds 59 at
// L = 1024 but takes 1.1x the time, from 32 1.2x. Straight lines (a sine with
// 20 jumps) from 128 against 2048: 91 fed per sample instead of 158 at 10^5
// in 1.1x the time, 0.9x at 3 x 10^5, 0.53x at 10^6. In three components it
// dropped 2-5 % more at 20-60 % more time, so one component only. Tests lower
// it to 0 to exercise the test on small problems.
inline constexpr Index kCutFrom = 128;

// p > 0: the model's spline segments.
PartitionResult functional_search(const SegmentModel& model, double gamma, Ticker& ticker,
                                  Index cut_from = kCutFrom);

// p = 0: weighted least-squares lines, each candidate a 2-parameter state
// (value at the current end and slope).
PartitionResult functional_line_search(const LineModel& model, double gamma, Ticker& ticker,
                                       Index cut_from = kCutFrom);

// p > 0 with AR(1) noise: candidates are the reduced quadratics of ar1.hpp.
PartitionResult ar1_functional_search(const Ar1Model& model, double gamma, Ticker& ticker,
                                      Index cut_from = kCutFrom);

}  // namespace velk::engine
