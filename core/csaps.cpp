#include "csaps.hpp"

#include <vector>

namespace velk {
namespace {

PPForm make_pp(const VecView& x, Index dim) {
    PPForm pp;
    pp.breaks.resize(x.size());
    for (Index i = 0; i < x.size(); ++i) pp.breaks[i] = x[i];
    pp.coefs = Matrix((x.size() - 1) * dim, 4);
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

PPForm csaps(const VecView& x, const MatView& y, const VecView& w, double p) {
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
    std::vector<double> h(n - 1), r(n - 1), v(n);
    for (Index i = 0; i + 1 < n; ++i) {
        h[i] = x[i + 1] - x[i];
        r[i] = 1.0 / h[i];
    }
    for (Index k = 0; k < n; ++k) v[k] = 1.0 / w[k];

    // The banded system p*R + (1-p)*Q'W^-1 Q, held as its three diagonals.
    std::vector<double> a0(m), a1(m > 1 ? m - 1 : 0), a2(m > 2 ? m - 2 : 0);
    for (Index i = 0; i < m; ++i) {
        const double ri = r[i], ri1 = r[i + 1];
        a0[i] = ((h[i] + h[i + 1]) / 3) * p +
                ((ri1 * ri1) * v[i + 2] + ((ri * ri) * v[i] + ((ri + ri1) * (ri + ri1)) * v[i + 1])) * omp;
        if (i + 2 <= m) {
            const double ri2 = r[i + 2];
            a1[i] = (h[i + 1] / 6) * p +
                    (-((ri1 + ri2) * ri1) * v[i + 2] - ((ri + ri1) * ri1) * v[i + 1]) * omp;
        }
        if (i + 3 <= m) a2[i] = (v[i + 2] * (ri1 * r[i + 2])) * omp;
    }

    // Right-hand side p*Q'y, solved in place into the interior second derivatives.
    Matrix g(m, dim);
    for (Index i = 0; i < m; ++i) {
        const double ri = r[i], ri1 = r[i + 1];
        double* gi = g.row(i);
        for (Index j = 0; j < dim; ++j)
            gi[j] = (y(i + 2, j) * ri1 + (y(i, j) * ri - y(i + 1, j) * (ri + ri1))) * p;
    }

    // A = L diag(d) L' without pivoting; l1, l2 are L's two sub-diagonals.
    std::vector<double> d(m), l1(m, 0.0), l2(m, 0.0);
    d[0] = a0[0];
    if (m >= 2) {
        l1[1] = a1[0] / d[0];
        d[1] = a0[1] - (l1[1] * l1[1]) * d[0];
    }
    for (Index i = 2; i < m; ++i) {
        l2[i] = a2[i - 2] / d[i - 2];
        l1[i] = (a1[i - 1] - (l1[i - 1] * l2[i]) * d[i - 2]) / d[i - 1];
        d[i] = a0[i] - ((l1[i] * l1[i]) * d[i - 1] + (l2[i] * l2[i]) * d[i - 2]);
    }

    if (m >= 2)
        for (Index j = 0; j < dim; ++j) g(1, j) = g(1, j) - l1[1] * g(0, j);
    for (Index i = 2; i < m; ++i) {
        double* gi = g.row(i);
        const double* g1 = g.row(i - 1);
        const double* g2 = g.row(i - 2);
        for (Index j = 0; j < dim; ++j) gi[j] = (gi[j] - l1[i] * g1[j]) - l2[i] * g2[j];
    }
    for (Index i = 0; i < m; ++i) {
        double* gi = g.row(i);
        for (Index j = 0; j < dim; ++j) gi[j] = gi[j] / d[i];
    }
    for (Index i = m - 1; i-- > 0;) {
        double* gi = g.row(i);
        const double* g1 = g.row(i + 1);
        for (Index j = 0; j < dim; ++j) gi[j] = gi[j] - l1[i + 1] * g1[j];
        if (i + 2 <= m - 1) {
            const double* g2 = g.row(i + 2);
            for (Index j = 0; j < dim; ++j) gi[j] = gi[j] - l2[i + 2] * g2[j];
        }
    }

    // Second derivatives at all samples: zero at both ends (natural spline).
    Matrix c(n, dim);
    for (Index k = 1; k + 1 < n; ++k)
        for (Index j = 0; j < dim; ++j) c(k, j) = g(k - 1, j);

    // Fitted values: y minus the smoothing correction (Q c) (1-p)/p / w.
    Matrix f(n, dim);
    for (Index k = 0; k < n; ++k)
        for (Index j = 0; j < dim; ++j) f(k, j) = y(k, j);
    if (omp != 0.0 && dim > 0) {
        const double lambda = omp / p;
        for (Index k = 0; k < n; ++k)
            for (Index j = 0; j < dim; ++j) {
                double s = 0.0;
                if (k >= 2) s = r[k - 1] * c(k - 1, j);
                if (k >= 1 && k + 2 <= n) s = s - (r[k - 1] + r[k]) * c(k, j);
                if (k + 3 <= n) s = s + r[k] * c(k + 1, j);
                f(k, j) = y(k, j) - (s * lambda) / w[k];
            }
    }

    PPForm pp = make_pp(x, dim);
    for (Index i = 0; i + 1 < n; ++i) {
        const double hi = h[i];
        for (Index j = 0; j < dim; ++j) {
            double* row = pp.coefs.row(i * dim + j);
            const double ci = c(i, j), ci1 = c(i + 1, j);
            row[0] = (ci1 - ci) / (hi * 6);
            row[1] = ci * 0.5;
            row[2] = (f(i + 1, j) - f(i, j)) / hi - ((ci + ci) + ci1) * (hi / 6);
            row[3] = f(i, j);
        }
    }
    return pp;
}

}  // namespace velk
