#include "dominance.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fast_root.hpp"

namespace velk::engine {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A candidate goes only if it costs more than the other by this fraction of
// their costs everywhere it matters: far beyond the rounding of the energies,
// so that pruning cannot turn a near-tie the other way.
constexpr double kMargin = 1e-10;

// Steps of the cut test's search for its multiplier once bracketed: with 3
// the live set at L = 4096 (10^5 samples) was half as large again as with 6,
// and 10 feed 15 % fewer samples than 6 there at no more time (the search
// gives up early where no multiplier can certify, see CutTest::by); 16 drop
// hardly more.
constexpr int kSections = 10;

// max over mu of -mu rho - G1/(lo1 + mu) - G2/(lo2 + mu), over the mu >= 0
// that keep every lo_i + mu > 0 (a term with G_i = 0 needs only >= 0). Every
// such mu gives a lower bound (weak duality), so the solve need not be exact:
// Newton on the secular equation sum G_i/(lo_i + mu)^2 = rho, in the form
// 1/|x(mu)| = 1/sqrt(rho), which is concave, so that steps from the left of
// the root stay left of it and inside the domain. The dual is concave too and
// rises up to the root, so the last step is the best: only there (and at the
// boundary) is its value computed, by the same divisions as ever; the steps
// themselves share reciprocals, which can only move where the solve stops.
// `at` is set to the mu of the value returned (infinite where the region is
// its centre alone).
double ball_bound(double lo1, double lo2, double g1, double g2, double rho, double& at) {
    auto phi = [&](double mu) {
        const double d1 = lo1 + mu, d2 = lo2 + mu;
        if ((g1 > 0.0 && !(d1 > 0.0)) || (g2 > 0.0 && !(d2 > 0.0)) || d1 < 0.0 || d2 < 0.0)
            return -kInf;
        const double t = (g1 > 0.0 ? g1 / d1 : 0.0) + (g2 > 0.0 ? g2 / d2 : 0.0);
        return mu > 0.0 ? -mu * rho - t : -t;
    };
    const double mu_lo = std::max(0.0, -std::min(lo1, lo2));
    at = mu_lo;
    if (rho == kInf) return mu_lo == 0.0 ? phi(0.0) : -kInf;
    at = kInf;
    if (rho <= 0.0) return 0.0;  // the region is the centre alone
    at = mu_lo;
    // The secular sum and its slope, s2 = sum G_i/d_i^2 and s3 = sum G_i/d_i^3.
    auto slope = [&](double mu, double& s2, double& s3) {
        const double i1 = g1 > 0.0 ? 1.0 / (lo1 + mu) : 0.0, i2 = g2 > 0.0 ? 1.0 / (lo2 + mu) : 0.0;
        const double a1 = g1 * i1 * i1, a2 = g2 * i2 * i2;
        s2 = a1 + a2;
        s3 = a1 * i1 + a2 * i2;
    };
    double s2 = 0.0, s3 = 0.0;
    const double at_lo = phi(mu_lo);
    if (at_lo > -kInf) {
        slope(mu_lo, s2, s3);
        if (s2 <= rho) return at_lo;  // the maximum sits at the boundary
    }
    // Each term alone bounds the root from below: G_i/(lo_i + mu)^2 <= rho.
    double mu = std::max({mu_lo, std::sqrt(g1 / rho) - lo1, std::sqrt(g2 / rho) - lo2});
    const double inv_rho = 1.0 / rho;
    for (int it = 0; it < 6; ++it) {
        slope(mu, s2, s3);
        if (!(s2 > rho) || !(s3 > 0.0)) break;
        const double next = mu + s2 * (std::sqrt(s2 * inv_rho) - 1.0) / s3;
        if (!(next > mu)) break;
        mu = next;
    }
    const double v = phi(mu);
    if (v > at_lo || !(at_lo > -kInf)) {
        at = mu;
        return std::max(at_lo, v);
    }
    return at_lo;
}

double ball_bound(double lo1, double lo2, double g1, double g2, double rho) {
    double at = 0.0;
    return ball_bound(lo1, lo2, g1, g2, rho, at);
}

// l's coordinates w = R_l z for another candidate o: C_o = c_o + |M w - b_o|^2
// with M = R_o R_l^-1 (upper triangular), and a bound on the cancellation in
// its corner, which the rounding bounds below carry.
struct Relative {
    double m11, m12, m22, big12;
    Relative(const double* rl, const double* ro) {
        m11 = ro[0] / rl[0];
        m22 = ro[2] / rl[2];
        const double p12 = m11 * rl[1];
        m12 = (ro[1] - p12) / rl[2];
        big12 = std::fabs(m12) + (std::fabs(ro[1]) + std::fabs(p12)) / std::fabs(rl[2]);
    }
    double size() const { return std::fabs(m11) + big12 + std::fabs(m22); }
    double square() const { return m11 * m11 + big12 * big12 + m22 * m22; }
};

// The eigenvalues hi >= lo of the symmetric [[a, b], [b, c]] and the unit
// eigenvector (ux, uy) of hi; (-uy, ux) is lo's.
struct Eigen2 {
    double hi, lo, ux, uy;
};
Eigen2 eigen2(double a, double b, double c) {
    const double half = 0.5 * (a - c);
    const double rad = FastRoot::of(half, b);
    const double mid = 0.5 * (a + c);
    double ux, uy;
    if (half >= 0.0) {
        ux = half + rad;
        uy = b;
    } else {
        ux = b;
        uy = rad - half;
    }
    const double un = FastRoot::of(ux, uy);
    if (un > 0.0) {
        ux /= un;
        uy /= un;
    } else {
        ux = 1.0;
        uy = 0.0;
    }
    return {mid + rad, mid - rad, ux, uy};
}

// Component c of o's offset e = b_o - M b_l in l's coordinates, and a bound
// on its rounding.
struct Offset {
    double e0, e1, err;
};
Offset offset(const Relative& m, const Quadratic& l, const Quadratic& o, Index c) {
    const double bl0 = l.b0[c], bl1 = l.b1[c], bo0 = o.b0[c], bo1 = o.b1[c];
    const double q1 = m.m22 * bl1;
    return {bo0 - (m.m11 * bl0 + m.m12 * bl1), bo1 - q1,
            8.0 * kEps *
                (std::fabs(bo0) + std::fabs(bo1) + std::fabs(m.m11 * bl0) +
                 m.big12 * std::fabs(bl1) + std::fabs(q1))};
}

}  // namespace

