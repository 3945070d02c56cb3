// Segments whose noise is AR(1) in sample order.
//
// With e_i = (y_i - f(x_i)) / delta_i and phi_i the correlation between
// samples i - 1 and i (phi for evenly spaced x, phi^(dx_i / h) for uneven x:
// an Ornstein-Uhlenbeck process, h the mean spacing), a segment's energy is
// p e' Sigma^-1 e + (1 - p) int f''^2, Sigma the stationary AR(1) correlation
// of its samples; segments' noise is independent. Read backwards,
//   e' Sigma^-1 e = e_r^2 + sum_{i<r} (e_i - phi_{i+1} e_{i+1})^2 / (1 - phi_{i+1}^2),
// so without its last, unconditional row a segment l..r is a least-squares
// system whose rows each couple two neighbouring samples. Its minimum over
// all unknowns but the end state theta = (f_r, u_r) is the reduced quadratic
//   D_l(theta) = C_l(theta) - p e_r(theta)^2,
// C_l being the segment's energy with theta held. The states below hold D in
// the layout of a SegmentState, [r0, r1, r2, min D, b0[m], b1[m]]:
// D(theta) = min D + |R theta_k - b_k|^2 summed over the components k.
// Feeding sample b after the end a adds the interval's two curvature rows and
// the row (e_a - phi_b e_b) / sqrt(1 - phi_b^2), all on (f_a, u_a, f_b, u_b);
// the energy proper adds the row of e_r to a copy, never to the state.
#pragma once

#include <vector>

#include "array.hpp"
#include "cancel.hpp"
#include "fit.hpp"
#include "invalid.hpp"
#include "options.hpp"
#include "prepare.hpp"
#include "segment.hpp"

namespace velk::engine {

struct Ar1Model {
    SegmentModel base;      // y, c = sqrt(p) / delta, h, tau and s = sqrt(1 - p)
    std::vector<double> a;  // n: a[b] = c[b-1] / sqrt(1 - phi_b^2), the row's weight on e_a
    std::vector<double> g;  // n: g[b] = phi_b c[b] / sqrt(1 - phi_b^2), its weight on e_b

    Index n() const { return base.n(); }
    Index dim() const { return base.dim(); }
    // The AR row's right-hand side a[b] y_a - g[b] y_b of every component, into out
    // (m doubles): shared by every state fed sample b.
    void row_rhs(Index b, double* out) const;
};

// The correlation phi_b of every interval b = 1..n-1 (out[0] unused): phi where
// the spacings are even to 1e-9 of their mean, else phi^(dx / h) with phi >= 0.
// InvalidInput for phi outside (-1, 1), or negative with uneven spacings.
Checked<std::vector<double>> ar1_correlations(const std::vector<double>& x, double phi);

// The model at 0 < p < 1 with the correlations of ar1_correlations.
Ar1Model make_ar1_model(const PreparedData& data, double p, Precondition precondition,
                        const std::vector<double>& phi);

// Kernels of the D-states of an Ar1Model.
struct Ar1State {
    static constexpr Index size(Index m) { return SegmentState::size(m); }
    // Samples l and l + 1: D has rank one in theta, min D = 0.
    static void start(const Ar1Model& model, double* state, Index l);
    // Feeds sample b to count states packed from first, each ending at b - 1;
    // rhs from model.row_rhs(b).
    static void extend_packed(const Ar1Model& model, double* first, Index count, Index b,
                              const double* rhs);
    // min C at the state's end r: the state with the row of e_r added, O(m).
    static double energy(const Ar1Model& model, const double* state, Index r);
};

// Energies of the prefixes 0..r (0 for r < 2); n samples fed.
std::vector<double> ar1_prefix_energies(const Ar1Model& model, Ticker& ticker);

}  // namespace velk::engine
