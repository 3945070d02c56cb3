#include "line_states.hpp"

#include <cmath>

#include "fast_root.hpp"
#include "wide_extend.hpp"

namespace velk::engine {

LineModel::LineModel(std::span<const double> x, const Matrix& y, std::span<const double> delta)
    : x_(x), y_(y.data.data()), dim_(y.cols), c_(large_vector(x.size(), 0.0)) {
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
    const double* ya = row(l);
    const double* yb = row(l + 1);
    const double a01 = -(h * ca);
    if (cb == 0.0) {
        st[0] = ca, st[1] = a01, st[2] = 0.0;
        for (Index k = 0; k < m; ++k) b0[k] = ca * ya[k], b1[k] = 0.0;
    } else {
        const double rho = FastRoot::of(ca, cb);
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
    const double* yb = row(r);
    double* b0 = st + 4;
    double* b1 = b0 + m;
    const double r01 = st[1] - h * st[0];
    if (cb == 0.0) {
        st[1] = r01;  // a sample without weight only moves the end
        return;
    }
    // The data row [cb, 0 | cb y] against row 0, then what is left of it,
    // [0, q | d], against row 1.
    const double rho = FastRoot::of(st[0], cb);
    const double cs = st[0] / rho, sn = cb / rho;
    const double q = -(sn * r01);
    st[0] = rho;
    st[1] = cs * r01;
    const bool second = q != 0.0;
    double cs2 = 1.0, sn2 = 0.0;
    if (second) {
        const double rho2 = FastRoot::of(st[2], q);
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

void LineModel::extend_packed(double* first, Index count, Index r) const {
    const double h = x_[r] - x_[r - 1], cb = c_[r];
    extend_in_groups(
        first, count, state_size(dim()),
        [&](double* group, Index lanes) {
            return extend_lines_wide(group, lanes, dim(), h, cb, row(r));
        },
        [&](double* state) { extend(state, r); });
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

}  // namespace velk::engine