// Whether candidate l can be dropped for candidate j, older or newer.
//
// l can win at a later end only where C_l < top + gamma, top the larger of
// F[r-1] and F[r]: the start r+1 (or r, for the next end) costs that plus the
// energy of the samples after r, and no later sample can cost l less. Both
// candidates take the same samples from here on, so if C_l - C_j exceeds a
// margin on that region, j (or whatever drops j in turn, more cheaply still
// on a region holding l's) beats l at every later end, and l goes.
//
// In w = R_l z the difference is
//   dC + |w - b_l|^2 - |M w - b_j|^2,   M = R_j R_l^-1,  dC = the costs' gap,
// and with v = w - b_l, e = b_j - M b_l and the eigenvectors u_i of
// I - M M' (eigenvalues 1 - s_i^2), per component and direction
//   (1 - s_i^2) t_i^2 + 2 s_i t_i (u_i'e) - (u_i'e)^2,   sum t_i^2 <= rho.
// For an older j the s_i exceed 1 and the difference is not convex; the
// S-lemma bound adds mu (sum t^2 - rho) <= 0 and minimises freely, which is
// a bound only while every curvature 1 - s_i^2 + mu stays positive. Those
// curvatures are lowered and the linear terms raised by the rounding of M, e
// and the eigenvalues, so the certificate holds for the exact quadratics.
bool dominated(const Quadratic& l, const Quadratic& j, Index m, double gamma, double top) {
    const double cl = l.base + l.energy;
    const double cj = j.base + j.energy;
    const double tol = kMargin * (std::fabs(cl) + std::fabs(cj) + std::fabs(gamma));
    double bound = cl - cj;
    if (!(bound > tol)) return false;
    double rho = (top - cl) + tol;
    if (rho < 0.0) return true;
    if (!(rho >= 0.0)) rho = kInf;

    const Relative rel(l.r, j.r);
    const double m11 = rel.m11, m12 = rel.m12, m22 = rel.m22, big12 = rel.big12;

    // Most tests fail, about half of them on the constants alone: reject those
    // before the eigen-decomposition. The loop below adds (|u1'e| + err)^2 +
    // (|u2'e| + err)^2 per component, with the same e and u2 the exact
    // quarter turn of u1, so its sum is at least |u1|^2 |e|^2, |u1|^2 = 1 to
    // a few ulps: rejecting on |e|^2 less 1e-12 of it rejects only the pairs
    // that the loop rejects, and the same ones.
    double e2c = 0.0;
    for (Index k = 0; k < m; ++k) {
        const auto [e0, e1, err] = offset(rel, l, j, k);
        e2c += e0 * e0 + e1 * e1;
        if (!(bound - e2c * (1.0 - 1e-12) > tol)) return false;
    }

    // K = I - M M' and its eigen-decomposition.
    const double a = (1.0 - m11 * m11) - m12 * m12;
    const double b = -(m12 * m22);
    const double c = 1.0 - m22 * m22;
    const Eigen2 eig = eigen2(a, b, c);
    const double lam1 = eig.hi, lam2 = eig.lo, u1x = eig.ux, u1y = eig.uy;
    const double u2x = -u1y, u2y = u1x;
    const double eta =
        16.0 * kEps *
        (1.0 + m11 * m11 + big12 * big12 + m22 * m22 + std::fabs(a) + std::fabs(b) + std::fabs(c));
    const double lo1 = lam1 - eta, lo2 = lam2 - eta;
    const double sg1 = 1.0 - lam1 + eta, sg2 = 1.0 - lam2 + eta;  // s_i^2, rounded up

    double e2 = 0.0, t1s = 0.0, t2s = 0.0;
    for (Index k = 0; k < m; ++k) {
        const auto [e0, e1, err] = offset(rel, l, j, k);
        const double t1 = std::fabs(u1x * e0 + u1y * e1) + err;
        const double t2 = std::fabs(u2x * e0 + u2y * e1) + err;
        e2 += t1 * t1 + t2 * t2;
        t1s += t1 * t1;
        t2s += t2 * t2;
        // The ball's part is never positive: the constants alone must leave
        // more than the margin.
        if (!(bound - e2 > tol)) return false;
    }
    const double g1 = std::max(0.0, sg1) * t1s, g2 = std::max(0.0, sg2) * t2s;
    // ball_bound is the dual of min sum_i lo_i t_i^2 - 2 sqrt(g_i) t_i over
    // sum t_i^2 <= rho, so any such t bounds it from above: the best point on
    // the ray along (sqrt g1, sqrt g2) is one, found in closed form. When even
    // it leaves no margin the dual cannot, and the secular solve is spared.
    // Every term of ball_bound's value has one sign, so its rounding is a few
    // ulps of it, far inside the 1e-12 given here.
    if (rho > 0.0 && rho < kInf && g1 + g2 > 0.0) {
        const double gs = g1 + g2;
        const double curv = (lo1 * g1 + lo2 * g2) / gs;
        const double lin = std::sqrt(gs), radius = std::sqrt(rho);
        const double ray = curv > 0.0 && lin < curv * radius ? -(lin * lin) / curv
                                                             : curv * rho - 2.0 * lin * radius;
        if (bound - e2 + ray + 1e-12 * (std::fabs(bound) + e2 + std::fabs(ray)) <= tol)
            return false;
    }
    const double inner = ball_bound(lo1, lo2, g1, g2, rho);
    if (!(inner > -kInf)) return false;
    // Rounding of the bound's own few operations, far below the margin.
    const double slack = 8.0 * kEps * (std::fabs(bound) + e2 + std::fabs(inner));
    return bound - e2 + inner - slack > tol;
}

