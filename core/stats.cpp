#include "stats.hpp"

#include <cmath>
#include <limits>

namespace velk {

namespace {

// L D L' of a symmetric pentadiagonal matrix given by its diagonals a0 (n),
// a1 (n - 1) and a2 (n - 2), in place: a0 becomes D, a1 and a2 the first and
// second sub-diagonals of the unit lower triangular L (a1[i] = L[i + 1][i],
// a2[i] = L[i + 2][i]).
void factor(std::vector<double>& a0, std::vector<double>& a1, std::vector<double>& a2) {
    const Index n = a0.size();
    for (Index i = 0; i < n; ++i) {
        double d = a0[i];
        if (i >= 1) d -= a1[i - 1] * a1[i - 1] * a0[i - 1];
        if (i >= 2) d -= a2[i - 2] * a2[i - 2] * a0[i - 2];
        a0[i] = d;
        if (i + 1 < n) {
            double c = a1[i];
            if (i >= 1) c -= a2[i - 1] * a1[i - 1] * a0[i - 1];
            a1[i] = c / d;
        }
        if (i + 2 < n) a2[i] = a2[i] / d;
    }
}

}  // namespace

SmootherStats smoother_stats(const VecView& x, const VecView& w, double lam) {
    const Index m = x.size();
    check(w.size() == m, "w length must equal x length");
    const double dm = static_cast<double>(m);
    if (m <= 2 || lam == std::numeric_limits<double>::infinity()) return {m <= 2 ? dm : 2.0, 0.0};
    if (lam == 0.0) return {dm, std::numeric_limits<double>::infinity()};
    const Index n = m - 2;  // contrasts: second differences at the interior samples
    std::vector<double> r(m - 1), h(m - 1), iw(m);
    for (Index j = 0; j + 1 < m; ++j) {
        h[j] = x[j + 1] - x[j];
        r[j] = 1.0 / h[j];
    }
    for (Index j = 0; j < m; ++j) iw[j] = 1.0 / w[j];
    // B = Q' W^-1 Q and R, both pentadiagonal (R tridiagonal).
    std::vector<double> b0(n), b1(n > 0 ? n - 1 : 0), b2(n > 1 ? n - 2 : 0);
    std::vector<double> r0(n), r1(b1.size());
    for (Index i = 0; i < n; ++i) {
        const double qa = r[i], qb = -(r[i] + r[i + 1]), qc = r[i + 1];
        b0[i] = qa * qa * iw[i] + qb * qb * iw[i + 1] + qc * qc * iw[i + 2];
        r0[i] = (h[i] + h[i + 1]) / 3.0;
        if (i + 1 < n) {
            const double qa1 = r[i + 1], qb1 = -(r[i + 1] + r[i + 2]);
            b1[i] = qb * qa1 * iw[i + 1] + qc * qb1 * iw[i + 2];
            r1[i] = h[i + 1] / 6.0;
        }
        if (i + 2 < n) b2[i] = qc * r[i + 2] * iw[i + 2];
    }
    std::vector<double> a0(n), a1 = b1, a2 = b2;
    for (Index i = 0; i < n; ++i) a0[i] = b0[i] + r0[i] / lam;
    for (Index i = 0; i + 1 < n; ++i) a1[i] += r1[i] / lam;
    factor(a0, a1, a2);
    // The band of A^-1 (diagonal s0, super-diagonals s1, s2) by the backward
    // recursion of Hutchinson and de Hoog: S = D^-1 L^-1 + (I - L') S.
    std::vector<double> s0(n + 2, 0.0), s1(n + 2, 0.0), s2(n + 2, 0.0);
    for (Index i = n; i-- > 0;) {
        const double u = i + 1 < n ? a1[i] : 0.0;  // L[i + 1][i]
        const double v = i + 2 < n ? a2[i] : 0.0;  // L[i + 2][i]
        s2[i] = -(u * s1[i + 1] + v * s0[i + 2]);
        s1[i] = -(u * s0[i + 1] + v * s1[i + 1]);
        s0[i] = 1.0 / a0[i] - (u * s1[i] + v * s2[i]);
    }
    double tr = 0.0;
    for (Index i = 0; i < n; ++i) tr += s0[i] * r0[i];
    for (Index i = 0; i + 1 < n; ++i) tr += 2.0 * s1[i] * r1[i];
    factor(b0, b1, b2);
    // Pivot by pivot: A and B differ little when lam is large, and a difference of the
    // two sums of logarithms would lose those digits.
    double logdet = 0.0;
    for (Index i = 0; i < n; ++i) logdet += std::log(a0[i] / b0[i]);
    return {2.0 + tr / lam, logdet};
}

FitStats fit_stats(const FitResult& fit, const std::vector<double>& w, double lam) {
    const Index dim = fit.y.cols;
    FitStats out;
    for (Index k = 0; k < fit.interval_cell.size(); ++k) {
        const std::vector<Index>& run = fit.interval_cell[k];
        const Index i = run.front(), len = run.size();
        const PPForm& pp = fit.pp_cell[k];
        const SmootherStats s = smoother_stats(VecView(fit.x.data() + i, len, sizeof(double)),
                                               VecView(w.data() + i, len, sizeof(double)), lam);
        out.edf += static_cast<double>(dim) * s.trace;
        out.logdet += static_cast<double>(dim) * s.logdet;
        if (len < 2) continue;  // a lone sample is fitted exactly
        // The piece that starts at sample t holds the fitted value there as its
        // constant term (the last sample's is the extension piece).
        for (Index t = 0; t < len; ++t)
            for (Index j = 0; j < dim; ++j) {
                const double e = fit.y(i + t, j) - pp.coefs((1 + t) * dim + j, 3);
                out.rss += w[i + t] * (e * e);
            }
    }
    return out;
}

}  // namespace velk
