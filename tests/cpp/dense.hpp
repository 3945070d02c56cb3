// Brute-force references: random problems, dense Gaussian elimination, segment
// energies solved directly and the unpruned programme over all segments.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ppform.hpp"
#include "prepare.hpp"

namespace vt {

using velk::Index;
using velk::Matrix;
using velk::PPForm;
using velk::PreparedData;

// splitmix64: the same numbers with every compiler and standard library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next();
    double uniform(double lo = 0.0, double hi = 1.0);
    Index below(Index n);  // 0 .. n-1
    double normal();

private:
    std::uint64_t s_;
};

// An n x n matrix with A(i, j) = 0 where |i - j| > band, stored by rows from
// column i - band to i + band.
struct Banded {
    Index n, band;
    std::vector<double> a;
    Banded(Index size, Index b) : n(size), band(b), a(size * (2 * b + 1), 0.0) {}
    double& operator()(Index i, Index j) { return a[i * (2 * band + 1) + j + band - i]; }
};

// Solves A X = B (B n x k, row-major) for a positive definite A by Gaussian
// elimination, which needs no pivoting there, within the band; B becomes X.
void gauss_solve(Banded& A, std::vector<double>& B, Index k);

// n samples, strictly increasing x (unit or uneven spacing), a smooth curve
// with a few jumps plus noise in each of dim components, weights 1 or spread.
PreparedData random_samples(Rng& rng, Index n, Index dim, bool uneven, bool weighted);

// The minimiser over samples l..r of p sum w (y - f)^2 + (1 - p) int f''^2 per
// component among the C1 piecewise cubics with knots at the samples (which
// hold the natural spline minimising it over all functions), by the normal
// equations of its values f and slopes u: both (r-l+1) x dim, and the minimum.
struct SplineSolution {
    Matrix f, u;
    double energy = 0.0;
};
SplineSolution dense_spline(const PreparedData& d, Index l, Index r, double p);

// The weighted least-squares line of samples l..r per component (value at
// x = 0 and slope) and its weighted residual sum of squares.
struct LineSolution {
    std::vector<double> at0, slope;
    double energy = 0.0;
};
LineSolution dense_line(const PreparedData& d, Index l, Index r);

// F[r] = min(E(0, r), min over 1 <= l < r of F[l-1] + gamma + E(l, r)) with
// F[0] = F[1] = 0, every E computed afresh; start[r] the best l (0: no jump;
// ties to the larger l) and margin[r] how much the runner-up costs more.
struct Programme {
    std::vector<double> F, margin;
    std::vector<Index> start;
};
Programme unpruned(Index n, double gamma, const std::function<double(Index, Index)>& energy);

// The largest |value| of a matrix.
double top_of(const Matrix& y);

// Derivative `der` of component j of a piece's polynomial at offset dt from
// its left break, from the coefficients alone.
double poly(const PPForm& pp, Index piece, Index j, double dt, int der = 0);

}  // namespace vt