// l (one component) against an older j on the part of its region where a
// newer k does not beat it by the pair's margin: at every z of the region one
// of them then does, which is all the argument of `dominated` needs (each
// drop holds pointwise, whatever drops j or k later).
// With v = w - b_l in l's coordinates, e = b_j - M b_l and f = b_k - N b_l
// (N for k as M for j), tol_j and tol_k the pairs' margins:
//   C_l - C_j         = dcj + v'A v + 2 a'v,  A = I - M'M, a = M'e,
//   C_l - C_k - tol_k = dck + v'B v + 2 b'v,  B = I - N'N, b = N'f,
// dcj and dck their values at v = 0. Weak duality bounds the least C_l - C_j
// over {|v|^2 <= rho, C_l - C_k - tol_k <= 0} from below, for any
// mu0, mu1 >= 0 that keep K + mu0 I positive definite, K = A + mu1 B, by
//   dcj + mu1 dck - mu0 rho - q'(K + mu0 I)^-1 q,   q = a + mu1 b.
// For fixed mu1 the best mu0 is ball_bound's secular solve in K's
// eigenbasis, with K's eigenvalues lowered and q's projections, |e|^2 and
// |f|^2 raised beyond the rounding of M, N, e and f, as `dominated` does:
// that value certifies. The best bound over mu1 is concave in mu1 with slope
// C_l - C_k - tol_k at the Lagrangian's minimiser v (the envelope theorem),
// so mu1 is found by regula falsi on that slope; where v lies in the set and
// C_l - C_j is within the margin there, no multiplier can certify and the
// search stops. Those steering values need no care: an error in them can cost
// a drop, never cause one. (C_l - C_k is convex, k holding a subset of l's
// rows, which makes the bound tight more often; nothing rests on it.)
// At mu1 = 0 the bound is j's on the whole region, and its minimiser v0 is
// j's worst point there. That part is k's alone, so the constructor does the
// rest once.
// Every certificate is a lower bound of C_l - C_j on the cut region, so one
// point of the region where C_l - C_j <= tol_j shows that none exists, and
// the search stops there. Most tests end so: the region's worst points for
// j lie near the line through two Lagrangian minimisers (for mu1 = 0, v0 and
// the centre), and that line's points in the region are an interval found
// in closed form. Rounding there can only cost a drop.
namespace {

// v'A v + 2 a'v of a side.
template <class Side>
double quadratic(const Side& s, double v0, double v1) {
    return v0 * (s.A[0] * v0 + 2.0 * s.A[1] * v1) + v1 * s.A[2] * v1 +
           2.0 * (s.a[0] * v0 + s.a[1] * v1);
}

// Narrows [a, b] to the t where c0 + 2 c1 t + c2 t^2 <= 0, for c2 > 0;
// false if nothing is left (or c2 <= 0, which only rounding gives here).
bool narrow(double c0, double c1, double c2, double& a, double& b) {
    const double disc = c1 * c1 - c0 * c2;
    if (!(c2 > 0.0) || !(disc >= 0.0)) return false;
    const double root = std::sqrt(disc);
    a = std::max(a, (-c1 - root) / c2);
    b = std::min(b, (-c1 + root) / c2);
    return a <= b;
}

}  // namespace

