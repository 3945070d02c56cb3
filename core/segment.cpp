#include "segment.hpp"

#include <cmath>

#include "segment_kernels.hpp"

namespace velk {

SegmentModel make_segment_model(const PreparedData& data, double p, Precondition precondition) {
    const Index n = data.x.size();
    check(n >= 2 && data.delta.size() == n && data.y.rows == n,
          "segment model needs n >= 2 samples");
    SegmentModel model;
    model.y = MatView(data.y);
    model.c = large_vector(n, 0.0);
    const double sqrt_p = std::sqrt(p);
    for (Index i = 0; i < n; ++i) model.c[i] = sqrt_p / data.delta[i];
    model.h = large_vector(n - 1, 0.0);
    for (Index i = 0; i + 1 < n; ++i) model.h[i] = data.x[i + 1] - data.x[i];
    model.s = std::sqrt(1.0 - p);
    if (precondition == Precondition::Local)
        model.tau = local_tau(model.h, model.c, model.s);
    else
        model.tau = large_vector(n, 1.0);
    model.rows = large_vector(n - 1, CurvatureRows{});
    for (Index i = 0; i + 1 < n; ++i)
        model.rows[i] = curvature_rows(model.h[i], model.s, model.tau[i], model.tau[i + 1]);
    return model;
}

std::vector<double> local_tau(const std::vector<double>& h, const std::vector<double>& c,
                              double s) {
    const Index n = c.size();
    check(n >= 2 && h.size() == n - 1, "local_tau needs n >= 2 samples");
    std::vector<double> tau = large_vector(n, 1.0);
    const double s2 = s * s;
    if (s2 == 0.0) return tau;
    const double a_scale = 12.0 * s2;
    const double d_scale = 4.0 * s2;
    // tau_i^2 balances the value unknown's weight in the normal equations
    // (c_i^2 plus 12 s^2 / h^3 per interval) against the slope's (4 s^2 / h).
    auto cubic_inv = [](double g) { return 1.0 / ((g * g) * g); };
    auto edge = [&](double ci, double g) {
        return std::sqrt((ci * ci + cubic_inv(g) * a_scale) / ((1.0 / g) * d_scale));
    };
    tau[0] = edge(c[0], h[0]);
    tau[n - 1] = edge(c[n - 1], h[n - 2]);
    for (Index i = 1; i + 1 < n; ++i) {
        const double hl = h[i - 1];
        const double hr = h[i];
        tau[i] = std::sqrt((c[i] * c[i] + (cubic_inv(hl) + cubic_inv(hr)) * a_scale) /
                           ((1.0 / hl + 1.0 / hr) * d_scale));
    }
    return tau;
}

CurvatureRows curvature_rows(double h, double s, double tau_a, double tau_b) {
    return curvature_rows_of_powers(std::pow(h, -1.5), std::pow(h, -0.5), s, tau_a, tau_b);
}

// The start kernel below and the extension kernels (segment_kernels.hpp)
// triangularise the start (4 x 4) and extension (5 x 4) systems by Givens rotations, every row
// against the pivot row of its column, on their fixed sparsity pattern. Entries that are zero by
// construction and untouched so far are skipped without a test; entries that a rotation may have
// changed keep their runtime zero test (an exact zero is not rotated). Zeros that take part in a
// performed rotation are multiplied out literally (sn * 0.0), so NaN and inf spread exactly as in a
// generic sweep. Rows that are final and not kept in the state (the pivot rows 0 and 1) are not
// computed.

void SegmentState::start(const CurvatureRows& k, double c_a, double c_b, const VecView& y_a,
                         const VecView& y_b) {
    // A = [c_a 0 0 0; k qa nk qb; 0 ra 0 nrb; 0 0 c_b 0], B = [c_a y_a; 0; 0; c_b y_b].
    // Column 0: only row 1 can be non-zero.
    const bool rot0 = k.k != 0.0;
    segment_detail::Rot g0{};
    double a11 = k.qa, a12 = k.nk, a13 = k.qb;
    if (rot0) {
        g0 = segment_detail::rotation<Hypot>(c_a, k.k);
        a11 = g0.cs * k.qa - g0.sn * 0.0;
        a12 = g0.cs * k.nk - g0.sn * 0.0;
        a13 = g0.cs * k.qb - g0.sn * 0.0;
    }
    // Column 1: only row 2 can be non-zero.
    const bool rot1 = k.ra != 0.0;
    segment_detail::Rot g1{};
    double a22 = 0.0, a23 = k.nrb;
    if (rot1) {
        g1 = segment_detail::rotation<Hypot>(a11, k.ra);
        a22 = g1.cs * 0.0 - g1.sn * a12;
        a23 = g1.cs * k.nrb - g1.sn * a13;
    }
    // Column 2: row 3.
    segment_detail::Rot g2{};
    double a33 = 0.0;
    const bool rot2 = segment_detail::rotate_data_row<Hypot>(c_b, a22, a23, a33, g2);
    p_[0] = a22;
    p_[1] = a23;
    p_[2] = a33;
    p_[3] = 0.0;
    double* b2 = p_ + 4;
    double* b3 = p_ + 4 + m_;
    for (Index t = 0; t < m_; ++t) {
        const double r0 = c_a * y_a[t];
        double r3 = c_b * y_b[t];
        const double r1 = rot0 ? g0.cs * 0.0 - g0.sn * r0 : 0.0;
        double r2 = rot1 ? g1.cs * 0.0 - g1.sn * r1 : 0.0;
        if (rot2) {
            const double p = r2;
            r2 = g2.sn * r3 + g2.cs * p;
            r3 = g2.cs * r3 - g2.sn * p;
        }
        b2[t] = r2;
        b3[t] = r3;
    }
}

template void SegmentState::extend<Hypot>(const CurvatureRows&, double, const VecView&);
template void SegmentState::extend_packed<Hypot>(double*, Index, Index, const CurvatureRows&,
                                                 double, const VecView&);
template void SegmentState::extend_jobs<Hypot>(const ExtendJob*, Index, Index);

std::vector<double> prefix_energies(const SegmentModel& model, Ticker& ticker) {
    const Index n = model.n();
    check(n >= 2 && model.h.size() == n - 1 && model.tau.size() == n && model.y.rows() == n &&
              model.rows.size() == n - 1,
          "segment model needs n >= 2 consistent samples");
    const Index m = model.dim();
    std::vector<double> F = large_vector(n, 0.0);
    std::vector<double> storage(SegmentState::size(m));
    SegmentState state(storage.data(), m);
    state.start(model.rows[0], model.c[0], model.c[1], model.y.row(0), model.y.row(1));
    for (Index i = 2; i < n; ++i) {
        state.extend(model.rows[i - 1], model.c[i], model.y.row(i));
        F[i] = state.energy();
        ticker.tick();
    }
    return F;
}

}  // namespace velk
