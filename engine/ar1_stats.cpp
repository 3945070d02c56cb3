// What model selection reads of a fit under AR(1) noise.
//
// One segment's values and slopes theta at its samples have the precision
// A = P + lam K of the penalised energy: P = H'V^-1 H from the data rows (the
// backward AR rows and the last sample's row, on the values alone), K from the
// curvature rows. The GLS spline factors A = R'R by rotations interval by
// interval; R is block upper bidiagonal in the 2 x 2 blocks of the samples.
//
// The log-determinant: the restricted likelihood of the second differences
// equals, up to terms of the design alone, that of the states with a flat prior
// on the lines K leaves free:
//   log det(Q'VQ + R/lam) = log det V + log det A_V - log det+(lam K) + const.
// So against the same noise without correlation (A_W: the rows at phi = 0),
//   log det(Q'VQ + R/lam) - log det(Q'W^-1 Q)
//     = log det Sigma + log det A_V - log det A_W + logdet_iid,
// the last term that of smoother_stats; log det+(lam K) and the null space of
// lines cancel, and A_V, A_W differ only in their data rows.
//
// The trace: trace(A^-1 P) needs of A^-1 only the blocks that P touches, the
// diagonal and the first off-diagonal 2 x 2 blocks, which the backward
// recursion S_jj = R_jj^-1 R_jj^-T, X = R_aa^-1 R_ab,
//   S_ab = -X S_bb,  S_aa = R_aa^-1 R_aa^-T + X S_bb X'
// gives in O(1) per sample (from R S = R^-T, whose upper part is zero).
#include <algorithm>
#include <cmath>
#include <limits>

#include "segment.hpp"
#include "stats.hpp"

