// The searches against the unpruned programme, which computes every segment's
// energy afresh by a dense solve: on small random problems built so that the
// pruning has work to do (jumps, cheap and dear jump costs, stiff and rough
// smoothing, several components, weights, uneven spacing).
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "ar1.hpp"
#include "check.hpp"
#include "dense.hpp"
#include "fast_root.hpp"
#include "functional.hpp"
#include "line_search.hpp"
#include "line_states.hpp"
#include "partition_search.hpp"
#include "segment.hpp"

namespace {

using namespace velk;
using vt::Rng;

Ticker never;  // a default Ticker never polls: one serves every search

struct Case {
    PreparedData data;
    double p = 0.0, gamma = 0.0;
    Precondition precondition = Precondition::None;
};

// p = 0 for the line searches. The energies scale with p, and so do the jump
// costs: from nearly free (many jumps) to more than any prefix costs. Long
// series give the functional pruning passes enough steps to drop candidates;
// they are straight lines, whose dense energies are cheap, and the pruning is
// the same code for both kinds of segment.
Case random_case(Rng& rng, bool lines, bool long_series) {
    static const double kP[] = {1e-4, 1e-2, 0.3, 0.9, 0.999};
    static const double kCost[] = {0.0, 0.05, 0.5, 3.0, 20.0, 1e9};
    Case c;
    const Index n = long_series ? 60 + rng.below(140) : 3 + rng.below(34), dim = 1 + rng.below(3);
    c.data = vt::random_samples(rng, n, dim, rng.uniform() < 0.5, rng.uniform() < 0.4);
    c.p = lines ? 0.0 : kP[rng.below(5)];
    c.gamma = kCost[rng.below(6)] * (lines ? 1.0 : c.p) * static_cast<double>(dim);
    if (rng.uniform() < 0.5) c.precondition = Precondition::Local;
    return c;
}

using Search = std::function<PartitionResult(const Case&)>;
struct Named {
    const char* name;
    bool prunes;
    Search run;
};

PartitionResult core(const Case& c, Pruning pruning) {
    const SegmentModel model = make_segment_model(c.data, c.p, c.precondition);
    return partition_search(model, c.gamma, pruning, never);
}

PartitionResult functional(const Case& c, Index cut_from = engine::kCutFrom) {
    const SegmentModel model = make_segment_model(c.data, c.p, c.precondition);
    return engine::functional_search(model, c.gamma, never, cut_from);
}

PartitionResult functional_lines(const Case& c, Index cut_from = engine::kCutFrom) {
    const engine::LineModel model(c.data.x, c.data.y, c.data.delta);
    return engine::functional_line_search(model, c.gamma, never, cut_from);
}

const Named kSplineSearches[] = {
    {"FPVI", true, [](const Case& c) { return core(c, Pruning::FPVI); }},
    {"PELT", true, [](const Case& c) { return core(c, Pruning::PELT); }},
    {"functional", true, [](const Case& c) { return functional(c); }},
};

const Named kLineSearches[] = {
    {"lines", false,
     [](const Case& c) {
         return line_partition_search(c.data.x, c.data.y, c.data.delta, c.gamma, never);
     }},
    {"functional lines", true, [](const Case& c) { return functional_lines(c); }},
    // The cut test, which by default waits for large live sets, at every pass.
    {"functional lines, cut test always", true,
     [](const Case& c) { return functional_lines(c, 0); }},
};

// The energy of the values themselves, p sum w |y|^2 (or at p = 0 without p):
// the size of the rounding in every energy.
double scale_of(const PreparedData& d, double p) {
    double s = 0.0;
    for (Index i = 0; i < d.x.size(); ++i)
        for (Index j = 0; j < d.y.cols; ++j) s += d.w[i] * d.y(i, j) * d.y(i, j);
    return p == 0.0 ? s : p * s;
}

// Costs agree to rounding at every end; starts agree where the optimum is
// clear of the runner-up. Returns the samples fed.
std::uint64_t compare(const PartitionResult& got, const vt::Programme& want, double gamma,
                      double scale) {
    const Index n = want.F.size();
    CHECK_EQ(got.F.size(), n);
    CHECK_EQ(got.partition.size(), n);
    if (got.F.size() != n || got.partition.size() != n) return 0;
    for (Index r = 0; r < n; ++r) {
        CONTEXT("end r = ", r);
        const double tol = 1e-10 * (want.F[r] + gamma) + 1e-13 * scale;
        CHECK_NEAR(got.F[r], want.F[r], tol);
        if (want.margin[r] > 100 * tol) CHECK_EQ(got.partition[r], want.start[r]);
    }
    return got.complexity_counter;
}

// Every search of the kind on one problem; adds the samples each pruning search
// fed to `fed`, and to `unpruned` what the unpruned programme would feed, where
// the search had work to do.
void against_unpruned(const Case& c, std::vector<std::uint64_t>& fed, std::uint64_t& unpruned) {
    const PreparedData& d = c.data;
    const Index n = d.x.size();
    const bool lines = c.p == 0.0;
    CONTEXT("n = ", n, ", dim = ", d.y.cols, ", p = ", c.p, ", gamma = ", c.gamma,
            c.precondition == Precondition::Local ? ", local tau" : "");
    const vt::Programme want = vt::unpruned(n, c.gamma, [&](Index l, Index r) {
        return lines ? vt::dense_line(d, l, r).energy : vt::dense_spline(d, l, r, c.p).energy;
    });
    const bool work = c.gamma < want.F[n - 1];
    if (work) unpruned += n + (n - 2) * (n - 3) / 2;
    Index s = 0;
    for (const Named& search :
         lines ? std::span<const Named>(kLineSearches) : std::span<const Named>(kSplineSearches)) {
        CONTEXT(search.name);
        const std::uint64_t count = compare(search.run(c), want, c.gamma, scale_of(d, c.p));
        if (work && search.prunes) fed[s] += count;
        ++s;
    }
}

// In total the pruning searches must feed far fewer samples than the unpruned
// programme (they feed 25-50 % of it).
void random_problems(std::uint64_t seed, int cases, bool lines) {
    Rng rng(seed);
    std::vector<std::uint64_t> fed(3, 0);
    std::uint64_t unpruned = 0;
    for (int k = 0; k < cases; ++k) {
        CONTEXT("case ", k);
        against_unpruned(random_case(rng, lines, lines && k % 10 == 9), fed, unpruned);
    }
    for (std::uint64_t count : fed) CHECK(count < unpruned * 3 / 5);
}

TEST(spline_searches_reach_the_unpruned_optimum) { random_problems(1, 300, false); }

TEST(line_searches_reach_the_unpruned_optimum) { random_problems(2, 300, true); }

// Problems, by the seed of their samples (40, uneven, one component), on which
// a wrong functional pruning pass dropped the optimal start, though only about
// 1 in 100-500 random ones show it: a pass that lets the newest candidate take
// part (its state one sample ahead of the others'), and a bound over the ball
// that counts its boundary maximum as 0.
TEST(problems_found_to_trip_wrong_pruning_passes) {
    const struct {
        std::uint64_t seed;
        double p, cost;
    } cases[] = {{838, 0.0, 30.0},   {847, 0.0, 10.0},  {2333, 0.0, 3.0}, {847, 1e-3, 10.0},
                 {1040, 1e-2, 30.0}, {2391, 1e-3, 1.0}, {7, 0.0, 30.0},   {108, 0.0, 10.0},
                 {695, 1e-3, 30.0},  {842, 1e-3, 10.0}};
    std::vector<std::uint64_t> fed(3, 0);
    std::uint64_t unpruned = 0;
    for (const auto& h : cases) {
        CONTEXT("seed ", h.seed);
        Rng rng(h.seed);
        Case c{vt::random_samples(rng, 40, 1, true, false), h.p,
               h.p == 0.0 ? h.cost : h.cost * h.p};
        against_unpruned(c, fed, unpruned);
    }
}

// The functional search against PELT, whose states are the same, where the
// cut test has work: long smooth runs between rare jumps, one component,
// smoothing from rough to stiff; every cost to rounding, with the cut test by
// default and at every pass, which feeds fewer samples.
TEST(cut_test_keeps_every_optimum_of_pelt) {
    static const double kP[] = {1e-9, 1e-7, 1e-5, 1e-3, 0.1};
    static const double kCost[] = {0.3, 3.0, 20.0, 100.0};
    Rng rng(4);
    std::uint64_t fed = 0, fed_cut = 0;
    for (int t = 0; t < 150; ++t) {
        Case c;
        const Index n = 100 + rng.below(600);
        const bool uneven = rng.uniform() < 0.5, weighted = rng.uniform() < 0.4;
        const double period = rng.uniform(5.0, 100.0), noise = rng.uniform(0.1, 2.0);
        c.data.y = Matrix(n, 1);
        double x = 0.0, level = 0.0;
        for (Index i = 0; i < n; ++i) {
            x += uneven ? rng.uniform(0.2, 1.8) : 1.0;
            if (rng.uniform() < 0.01) level += 3.0 * rng.normal();
            const double delta = weighted ? rng.uniform(0.5, 2.0) : 1.0;
            c.data.x.push_back(x);
            c.data.y(i, 0) = level + std::sin(x / period) + noise * delta * rng.normal();
            c.data.w.push_back(1.0 / (delta * delta));
            c.data.delta.push_back(delta);
        }
        c.p = kP[rng.below(5)];
        c.gamma = kCost[rng.below(4)] * c.p;
        CONTEXT("case ", t, ": n = ", n, ", p = ", c.p, ", gamma = ", c.gamma);
        // PELT's costs, its starts unchecked (no margins).
        const vt::Programme pelt{core(c, Pruning::PELT).F, std::vector<double>(n, 0.0), {}};
        fed_cut += compare(functional(c, 0), pelt, c.gamma, scale_of(c.data, c.p));
        fed += compare(functional(c), pelt, c.gamma, scale_of(c.data, c.p));
    }
    // It drops a sixth more of what the search fed by default (measured
    // 0.839 when this was written).
    CHECK(fed_cut * 100 < fed * 86);
}

// The AR(1) search against the unpruned programme over the same reduced
// states, each segment's energy from a state started at l and fed up to r:
// what is tested is the pruning, by default and with the cut test at every
// pass, on series long enough for passes to drop candidates.
TEST(ar1_search_reaches_the_unpruned_optimum) {
    static const double kP[] = {1e-3, 0.05, 0.5, 0.99};
    static const double kPhi[] = {-0.6, 0.3, 0.85};
    static const double kCost[] = {0.05, 0.5, 3.0, 20.0};
    Rng rng(3);
    std::uint64_t fed = 0, unpruned = 0;
    for (int t = 0; t < 150; ++t) {
        const Index n = 20 + rng.below(250), dim = 1 + rng.below(2);
        const bool uneven = rng.uniform() < 0.5;
        const double p = kP[rng.below(4)], phi = kPhi[rng.below(3)];
        const double gamma = kCost[rng.below(4)] * p * static_cast<double>(dim);
        CONTEXT("case ", t, ": n = ", n, ", dim = ", dim, ", p = ", p, ", phi = ", phi,
                ", gamma = ", gamma);
        const PreparedData d = vt::random_samples(rng, n, dim, uneven, rng.uniform() < 0.4);
        // Uneven spacing takes a non-negative phi (its powers).
        auto phis = engine::ar1_correlations(d.x, uneven ? std::fabs(phi) : phi);
        CHECK(phis.ok());
        if (!phis.ok()) continue;
        const engine::Ar1Model model =
            engine::make_ar1_model(d, p, Precondition::None, phis.value());
        std::vector<double> energy(n * n, 0.0), state(engine::Ar1State::size(dim)), rhs(dim);
        for (Index l = 0; l + 1 < n; ++l) {
            engine::Ar1State::start(model, state.data(), l);
            energy[l * n + l + 1] = engine::Ar1State::energy(model, state.data(), l + 1);
            for (Index r = l + 2; r < n; ++r) {
                model.row_rhs(r, rhs.data());
                engine::Ar1State::extend_packed(model, state.data(), 1, r, rhs.data());
                energy[l * n + r] = engine::Ar1State::energy(model, state.data(), r);
            }
        }
        const vt::Programme want =
            vt::unpruned(n, gamma, [&](Index l, Index r) { return energy[l * n + r]; });
        for (const Index cut_from : {engine::kCutFrom, Index{0}}) {
            CONTEXT("cut from ", cut_from);
            fed += compare(engine::ar1_functional_search(model, gamma, never, cut_from), want,
                           gamma, scale_of(d, p));
        }
        unpruned += 2 * (n + (n - 2) * (n - 3) / 2);
    }
    CHECK(fed < unpruned * 3 / 5);
}

// The engine's root: hypot's value to rounding at every magnitude, the zeros,
// infinities and NaN included, where one of the squares would overflow or
// underflow as much as where neither does.
TEST(fast_root_is_hypot_at_every_scale) {
    const double inf = INFINITY, nan = NAN;
    const double values[] = {0.0,   5e-324, 1e-310, 1e-200, 3e-155, 1e-150, 1e-20,
                             0.7,   1.0,    3.0,    1e20,   1e150,  3e154,  1e200,
                             1e308, inf,    nan,    -2.5,   -1e200, -1e-200};
    for (const double a : values)
        for (const double b : values) {
            CONTEXT("a ", a, ", b ", b);
            const double want = std::hypot(a, b), got = engine::FastRoot::of(a, b);
            if (std::isnan(want) || std::isinf(want) || want == 0.0)
                CHECK(got == want || (std::isnan(got) && std::isnan(want)));
            else
                CHECK_NEAR(got, want, 4e-16 * want);
        }
}

}  // namespace
