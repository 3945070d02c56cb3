// Whether a candidate of the functional search can be dropped for good: it
// costs more than another candidate (or than one of two) wherever it could
// still win. Each test is a certificate, safe against the rounding of its own
// arithmetic; failing one only keeps a candidate.
#pragma once

#include <limits>

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
// newer k does not beat it, for any number of k: what does not depend on k
// is done once.
class CutTest {
public:
    CutTest(const Quadratic& l, const Quadratic& j, double gamma, double top);
    // Whether l can be dropped for j and k.
    bool by(const Quadratic& k);
    // The multipliers tried so far by `by`: its work, which only a count sees.
    Index probes() const { return probes_; }

private:
    // C_l - C_o = (c_l - c_o - |e|^2) + v'A v + 2 a'v for one other candidate
    // o, in l's coordinates v (A = I - M'M, a = M'e, e = b_o - M b_l), with
    // the rounding bounds the certificate carries: |e|^2 from above, and the
    // error of a and of A.
    struct Side {
        double e2 = 0.0, e2_up = 0.0, da = 0.0, eta = 0.0;
        double a[2] = {0.0, 0.0}, A[3] = {0.0, 0.0, 0.0};
    };
    static Side side(const Quadratic& l, const Quadratic& o);
    // What a probe needs of k: its side, C_l - C_k - tol_k at v = 0 and that
    // with |f|^2 raised.
    struct Cut {
        Side k;
        double dck = 0.0, sure = 0.0;
    };
    // The certified bound at mu1, the Lagrangian's minimiser v and
    // C_l - C_k - tol_k there.
    struct Probe {
        double bound, g, v[2];
    };
    Probe probe(const Cut& k, double mu1) const;
    // A line p + t d of l's coordinates: its interval [a, b] within the ball
    // (empty if none) and C_l - C_j along it, f0 + 2 f1 t + f2 t^2.
    struct Line {
        double p[2] = {0.0, 0.0}, d[2] = {0.0, 0.0}, f[3] = {0.0, 0.0, 0.0};
        double a = -std::numeric_limits<double>::infinity();
        double b = std::numeric_limits<double>::infinity();
        bool empty = true;
    };
    Line line(const double* p, const double* q) const;
    bool fails_on(const Cut& cut, const Line& line) const;

    // A probed bound as a function of mu1: its value and slope at mu.
    struct Tangent {
        double value = -std::numeric_limits<double>::infinity(), slope = 0.0, mu = 0.0;
        // Whether the concave bound can exceed tol between the two.
        static bool may_exceed(const Tangent& below, const Tangent& above, double tol);
    };

    enum class Verdict { Drop, Keep, Try };
    Quadratic l_;
    double gamma_, cl_;
    Side j_;
    Verdict verdict_ = Verdict::Keep;
    Index probes_ = 0;
    double bound0_ = 0.0;  // the bound at mu1 = 0: j's on the whole region
    double tol_j_ = 0.0, rho_ = 0.0, dcj_ = 0.0, sure_j_ = 0.0, v0_[2] = {0.0, 0.0};
    Line centre_;  // from the centre to v0
};

}  // namespace velk::engine
