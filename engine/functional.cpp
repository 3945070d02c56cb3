#include "functional.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fast_root.hpp"
#include "wide_extend.hpp"

namespace velk::engine {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A candidate goes only if it costs more than the other by this fraction of
// their costs everywhere it matters: far beyond the rounding of the energies,
// so that pruning cannot turn a near-tie the other way.
constexpr double kMargin = 1e-10;

// A pass tests every candidate once the steps since the last pass reach
// kPassEvery + kPassShare * (live candidates): O(1) tests per step whatever
// the live set. Measured on smooth signals with steps (dim 1 and 3, 10^5
// samples): passes every few steps keep the live set within 10-20 % of
// testing every pair at every step, at a few tests per sample, against about
// 30-45 extensions; rarer passes let the live set grow faster than they save.
constexpr Index kPassEvery = 4;
constexpr double kPassShare = 0.1;

// The farthest newer partner of the pruning pass (see prune_pass), and how
// many the offsets 4, 8, ..., kFarthest are.
constexpr Index kFarthest = 64;
constexpr Index far_partners() {
    Index count = 0;
    for (Index d = 4; d <= kFarthest; d *= 2) ++count;
    return count;
}

// The end-state quadratic of a candidate: the trailing triangular factor
// R = [[r0, r1], [0, r2]], rows b0 and b1 of the right-hand side (m values
// each), the energy, and the cost of the prefix before its start.
struct Quadratic {
    const double* r;
    const double* b0;
    const double* b1;
    double energy;
    double base;  // F[l-1]
};

// max over mu of -mu rho - G1/(lo1 + mu) - G2/(lo2 + mu), over the mu >= 0
// that keep every lo_i + mu > 0 (a term with G_i = 0 needs only >= 0). Every
// such mu gives a lower bound (weak duality), so the solve need not be exact:
// Newton on the secular equation sum G_i/(lo_i + mu)^2 = rho, in the form
// 1/|x(mu)| = 1/sqrt(rho), which is concave, so that steps from the left of
// the root stay left of it and inside the domain.
double ball_bound(double lo1, double lo2, double g1, double g2, double rho) {
    auto phi = [&](double mu) {
        const double d1 = lo1 + mu, d2 = lo2 + mu;
        if ((g1 > 0.0 && !(d1 > 0.0)) || (g2 > 0.0 && !(d2 > 0.0)) || d1 < 0.0 || d2 < 0.0)
            return -kInf;
        const double t = (g1 > 0.0 ? g1 / d1 : 0.0) + (g2 > 0.0 ? g2 / d2 : 0.0);
        return mu > 0.0 ? -mu * rho - t : -t;
    };
    const double mu_lo = std::max(0.0, -std::min(lo1, lo2));
    if (rho == kInf) return mu_lo == 0.0 ? phi(0.0) : -kInf;
    if (rho <= 0.0) return 0.0;  // the region is the centre alone
    auto slope = [&](double mu, double& s2, double& s3) {
        const double d1 = lo1 + mu, d2 = lo2 + mu;
        const double a1 = g1 > 0.0 ? g1 / (d1 * d1) : 0.0, a2 = g2 > 0.0 ? g2 / (d2 * d2) : 0.0;
        s2 = a1 + a2;
        s3 = (g1 > 0.0 ? a1 / d1 : 0.0) + (g2 > 0.0 ? a2 / d2 : 0.0);
    };
    double s2 = 0.0, s3 = 0.0;
    const double at_lo = phi(mu_lo);
    if (at_lo > -kInf) {
        slope(mu_lo, s2, s3);
        if (s2 <= rho) return at_lo;  // the maximum sits at the boundary
    }
    // Each term alone bounds the root from below: G_i/(lo_i + mu)^2 <= rho.
    double mu = std::max({mu_lo, std::sqrt(g1 / rho) - lo1, std::sqrt(g2 / rho) - lo2});
    double best = std::max(at_lo, phi(mu));
    for (int it = 0; it < 6; ++it) {
        slope(mu, s2, s3);
        if (!(s2 > rho) || !(s3 > 0.0)) break;
        const double next = mu + s2 * (std::sqrt(s2 / rho) - 1.0) / s3;
        if (!(next > mu)) break;
        mu = next;
        best = std::max(best, phi(mu));
    }
    return best;
}

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

    const double* rl = l.r;
    const double* rj = j.r;
    const double m11 = rj[0] / rl[0];
    const double m22 = rj[2] / rl[2];
    const double p12 = m11 * rl[1];
    const double m12 = (rj[1] - p12) / rl[2];
    const double s12 = (std::fabs(rj[1]) + std::fabs(p12)) / std::fabs(rl[2]);

