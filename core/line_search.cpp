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

LineModel::LineModel(const std::vector<double>& x, const Matrix& y,
                     const std::vector<double>& delta)
    : x_(x), y_(y), c_(large_vector(x.size(), 0.0)) {
    check(x.size() >= 2 && y.rows == x.size() && delta.size() == x.size(),
          "line model needs n >= 2 consistent samples");
    for (Index i = 0; i < x.size(); ++i) c_[i] = 1.0 / delta[i];
}

void LineModel::start(double* st, Index l) const {
    const Index m = dim();
    const double h = x_[l + 1] - x_[l];
    const double ca = c_[l], cb = c_[l + 1];
    // Rows [ca, -h ca | ca y_a] (f_a = f_b - h s) and [cb, 0 | cb y_b].
    double* b0 = st + 4;
    double* b1 = b0 + m;
    const double* ya = y_.row(l);
    const double* yb = y_.row(l + 1);
    const double a01 = -(h * ca);
    if (cb == 0.0) {
        st[0] = ca, st[1] = a01, st[2] = 0.0;
        for (Index k = 0; k < m; ++k) b0[k] = ca * ya[k], b1[k] = 0.0;
    } else {
        const double rho = std::hypot(ca, cb);
        const double cs = ca / rho, sn = cb / rho;
        st[0] = rho;
        st[1] = cs * a01;
        st[2] = -(sn * a01);
        for (Index k = 0; k < m; ++k) {
            const double da = ca * ya[k], db = cb * yb[k];
            b0[k] = cs * da + sn * db;
            b1[k] = cs * db - sn * da;
        }
    }
    st[3] = 0.0;
}

void LineModel::extend(double* st, Index r) const {
    const Index m = dim();
    const double h = x_[r] - x_[r - 1];
    const double cb = c_[r];
    const double* yb = y_.row(r);
    double* b0 = st + 4;
    double* b1 = b0 + m;
    const double r01 = st[1] - h * st[0];
    if (cb == 0.0) {
        st[1] = r01;  // a sample without weight only moves the end
        return;
    }
    // The data row [cb, 0 | cb y] against row 0, then what is left of it,
    // [0, q | d], against row 1.
    const double rho = std::hypot(st[0], cb);
    const double cs = st[0] / rho, sn = cb / rho;
    const double q = -(sn * r01);
    st[0] = rho;
    st[1] = cs * r01;
    const bool second = q != 0.0;
    double cs2 = 1.0, sn2 = 0.0;
    if (second) {
        const double rho2 = std::hypot(st[2], q);
        cs2 = st[2] / rho2;
        sn2 = q / rho2;
        st[2] = rho2;
    }
    double increment = 0.0;
    for (Index k = 0; k < m; ++k) {
        const double data = cb * yb[k];
        const double d = cs * data - sn * b0[k];
        b0[k] = cs * b0[k] + sn * data;
        double res = d;
        if (second) {
            res = cs2 * d - sn2 * b1[k];
            b1[k] = cs2 * b1[k] + sn2 * d;
        }
        increment += res * res;
    }
    st[3] = increment + st[3];
}

std::vector<double> LineModel::prefix_energies(Ticker& ticker) const {
    const Index n = x_.size();
    std::vector<double> F = large_vector(n, 0.0);
    std::vector<double> state(state_size(dim()));
    start(state.data(), 0);
    for (Index r = 2; r < n; ++r) {
        extend(state.data(), r);
        F[r] = state[3];
        ticker.tick();
    }
    return F;
}

}  // namespace velk
