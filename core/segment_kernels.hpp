// The extension kernels of SegmentState, templated on how a plane rotation
// takes its root (Root::of(a, b)). The core instantiates them with Hypot, whose
// arithmetic is fixed; a caller that controls the scaling of its data may
// instantiate them with a cheaper root by including this header.
#pragma once

#include "segment.hpp"

namespace velk {

namespace segment_detail {

// One plane rotation's coefficients.
struct Rot {
    double cs, sn;
};

template <class Root>
inline Rot rotation(double pivot, double q) {
    const double rho = Root::of(pivot, q);
    return {pivot / rho, q / rho};
}

// The data row [0, 0, c_b, 0] of a new sample rotated against the pivot row
// (.., a22, a23) at column 2; `left` is what stays of the row in column 3.
// Does nothing when c_b is exactly zero.
template <class Root>
inline bool rotate_data_row(double c_b, double& a22, double& a23, double& left, Rot& g) {
    if (c_b == 0.0) return false;
    g = rotation<Root>(a22, c_b);
    const double p22 = a22, p23 = a23;
    a22 = g.sn * c_b + g.cs * p22;
    a23 = g.sn * 0.0 + g.cs * p23;
    left = g.cs * 0.0 - g.sn * p23;
    return true;
}

// W independent extensions run together, so that their chains of dependent
// rotations overlap. Only for the usual pattern: every rotation of the sweep
// performed except the one of row 3 in column 2 (whose entry is zero unless a
// NaN or inf came through). Returns false, leaving every state untouched,
// when any lane departs from it; the caller then extends them one by one.
template <int W, class Root>
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
        g0[w] = rotation<Root>(st[0], jobs[w].rows->k);
        g1[w] = rotation<Root>(st[2], jobs[w].rows->ra);
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
        g2[w] = rotation<Root>(a11, a21);
        a22[w] = g2[w].cs * a22[w] - g2[w].sn * a12;
        a23[w] = g2[w].cs * a23[w] - g2[w].sn * a13;
    }
    for (int w = 0; w < W; ++w) {
        const double c_b = jobs[w].c_b;
        g3[w] = rotation<Root>(a22[w], c_b);
        const double p22 = a22[w], p23 = a23[w];
        a22[w] = g3[w].sn * c_b + g3[w].cs * p22;
        a23[w] = g3[w].sn * 0.0 + g3[w].cs * p23;
        a43[w] = g3[w].cs * 0.0 - g3[w].sn * p23;
        usual = usual && a43[w] != 0.0;
    }
    if (!usual) return false;
    for (int w = 0; w < W; ++w) {
        g5[w] = rotation<Root>(a33[w], a43[w]);
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

template <int W, class Root>
void extend_group(const ExtendJob* jobs, Index m) {
    if (!extend_lanes<W, Root>(jobs, m))
        for (int w = 0; w < W; ++w)
            SegmentState(jobs[w].state, m).extend<Root>(*jobs[w].rows, jobs[w].c_b, jobs[w].y_b);
}

}  // namespace segment_detail

template <class Root>
void SegmentState::extend(const CurvatureRows& k, double c_b, const VecView& y_b) {
    // A = [r22 r23 0 0; 0 r33 0 0; k qa nk qb; 0 ra 0 nrb; 0 0 c_b 0],
    // B = [b2; b3; 0; 0; c_b y_b].
    const double r22 = p_[0], r23 = p_[1], r33 = p_[2];
    // Column 0: row 2 against row 0.
    const bool rot0 = k.k != 0.0;
    segment_detail::Rot g0{};
    double a21 = k.qa, a22 = k.nk, a23 = k.qb;
    if (rot0) {
        g0 = segment_detail::rotation<Root>(r22, k.k);
        a21 = g0.cs * k.qa - g0.sn * r23;
        a22 = g0.cs * k.nk - g0.sn * 0.0;
        a23 = g0.cs * k.qb - g0.sn * 0.0;
    }
    // Column 1: row 3, then row 2, against row 1.
    const bool rot1 = k.ra != 0.0;
    segment_detail::Rot g1{};
    double a11 = r33, a12 = 0.0, a13 = 0.0, a32 = 0.0, a33 = k.nrb;
    if (rot1) {
        g1 = segment_detail::rotation<Root>(r33, k.ra);
        a11 = g1.sn * k.ra + g1.cs * r33;
        a12 = g1.sn * 0.0 + g1.cs * 0.0;
        a13 = g1.sn * k.nrb + g1.cs * 0.0;
        a32 = g1.cs * 0.0 - g1.sn * 0.0;
        a33 = g1.cs * k.nrb - g1.sn * 0.0;
    }
    const bool rot2 = a21 != 0.0;
    segment_detail::Rot g2{};
    if (rot2) {
        g2 = segment_detail::rotation<Root>(a11, a21);
        a22 = g2.cs * a22 - g2.sn * a12;
        a23 = g2.cs * a23 - g2.sn * a13;
    }
    // Column 2: row 4, then row 3 (zero unless a NaN came through), against row 2.
    segment_detail::Rot g3{};
    double a43 = 0.0;
    const bool rot3 = segment_detail::rotate_data_row<Root>(c_b, a22, a23, a43, g3);
    const bool rot4 = a32 != 0.0;
    segment_detail::Rot g4{};
    if (rot4) {
        g4 = segment_detail::rotation<Root>(a22, a32);
        const double p22 = a22, p23 = a23;
        a22 = g4.sn * a32 + g4.cs * p22;
        a23 = g4.sn * a33 + g4.cs * p23;
        a33 = g4.cs * a33 - g4.sn * p23;
    }
    // Column 3: row 4 against row 3.
    const bool rot5 = a43 != 0.0;
    segment_detail::Rot g5{};
    if (rot5) {
        g5 = segment_detail::rotation<Root>(a33, a43);
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

template <class Root>
void SegmentState::extend_jobs(const ExtendJob* jobs, Index count, Index m) {
    Index k = 0;
    for (; k + 4 <= count; k += 4) segment_detail::extend_group<4, Root>(jobs + k, m);
    if (k + 2 <= count) {
        segment_detail::extend_group<2, Root>(jobs + k, m);
        k += 2;
    }
    if (k < count)
        SegmentState(jobs[k].state, m).extend<Root>(*jobs[k].rows, jobs[k].c_b, jobs[k].y_b);
}

template <class Root>
void SegmentState::extend_packed(double* first, Index count, Index m, const CurvatureRows& rows,
                                 double c_b, const VecView& y_b) {
    constexpr Index W = 4;
    const Index stride = size(m);
    ExtendJob jobs[W];
    for (Index w = 0; w < W; ++w) jobs[w] = {nullptr, &rows, c_b, y_b};
    Index k = 0;
    for (; k + W <= count; k += W) {
        for (Index w = 0; w < W; ++w) jobs[w].state = first + (k + w) * stride;
        segment_detail::extend_group<W, Root>(jobs, m);
    }
    for (; k < count; ++k) SegmentState(first + k * stride, m).extend<Root>(rows, c_b, y_b);
}

}  // namespace velk
