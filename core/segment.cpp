#include "segment.hpp"

#include <cmath>

namespace velk {

namespace {

constexpr double kSqrt3 = 1.7320508075688772;

// One plane rotation's coefficients.
struct Rot {
    double cs, sn;
};

inline Rot rotation(double pivot, double q) {
    const double rho = std::hypot(pivot, q);
    return {pivot / rho, q / rho};
}

// The data row [0, 0, c_b, 0] of a new sample rotated against the pivot row
// (.., a22, a23) at column 2; `left` is what stays of the row in column 3.
// Does nothing when c_b is exactly zero.
inline bool rotate_data_row(double c_b, double& a22, double& a23, double& left, Rot& g) {
    if (c_b == 0.0) return false;
    g = rotation(a22, c_b);
    const double p22 = a22, p23 = a23;
    a22 = g.sn * c_b + g.cs * p22;
    a23 = g.sn * 0.0 + g.cs * p23;
    left = g.cs * 0.0 - g.sn * p23;
    return true;
}

}  // namespace

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
    const double h15 = std::pow(h, -1.5);
    const double h05 = std::pow(h, -0.5);
    return {
        ((2.0 * s) * kSqrt3) * h15,  ((tau_a * s) * kSqrt3) * h05,
        ((-2.0 * s) * kSqrt3) * h15, ((tau_b * s) * kSqrt3) * h05,
        (tau_a * s) * h05,           ((-tau_b) * s) * h05,
    };
}

// The kernels below triangularise the start (4 x 4) and extension (5 x 4)
// systems by Givens rotations, every row against the pivot row of its column,
// on their fixed sparsity pattern. Entries that are zero by construction and
// untouched so far are skipped without a test; entries that a rotation may
// have changed keep their runtime zero test (an exact zero is not rotated).
// Zeros that take part in a performed rotation are multiplied out literally
// (sn * 0.0), so NaN and inf spread exactly as in a generic sweep. Rows that
// are final and not kept in the state (the pivot rows 0 and 1) are not
// computed.

