// Samples prepared once for every fit of a search.
//
// In the caller's units (1 - p) / p carries units of x^3 / y^2 and the weights
// are 1 / delta^2, so x * 1e300, delta * 1e-200 or a smoothing length far from
// 1 leave the representable doubles. The fits therefore run on a copy shifted
// to start near 0 and divided by powers of two near the samples' own scales
// (exactly), and their results are mapped back.
#pragma once

#include <cstdint>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "invalid.hpp"
#include "prepare.hpp"

namespace velk::engine {

struct Samples {
    // The caller's samples with a finite x, y row and delta, sorted by x (stable) and
    // merged where x repeats (weighted means, summed weights).
    std::vector<double> x;  // M, strictly increasing
    Matrix y;               // M x dim
    std::vector<double> w;  // M

    // The same in the units of the fits: x - x[0], y - y0 and delta over 2^ex, 2^ey and
    // 2^ed; every search and segment fit reads these.
    PreparedData scaled;
    int ex = 0, ey = 0, ed = 0;
    std::vector<double> y0;  // dim: the shift of each component (its mid-range)

    // For each input row, its sample, or -1 where the row was left out; only when asked.
    std::vector<std::int64_t> index;

    Index size() const { return x.size(); }
    Index dim() const { return y.cols; }
};

// The rows of the caller's samples with a finite x, y row and delta (or weight),
// copied in input order.
struct Rows {
    std::vector<double> x;
    Matrix y;
    std::vector<double> d;      // standard deviations, or weights when `weights`; empty: all 1
    std::vector<Index> source;  // input row of each kept row; empty: every row was kept
    Index inputs = 0;           // rows given
    bool weights = false;
    double y_top = 0.0;        // the largest |y|
    double d_exponents = 0.0;  // the sum of the binary exponents of d
};

// Rows of y (n x dim) with x (n; null for 1, 2, ..., n) and either delta (standard
// deviations) or w (weights 1 / delta^2), each n or null for all 1. Rows with a
// non-finite x, y value, delta or w are left out; a kept delta or w must be positive.
Checked<Rows> keep_finite(const VecView* x, const MatView& y, const VecView* delta,
                          const VecView* w);

// The samples of those rows; `index` only when asked for.
Checked<Samples> prepare(Rows&& rows, bool with_index, Ticker& ticker);

// Samples again from what defines them: the caller's x and y, the weights in the
// units of the fits and the exponents (a copy in another process is the same
// samples bit for bit, where the caller's weights may not even be doubles).
Checked<Samples> restore(std::vector<double>&& x, const MatView& y, std::vector<double>&& w, int ex,
                         int ey, int ed);

}  // namespace velk::engine