namespace {

// A side's difference along the line p + t d: c0 + 2 c1 t + c2 t^2.
template <class Side>
void along(const Side& s, double at0, const double* p, const double* d, double c[3]) {
    const double s0 = s.A[0] * p[0] + s.A[1] * p[1] + s.a[0];
    const double s1 = s.A[1] * p[0] + s.A[2] * p[1] + s.a[1];
    c[0] = at0 + quadratic(s, p[0], p[1]);
    c[1] = s0 * d[0] + s1 * d[1];
    c[2] = d[0] * (s.A[0] * d[0] + 2.0 * s.A[1] * d[1]) + d[1] * s.A[2] * d[1];
}

}  // namespace

// The line p + t (q - p) within the ball, and C_l - C_j along it: what does
// not depend on k.
CutTest::Line CutTest::line(const double* p, const double* q) const {
    Line out;
    out.p[0] = p[0];
    out.p[1] = p[1];
    out.d[0] = q[0] - p[0];
    out.d[1] = q[1] - p[1];
    along(j_, dcj_, out.p, out.d, out.f);
    out.empty = !narrow(p[0] * p[0] + p[1] * p[1] - rho_, p[0] * out.d[0] + p[1] * out.d[1],
                        out.d[0] * out.d[0] + out.d[1] * out.d[1], out.a, out.b);
    return out;
}

