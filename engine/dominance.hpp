// Whether a candidate of the functional search can be dropped for good: it
// costs more than another candidate (or than one of two) wherever it could
// still win. Each test is a certificate, safe against the rounding of its own
// arithmetic; failing one only keeps a candidate.
#pragma once

#include "array.hpp"

namespace velk::engine {

// The end-state quadratic of a candidate: the trailing triangular factor
// R = [[r0, r1], [0, r2]], rows b0 and b1 of the right-hand side (m values
// each), the energy, and the cost of the prefix before its start.
struct Quadratic {
    const double* r;
    const double* b0;
    const double* b1;
    double energy;
    double base;  // F[l-1]
};

// l against one other candidate j, older or newer, on l's region: the ends
// where C_l < top (top the larger of F[r-1] and F[r]).
bool dominated(const Quadratic& l, const Quadratic& j, Index m, double gamma, double top);

// l (one component) against an older j on the part of l's region where a
// newer k does not beat it.
bool dominated_where_cut(const Quadratic& l, const Quadratic& j, const Quadratic& k, double gamma,
                         double top);

}  // namespace velk::engine
