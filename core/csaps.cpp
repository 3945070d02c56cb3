#include "csaps.hpp"

#include <utility>
#include <vector>

namespace velk {
namespace {

// Breaks and zero coefficients, with room for the two pieces that
// PPForm::extend adds, so that it extends in place.
PPForm make_pp(const VecView& x, Index dim) {
    const Index n = x.size();
    PPForm pp;
    reserve_large(pp.breaks, n + 2);
    pp.breaks.resize(n);
    for (Index i = 0; i < n; ++i) pp.breaks[i] = x[i];
    pp.coefs.rows = (n - 1) * dim;
    pp.coefs.cols = 4;
    reserve_large(pp.coefs.data, (n + 1) * dim * 4);
    pp.coefs.data.resize((n - 1) * dim * 4, 0.0);
    pp.dim = dim;
    pp.order = 4;
    return pp;
}

// p = 0: every piece carries the weighted least-squares line of its component.
PPForm least_squares_line(const VecView& x, const MatView& y, const VecView& w) {
    const Index n = x.size();
    const Index dim = y.cols();
    double sw = 0.0, sx = 0.0, sxx = 0.0;
    std::vector<double> sy(dim, 0.0), sxy(dim, 0.0);
    for (Index k = 0; k < n; ++k) {
        const double wk = w[k], xk = x[k];
        sw += wk;
        sx += wk * xk;
        sxx += (wk * xk) * xk;
        for (Index j = 0; j < dim; ++j) {
            const double ykj = y(k, j);
            sy[j] += wk * ykj;
            sxy[j] += (xk * wk) * ykj;
        }
    }
    const double det = sxx * sw - sx * sx;
    std::vector<double> slope(dim), icpt(dim);
    for (Index j = 0; j < dim; ++j) {
        if (det == 0.0) {
            slope[j] = 0.0;
            icpt[j] = sy[j] / sw;
        } else {
            slope[j] = (sw * sxy[j] - sy[j] * sx) / det;
            icpt[j] = (sxx * sy[j] - sxy[j] * sx) / det;
        }
    }
    PPForm pp = make_pp(x, dim);
    for (Index i = 0; i + 1 < n; ++i)
        for (Index j = 0; j < dim; ++j) {
            double* row = pp.coefs.row(i * dim + j);
            row[2] = slope[j];
            row[3] = x[i] * slope[j] + icpt[j];
        }
    return pp;
}

}  // namespace

PPForm csaps(const VecView& x, const MatView& y, const VecView& w, double p, Ticker& ticker) {
    const Index n = x.size();
    check(y.rows() == n, "y rows must equal x length");
    check(w.size() == n, "w length must equal x length");
    check(n >= 2, "csaps requires N >= 2");
    const Index dim = y.cols();

    if (n == 2) {
        PPForm pp = make_pp(x, dim);
        for (Index j = 0; j < dim; ++j) {
            double* row = pp.coefs.row(j);
            row[2] = (y(1, j) - y(0, j)) / (x[1] - x[0]);
            row[3] = y(0, j);
        }
        return pp;
    }
    if (p == 0.0) return least_squares_line(x, y, w);

    const Index m = n - 2;
    const double omp = 1.0 - p;

    // The banded system p*R + (1-p)*Q'W^-1 Q is factored as L diag(d) L' (l1, l2:
    // L's two sub-diagonals) while it is built, and the right-hand side p*Q'y is
    // forward-substituted in the same pass: row i of the system is consumed by
    // rows i..i+2 of the factor, so its diagonals, the spacings h, their
    // reciprocals r and v = 1/w live in a sliding window, not in n-vectors.
    std::vector<double> d = large_vector(m, 0.0), l1 = large_vector(m, 0.0),
                        l2 = large_vector(m, 0.0);
    Matrix g(m, dim);
    double h0 = x[1] - x[0], h1 = x[2] - x[1], h2 = 0.0;
    double r0 = 1.0 / h0, r1 = 1.0 / h1, r2 = 0.0;
    double v0 = 1.0 / w[0], v1 = 1.0 / w[1];
    double a1_prev = 0.0, a2_prev2 = 0.0, a2_prev = 0.0;  // a1[i-1], a2[i-2], a2[i-1]
    double d_prev = 0.0, d_prev2 = 0.0, l1_prev = 0.0;    // d[i-1], d[i-2], l1[i-1]
    double g_prev = 0.0, g_prev2 = 0.0;                   // rows i-1, i-2 when dim = 1
    for (Index i = 0; i < m; ++i) {
        ticker.tick(4);  // this pass and the two after it
        const double v2 = 1.0 / w[i + 2];
        if (i + 2 <= n - 2) {
            h2 = x[i + 3] - x[i + 2];
            r2 = 1.0 / h2;
        }
        const double a0 = ((h0 + h1) / 3) * p +
                          ((r1 * r1) * v2 + ((r0 * r0) * v0 + ((r0 + r1) * (r0 + r1)) * v1)) * omp;
        double a1 = 0.0, a2 = 0.0;
        if (i + 2 <= m) a1 = (h1 / 6) * p + (-((r1 + r2) * r1) * v2 - ((r0 + r1) * r1) * v1) * omp;
        if (i + 3 <= m) a2 = (v2 * (r1 * r2)) * omp;

        // The factorisation is a chain through d[i-1] and l1[i-1] (and the
        // substitutions one through the previous rows), so those stay in
        // registers rather than being read back from the arrays just written.
        double di, l1i = 0.0, l2i = 0.0;
        if (i == 0) {
            di = a0;
        } else if (i == 1) {
            l1i = a1_prev / d_prev;
            di = a0 - (l1i * l1i) * d_prev;
        } else {
            l2i = a2_prev2 / d_prev2;
            l1i = (a1_prev - (l1_prev * l2i) * d_prev2) / d_prev;
            di = a0 - ((l1i * l1i) * d_prev + (l2i * l2i) * d_prev2);
        }
        d[i] = di;
        l1[i] = l1i;
        l2[i] = l2i;

        if (dim == 1) {
            double gi = (y(i + 2, 0) * r1 + (y(i, 0) * r0 - y(i + 1, 0) * (r0 + r1))) * p;
            if (i == 1)
                gi = gi - l1i * g_prev;
            else if (i >= 2)
                gi = (gi - l1i * g_prev) - l2i * g_prev2;
            g(i, 0) = gi;
            g_prev2 = g_prev;
            g_prev = gi;
        } else {
            double* gi = g.row(i);
            for (Index j = 0; j < dim; ++j)
                gi[j] = (y(i + 2, j) * r1 + (y(i, j) * r0 - y(i + 1, j) * (r0 + r1))) * p;
            if (i == 1) {
                const double* g1 = g.row(0);
                for (Index j = 0; j < dim; ++j) gi[j] = gi[j] - l1i * g1[j];
            } else if (i >= 2) {
                const double* g1 = g.row(i - 1);
                const double* g2 = g.row(i - 2);
                for (Index j = 0; j < dim; ++j) gi[j] = (gi[j] - l1i * g1[j]) - l2i * g2[j];
            }
        }

        d_prev2 = d_prev;
        d_prev = di;
        l1_prev = l1i;
        a1_prev = a1;
        a2_prev2 = a2_prev;
        a2_prev = a2;
        h0 = h1, h1 = h2;
        r0 = r1, r1 = r2;
        v0 = v1, v1 = v2;
    }

    // Diagonal and backward substitution in one pass: g becomes the second
    // derivatives at x_1 .. x_(n-2).
    if (dim == 1) {
        double next = 0.0, next2 = 0.0;  // rows i+1 and i+2
        for (Index i = m; i-- > 0;) {
            double gi = g(i, 0) / d[i];
            if (i + 1 <= m - 1) gi = gi - l1[i + 1] * next;
            if (i + 2 <= m - 1) gi = gi - l2[i + 2] * next2;
            g(i, 0) = gi;
            next2 = next;
            next = gi;
        }
    } else {
        for (Index i = m; i-- > 0;) {
            double* gi = g.row(i);
            for (Index j = 0; j < dim; ++j) gi[j] = gi[j] / d[i];
            if (i + 1 <= m - 1) {
                const double* g1 = g.row(i + 1);
                for (Index j = 0; j < dim; ++j) gi[j] = gi[j] - l1[i + 1] * g1[j];
            }
            if (i + 2 <= m - 1) {
                const double* g2 = g.row(i + 2);
                for (Index j = 0; j < dim; ++j) gi[j] = gi[j] - l2[i + 2] * g2[j];
            }
        }
    }

    // Second derivative at sample k, zero at both ends (natural spline).
    auto c = [&](Index k, Index j) { return k == 0 || k == n - 1 ? 0.0 : g(k - 1, j); };
    // Fitted values at sample k: y minus the smoothing correction (Q c) (1-p)/p / w.
    // rl = r[k-1] (k >= 1), rk = r[k] (k <= n-2).
    const bool smooth = omp != 0.0 && dim > 0;
    const double lambda = smooth ? omp / p : 0.0;
    auto fitted = [&](Index k, double rl, double rk, double* f) {
        for (Index j = 0; j < dim; ++j) {
            if (!smooth) {
                f[j] = y(k, j);
                continue;
            }
            double s = 0.0;
            if (k >= 2) s = rl * c(k - 1, j);
            if (k >= 1 && k + 2 <= n) s = s - (rl + rk) * c(k, j);
            if (k + 3 <= n) s = s + rk * c(k + 1, j);
            f[j] = y(k, j) - (s * lambda) / w[k];
        }
    };

    // Coefficients piece by piece, the fitted values of its two ends in a
    // two-row window.
    PPForm pp = make_pp(x, dim);
    std::vector<double> f_window(2 * dim);
    double* fi = f_window.data();
    double* fi1 = f_window.data() + dim;
    double r_prev = 0.0, r_here = 1.0 / (x[1] - x[0]);
    fitted(0, r_prev, r_here, fi);
    for (Index i = 0; i + 1 < n; ++i) {
        const double hi = x[i + 1] - x[i];
        const double r_next = i + 2 < n ? 1.0 / (x[i + 2] - x[i + 1]) : 0.0;
        fitted(i + 1, r_here, r_next, fi1);
        for (Index j = 0; j < dim; ++j) {
            double* row = pp.coefs.row(i * dim + j);
            const double ci = c(i, j), ci1 = c(i + 1, j);
            row[0] = (ci1 - ci) / (hi * 6);
            row[1] = ci * 0.5;
            row[2] = (fi1[j] - fi[j]) / hi - ((ci + ci) + ci1) * (hi / 6);
            row[3] = fi[j];
        }
        std::swap(fi, fi1);
        r_prev = r_here;
        r_here = r_next;
    }
    return pp;
}

}  // namespace velk
