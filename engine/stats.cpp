#include "stats.hpp"

#include <cmath>
#include <limits>

namespace velk::engine {

namespace {

// The upper triangular factor of a banded least-squares matrix, built row by
// row with Givens rotations: row i holds R[i][i], R[i][i + 1], R[i][i + 2].
// Rows are fed in the order of their first column, none wider than three
// columns, so no rotation fills beyond that band. Working on the rows instead
// of their Gram matrix keeps the condition number at its square root: the
// Gram matrix of the second differences of 10^5 samples is singular in double
// precision, its rows are not.
class BandedQR {
public:
    explicit BandedQR(Index n) : r_(3 * n, 0.0), n_(n) {}

    // Adds the row with v[0..2] in columns c, c + 1, c + 2 (within n).
    void add(Index c, double v0, double v1, double v2) {
        double v[3] = {v0, v1, v2};
        for (Index k = 0; k < 3 && c + k < n_; ++k) {
            double* row = &r_[3 * (c + k)];
            if (v[k] == 0.0) continue;
            const double a = row[0], b = v[k];
            const double rr = std::hypot(a, b);
            const double cs = a / rr, sn = b / rr;
            row[0] = rr;
            // Row c + k holds columns c + k .. c + k + 2; v ends at column c + 2.
            for (Index t = 1; t < 3; ++t) {
                if (k + t >= 3) {
                    check(row[t] == 0.0, "banded QR: fill outside the band");
                    continue;
                }
                const double vt = v[k + t], rt = row[t];
                row[t] = cs * rt + sn * vt;
                v[k + t] = cs * vt - sn * rt;
            }
        }
    }

    const double* row(Index i) const { return &r_[3 * i]; }

private:
    std::vector<double> r_;
    Index n_;
};

}  // namespace

SmootherStats smoother_stats(const VecView& x, const VecView& w, double lam) {
    const Index m = x.size();
    check(w.size() == m, "w length must equal x length");
    const double dm = static_cast<double>(m);
    if (m <= 2 || lam == std::numeric_limits<double>::infinity()) return {m <= 2 ? dm : 2.0, 0.0};
    if (lam == 0.0) return {dm, std::numeric_limits<double>::infinity()};
    const Index n = m - 2;  // contrasts: second differences at the interior samples
    std::vector<double> r(m - 1), h(m - 1), sd(m);
    for (Index j = 0; j + 1 < m; ++j) {
        h[j] = x[j + 1] - x[j];
        r[j] = 1.0 / h[j];
    }
    for (Index j = 0; j < m; ++j) sd[j] = 1.0 / std::sqrt(w[j]);
    // B = G'G with G = W^-1/2 Q, whose row j (sample j) holds the weights of
    // sample j in contrasts j - 2, j - 1 and j; A = B + C C' with C the
    // Cholesky factor of R / lam (R tridiagonal, its factor bidiagonal: column
    // i of C holds rows i and i + 1). Both factors come from the same rows in
    // the same order, so their pivots can be compared one by one.
    BandedQR qa(n), qb(n);
    auto g = [&](Index j, Index i) {  // G[j][i] for contrast i = j - 2 .. j
        if (i == j) return r[i] * sd[j];
        if (i + 1 == j) return -(r[i] + r[i + 1]) * sd[j];
        return r[i + 1] * sd[j];
    };
    const double root = std::sqrt(lam);
    double carry = 0.0;  // C[i][i - 1]
    for (Index c = 0; c < n; ++c) {
        // Rows whose first column is c: samples 0, 1 and 2 for c = 0, then c + 2.
        for (Index j = c == 0 ? 0 : c + 2; j <= c + 2; ++j) {
            const Index lo = j >= 2 ? j - 2 : 0;
            double v[3] = {0.0, 0.0, 0.0};
            for (Index i = lo; i <= j && i < n; ++i) v[i - c] = g(j, i);
            qa.add(c, v[0], v[1], v[2]);
            qb.add(c, v[0], v[1], v[2]);
        }
        const double d = (h[c] + h[c + 1]) / 3.0 - carry * carry;
        const double l = std::sqrt(d);
        carry = c + 1 < n ? (h[c + 1] / 6.0) / l : 0.0;
        qa.add(c, l / root, carry / root, 0.0);
    }
    // L D L' of A from its factor, and the band of A^-1 (diagonal s0,
    // super-diagonals s1, s2) by the backward recursion of Hutchinson and de
    // Hoog: S = D^-1 L^-1 + (I - L') S.
    std::vector<double> s0(n + 2, 0.0), s1(n + 2, 0.0), s2(n + 2, 0.0);
    for (Index i = n; i-- > 0;) {
        const double* ra = qa.row(i);
        const double u = i + 1 < n ? ra[1] / ra[0] : 0.0;  // L[i + 1][i]
        const double v = i + 2 < n ? ra[2] / ra[0] : 0.0;  // L[i + 2][i]
        s2[i] = -(u * s1[i + 1] + v * s0[i + 2]);
        s1[i] = -(u * s0[i + 1] + v * s1[i + 1]);
        s0[i] = 1.0 / (ra[0] * ra[0]) - (u * s1[i] + v * s2[i]);
    }
    double tr = 0.0;
    for (Index i = 0; i < n; ++i) tr += s0[i] * ((h[i] + h[i + 1]) / 3.0);
    for (Index i = 0; i + 1 < n; ++i) tr += 2.0 * s1[i] * (h[i + 1] / 6.0);
    // Pivot by pivot: A and B differ little when lam is large, and a difference of the
    // two sums of logarithms would lose those digits.
    double logdet = 0.0;
    for (Index i = 0; i < n; ++i) logdet += 2.0 * std::log(std::fabs(qa.row(i)[0] / qb.row(i)[0]));
    return {2.0 + tr / lam, logdet};
}

FitStats fit_stats(const PreparedData& data, const std::vector<Segment>& segments, double lam) {
    const Index dim = data.y.cols;
    FitStats out;
    for (const Segment& seg : segments) {
        const Index i = seg.first, len = seg.last - seg.first + 1;
        const PPForm& pp = seg.pp;
        const SmootherStats s =
            smoother_stats(VecView(data.x.data() + i, len, sizeof(double)),
                           VecView(data.w.data() + i, len, sizeof(double)), lam);
        out.edf += static_cast<double>(dim) * s.trace;
        out.logdet += static_cast<double>(dim) * s.logdet;
        if (len < 2) continue;  // a lone sample is fitted exactly
        // The piece that starts at sample t holds the fitted value there as its
        // constant term (the last sample's is the extension piece).
        for (Index t = 0; t < len; ++t)
            for (Index j = 0; j < dim; ++j) {
                const double e = data.y(i + t, j) - pp.coefs((1 + t) * dim + j, 3);
                out.rss += data.w[i + t] * (e * e);
            }
        out.roughness += segment_roughness(pp, len);
    }
    return out;
}

double segment_roughness(const PPForm& pp, Index len) {
    // f'' = 6 a t + 2 b on the cubic pieces between the samples.
    const Index dim = pp.dim;
    double out = 0.0;
    for (Index t = 0; t + 1 < len; ++t) {
        const double h = pp.breaks[t + 2] - pp.breaks[t + 1];
        for (Index j = 0; j < dim; ++j) {
            const double* c = pp.coefs.row((1 + t) * dim + j);
            out +=
                ((12.0 * c[0] * c[0]) * h * h + (12.0 * c[0] * c[1]) * h + 4.0 * c[1] * c[1]) * h;
        }
    }
    return out;
}

}  // namespace velk::engine
