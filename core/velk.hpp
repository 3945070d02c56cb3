// One complete fit: checks, preparation, search, per-segment splines, assembly.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "chk.hpp"
#include "options.hpp"
#include "ppform.hpp"

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

}  // namespace velk