    // Most tests fail, about half of them on the constants alone: reject those
    // before the eigen-decomposition. The loop below adds (|u1'e| + err)^2 +
    // (|u2'e| + err)^2 per component, with the same e and u2 the exact
    // quarter turn of u1, so its sum is at least |u1|^2 |e|^2, |u1|^2 = 1 to
    // a few ulps: rejecting on |e|^2 less 1e-12 of it rejects only the pairs
    // that the loop rejects, and the same ones.
    double e2c = 0.0;
    for (Index k = 0; k < m; ++k) {
        const double e0 = j.b0[k] - (m11 * l.b0[k] + m12 * l.b1[k]);
        const double e1 = j.b1[k] - m22 * l.b1[k];
        e2c += e0 * e0 + e1 * e1;
        if (!(bound - e2c * (1.0 - 1e-12) > tol)) return false;
    }

    // K = I - M M' and its eigen-decomposition.
    const double a = (1.0 - m11 * m11) - m12 * m12;
    const double b = -(m12 * m22);
    const double c = 1.0 - m22 * m22;
    const double half = 0.5 * (a - c);
    const double rad = FastRoot::of(half, b);
    const double mid = 0.5 * (a + c);
    const double lam1 = mid + rad, lam2 = mid - rad;
    double u1x, u1y;
    if (half >= 0.0) {
        u1x = half + rad;
        u1y = b;
    } else {
        u1x = b;
        u1y = rad - half;
    }
    const double un = FastRoot::of(u1x, u1y);
    if (un > 0.0) {
        u1x /= un;
        u1y /= un;
    } else {
        u1x = 1.0;
        u1y = 0.0;
    }
    const double u2x = -u1y, u2y = u1x;
    const double big12 = std::fabs(m12) + s12;
    const double eta =
        16.0 * kEps *
        (1.0 + m11 * m11 + big12 * big12 + m22 * m22 + std::fabs(a) + std::fabs(b) + std::fabs(c));
    const double lo1 = lam1 - eta, lo2 = lam2 - eta;
    const double sg1 = 1.0 - lam1 + eta, sg2 = 1.0 - lam2 + eta;  // s_i^2, rounded up

