// The smoothing spline of one segment as a least-squares problem in the values
// and slopes at the samples: per interval its data row (with AR(1) noise the
// backward AR row) and two curvature rows, the last sample's row alone,
// factored by Givens rotations interval by interval, the pivot rows kept, then
// solved backwards. The same rows as the search's states, so the fit's energy is
// the one the search minimised. The textbook route, second derivatives from
// p R + (1 - p) Q'W^-1 Q and the values as y - lam W^-1 Q c, squares the
// condition number and then multiplies the error by lam: with a long segment
// and stiff smoothing (10^5 samples at a length of 10^4) the curve it returns
// is plainly off the minimiser.
#include "segment_splines.hpp"

#include <algorithm>
#include <cmath>

#include "fast_root.hpp"
#include "segment.hpp"

namespace velk::engine {

namespace {

// A row of the banded system on the unknowns (f_a, u_a, f_b, u_b) of one
// interval, and its right-hand side (m values), in a block of rows
// [coefficient 0..3, rhs 0..m).
class Block {
public:
    Block(Index rows, Index m) : m_(m), data_(rows * (4 + m), 0.0) {}
    double* row(Index i) { return data_.data() + i * (4 + m_); }

    // Row q rotated into pivot row p at column col (zero at col afterwards).
    void rotate(Index p, Index q, Index col) {
        double* rp = row(p);
        double* rq = row(q);
        const double b = rq[col];
        if (b == 0.0) return;
        const double rho = FastRoot::of(rp[col], b);
        const double cs = rp[col] / rho, sn = b / rho;
        for (Index t = col; t < 4 + m_; ++t) {
            const double u = rp[t], v = rq[t];
            rp[t] = cs * u + sn * v;
            rq[t] = cs * v - sn * u;
        }
        rq[col] = 0.0;
    }

private:
    Index m_;
    std::vector<double> data_;
};

// Values f (len x m) and slopes d of the minimiser on samples i..j (len >= 2);
// phi empty: independent noise. Solved for y less the first sample's values,
// which moves no curvature: a constant run then comes out exactly, as in the
// core's fits, and the rotations work on smaller numbers.
void solve_segment(const PreparedData& data, Index i, Index j, double p,
                   const std::vector<double>& phi, std::vector<double>& f, std::vector<double>& d) {
    const Index m = data.y.cols, len = j - i + 1, w = 4 + m;
    const double sqrt_p = std::sqrt(p), s = std::sqrt(1.0 - p);
    // Rows 0, 1: the carried factor on (f_a, u_a); 2, 3: curvature; 4: AR row.
    Block block(5, m);
    std::vector<double> pivots = large_vector((len - 1) * 2 * w, 0.0);
    for (Index a = i; a < j; ++a) {
        const Index b = a + 1;
        const double r = phi.empty() ? 0.0 : phi[b];
        const double scale = sqrt_p / std::sqrt((1.0 - r) * (1.0 + r));
        const double ca = scale / data.delta[a], cb = (r * scale) / data.delta[b];
        const double root = 1.0 / std::sqrt(data.x[b] - data.x[a]);  // pow costs several roots
        const CurvatureRows k = curvature_rows_of_powers((root * root) * root, root, s, 1.0, 1.0);
        double* k1 = block.row(2);
        double* k2 = block.row(3);
        double* ar = block.row(4);
        std::fill(k1, k1 + 3 * w, 0.0);
        k1[0] = k.k, k1[1] = k.qa, k1[2] = k.nk, k1[3] = k.qb;
        k2[1] = k.ra, k2[3] = k.nrb;
        ar[0] = ca, ar[2] = -cb;
        for (Index t = 0; t < m; ++t)
            ar[4 + t] = ca * (data.y(a, t) - data.y(i, t)) - cb * (data.y(b, t) - data.y(i, t));
        // The data row before the curvature rows: with independent noise it is on
        // (f_a, u_a) alone, so it leaves the factor with nothing in (f_b, u_b) to
        // rotate away: six rotations per interval instead of eight.
        for (Index q : {4, 2, 3}) block.rotate(0, q, 0);
        for (Index q : {4, 2, 3}) block.rotate(1, q, 1);
        double* keep = pivots.data() + (a - i) * 2 * w;
        std::copy_n(block.row(0), 2 * w, keep);
        for (Index q = 3; q < 5; ++q) block.rotate(2, q, 2);
        block.rotate(3, 4, 3);
        // Rows 2 and 3 become the factor on (f_b, u_b), shifted to columns 0, 1.
        for (Index q = 0; q < 2; ++q) {
            double* to = block.row(q);
            const double* from = block.row(2 + q);
            to[0] = from[2], to[1] = from[3], to[2] = 0.0, to[3] = 0.0;
            std::copy_n(from + 4, m, to + 4);
        }
    }
    // The last sample's unconditional row, then the 2 x 2 solve at j.
    double* last = block.row(4);
    std::fill(last, last + w, 0.0);
    const double cj = sqrt_p / data.delta[j];
    last[0] = cj;
    for (Index t = 0; t < m; ++t) last[4 + t] = cj * (data.y(j, t) - data.y(i, t));
    block.rotate(0, 4, 0);
    block.rotate(1, 4, 1);
    f.assign(len * m, 0.0);
    d.assign(len * m, 0.0);
    const double* r0 = block.row(0);
    const double* r1 = block.row(1);
    for (Index t = 0; t < m; ++t) {
        d[(len - 1) * m + t] = r1[4 + t] / r1[1];
        f[(len - 1) * m + t] = (r0[4 + t] - r0[1] * d[(len - 1) * m + t]) / r0[0];
    }
    for (Index a = j; a-- > i;) {
        const Index ka = a - i;
        const double* p0 = pivots.data() + ka * 2 * w;
        const double* p1 = p0 + w;
        for (Index t = 0; t < m; ++t) {
            const double fb = f[(ka + 1) * m + t], db = d[(ka + 1) * m + t];
            const double da = (p1[4 + t] - p1[2] * fb - p1[3] * db) / p1[1];
            d[ka * m + t] = da;
            f[ka * m + t] = (p0[4 + t] - p0[1] * da - p0[2] * fb - p0[3] * db) / p0[0];
        }
    }
    for (Index k = 0; k < len; ++k)
        for (Index t = 0; t < m; ++t) f[k * m + t] += data.y(i, t);
}

// The spline of samples i..j on [l, r]; a lone sample is a constant.
PPForm fit_segment(const PreparedData& data, Index i, Index j, double l, double r, double p,
                   const std::vector<double>& phi) {
    const Index m = data.y.cols;
    PPForm pp;
    pp.dim = m;
    pp.order = 4;
    if (i == j) {
        pp.breaks = {l, r};
        pp.coefs = Matrix(m, 4);
        for (Index t = 0; t < m; ++t) pp.coefs(t, 3) = data.y(i, t);
        return pp;
    }
    std::vector<double> f, d;
    solve_segment(data, i, j, p, phi, f, d);
    const Index len = j - i + 1;
    reserve_large(pp.breaks, len + 2);
    pp.breaks.assign(data.x.begin() + static_cast<std::ptrdiff_t>(i),
                     data.x.begin() + static_cast<std::ptrdiff_t>(j + 1));
    reserve_large(pp.coefs.data, (len + 1) * m * 4);
    pp.coefs.data.assign((len - 1) * m * 4, 0.0);
    pp.coefs.rows = (len - 1) * m;
    pp.coefs.cols = 4;
    // The cubic Hermite piece of each interval from its ends' values and slopes.
    for (Index k = 0; k + 1 < len; ++k) {
        const double h = data.x[i + k + 1] - data.x[i + k];
        for (Index t = 0; t < m; ++t) {
            const double fa = f[k * m + t], fb = f[(k + 1) * m + t];
            const double da = d[k * m + t], db = d[(k + 1) * m + t];
            const double slope = (fb - fa) / h;
            double* row = pp.coefs.row(k * m + t);
            row[0] = ((da + db) - 2.0 * slope) / (h * h);
            row[1] = ((3.0 * slope - 2.0 * da) - db) / h;
            row[2] = da;
            row[3] = fa;
        }
    }
    pp.extend(l, r);
    return pp;
}

}  // namespace

std::vector<Segment> segment_splines(const PreparedData& data, const std::vector<Index>& partition,
                                     double p, const std::vector<double>& phi, Ticker& ticker) {
    check(phi.empty() || phi.size() == data.x.size(), "partition does not match the samples");
    check(p > 0.0 && p < 1.0, "the segment fit needs 0 < p < 1");
    return walk_segments(data.x, partition, [&](Index i, Index j, double l, double r) {
        PPForm pp = fit_segment(data, i, j, l, r, p, phi);
        ticker.tick(j - i + 1);
        return pp;
    });
}

}  // namespace velk::engine
