// The piecewise polynomial: where a point falls, its values at the knots, and
// the continuity of the splines made of it, alone, extended and joined.
#include <algorithm>
#include <cmath>

#include "check.hpp"
#include "csaps.hpp"
#include "dense.hpp"
#include "fit.hpp"

namespace {

using namespace velk;

Ticker never;  // a default Ticker never polls: one serves every fit

// Left-closed pieces; points outside fall to the end pieces.
TEST(find_piece_is_left_closed) {
    PPForm pp;
    pp.breaks = {0.0, 1.0, 2.0, 4.0};
    const struct {
        double t;
        Index piece;
    } cases[] = {{-1.0, 0}, {0.0, 0}, {0.5, 0}, {1.0, 1}, {1.999, 1},
                 {2.0, 2},  {3.9, 2}, {4.0, 2}, {9.0, 2}};
    for (const auto& c : cases) {
        CONTEXT("t = ", c.t);
        const auto [piece, left] = pp.find_piece(c.t);
        CHECK_EQ(piece, c.piece);
        CHECK_EQ(left, pp.breaks[c.piece]);
    }
}

// Derivatives 0..top of the pieces either side of break k agree.
void check_smooth_at(const PPForm& pp, Index k, int top, double tol) {
    const double h = pp.breaks[k] - pp.breaks[k - 1];
    for (Index j = 0; j < pp.dim; ++j)
        for (int der = 0; der <= top; ++der) {
            CONTEXT("break ", k, ", component ", j, ", derivative ", der);
            CHECK_NEAR(vt::poly(pp, k - 1, j, h, der), vt::poly(pp, k, j, 0.0, der),
                       tol / std::pow(h, der));
        }
}

// A spline of one run (whose values and slopes test_csaps checks): evaluated
// alike at one point and at many, C2 at every inner knot; extended by tangent
// lines with the old pieces kept as they were.
TEST(splines_are_c2_and_extend_by_tangents) {
    vt::Rng rng(22);
    for (double p : {0.0, 0.01, 0.5, 0.99, 1.0}) {
        for (int k = 0; k < 10; ++k) {
            const Index n = 2 + rng.below(15), dim = 1 + rng.below(3);
            CONTEXT("p = ", p, ", case ", k, ": n = ", n, ", dim = ", dim);
            const PreparedData d = vt::random_samples(rng, n, dim, k % 2 == 0, k % 3 == 0);
            const PPForm pp = csaps(d.x, d.y, d.w, p, never);
            const double tol = 1e-11 * vt::top_of(d.y);
            const Matrix all = pp.evaluate(d.x);
            for (Index i = 0; i < n; ++i) {
                const std::vector<double> f = pp.value_at(d.x[i]);
                for (Index j = 0; j < dim; ++j) CHECK_EQ(all(i, j), f[j]);
                if (i > 0 && i + 1 < n) check_smooth_at(pp, i, 2, tol);
            }
            PPForm ext = pp.clone();
            const double l = d.x[0] - rng.uniform(0.1, 3.0), r = d.x[n - 1] + rng.uniform(0.1, 3.0);
            ext.extend(l, r);
            CHECK(ext.pieces() == n + 1 && ext.breaks.front() == l && ext.breaks.back() == r);
            if (ext.pieces() != n + 1) continue;
            CHECK(std::equal(pp.coefs.data.begin(), pp.coefs.data.end(),
                             ext.coefs.data.begin() + static_cast<std::ptrdiff_t>(dim * 4)));
            for (Index j = 0; j < dim; ++j)
                for (Index piece : {Index{0}, n})
                    CHECK(ext.coefs(piece * dim + j, 0) == 0.0 &&
                          ext.coefs(piece * dim + j, 1) == 0.0);
            check_smooth_at(ext, 1, 1, tol);
            check_smooth_at(ext, n, 1, tol);
        }
    }
}

// A fit with jumps: each segment's extended spline, joined at the midpoints;
// C2 inside a segment, C1 at its outer samples, and at the samples the values
// of the segment's own spline.
TEST(joined_segments_keep_their_splines) {
    vt::Rng rng(23);
    int jumps = 0;
    for (int k = 0; k < 40; ++k) {
        const Index n = 4 + rng.below(30), dim = 1 + rng.below(3);
        const double p = k % 4 == 0 ? 0.0 : rng.uniform(0.05, 0.95);
        CONTEXT("case ", k, ": n = ", n, ", dim = ", dim, ", p = ", p);
        PreparedData d = vt::random_samples(rng, n, dim, k % 2 == 0, k % 3 == 0);
        const PreparedData copy = d;
        const FitResult fit = fit_prepared(std::move(d), Pruning::FPVI, Precondition::None, p,
                                           (p == 0.0 ? 1.0 : p) * 2.0, never);
        const PPForm& pp = fit.pp;
        const Index segments = fit.interval_cell.size();
        CHECK(fit.pp_cell.size() == segments && fit.discont.size() + 1 == segments);
        jumps += static_cast<int>(segments - 1);
        const double tol = 1e-11 * vt::top_of(copy.y);
        Index b = 0;  // pp's first break of the current segment
        for (Index s = 0; s < segments; ++s) {
            const Index first = fit.interval_cell[s].front(), last = fit.interval_cell[s].back();
            if (s > 0) {
                CHECK_EQ(fit.discont_idx[s - 1], first - 1);
                CHECK_EQ(fit.discont[s - 1], (copy.x[first - 1] + copy.x[first]) / 2);
            }
            CHECK_EQ(pp.breaks[b], fit.pp_cell[s].breaks.front());
            if (last > first) {
                CHECK_EQ(pp.breaks[b + 1], copy.x[first]);
                for (Index i = first; i <= last; ++i)
                    check_smooth_at(pp, b + 1 + i - first, i == first || i == last ? 1 : 2, tol);
            }
            for (Index i = first; i <= last; ++i)
                for (Index j = 0; j < dim; ++j)
                    CHECK_NEAR(pp.value_at(copy.x[i])[j], fit.pp_cell[s].value_at(copy.x[i])[j],
                               tol);
            b += fit.pp_cell[s].pieces();
        }
        CHECK_EQ(b, pp.pieces());
    }
    CHECK(jumps > 40);
}

}  // namespace
