#include "functional.hpp"

#include <algorithm>
#include <cstdint>

#include "dominance.hpp"
#include "wide_extend.hpp"

namespace velk::engine {

namespace {

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

// A candidate that has survived this many pruning passes is tested in every
// p / kSettled-th pass only: few of the old ones ever go (at L = 6889 on 10^6
// samples, those past 32 passes took a sixth of the tests and gave 2 % of
// the drops), while a late drop costs only the extensions in between.
constexpr std::uint32_t kSettled = 16;

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
        passes_.push_back(0);
        states_.resize(states_.size() + stride_);
        return state(starts_.size() - 1);
    }
    void drop(Index k) { keep_[k] = 0; }
    bool kept(Index k) const { return keep_[k] != 0; }
    // Counts a pass that candidate k survived; whether it is tested in this one.
    bool tested(Index k) {
        const std::uint32_t p = passes_[k]++;
        return p < kSettled || p % (p / kSettled) == 0;
    }

    // Removes the dropped candidates, keeping the order.
    void compact() {
        Index kept = 0;
        for (Index k = 0; k < starts_.size(); ++k) {
            if (!keep_[k]) continue;
            if (kept != k) {
                std::copy_n(state(k), stride_, state(kept));
                starts_[kept] = starts_[k];
                passes_[kept] = passes_[k];
            }
            keep_[kept] = 1;
            ++kept;
        }
        starts_.resize(kept);
        keep_.resize(kept);
        passes_.resize(kept);
        states_.resize(kept * stride_);
    }

private:
    Index stride_;
    std::vector<Index> starts_;
    std::vector<unsigned char> keep_;
    std::vector<std::uint32_t> passes_;
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
// Passes over at least `cut_from` candidates (one component) try the cut
// test on the candidates that remain. A drop for a candidate that is itself
// dropped later stays valid (see dominated), so the partners are chosen once,
// before the pass.
// The newest candidate, started this step on samples r and r + 1, already
// holds sample r + 1; its quadratic is at another end and it sits out. So do
// the `fresh` newest when their quadratics are singular until they hold more
// samples (for AR rows, the one that started on r - 1 and r).
template <class View>
void prune_pass(LiveSet& live, PassScratch& s, const View& view, Index m, double gamma, double top,
                Index r, Index fresh, Index cut_from) {
    Index n = live.size();
    while (n > 0 && live.start(n - 1) + fresh > r) --n;
    if (n < 2) return;
    const bool cut = m == 1 && n >= cut_from;
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
        if (k == cheap || !live.tested(k)) continue;
        const Quadratic q = view(k);
        const Index o1 = s.older[k], n1 = s.newer[k];
        const Index o2 = o1 < n ? s.older[o1] : n, n2 = n1 < n ? s.newer[n1] : n;
        Index partners[5 + far_partners()] = {cheap, n1, o1, n2, o2};
        Index count = 5;
        for (Index d = 4; d <= kFarthest && k + d < n; d *= 2)
            if (s.cost[k + d] < s.cost[k]) partners[count++] = k + d;
        bool gone = false;
        for (Index i = 0; i < count && !gone; ++i) {
            const Index p = partners[i];
            if (p >= n || (i > 0 && p == cheap) || (i > 4 && (p == n1 || p == n2))) continue;
            gone = dominated(q, view(p), m, gamma, top);
        }
        // The nearest cheaper older candidate, on the part of the region that
        // one of the nearest newer ones leaves (the next, the two nearest
        // cheaper, and 2, 4 and 8 starts later): newer candidates are flatter,
        // so they beat l far from its minimum, where the older one cannot.
        // Measured at 10^5 and 3 x 10^5 samples, L = 1024 to 16384: these six
        // halve the live set against the first two alone, at 0.5-1.0x their
        // time; eight (16 and 32 later as well) drop a fifth more but cost
        // more than they save.
        if (cut && !gone && o1 < n) {
            CutTest test(q, view(o1), gamma, top);
            const Index cuts[6] = {k + 1, n1, k + 2, k + 4, n2, k + 8};
            for (Index i = 0; i < 6 && !gone; ++i)
                if (cuts[i] < n && std::find(cuts, cuts + i, cuts[i]) == cuts + i)
                    gone = test.by(view(cuts[i]));
        }
        if (gone) live.drop(k);
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
                       Ticker& ticker, Index cut_from) {
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
            prune_pass(live, scratch, view, m, gamma, top, r, Kernel::kFresh, cut_from);
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

PartitionResult functional_search(const SegmentModel& model, double gamma, Ticker& ticker,
                                  Index cut_from) {
    const Index n = model.n();
    PartitionResult res = start_result(prefix_energies(model, ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(SplineKernel{model}, model.dim(), gamma, std::move(res), ticker, cut_from);
}

PartitionResult functional_line_search(const LineModel& model, double gamma, Ticker& ticker,
                                       Index cut_from) {
    const Index n = model.n();
    PartitionResult res = start_result(model.prefix_energies(ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(LineKernel{model}, model.dim(), gamma, std::move(res), ticker, cut_from);
}

PartitionResult ar1_functional_search(const Ar1Model& model, double gamma, Ticker& ticker,
                                      Index cut_from) {
    const Index n = model.n();
    PartitionResult res = start_result(ar1_prefix_energies(model, ticker));
    if (gamma >= res.F[n - 1] || n < 3) return res;
    return search(Ar1Kernel(model), model.dim(), gamma, std::move(res), ticker, cut_from);
}

}  // namespace velk::engine
