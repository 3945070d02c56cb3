// The smoothing spline of one run of samples against a dense solve of its
// penalised least-squares problem, and its two limits.
#include <algorithm>
#include <cmath>

#include "check.hpp"
#include "csaps.hpp"
#include "dense.hpp"

namespace {

using namespace velk;

Ticker never;  // a default Ticker never polls: one serves every fit
using vt::Rng;

// Values and slopes at every sample, for every p strictly between 0 and 1.
TEST(values_and_slopes_solve_the_normal_equations) {
    Rng rng(11);
    for (double p : {1e-4, 1e-3, 0.1, 0.5, 0.9, 0.999, 1 - 1e-6}) {
        for (int k = 0; k < 12; ++k) {
            const Index n = 2 + rng.below(30), dim = 1 + rng.below(3);
            CONTEXT("p = ", p, ", case ", k, ": n = ", n, ", dim = ", dim);
            const PreparedData d = vt::random_samples(rng, n, dim, k % 2 == 0, k % 3 == 0);
            const PPForm pp = csaps(d.x, d.y, d.w, p, never);
            const vt::SplineSolution want = vt::dense_spline(d, 0, n - 1, p);
            // The dense solve's own rounding grows with its condition, as 1/p where
            // the values are fixed by the little data weight, as 1/(1-p) for slopes.
            const double tol = 1e-13 * (1 / p + 1 / (1 - p)) * vt::top_of(d.y);
            for (Index i = 0; i < n; ++i) {
                const std::vector<double> f = pp.value_at(d.x[i]), u = pp.derivative_at(d.x[i]);
                for (Index j = 0; j < dim; ++j) {
                    CONTEXT("sample ", i, ", component ", j);
                    CHECK_NEAR(f[j], want.f(i, j), tol);
                    CHECK_NEAR(u[j], want.u(i, j), tol);
                }
            }
        }
    }
}

// The limits: p = 0 leaves only the curvature to minimise, the weighted
// least-squares line; p = 1 gives the natural interpolating spline, fixed by
// passing through every sample with f'' = 0 at both ends (and being C2, which
// test_ppform checks).
TEST(p_zero_and_one_give_the_line_and_the_interpolant) {
    Rng rng(12);
    for (const double p : {0.0, 1.0})
        for (int k = 0; k < 30; ++k) {
            const Index n = 2 + rng.below(20), dim = 1 + rng.below(3);
            CONTEXT("p = ", p, ", case ", k, ": n = ", n, ", dim = ", dim);
            const PreparedData d = vt::random_samples(rng, n, dim, k % 2 == 0, k % 3 != 1);
            const PPForm pp = csaps(d.x, d.y, d.w, p, never);
            const double tol = (p == 0.0 ? 1e-10 : 1e-12) * vt::top_of(d.y);
            if (p == 0.0) {
                const vt::LineSolution line = vt::dense_line(d, 0, n - 1);
                for (double t : {d.x[0], (d.x[0] + d.x[n - 1]) / 2, d.x[n - 1] - 0.1, d.x[n - 1]}) {
                    const std::vector<double> f = pp.value_at(t), u = pp.derivative_at(t);
                    for (Index j = 0; j < dim; ++j) {
                        CHECK_NEAR(f[j], line.at0[j] + line.slope[j] * t, tol * (1 + std::fabs(t)));
                        CHECK_NEAR(u[j], line.slope[j], tol);
                    }
                }
                continue;
            }
            CHECK_EQ(pp.pieces(), n - 1);
            for (Index i = 0; i < n; ++i)
                for (Index j = 0; j < dim; ++j) CHECK_NEAR(pp.value_at(d.x[i])[j], d.y(i, j), tol);
            const double h = d.x[n - 1] - d.x[n - 2];
            for (Index j = 0; j < dim; ++j) {
                CHECK_NEAR(vt::poly(pp, 0, j, 0.0, 2), 0.0, tol);
                CHECK_NEAR(vt::poly(pp, n - 2, j, h, 2), 0.0, tol);
            }
        }
}

}  // namespace
