// One complete fit: checks, preparation, search, per-segment splines, assembly.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "options.hpp"
#include "ppform.hpp"
#include "prepare.hpp"

namespace velk {

struct FitResult {
    std::vector<std::vector<Index>> interval_cell;  // K runs of sample indices
    std::vector<PPForm> pp_cell;                    // K extended segment polynomials
    std::vector<double> F;                          // m
    std::vector<Index> partition;                   // m
    PPForm pp;                                      // joined
    std::vector<double> discont;                    // K-1 jump positions
    std::vector<Index> discont_idx;                 // K-1 last index before each jump
    std::vector<double> x;                          // m prepared abscissae
    Matrix y;                                       // m x dim prepared values
    std::vector<double> tau;                        // m slope scales
    std::uint64_t complexity_counter = 0;
    Precondition precondition = Precondition::None;
};

// x and delta may be null (absent).
Outcome<FitResult> fit(const VecView* x, const MatView& y, const VecView* delta, Pruning pruning,
                       Precondition precondition, double p, double gamma, Ticker& ticker);

// The same after the checks and the preparation: 0 <= p <= 1, gamma >= 0 or NaN.
FitResult fit_prepared(PreparedData&& data, Pruning pruning, Precondition precondition, double p,
                       double gamma, Ticker& ticker);

// The samples first..last of a fit and their spline, extended linearly to
// [breaks.front(), breaks.back()]: the midpoints shared with the neighbouring
// segments, one unit of x beyond the outermost samples.
struct Segment {
    Index first = 0;
    Index last = 0;
    PPForm pp;
};

// Each segment of a search's partition (partition[r]: the first sample of the
// last segment of the prefix 0..r) fitted by csaps at p, from left to right.
// Reads x, y and w of the data.
std::vector<Segment> fit_segments(const PreparedData& data, const std::vector<Index>& partition,
                                  double p, Ticker& ticker);

}  // namespace velk