namespace velk::engine {

namespace {

// The pivot rows kept for interval a -> b: [r00 r01 r02 r03; 0 r11 r12 r13] on
// (f_a, u_a, f_b, u_b).
struct Pivots {
    double r[2][4];
};

// Rotates row q into pivot row p at column col (4 columns).
inline void rotate(double* rp, double* rq, Index col) {
    const double b = rq[col];
    if (b == 0.0) return;
    const double rho = std::hypot(rp[col], b);
    const double cs = rp[col] / rho, sn = b / rho;
    for (Index t = col; t < 4; ++t) {
        const double u = rp[t], v = rq[t];
        rp[t] = cs * u + sn * v;
        rq[t] = cs * v - sn * u;
    }
    rq[col] = 0.0;
}

// The factor of samples i..j (len >= 2) with correlations phi (none: 0), the
// energy in the engine's form p e' Sigma^-1 e + (1 - p) int f''^2. Pivots into
// keep (len - 1 entries) and the last 2 x 2 block into last; returns
// log det A = sum of 2 log |pivot|.
double factor(const PreparedData& data, Index i, Index j, double p, const double* phi, Pivots* keep,
              double last[2][2]) {
    const double sqrt_p = std::sqrt(p), s = std::sqrt(1.0 - p);
    double rows[5][4] = {};
    double logdet = 0.0;
    for (Index a = i; a < j; ++a) {
        const Index b = a + 1;
        const double r = phi ? phi[b] : 0.0;
        const double scale = sqrt_p / std::sqrt((1.0 - r) * (1.0 + r));
        const CurvatureRows k = curvature_rows(data.x[b] - data.x[a], s, 1.0, 1.0);
        for (Index q = 2; q < 5; ++q) std::fill(rows[q], rows[q] + 4, 0.0);
        rows[2][0] = k.k, rows[2][1] = k.qa, rows[2][2] = k.nk, rows[2][3] = k.qb;
        rows[3][1] = k.ra, rows[3][3] = k.nrb;
        rows[4][0] = scale / data.delta[a], rows[4][2] = -(r * scale) / data.delta[b];
        for (Index q = 1; q < 5; ++q) rotate(rows[0], rows[q], 0);
        for (Index q = 2; q < 5; ++q) rotate(rows[1], rows[q], 1);
        logdet += 2.0 * (std::log(std::fabs(rows[0][0])) + std::log(std::fabs(rows[1][1])));
        if (keep) std::copy_n(&rows[0][0], 8, &keep[a - i].r[0][0]);
        for (Index q = 3; q < 5; ++q) rotate(rows[2], rows[q], 2);
        rotate(rows[3], rows[4], 3);
        for (Index q = 0; q < 2; ++q) {
            rows[q][0] = rows[2 + q][2], rows[q][1] = rows[2 + q][3];
            rows[q][2] = rows[q][3] = 0.0;
        }
    }
    std::fill(rows[4], rows[4] + 4, 0.0);
    rows[4][0] = sqrt_p / data.delta[j];
    rotate(rows[0], rows[4], 0);
    rotate(rows[1], rows[4], 1);
    logdet += 2.0 * (std::log(std::fabs(rows[0][0])) + std::log(std::fabs(rows[1][1])));
    last[0][0] = rows[0][0], last[0][1] = rows[0][1];
    last[1][0] = 0.0, last[1][1] = rows[1][1];
    return logdet;
}

// U^-1 U^-T of an upper triangular 2 x 2 block, as [s00, s01, s11].
struct Sym {
    double s00, s01, s11;
};
inline Sym inverse_gram(double u00, double u01, double u11) {
    // U^-1 = [1/u00, -u01/(u00 u11); 0, 1/u11].
    const double a = 1.0 / u00, b = -u01 / (u00 * u11), d = 1.0 / u11;
    return {a * a + b * b, b * d, d * d};
}

// trace(A^-1 P) of the segment from its factor, P's band from the data rows.
double trace_of(const PreparedData& data, Index i, Index j, double p, const double* phi,
                const Pivots* keep, const double last[2][2]) {
    const double sqrt_p = std::sqrt(p);
    Sym sb = inverse_gram(last[0][0], last[0][1], last[1][1]);
    const double cj = sqrt_p / data.delta[j];
    double pj = cj * cj;  // P at (f_b, f_b), rows of intervals after b added
    double tr = 0.0;
    for (Index a = j; a-- > i;) {
        const Index b = a + 1;
        const double r = phi[b];
        const double scale = sqrt_p / std::sqrt((1.0 - r) * (1.0 + r));
        const double ca = scale / data.delta[a], cb = (r * scale) / data.delta[b];
        pj += cb * cb;
        tr += sb.s00 * pj;
        const double (*q)[4] = keep[a - i].r;
        // X = R_aa^-1 R_ab, R_aa = [q00 q01; 0 q11], R_ab = [q02 q03; q12 q13].
        const double x10 = q[1][2] / q[1][1], x11 = q[1][3] / q[1][1];
        const double x00 = (q[0][2] - q[0][1] * x10) / q[0][0];
        const double x01 = (q[0][3] - q[0][1] * x11) / q[0][0];
        // S_ab = -X S_bb (only its (f_a, f_b) entry is read), S_aa = Gram + X S_bb X'.
        const double ab00 = -(x00 * sb.s00 + x01 * sb.s01);
        tr += 2.0 * ab00 * (-ca * cb);
        const double y00 = x00 * sb.s00 + x01 * sb.s01, y01 = x00 * sb.s01 + x01 * sb.s11;
        const double y10 = x10 * sb.s00 + x11 * sb.s01, y11 = x10 * sb.s01 + x11 * sb.s11;
        const Sym g = inverse_gram(q[0][0], q[0][1], q[1][1]);
        sb = {g.s00 + y00 * x00 + y01 * x01, g.s01 + y00 * x10 + y01 * x11,
              g.s11 + y10 * x10 + y11 * x11};
        pj = ca * ca;
    }
    return tr + sb.s00 * pj;
}

// e' Sigma^-1 e of the segment's residuals, summed over the components.
double gls_rss(const PreparedData& data, const Segment& seg, const double* phi) {
    const Index dim = data.y.cols, i = seg.first, len = seg.last - seg.first + 1;
    const PPForm& pp = seg.pp;
    double out = 0.0;
    for (Index k = 0; k < dim; ++k) {
        double prev = 0.0;
        for (Index t = 0; t < len; ++t) {
            const Index b = i + t;
            const double e = (data.y(b, k) - pp.coefs((1 + t) * dim + k, 3)) / data.delta[b];
            if (t > 0) {
                const double r = phi[b], d = prev - r * e;
                out += (d * d) / ((1.0 - r) * (1.0 + r));
            }
            prev = e;
        }
        out += prev * prev;  // the last sample's unconditional row
    }
    return out;
}

}  // namespace

FitStats ar1_fit_stats(const PreparedData& data, const std::vector<Segment>& segments, double lam,
                       const std::vector<double>& phi) {
    check(phi.size() == data.x.size(), "one correlation per interval");
    if (!(lam > 0.0 && lam < std::numeric_limits<double>::infinity()))
        return fit_stats(data, segments, lam);  // interpolants, or lines (refused with phi)
    const Index dim = data.y.cols;
    const double p = 1.0 / (1.0 + lam), ddim = static_cast<double>(dim);
    Index longest = 0;
    for (const Segment& seg : segments) longest = std::max(longest, seg.last - seg.first + 1);
    std::vector<Pivots> keep(static_cast<std::size_t>(longest));
    FitStats out;
    for (const Segment& seg : segments) {
        const Index i = seg.first, j = seg.last, len = j - i + 1;
        if (len < 2) {
            out.edf += ddim;  // a lone sample is fitted exactly
            continue;
        }
        const SmootherStats iid =
            smoother_stats(VecView(data.x.data() + i, len, sizeof(double)),
                           VecView(data.w.data() + i, len, sizeof(double)), lam);
        double last[2][2];
        const double with_phi = factor(data, i, j, p, phi.data(), keep.data(), last);
        const double tr = trace_of(data, i, j, p, phi.data(), keep.data(), last);
        double plain[2][2];
        const double without = factor(data, i, j, p, nullptr, nullptr, plain);
        double log_sigma = 0.0;
        for (Index b = i + 1; b <= j; ++b) log_sigma += std::log1p(-phi[b] * phi[b]);
        out.edf += ddim * tr;
        out.logdet += ddim * (log_sigma + (with_phi - without) + iid.logdet);
        out.rss += gls_rss(data, seg, phi.data());
        out.roughness += segment_roughness(seg.pp, len);
    }
    return out;
}

}  // namespace velk::engine
