#include "line_search.hpp"

#include <cmath>

namespace velk {

namespace {

// Rotates row q against the pivot row p at column j, over columns j..width-1;
// nothing happens when q[j] or the rotation's norm is exactly zero.
inline void rotate(double* p, double* q, Index j, Index width) {
    if (q[j] == 0.0) return;
    const double rho = std::hypot(p[j], q[j]);
    if (rho == 0.0) return;
    const double cs = p[j] / rho;
    const double sn = q[j] / rho;
    for (Index t = j; t < width; ++t) {
        const double pt = p[t];
        const double qt = q[t];
        p[t] = sn * qt + cs * pt;
        q[t] = cs * qt - sn * pt;
    }
    q[j] = 0.0;
}

// Squared residual of a reduced row: its right-hand-side columns.
inline double residual(const double* q, Index width) {
    double sum = 0.0;
    for (Index t = 2; t < width; ++t) sum += q[t] * q[t];
    return sum;
}

inline void copy_row(const Matrix& M, Index i, double* dst) {
    const double* src = M.row(i);
    for (Index t = 0; t < M.cols; ++t) dst[t] = src[t];
}

}  // namespace

PartitionResult line_partition_search(const std::vector<double>& x, const Matrix& y,
                                      const std::vector<double>& delta, double gamma,
                                      Ticker& ticker) {
    const Index n = x.size();
    check(n >= 2 && y.rows == n && delta.size() == n,
          "line search needs n >= 2 consistent samples");
    const Index m = y.cols;
    const Index width = m + 2;

    // Rows [1, x, y...] / delta: the line's two regressors, then the values.
    Matrix M(n, width);
    for (Index i = 0; i < n; ++i) {
        double* row = M.row(i);
        const double d = delta[i];
        row[0] = 1.0 / d;
        row[1] = x[i] / d;
        const double* yi = y.row(i);
        for (Index k = 0; k < m; ++k) row[2 + k] = yi[k] / d;
    }

    // Two pivot rows and one row being reduced against them.
    std::vector<double> work(3 * width);
    double* p0 = work.data();
    double* p1 = p0 + width;
    double* q = p1 + width;

    PartitionResult res;
    res.F.assign(n, 0.0);
    res.partition.assign(n, 0);
    res.complexity_counter = n;
    auto& F = res.F;

    copy_row(M, 0, p0);
    copy_row(M, 1, p1);
    rotate(p0, p1, 0, width);
    double sum = 0.0;
    for (Index i = 2; i < n; ++i) {
        copy_row(M, i, q);
        rotate(p0, q, 0, width);
        rotate(p1, q, 1, width);
        sum += residual(q, width);
        F[i] = sum;
        ticker.tick();
    }

    if (gamma >= F[n - 1]) return res;

    std::uint64_t counter = res.complexity_counter;
    for (Index r = 2; r < n; ++r) {
        copy_row(M, r, p0);
        copy_row(M, r - 1, p1);
        rotate(p0, p1, 0, width);
        Index best = 0;
        double Fr = F[r];
        double E = 0.0;
        for (Index l = r - 1;;) {
            const double cand = (F[l - 1] + gamma) + E;
            if (Fr > cand) {
                Fr = cand;
                best = l;
            }
            if (l == 1) break;
            --l;
            copy_row(M, l, q);
            rotate(p0, q, 0, width);
            rotate(p1, q, 1, width);
            E = E + residual(q, width);
            ++counter;
            ticker.tick();
        }
        F[r] = Fr;
        res.partition[r] = best;
    }
    res.complexity_counter = counter;
    return res;
}

}  // namespace velk
