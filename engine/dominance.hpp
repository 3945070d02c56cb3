// Whether a candidate of the functional search can be dropped for good: it
// costs more than another candidate (or than one of two) wherever it could
// still win. Each test is a certificate, safe against the rounding of its own
// arithmetic; failing one only keeps a candidate.
#pragma once

#include <cmath>

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

// l's coordinates w = R_l z for another candidate o: C_o = c_o + |M w - b_o|^2
// with M = R_o R_l^-1 (upper triangular), and a bound on the cancellation in
// its corner, which the rounding bounds below carry.
struct Relative {
    double m11, m12, m22, big12;
    Relative(const double* rl, const double* ro) {
        m11 = ro[0] / rl[0];
        m22 = ro[2] / rl[2];
        const double p12 = m11 * rl[1];
        m12 = (ro[1] - p12) / rl[2];
        big12 = std::fabs(m12) + (std::fabs(ro[1]) + std::fabs(p12)) / std::fabs(rl[2]);
    }
    double size() const { return std::fabs(m11) + big12 + std::fabs(m22); }
    double square() const { return m11 * m11 + big12 * big12 + m22 * m22; }
};

// l (one component) against an older j on the part of l's region where a
// newer k does not beat it, for any number of k: what does not depend on k
// is done once.
class CutTest {
public:
    CutTest(const Quadratic& l, const Quadratic& j, double gamma, double top);
    // Whether l can be dropped for j and k.
    bool by(const Quadratic& k) const;

private:
    // What a probe needs of k.
    struct Cut {
        double dck = 0.0, sure = 0.0, ff = 0.0, db = 0.0, eta = 0.0;
        double b[2] = {0.0, 0.0}, B[3] = {0.0, 0.0, 0.0};
    };
    // The certified bound at mu1 and, at the Lagrangian's minimiser v,
    // C_l - C_j, C_l - C_k - tol_k and |v|^2.
    struct Probe {
        double bound, f, g, vv, v0, v1;
    };
    Probe probe(const Cut& k, double mu1) const;

    enum class Verdict { Drop, Keep, Try };
    Quadratic l_;
    double gamma_, cl_;
    Relative mj_;
    Verdict verdict_ = Verdict::Keep;
    double tol_j_ = 0.0, rho_ = 0.0, dcj_ = 0.0, ee_ = 0.0, da_ = 0.0, sure_j_ = 0.0, eta_j_ = 0.0;
    double a_[2] = {0.0, 0.0}, A_[3] = {0.0, 0.0, 0.0}, v0_[2] = {0.0, 0.0};
};

}  // namespace velk::engine
