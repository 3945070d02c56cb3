#include "ar1.hpp"

#include <cmath>
#include <string>

#include "fast_root.hpp"
#include "wide_extend.hpp"

namespace velk::engine {

namespace {

// One plane rotation and the new pivot it makes. An all-zero pair is left
// alone (identity), so a rank-deficient system stays finite.
struct Rot {
    double cs, sn, rho;
};

inline Rot rotation(double pivot, double q) {
    const double rho = FastRoot::of(pivot, q);
    if (!(rho > 0.0)) return {1.0, 0.0, pivot};
    const double inv = 1.0 / rho;
    return {pivot * inv, q * inv, rho};
}

// Spacings within this fraction of their mean count as even: phi_b = phi then.
constexpr double kEven = 1e-9;

}  // namespace

Checked<std::vector<double>> ar1_correlations(const std::vector<double>& x, double phi) {
    if (!(phi > -1.0 && phi < 1.0))
        return InvalidInput{"phi must satisfy -1 < phi < 1, got " + format_shortest(phi)};
    const Index n = x.size();
    std::vector<double> out = large_vector(n, phi);
    out[0] = 0.0;
    if (n < 2) return out;
    const double h = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    bool even = true;
    for (Index b = 1; b < n && even; ++b) even = std::fabs((x[b] - x[b - 1]) - h) <= kEven * h;
    if (even) return out;
    if (phi < 0.0)
        return InvalidInput{
            "phi < 0 needs evenly spaced x: the correlation phi**(dx / h) between uneven "
            "samples is defined for phi >= 0 only, got " +
            format_shortest(phi)};
    for (Index b = 1; b < n; ++b) out[b] = std::pow(phi, (x[b] - x[b - 1]) / h);
    return out;
}

Ar1Model make_ar1_model(const PreparedData& data, double p, Precondition precondition,
                        const std::vector<double>& phi) {
    Ar1Model model;
    model.base = make_segment_model(data, p, precondition);
    const Index n = model.n();
    check(phi.size() == n, "one correlation per interval");
    const std::vector<double>& c = model.base.c;
    model.a = large_vector(n, 0.0);
    model.g = large_vector(n, 0.0);
    for (Index b = 1; b < n; ++b) {
        const double r = phi[b];
        const double scale = 1.0 / std::sqrt((1.0 - r) * (1.0 + r));
        model.a[b] = c[b - 1] * scale;
        model.g[b] = (r * c[b]) * scale;
    }
    return model;
}

void Ar1Model::row_rhs(Index b, double* out) const {
    const VecView ya = base.y.row(b - 1), yb = base.y.row(b);
    const double wa = a[b], wb = g[b];
    for (Index t = 0; t < dim(); ++t) out[t] = wa * ya[t] - wb * yb[t];
}

// The start: rows K1 = [k qa nk qb], K2 = [0 ra 0 nrb] (curvature) and the AR
// row A = [a 0 -g 0 | rhs] on (f_a, u_a, f_b, u_b). Eliminating f_a and u_a
// leaves one row on (f_b, u_b), so D has rank one and its minimum is 0.
void Ar1State::start(const Ar1Model& model, double* st, Index l) {
    const SegmentModel& sm = model.base;
    const Index m = model.dim(), b = l + 1;
    const CurvatureRows& k = sm.rows[l];
    const Rot g0 = rotation(k.k, model.a[b]);
    const double a1 = -g0.sn * k.qa;
    const double a2 = g0.cs * -model.g[b] - g0.sn * k.nk;
    const double a3 = -g0.sn * k.qb;
    const Rot g1 = rotation(k.ra, a1);
    double r0 = g1.cs * a2, r1 = g1.cs * a3 - g1.sn * k.nrb;
    double scale = g1.cs * g0.cs;
    if (r0 < 0.0) {  // a non-negative pivot, as every rotation leaves it
        r0 = -r0;
        r1 = -r1;
        scale = -scale;
    }
    st[0] = r0;
    st[1] = r1;
    st[2] = 0.0;
    st[3] = 0.0;
    const VecView ya = sm.y.row(l), yb = sm.y.row(b);
    const double wa = model.a[b], wb = model.g[b];
    for (Index t = 0; t < m; ++t) {
        st[4 + t] = scale * (wa * ya[t] - wb * yb[t]);
        st[4 + m + t] = 0.0;
    }
}

namespace {

// The rotations of one extension, which depend on the state's factor only.
struct ExtendRots {
    Rot g0, g1, g2, g3, g4, g5, g6, g7;
    double r1;  // the new factor's off-diagonal entry
};

// A state [P0 = (p0 p1 0 0), P1 = (0 p2 0 0)] meets K1, K2 and A. Columns f_a
// and u_a are eliminated against P0 and P1 (whose final rows are not needed),
// then the three rows left on (f_b, u_b) are triangularised; the last one's
// residual is the energy's increment.
inline ExtendRots extend_rotations(const double* st, const CurvatureRows& k, double wa, double wb) {
    ExtendRots o{};
    const double p1 = st[1];
    o.g0 = rotation(st[0], k.k);
    const double q1 = o.g0.cs * p1 + o.g0.sn * k.qa, q2 = o.g0.sn * k.nk, q3 = o.g0.sn * k.qb;
    const double k1 = o.g0.cs * k.qa - o.g0.sn * p1, k2 = o.g0.cs * k.nk, k3 = o.g0.cs * k.qb;
    o.g1 = rotation(o.g0.rho, wa);
    const double a1 = -o.g1.sn * q1, a2 = -o.g1.cs * wb - o.g1.sn * q2, a3 = -o.g1.sn * q3;
    o.g2 = rotation(st[2], k1);
    const double s2 = o.g2.sn * k2, s3 = o.g2.sn * k3;
    const double u2 = o.g2.cs * k2, u3 = o.g2.cs * k3;
    o.g3 = rotation(o.g2.rho, k.ra);
    const double t2 = o.g3.cs * s2, t3 = o.g3.cs * s3 + o.g3.sn * k.nrb;
    const double v2 = -o.g3.sn * s2, v3 = o.g3.cs * k.nrb - o.g3.sn * s3;
    o.g4 = rotation(o.g3.rho, a1);
    const double w2 = o.g4.cs * a2 - o.g4.sn * t2, w3 = o.g4.cs * a3 - o.g4.sn * t3;
    o.g5 = rotation(u2, v2);
    const double uu3 = o.g5.cs * u3 + o.g5.sn * v3, vv3 = o.g5.cs * v3 - o.g5.sn * u3;
    o.g6 = rotation(o.g5.rho, w2);
    o.r1 = o.g6.cs * uu3 + o.g6.sn * w3;
    const double ww3 = o.g6.cs * w3 - o.g6.sn * uu3;
    o.g7 = rotation(vv3, ww3);
    return o;
}

// The same rotations on one component's right-hand side; returns the
// residual of the row that leaves.
inline double extend_rhs(const ExtendRots& o, double& b0, double& b1, double rhs) {
    const double q = o.g0.cs * b0, k = -o.g0.sn * b0;
    const double a = o.g1.cs * rhs - o.g1.sn * q;
    const double s = o.g2.cs * b1 + o.g2.sn * k, u = o.g2.cs * k - o.g2.sn * b1;
    const double t = o.g3.cs * s, v = -o.g3.sn * s;
    const double w = o.g4.cs * a - o.g4.sn * t;
    const double uu = o.g5.cs * u + o.g5.sn * v, vv = o.g5.cs * v - o.g5.sn * u;
    b0 = o.g6.cs * uu + o.g6.sn * w;
    const double ww = o.g6.cs * w - o.g6.sn * uu;
    b1 = o.g7.cs * vv + o.g7.sn * ww;
    return o.g7.cs * ww - o.g7.sn * vv;
}

}  // namespace

void Ar1State::extend_packed(const Ar1Model& model, double* first, Index count, Index b,
                             const double* rhs) {
    const SegmentModel& sm = model.base;
    const Index m = model.dim(), stride = size(m);
    const CurvatureRows& k = sm.rows[b - 1];
    const double wa = model.a[b], wb = model.g[b];
    extend_in_groups(
        first, count, stride,
        [&](double* group, Index lanes) {
            return extend_ar1_wide(group, lanes, m, k, wa, wb, rhs);
        },
        [&](double* st) {
            const ExtendRots o = extend_rotations(st, k, wa, wb);
            double* b0 = st + 4;
            double* b1 = b0 + m;
            double increment = 0.0;
            for (Index t = 0; t < m; ++t) {
                const double res = extend_rhs(o, b0[t], b1[t], rhs[t]);
                increment += res * res;
            }
            st[0] = o.g6.rho;
            st[1] = o.r1;
            st[2] = o.g7.rho;
            st[3] = increment + st[3];
        });
}

// min over theta of D(theta) + (c_r (f_r - y_r))^2: the row [c_r 0 | c_r y_r]
// rotated against the factor's two rows.
double Ar1State::energy(const Ar1Model& model, const double* st, Index r) {
    const Index m = model.dim();
    const double c = model.base.c[r];
    const VecView y = model.base.y.row(r);
    const Rot g = rotation(st[0], c);
    const Rot h = rotation(st[2], -g.sn * st[1]);
    double sum = 0.0;
    for (Index t = 0; t < m; ++t) {
        const double rem = g.cs * (c * y[t]) - g.sn * st[4 + t];
        const double res = h.cs * rem - h.sn * st[4 + m + t];
        sum += res * res;
    }
    return st[3] + sum;
}

std::vector<double> ar1_prefix_energies(const Ar1Model& model, Ticker& ticker) {
    const Index n = model.n(), m = model.dim();
    check(n >= 2 && model.a.size() == n && model.g.size() == n,
          "AR(1) model needs n >= 2 consistent samples");
    std::vector<double> F = large_vector(n, 0.0);
    std::vector<double> state(Ar1State::size(m)), rhs(m);
    Ar1State::start(model, state.data(), 0);
    for (Index i = 2; i < n; ++i) {
        model.row_rhs(i, rhs.data());
        Ar1State::extend_packed(model, state.data(), 1, i, rhs.data());
        F[i] = Ar1State::energy(model, state.data(), i);
        ticker.tick();
    }
    return F;
}

}  // namespace velk::engine