    double e2 = 0.0, t1s = 0.0, t2s = 0.0;
    for (Index k = 0; k < m; ++k) {
        const double bl0 = l.b0[k], bl1 = l.b1[k], bj0 = j.b0[k], bj1 = j.b1[k];
        const double q0 = m11 * bl0 + m12 * bl1;
        const double q1 = m22 * bl1;
        const double e0 = bj0 - q0, e1 = bj1 - q1;
        const double err = 8.0 * kEps *
                           (std::fabs(bj0) + std::fabs(bj1) + std::fabs(m11 * bl0) +
                            big12 * std::fabs(bl1) + std::fabs(q1));
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

// Candidates in start order: their states packed back to back, starts and
// the flags of one pruning pass.
class LiveSet {
public:
    explicit LiveSet(Index stride) : stride_(stride) {}

    Index size() const { return starts_.size(); }
    Index start(Index k) const { return starts_[k]; }
    double* state(Index k) { return states_.data() + k * stride_; }

    double* push(Index l) {
        starts_.push_back(l);
        keep_.push_back(1);
        states_.resize(states_.size() + stride_);
        return state(starts_.size() - 1);
    }
    void drop(Index k) { keep_[k] = 0; }
    bool kept(Index k) const { return keep_[k] != 0; }

    // Removes the dropped candidates, keeping the order.
    void compact() {
        Index kept = 0;
        for (Index k = 0; k < starts_.size(); ++k) {
            if (!keep_[k]) continue;
            if (kept != k) {
                std::copy_n(state(k), stride_, state(kept));
                starts_[kept] = starts_[k];
            }
            keep_[kept] = 1;
            ++kept;
        }
        starts_.resize(kept);
        keep_.resize(kept);
        states_.resize(kept * stride_);
    }

private:
    Index stride_;
    std::vector<Index> starts_;
    std::vector<unsigned char> keep_;
    std::vector<double> states_;
};

// Work arrays of a pruning pass, kept across passes so that passes do not
// allocate once the live set has reached its size.
struct PassScratch {
    std::vector<double> cost;
    std::vector<Index> older, newer, stack;
};

// For every k the nearest candidate on each side with a smaller cost (the
// minimum of C; size() where there is none), by one monotone stack a side.
void nearest_cheaper(PassScratch& s, Index n) {
    const auto none = n;
    s.stack.clear();
    for (Index k = 0; k < n; ++k) {
        while (!s.stack.empty() && !(s.cost[s.stack.back()] < s.cost[k])) s.stack.pop_back();
        s.older[k] = s.stack.empty() ? none : s.stack.back();
        s.stack.push_back(k);
    }
    s.stack.clear();
    for (Index k = n; k-- > 0;) {
        while (!s.stack.empty() && !(s.cost[s.stack.back()] < s.cost[k])) s.stack.pop_back();
        s.newer[k] = s.stack.empty() ? none : s.stack.back();
        s.stack.push_back(k);
    }
}

// One pass over the (compacted) live candidates. Only a cheaper candidate can
// dominate (at l's own minimum C_j must be below C_l), so each is tested
// against the cheapest of all (the usual dominator of old candidates, whose
// states have converged) and the two nearest cheaper ones on each side, older
// or newer: nearest in start, their states are the most alike, and on smooth
// data an older neighbour is what drops a newer one (measured: older partners
// take the live set to about a third of newer-only partners at L = 16-64).
// Newer candidates 4, 8, ..., kFarthest starts later are tried too: with every
// cheaper candidate as a partner, the newer one that drops a candidate first
// lies mostly 8 to 64 starts later, beyond the nearest cheaper ones (L = 1024),
// and those five more tests lower the live set by a third at stiff lengths.
// A drop for a candidate that is itself dropped later stays valid (see
// dominated), so the partners are chosen once, before the pass.
// The newest candidate, started this step on samples r and r + 1, already
// holds sample r + 1; its quadratic is at another end and it sits out. So do
// the `fresh` newest when their quadratics are singular until they hold more
// samples (for AR rows, the one that started on r - 1 and r).
template <class View>
void prune_pass(LiveSet& live, PassScratch& s, const View& view, Index m, double gamma, double top,
                Index r, Index fresh) {
    Index n = live.size();
    while (n > 0 && live.start(n - 1) + fresh > r) --n;
    if (n < 2) return;
    s.cost.resize(n);
    s.older.resize(n);
    s.newer.resize(n);
    Index cheap = 0;
    for (Index k = 0; k < n; ++k) {
        const Quadratic q = view(k);
        s.cost[k] = q.base + q.energy;
        if (s.cost[k] < s.cost[cheap]) cheap = k;
    }
    nearest_cheaper(s, n);
    for (Index k = 0; k < n; ++k) {
        if (k == cheap) continue;
        const Quadratic q = view(k);
        const Index o1 = s.older[k], n1 = s.newer[k];
        const Index o2 = o1 < n ? s.older[o1] : n, n2 = n1 < n ? s.newer[n1] : n;
        Index partners[5 + far_partners()] = {cheap, n1, o1, n2, o2};
        Index count = 5;
        for (Index d = 4; d <= kFarthest && k + d < n; d *= 2)
            if (s.cost[k + d] < s.cost[k]) partners[count++] = k + d;
        for (Index i = 0; i < count; ++i) {
            const Index p = partners[i];
            if (p >= n || (i > 0 && p == cheap) || (i > 4 && (p == n1 || p == n2))) continue;
            if (dominated(q, view(p), m, gamma, top)) {
                live.drop(k);
                break;
            }
        }
    }
}

// The search over right ends, for any state kind. Kernel::size is the
// doubles of a state; start(state, l) starts one on samples l and l + 1;
// extend(first, count, r) feeds sample r to count states packed from first;
// energy(state, r) is the candidate's energy at its end r, and state[3] the
// least value of its quadratic, which bounds its energy at every later end
// from below once a start after r pays for the samples after r (PELT's rule
// and the regions of `dominated` rest on that). Kernel::kFresh newest
// candidates sit out the pruning pass.
template <class Kernel>
PartitionResult search(const Kernel& kernel, Index m, double gamma, PartitionResult res,
                       Ticker& ticker) {
    auto& F = res.F;
    const Index n = F.size();
    LiveSet live(Kernel::size(m));
    auto view = [&](Index k) {
        double* st = live.state(k);
        return Quadratic{st, st + 4, st + 4 + m, st[3], F[live.start(k) - 1]};
    };
    kernel.start(live.push(1), 1);
    Index since_pass = 0;
    PassScratch scratch;

    for (Index r = 2; r < n; ++r) {
        const Index count = live.size();
        const Index grow = count > 0 && live.start(count - 1) == r - 1 ? count - 1 : count;
        if (grow > 0) kernel.extend(live.state(0), grow, r);
        res.complexity_counter += grow;
        ticker.tick(grow + 1);

        Index best = 0;
        double Fr = F[r];
        for (Index k = count; k-- > 0;) {
            const Index l = live.start(k);
            const double cand = (F[l - 1] + gamma) + kernel.energy(live.state(k), r);
            if (Fr > cand) {
                Fr = cand;
                best = l;
            }
        }
        F[r] = Fr;
        res.partition[r] = best;
        if (r < n - 1) kernel.start(live.push(r), r);

        // PELT's rule, held one sample longer where F fell at r (a start
        // whose energy exceeds F[r] may still win at r + 1, where no start
        // r + 1 competes yet); now and then the functional test.
        const double top = F[r - 1] > Fr ? F[r - 1] : Fr;
        bool dropped = false;
        for (Index k = 0; k < live.size(); ++k)
            if (!(top >= F[live.start(k) - 1] + live.state(k)[3])) {
                live.drop(k);
                dropped = true;
            }
        // Every candidate meets the test within a number of steps that grows
        // with the live set, so a pass costs O(1) tests per step.
        if (++since_pass >=
            kPassEvery + static_cast<Index>(static_cast<double>(live.size()) * kPassShare)) {
            if (dropped) live.compact();
            prune_pass(live, scratch, view, m, gamma, top, r, Kernel::kFresh);
            since_pass = 0;
            dropped = true;
        }
        if (dropped) live.compact();
    }
    return res;
}

struct SplineKernel {
    const SegmentModel& model;
    static constexpr Index kFresh = 1;
    static constexpr Index size(Index m) { return SegmentState::size(m); }
    static double energy(const double* state, Index) { return state[3]; }
    void start(double* state, Index l) const {
        SegmentState(state, model.dim())
            .start(model.rows[l], model.c[l], model.c[l + 1], model.y.row(l), model.y.row(l + 1));
    }
    void extend(double* first, Index count, Index r) const {
        extend_packed_wide(first, count, model.dim(), model.rows[r - 1], model.c[r],
                           model.y.row(r));
    }
};

struct LineKernel {
    const LineModel& model;
    static constexpr Index kFresh = 1;
    static constexpr Index size(Index m) { return LineModel::state_size(m); }
    static double energy(const double* state, Index) { return state[3]; }
    void start(double* state, Index l) const { model.start(state, l); }
    void extend(double* first, Index count, Index r) const { model.extend_packed(first, count, r); }
};

// AR(1) rows: the states hold the reduced quadratics D (see ar1.hpp), whose
// least value bounds every later energy of the candidate (cost of the
// samples after r aside) where C's would not:
// - A candidate l's energy on l..s, s > r, is min over theta of C_l(theta)
//   plus the continuation's rows, whose first is the conditional row
//   (e_{r+1} - phi e_r)^2 / (1 - phi^2) = e_{r+1}^2 - e_r^2
//   + (e_r - phi e_{r+1})^2 / (1 - phi^2) >= e_{r+1}^2 - e_r^2. So it is at
//   least D_l(theta) + E(r+1..s) with E(r+1..s) the energy of a new segment
//   there, and l cannot beat the start r + 1 (or r, at s = r + 1) outside
//   {F[l-1] + D_l < top}: PELT's rule on min D, and the region of
//   `dominated`.
// - Both candidates take the same rows after r, and C_l - C_j = D_l - D_j
//   pointwise (C = D + p e_r^2 for both), so `dominated` compares D-states
//   unchanged.
// The candidate started on r - 1 and r has a D of rank one in theta: it sits
// out the pass (kFresh = 2) and is never a partner nor divided by.
struct Ar1Kernel {
    const Ar1Model& model;
    mutable std::vector<double> rhs;  // the step's AR row, shared by every state
    static constexpr Index kFresh = 2;
    static constexpr Index size(Index m) { return Ar1State::size(m); }
    explicit Ar1Kernel(const Ar1Model& mod) : model(mod), rhs(mod.dim()) {}
    void start(double* state, Index l) const { Ar1State::start(model, state, l); }
    void extend(double* first, Index count, Index r) const {
        model.row_rhs(r, rhs.data());
        Ar1State::extend_packed(model, first, count, r, rhs.data());
    }
    double energy(const double* state, Index r) const { return Ar1State::energy(model, state, r); }
};

PartitionResult start_result(std::vector<double> F0) {
    PartitionResult res;
    const Index n = F0.size();
    res.F = std::move(F0);
    res.partition = large_vector<Index>(n, 0);
    res.complexity_counter = n;
    return res;
}

}  // namespace

PartitionResult functional_search(const SegmentModel& model, double gamma, Ticker& ticker) {
    const Index n = model.n();
    PartitionResult res = start_result(prefix_energies(model, ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(SplineKernel{model}, model.dim(), gamma, std::move(res), ticker);
}

PartitionResult functional_line_search(const LineModel& model, double gamma, Ticker& ticker) {
    const Index n = model.n();
    PartitionResult res = start_result(model.prefix_energies(ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(LineKernel{model}, model.dim(), gamma, std::move(res), ticker);
}

PartitionResult ar1_functional_search(const Ar1Model& model, double gamma, Ticker& ticker) {
    const Index n = model.n();
    PartitionResult res = start_result(ar1_prefix_energies(model, ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(Ar1Kernel(model), model.dim(), gamma, std::move(res), ticker);
}

}  // namespace velk::engine