// Whether j fails to beat l by its margin somewhere on the line's part of the
// cut region.
bool CutTest::fails_on(const Cut& cut, const Line& line) const {
    double g[3];
    along(cut.k, cut.dck, line.p, line.d, g);
    double a = line.a, b = line.b;
    if (line.empty || !narrow(g[0], g[1], g[2], a, b)) return false;
    // The interval's ends are points of the region. C_l - C_j is least at one
    // of them where it is concave along the line, as for most older j
    // (I - M'M negative definite).
    const double* f = line.f;
    auto value = [&](double t) { return f[0] + t * (2.0 * f[1] + t * f[2]); };
    return std::min(value(a), value(b)) <= tol_j_;
}

CutTest::Side CutTest::side(const Quadratic& l, const Quadratic& o) {
    const Relative m(l.r, o.r);
    const auto [e0, e1, de] = offset(m, l, o, 0);
    Side out;
    out.e2 = e0 * e0 + e1 * e1;
    out.e2_up =
        (std::fabs(e0) + de) * (std::fabs(e0) + de) + (std::fabs(e1) + de) * (std::fabs(e1) + de);
    out.da = m.size() * (de + 8.0 * kEps * (std::fabs(e0) + std::fabs(e1)));
    out.eta = 16.0 * kEps * (1.0 + m.square());
    out.a[0] = m.m11 * e0;
    out.a[1] = m.m12 * e0 + m.m22 * e1;
    out.A[0] = 1.0 - m.m11 * m.m11;
    out.A[1] = -(m.m11 * m.m12);
    out.A[2] = (1.0 - m.m12 * m.m12) - m.m22 * m.m22;
    return out;
}

CutTest::CutTest(const Quadratic& l, const Quadratic& j, double gamma, double top)
    : l_(l), gamma_(gamma), cl_(l.base + l.energy) {
    const double cj = j.base + j.energy;
    tol_j_ = kMargin * (std::fabs(cl_) + std::fabs(cj) + std::fabs(gamma));
    rho_ = (top - cl_) + tol_j_;
    if (rho_ < 0.0) {
        verdict_ = Verdict::Drop;
        return;
    }
    if (!(rho_ < kInf)) {
        verdict_ = Verdict::Keep;
        return;
    }
    j_ = side(l, j);
    dcj_ = (cl_ - cj) - j_.e2;
    sure_j_ = (cl_ - cj) - j_.e2_up;
    const Probe at = probe(Cut{}, 0.0);
    if (at.bound > tol_j_) {
        verdict_ = Verdict::Drop;
        return;
    }
    bound0_ = at.bound;
    v0_[0] = at.v[0];
    v0_[1] = at.v[1];
    const double centre[2] = {0.0, 0.0};
    centre_ = line(centre, v0_);
    verdict_ = Verdict::Try;
}

CutTest::Probe CutTest::probe(const Cut& cut, double mu1) const {
    const Side& k = cut.k;
    const double h00 = j_.A[0] + mu1 * k.A[0], h01 = j_.A[1] + mu1 * k.A[1],
                 h11 = j_.A[2] + mu1 * k.A[2];
    const Eigen2 eig = eigen2(h00, h01, h11);
    const double ux = eig.ux, uy = eig.uy;
    const double eta =
        j_.eta + mu1 * k.eta + 16.0 * kEps * (std::fabs(h00) + std::fabs(h01) + std::fabs(h11));
    const double q0 = j_.a[0] + mu1 * k.a[0], q1 = j_.a[1] + mu1 * k.a[1];
    const double p1 = ux * q0 + uy * q1, p2 = ux * q1 - uy * q0;
    const double err = j_.da + mu1 * k.da;
    const double t1 = std::fabs(p1) + err, t2 = std::fabs(p2) + err;
    const double k1 = eig.hi, k2 = eig.lo;
    double mu0 = 0.0;
    const double inner = ball_bound(k1 - eta, k2 - eta, t1 * t1, t2 * t2, rho_, mu0);
    Probe out{-kInf, 0.0, 0.0, 0.0};
    if (inner > -kInf) {
        const double slack = 8.0 * kEps *
                             (std::fabs(sure_j_) + 2.0 * j_.e2_up +
                              mu1 * (std::fabs(cut.sure) + 2.0 * k.e2_up) + std::fabs(inner));
        out.bound = (sure_j_ + mu1 * cut.sure) + inner - slack;
    }
    // The Lagrangian's minimiser v = -(K + mu0 I)^-1 q, in K's eigenbasis.
    const double d1 = k1 + mu0, d2 = k2 + mu0;
    const double w1 = d1 > 0.0 && mu0 < kInf ? -p1 / d1 : 0.0;
    const double w2 = d2 > 0.0 && mu0 < kInf ? -p2 / d2 : 0.0;
    out.v[0] = ux * w1 - uy * w2;
    out.v[1] = uy * w1 + ux * w2;
    out.g = cut.dck + quadratic(k, out.v[0], out.v[1]);
    return out;
}

