// The public API's fit: the search over jumps and the segment splines on prepared
// samples, in the units of the fits, mapped back to the caller's.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "samples.hpp"
#include "setting.hpp"
#include "stats.hpp"

namespace velk::engine {

// A fit in the caller's units, but for its polynomial: piece k of a component is
// y_unit * sum_m coefs[m] * ((t - breaks[k]) / x_unit)^(3 - m), so that the
// coefficients stay finite at every scale (for x * 1e-160 the cubic coefficient
// in units of x would be near 1e480). The units are powers of two, so converting
// to plain coefficients, where they fit, is exact.
struct Fit {
    std::vector<double> breaks;     // pieces + 1: the samples, the midpoints at jumps, the ends
    Matrix coefs;                   // (pieces * dim) x 4, row k * dim + j, highest power first
    std::vector<Index> jump_index;  // the last sample before each jump
    std::vector<double> jumps;      // each jump's position, halfway between its samples
    double x_unit = 1.0;
    double y_unit = 1.0;
    double lam = 0.0;  // in the caller's units (0 or inf where out of range)
    std::uint64_t samples_fed = 0;
    // In the caller's units of D, the weighted residual sum of squares (0 or inf
    // where out of range); only when asked for.
    FitStats stats;
    double prss = 0.0;  // stats.rss + lam * stats.roughness
};

// The search alone: the least cost of every prefix (in the caller's units of D),
// the first sample of its last segment, and the samples fed.
struct SearchResult {
    std::vector<double> costs;
    std::vector<Index> starts;
    std::uint64_t samples_fed = 0;
};
Checked<SearchResult> search_only(const Samples& samples, const Setting& setting, Ticker& ticker);

// Minimises, over the partitions into segments, the sum of each segment's
// D + lam * R plus jump_cost per jump: D the weighted residual sum of squares, R
// the integral of f''^2. With `jumps` (the last sample before each jump,
// increasing), only over curves with those jumps: no search, nothing fed.
Checked<Fit> fit(const Samples& samples, const Setting& setting, bool with_stats, Ticker& ticker,
                 const std::vector<Index>* jumps = nullptr);

}  // namespace velk::engine
