// One complete fit: checks, preparation, search, per-segment splines, assembly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "array.hpp"
#include "error.hpp"
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

// The segments of a search's partition (partition[r]: the first sample of the
// last segment of the prefix 0..r), from left to right, each fitted by
// fit(first, last, l, r) on its samples and extended to [l, r] (see Segment).
template <class Fit>
std::vector<Segment> walk_segments(const std::vector<double>& x,
                                   const std::vector<Index>& partition, Fit&& fit) {
    const Index n = x.size();
    check(partition.size() == n && n >= 2, "partition does not match the samples");
    std::vector<Segment> out;
    Index j = n - 1;
    double r = x[n - 1] + 1.0;
    for (;;) {
        const Index i = partition[j];
        check(i <= j, "index out of range");
        const double l = i == 0 ? x[0] - 1.0 : (x[i] + x[i - 1]) * 0.5;
        out.push_back({i, j, fit(i, j, l, r)});
        if (i == 0) break;
        r = l;
        j = i - 1;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// Each segment of a search's partition fitted by csaps at p. Reads x, y and w
// of the data.
std::vector<Segment> fit_segments(const PreparedData& data, const std::vector<Index>& partition,
                                  double p, Ticker& ticker);

}  // namespace velk