// The bound over mu1 is concave, so below the tangents at the bracket's two
// ends (rising at the lower, falling at the upper) and at most their crossing:
// once that is within the margin no multiplier certifies and the search
// stops. Like the line test it only steers, so rounding can only cost a drop.
bool CutTest::Tangent::may_exceed(const Tangent& below, const Tangent& above, double tol) {
    if (!(below.value > -kInf) || !(above.value > -kInf) || !(below.slope > 0.0) ||
        !(above.slope < 0.0))
        return true;
    const double cross =
        (above.value - below.value + below.slope * below.mu - above.slope * above.mu) /
        (below.slope - above.slope);
    return below.value + below.slope * (cross - below.mu) > tol;
}

bool CutTest::by(const Quadratic& k) {
    if (verdict_ != Verdict::Try) return verdict_ == Verdict::Drop;
    const double ck = k.base + k.energy;
    const double tol_k = kMargin * (std::fabs(cl_) + std::fabs(ck) + std::fabs(gamma_));
    Cut cut;
    cut.k = side(l_, k);
    cut.dck = ((cl_ - ck) - tol_k) - cut.k.e2;
    cut.sure = ((cl_ - ck) - tol_k) - cut.k.e2_up;
    if (fails_on(cut, centre_)) return false;
    // A bracket of the slope's root by growth from mu1 = 0, then regula falsi
    // with the Illinois halving. Each probe certifies, or shows on the line
    // from the last minimiser that nothing can, or goes on.
    double last[2] = {v0_[0], v0_[1]};
    Probe at{};
    auto settled = [&](double mu1, bool& drop) {
        at = probe(cut, mu1);
        ++probes_;
        drop = at.bound > tol_j_;
        if (drop || fails_on(cut, line(last, at.v))) return true;
        last[0] = at.v[0];
        last[1] = at.v[1];
        return false;
    };
    bool drop = false;
    // The bracket starts at v0, which k must cut off (at v0, j does not beat
    // l by the margin).
    double lo = 0.0, glo = cut.dck + quadratic(cut.k, v0_[0], v0_[1]), hi = 1.0;
    if (!(glo > 0.0)) return false;
    // The bracket's ends as probed: bound and slope (glo and ghi are the
    // secant's, halved by Illinois).
    Tangent below{bound0_, glo, 0.0}, above{};
    for (;;) {
        if (settled(hi, drop)) return drop;
        if (!(at.g > 0.0)) break;
        lo = hi;
        glo = at.g;
        below = {at.bound, at.g, hi};
        hi *= 16.0;
        if (hi > 1e8) return false;
    }
    double ghi = at.g;
    above = {at.bound, at.g, hi};
    int side = 0;
    for (int it = 0; it < kSections; ++it) {
        if (!Tangent::may_exceed(below, above, tol_j_)) return false;
        double mu1 = lo + (hi - lo) * glo / (glo - ghi);
        if (!(mu1 > lo && mu1 < hi)) mu1 = 0.5 * (lo + hi);
        if (settled(mu1, drop)) return drop;
        if (at.g > 0.0) {
            lo = mu1;
            glo = at.g;
            below = {at.bound, at.g, mu1};
            if (side == 1) ghi *= 0.5;
            side = 1;
        } else {
            hi = mu1;
            ghi = at.g;
            above = {at.bound, at.g, mu1};
            if (side == -1) glo *= 0.5;
            side = -1;
        }
    }
    return false;
}

}  // namespace velk::engine
