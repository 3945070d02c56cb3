// The dominance tests against the quadratics themselves, evaluated on a fine
// grid of l's region: every certificate must hold at every point of it, and a
// clear domination must be certified. Triples are drawn as the search meets
// them: an older j sharper than l in some direction, a newer k flatter.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "dense.hpp"
#include "dominance.hpp"

namespace {

using namespace velk;
using vt::Rng;

struct Candidate {
    double r[3], b0, b1, energy, base;
    engine::Quadratic view() const { return {r, &b0, &b1, energy, base}; }
    double cost(double z0, double z1) const {
        const double u = r[0] * z0 + r[1] * z1 - b0, w = r[2] * z1 - b1;
        return base + energy + u * u + w * w;
    }
};

// o = T l with T = [[t11, t12], [0, t22]] and its offset (b_o = T b_l + d).
Candidate related(Rng& rng, const Candidate& l, double t11, double t22, double spread) {
    const double t12 = rng.uniform(-0.5, 0.5);
    // A braced list draws its normals in order; no energy, the base is set apart.
    return {{t11 * l.r[0], t11 * l.r[1] + t12 * l.r[2], t22 * l.r[2]},
            t11 * l.b0 + t12 * l.b1 + spread * rng.normal(),
            t22 * l.b1 + spread * rng.normal(),
            0.0,
            0.0};
}

struct Triple {
    Candidate l, j, k;
    double top, gamma = 1.0;
};

Triple draw(Rng& rng) {
    Triple t{};
    t.l = {{std::exp(rng.uniform(-2.0, 2.0)), rng.normal(), std::exp(rng.uniform(-2.0, 2.0))},
           rng.normal(),
           rng.normal(),
           rng.uniform(0.0, 2.0),
           rng.uniform(0.0, 5.0)};
    t.j = related(rng, t.l, rng.uniform(1.0, 3.0), rng.uniform(0.7, 3.0), rng.uniform(0.0, 1.0));
    t.k = related(rng, t.l, rng.uniform(0.2, 1.0), rng.uniform(0.2, 1.0), rng.uniform(0.0, 1.0));
    const double cl = t.l.base + t.l.energy;
    t.j.base = cl - rng.uniform(0.0, 5.0);
    t.k.base = cl + rng.uniform(-1.0, 1.0);
    t.top = cl + rng.uniform(0.05, 4.0);
    return t;
}

// The least of C_l - C_j over the grid points of l's region, and over those
// where C_l - C_k is at most `cut`; inf where there are none.
struct Gaps {
    double whole = INFINITY, on_cut = INFINITY;
};
Gaps least_gaps(const Triple& t, double cut) {
    const double rho = t.top - (t.l.base + t.l.energy);
    Gaps out;
    constexpr int kRadii = 48, kAngles = 96;
    for (int i = 0; i <= kRadii; ++i) {
        const double radius = std::sqrt(rho * i / kRadii);
        for (int a = 0; a < (i == 0 ? 1 : kAngles); ++a) {
            const double angle = 2.0 * M_PI * a / kAngles;
            // z = R_l^-1 (v + b_l)
            const double w0 = radius * std::cos(angle) + t.l.b0;
            const double w1 = radius * std::sin(angle) + t.l.b1;
            const double z1 = w1 / t.l.r[2], z0 = (w0 - t.l.r[1] * z1) / t.l.r[0];
            const double cl = t.l.cost(z0, z1), gap = cl - t.j.cost(z0, z1);
            out.whole = std::min(out.whole, gap);
            if (cl - t.k.cost(z0, z1) <= cut) out.on_cut = std::min(out.on_cut, gap);
        }
    }
    return out;
}

TEST(certificates_hold_on_the_whole_region) {
    Rng rng(11);
    int pairs = 0, cuts = 0;
    Index probes = 0;
    for (int c = 0; c < 4000; ++c) {
        CONTEXT("triple ", c);
        const Triple t = draw(rng);
        const auto l = t.l.view(), j = t.j.view(), k = t.k.view();
        if (engine::dominated(l, j, 1, t.gamma, t.top)) {
            ++pairs;
            CHECK(least_gaps(t, 0.0).whole > 0.0);
        }
        engine::CutTest test(l, j, t.gamma, t.top);
        if (test.by(k)) {
            ++cuts;
            CHECK(least_gaps(t, 0.0).on_cut > 0.0);
        }
        probes += test.probes();
    }
    // The draws must exercise both tests.
    CHECK(pairs > 200);
    CHECK(cuts > 400);
    // Giving up late costs only time: the multiplier searches took 2764
    // probes when this was written (3189 without the tangents' stop, about
    // 4100 with one end of each line checked, 5800 with no line checked after
    // a probe), for the same drops.
    CHECK(probes <= 2790);
}

// Where j beats l clearly on the whole region, the pairwise test certifies it:
// the ball bound's solve for its multiplier must converge, not only hold (its
// Newton steps stopped at the start left 1 of 596 such pairs uncertified). Where
// j beats l clearly on the part of the region that k leaves, but neither does
// alone, the cut test certifies nearly always: a search for the multipliers
// that converges worse shows here first.
TEST(clear_dominations_are_certified) {
    Rng rng(12);
    int pairs = 0, pairs_certified = 0, cuts = 0, cuts_certified = 0;
    for (int c = 0; c < 10000; ++c) {
        const Triple t = draw(rng);
        const auto l = t.l.view(), j = t.j.view(), k = t.k.view();
        const bool by_j = engine::dominated(l, j, 1, t.gamma, t.top);
        const Gaps gaps = least_gaps(t, 0.1);
        if (gaps.whole > 0.05) ++pairs, pairs_certified += by_j;
        if (by_j || engine::dominated(l, k, 1, t.gamma, t.top) || !(gaps.on_cut > 0.1)) continue;
        ++cuts;
        cuts_certified += engine::CutTest(l, j, t.gamma, t.top).by(k);
    }
    CONTEXT(pairs_certified, " of ", pairs, " pairs and ", cuts_certified, " of ", cuts,
            " cuts certified");
    CHECK(pairs > 300);
    CHECK(pairs_certified == pairs);
    // 291 of 307 cuts (94.8 %) when this was written: the multiplier's search must
    // find them, not only its certificate hold, and must not give up early.
    CHECK(cuts > 300);
    CHECK(cuts_certified * 1000 >= cuts * 945);
}

}  // namespace