void SegmentState::start(const CurvatureRows& k, double c_a, double c_b, const VecView& y_a,
                         const VecView& y_b) {
    // A = [c_a 0 0 0; k qa nk qb; 0 ra 0 nrb; 0 0 c_b 0], B = [c_a y_a; 0; 0; c_b y_b].
    // Column 0: only row 1 can be non-zero.
    const bool rot0 = k.k != 0.0;
    Rot g0{};
    double a11 = k.qa, a12 = k.nk, a13 = k.qb;
    if (rot0) {
        g0 = rotation(c_a, k.k);
        a11 = g0.cs * k.qa - g0.sn * 0.0;
        a12 = g0.cs * k.nk - g0.sn * 0.0;
        a13 = g0.cs * k.qb - g0.sn * 0.0;
    }
    // Column 1: only row 2 can be non-zero.
    const bool rot1 = k.ra != 0.0;
    Rot g1{};
    double a22 = 0.0, a23 = k.nrb;
    if (rot1) {
        g1 = rotation(a11, k.ra);
        a22 = g1.cs * 0.0 - g1.sn * a12;
        a23 = g1.cs * k.nrb - g1.sn * a13;
    }
    // Column 2: row 3.
    Rot g2{};
    double a33 = 0.0;
    const bool rot2 = rotate_data_row(c_b, a22, a23, a33, g2);
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

void SegmentState::extend(const CurvatureRows& k, double c_b, const VecView& y_b) {
    // A = [r22 r23 0 0; 0 r33 0 0; k qa nk qb; 0 ra 0 nrb; 0 0 c_b 0],
    // B = [b2; b3; 0; 0; c_b y_b].
    const double r22 = p_[0], r23 = p_[1], r33 = p_[2];
    // Column 0: row 2 against row 0.
    const bool rot0 = k.k != 0.0;
    Rot g0{};
    double a21 = k.qa, a22 = k.nk, a23 = k.qb;
    if (rot0) {
        g0 = rotation(r22, k.k);
        a21 = g0.cs * k.qa - g0.sn * r23;
        a22 = g0.cs * k.nk - g0.sn * 0.0;
        a23 = g0.cs * k.qb - g0.sn * 0.0;
    }
    // Column 1: row 3, then row 2, against row 1.
    const bool rot1 = k.ra != 0.0;
    Rot g1{};
    double a11 = r33, a12 = 0.0, a13 = 0.0, a32 = 0.0, a33 = k.nrb;
    if (rot1) {
        g1 = rotation(r33, k.ra);
        a11 = g1.sn * k.ra + g1.cs * r33;
        a12 = g1.sn * 0.0 + g1.cs * 0.0;
        a13 = g1.sn * k.nrb + g1.cs * 0.0;
        a32 = g1.cs * 0.0 - g1.sn * 0.0;
        a33 = g1.cs * k.nrb - g1.sn * 0.0;
    }
    const bool rot2 = a21 != 0.0;
    Rot g2{};
    if (rot2) {
        g2 = rotation(a11, a21);
        a22 = g2.cs * a22 - g2.sn * a12;
        a23 = g2.cs * a23 - g2.sn * a13;
    }
    // Column 2: row 4, then row 3 (zero unless a NaN came through), against row 2.
    Rot g3{};
    double a43 = 0.0;
    const bool rot3 = rotate_data_row(c_b, a22, a23, a43, g3);
    const bool rot4 = a32 != 0.0;
    Rot g4{};
    if (rot4) {
        g4 = rotation(a22, a32);
        const double p22 = a22, p23 = a23;
        a22 = g4.sn * a32 + g4.cs * p22;
        a23 = g4.sn * a33 + g4.cs * p23;
        a33 = g4.cs * a33 - g4.sn * p23;
    }
    // Column 3: row 4 against row 3.
    const bool rot5 = a43 != 0.0;
    Rot g5{};
    if (rot5) {
        g5 = rotation(a33, a43);
        a33 = g5.sn * a43 + g5.cs * a33;
    }
    p_[0] = a22;
    p_[1] = a23;
    p_[2] = a33;

    double* b2 = p_ + 4;
    double* b3 = p_ + 4 + m_;
    double increment = 0.0;
    for (Index t = 0; t < m_; ++t) {
        const double r0 = b2[t];
        double r1 = b3[t];
        double r4 = c_b * y_b[t];
        double r2 = rot0 ? g0.cs * 0.0 - g0.sn * r0 : 0.0;
        double r3 = 0.0;
        if (rot1) {
            r3 = g1.cs * 0.0 - g1.sn * r1;
            r1 = g1.sn * 0.0 + g1.cs * r1;
        }
        if (rot2) r2 = g2.cs * r2 - g2.sn * r1;
        if (rot3) {
            const double p = r2;
            r2 = g3.sn * r4 + g3.cs * p;
            r4 = g3.cs * r4 - g3.sn * p;
        }
        if (rot4) {
            const double p = r2;
            r2 = g4.sn * r3 + g4.cs * p;
            r3 = g4.cs * r3 - g4.sn * p;
        }
        if (rot5) {
            const double p = r3;
            r3 = g5.sn * r4 + g5.cs * p;
            r4 = g5.cs * r4 - g5.sn * p;
        }
        b2[t] = r2;
        b3[t] = r3;
        increment += r4 * r4;
    }
    p_[3] = increment + p_[3];
}

namespace {

// W independent extensions run together, so that their chains of dependent
// rotations overlap. Only for the usual pattern: every rotation of the sweep
// performed except the one of row 3 in column 2 (whose entry is zero unless a
// NaN or inf came through). Returns false, leaving every state untouched,
// when any lane departs from it; the caller then extends them one by one.
template <int W>
bool extend_lanes(const ExtendJob* jobs, Index m) {
    Rot g0[W], g1[W], g2[W], g3[W], g5[W];
    double a22[W], a23[W], a33[W], a43[W];
    bool usual = true;
    for (int w = 0; w < W; ++w) {
        const CurvatureRows& k = *jobs[w].rows;
        usual = usual && k.k != 0.0 && k.ra != 0.0 && jobs[w].c_b != 0.0;
    }
    if (!usual) return false;
    for (int w = 0; w < W; ++w) {
        const double* st = jobs[w].state;
        g0[w] = rotation(st[0], jobs[w].rows->k);
        g1[w] = rotation(st[2], jobs[w].rows->ra);
    }
    for (int w = 0; w < W; ++w) {
        const CurvatureRows& k = *jobs[w].rows;
        const double r23 = jobs[w].state[1], r33 = jobs[w].state[2];
        const double a21 = g0[w].cs * k.qa - g0[w].sn * r23;
        a22[w] = g0[w].cs * k.nk - g0[w].sn * 0.0;
        a23[w] = g0[w].cs * k.qb - g0[w].sn * 0.0;
        const double a11 = g1[w].sn * k.ra + g1[w].cs * r33;
        const double a12 = g1[w].sn * 0.0 + g1[w].cs * 0.0;
        const double a13 = g1[w].sn * k.nrb + g1[w].cs * 0.0;
        const double a32 = g1[w].cs * 0.0 - g1[w].sn * 0.0;
        a33[w] = g1[w].cs * k.nrb - g1[w].sn * 0.0;
        usual = usual && a21 != 0.0 && !(a32 != 0.0);
        g2[w] = rotation(a11, a21);
        a22[w] = g2[w].cs * a22[w] - g2[w].sn * a12;
        a23[w] = g2[w].cs * a23[w] - g2[w].sn * a13;
    }
    for (int w = 0; w < W; ++w) {
        const double c_b = jobs[w].c_b;
        g3[w] = rotation(a22[w], c_b);
        const double p22 = a22[w], p23 = a23[w];
        a22[w] = g3[w].sn * c_b + g3[w].cs * p22;
        a23[w] = g3[w].sn * 0.0 + g3[w].cs * p23;
        a43[w] = g3[w].cs * 0.0 - g3[w].sn * p23;
        usual = usual && a43[w] != 0.0;
    }
    if (!usual) return false;
    for (int w = 0; w < W; ++w) {
        g5[w] = rotation(a33[w], a43[w]);
        a33[w] = g5[w].sn * a43[w] + g5[w].cs * a33[w];
    }
    double increment[W];
    for (int w = 0; w < W; ++w) increment[w] = 0.0;
    for (Index t = 0; t < m; ++t) {
        for (int w = 0; w < W; ++w) {
            double* b2 = jobs[w].state + 4;
            double* b3 = b2 + m;
            double r1 = b3[t];
            double r4 = jobs[w].c_b * jobs[w].y_b[t];
            double r2 = g0[w].cs * 0.0 - g0[w].sn * b2[t];
            double r3 = g1[w].cs * 0.0 - g1[w].sn * r1;
            r1 = g1[w].sn * 0.0 + g1[w].cs * r1;
            r2 = g2[w].cs * r2 - g2[w].sn * r1;
            double p = r2;
            r2 = g3[w].sn * r4 + g3[w].cs * p;
            r4 = g3[w].cs * r4 - g3[w].sn * p;
            p = r3;
            r3 = g5[w].sn * r4 + g5[w].cs * p;
            r4 = g5[w].cs * r4 - g5[w].sn * p;
            b2[t] = r2;
            b3[t] = r3;
            increment[w] += r4 * r4;
        }
    }
    for (int w = 0; w < W; ++w) {
        double* st = jobs[w].state;
        st[0] = a22[w];
        st[1] = a23[w];
        st[2] = a33[w];
        st[3] = increment[w] + st[3];
    }
    return true;
}

template <int W>
void extend_group(const ExtendJob* jobs, Index m) {
    if (!extend_lanes<W>(jobs, m))
        for (int w = 0; w < W; ++w)
            SegmentState(jobs[w].state, m).extend(*jobs[w].rows, jobs[w].c_b, jobs[w].y_b);
}

}  // namespace

void SegmentState::extend_jobs(const ExtendJob* jobs, Index count, Index m) {
    Index k = 0;
    for (; k + 4 <= count; k += 4) extend_group<4>(jobs + k, m);
    if (k + 2 <= count) {
        extend_group<2>(jobs + k, m);
        k += 2;
    }
    if (k < count) SegmentState(jobs[k].state, m).extend(*jobs[k].rows, jobs[k].c_b, jobs[k].y_b);
}

void SegmentState::extend_packed(double* first, Index count, Index m, const CurvatureRows& rows,
                                 double c_b, const VecView& y_b) {
    constexpr Index W = 4;
    const Index stride = size(m);
    ExtendJob jobs[W];
    for (Index w = 0; w < W; ++w) jobs[w] = {nullptr, &rows, c_b, y_b};
    Index k = 0;
    for (; k + W <= count; k += W) {
        for (Index w = 0; w < W; ++w) jobs[w].state = first + (k + w) * stride;
        extend_group<W>(jobs, m);
    }
    for (; k < count; ++k) SegmentState(first + k * stride, m).extend(rows, c_b, y_b);
}

std::vector<double> prefix_energies(const SegmentModel& model, Ticker& ticker) {
    const Index n = model.n();
    check(n >= 2 && model.h.size() == n - 1 && model.tau.size() == n && model.y.rows() == n,
          "segment model needs n >= 2 consistent samples");
    const Index m = model.dim();
    std::vector<double> F = large_vector(n, 0.0);
    std::vector<double> storage(SegmentState::size(m));
    SegmentState state(storage.data(), m);
    const auto& tau = model.tau;
    state.start(curvature_rows(model.h[0], model.s, tau[0], tau[1]), model.c[0], model.c[1],
                model.y.row(0), model.y.row(1));
    for (Index i = 2; i < n; ++i) {
        state.extend(curvature_rows(model.h[i - 1], model.s, tau[i - 1], tau[i]), model.c[i],
                     model.y.row(i));
        F[i] = state.energy();
        ticker.tick();
    }
    return F;
}

}  // namespace velk
