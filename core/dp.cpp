#include "dp.hpp"

#include <memory>

namespace velk {

namespace {

// Backward scans from every right end. Each reads the curvature rows of the
// intervals below it, so they are computed once, oriented backward (the new
// sample is the lower one).
//
// The scan from r reads F only below r - 1, so the scans from r and r + 1
// depend on nothing but earlier results and run side by side, their
// extensions interleaved.
PartitionResult search_fpvi(const SegmentModel& model, double gamma, PartitionResult res) {
    const Index n = model.n();
    const Index m = model.dim();
    const auto& tau = model.tau;
    const auto& c = model.c;
    std::vector<CurvatureRows> rows(n - 1);
    for (Index i = 0; i + 1 < n; ++i) rows[i] = curvature_rows(model.h[i], model.s, tau[i + 1], tau[i]);
    std::vector<double> storage(2 * SegmentState::size(m));
    auto& F = res.F;
    std::uint64_t counter = res.complexity_counter;

    struct Scan {
        SegmentState state;
        Index r = 0, l = 0, best = 0;
        double Fr = 0.0;
    };
    auto open = [&](Scan& s, Index r) {
        s.r = r;
        s.l = r - 1;
        s.best = 0;
        s.Fr = F[r];
        s.state.start(rows[r - 1], c[r], c[r - 1], model.y.row(r), model.y.row(r - 1));
        counter += 2;
    };
    // Scores the state's segment l..r; true when the scan goes on to l - 1.
    auto score = [&](Scan& s) {
        const double E = s.state.energy();
        if (gamma + E >= s.Fr) return false;
        const double cand = E + (F[s.l - 1] + gamma);
        if (s.Fr > cand) {
            s.Fr = cand;
            s.best = s.l;
        }
        return s.l != 1;
    };
    auto job = [&](const Scan& s) {
        const Index i = s.l - 1;
        return ExtendJob{s.state.data(), &rows[i], c[i], model.y.row(i)};
    };
    auto advance = [&](Scan& s) {
        --s.l;
        ++counter;
    };
    auto close = [&](const Scan& s) {
        F[s.r] = s.Fr;
        res.partition[s.r] = s.best;
    };
    auto run_alone = [&](Scan& s, bool more) {
        while (more) {
            const ExtendJob j = job(s);
            s.state.extend(*j.rows, j.c_b, j.y_b);
            advance(s);
            more = score(s);
        }
    };

    Scan a{SegmentState(storage.data(), m)};
    Scan b{SegmentState(storage.data() + SegmentState::size(m), m)};
    for (Index r = 2; r < n; r += 2) {
        open(a, r);
        bool more_a = score(a);
        if (r + 1 < n) {
            open(b, r + 1);
            bool more_b = score(b);
            while (more_a && more_b) {
                SegmentState::extend_two(job(a), job(b), m);
                advance(a);
                advance(b);
                more_a = score(a);
                more_b = score(b);
            }
            run_alone(b, more_b);
            close(b);
        }
        run_alone(a, more_a);
        close(a);
    }
    res.complexity_counter = counter;
    return res;
}

// One forward state per live candidate start, packed in candidate order in a
// flat buffer; pruning compacts the buffer, so slots of dropped candidates
// are reused by later ones.
PartitionResult search_pelt(const SegmentModel& model, double gamma, PartitionResult res) {
    const Index n = model.n();
    const Index m = model.dim();
    const Index stride = SegmentState::size(m);
    const auto& tau = model.tau;
    const auto& c = model.c;
    auto& F = res.F;
    std::uint64_t counter = res.complexity_counter;

    // Room for every start at once (n - 2), allocated but only touched as far
    // as the live candidates reach.
    const Index cap = n - 2;
    std::unique_ptr<double[]> states(new double[cap * stride]);
    std::unique_ptr<Index[]> starts(new Index[cap]);
    Index live = 0;
    auto slot = [&](Index k) { return SegmentState(states.get() + k * stride, m); };

    auto push = [&](Index l) {
        slot(live).start(curvature_rows(model.h[l], model.s, tau[l], tau[l + 1]), c[l], c[l + 1],
                         model.y.row(l), model.y.row(l + 1));
        starts[live++] = l;
    };
    push(1);

    for (Index r = 2; r < n; ++r) {
        const CurvatureRows rows = curvature_rows(model.h[r - 1], model.s, tau[r - 1], tau[r]);
        const VecView y_r = model.y.row(r);
        // Every live state but one appended at r - 1 takes sample r.
        const Index grow = live > 0 && starts[live - 1] == r - 1 ? live - 1 : live;
        SegmentState::extend_packed(states.get(), grow, m, rows, c[r], y_r);
        counter += grow;
        Index best = 0;
        double Fr = F[r];
        for (Index k = live; k-- > 0;) {
            const Index l = starts[k];
            const double cand = (F[l - 1] + gamma) + slot(k).energy();
            if (Fr > cand) {
                Fr = cand;
                best = l;
            }
        }
        F[r] = Fr;
        res.partition[r] = best;
        if (r < n - 1) push(r);
        // Keep the candidates that may still win later, in order.
        Index kept = 0;
        for (Index k = 0; k < live; ++k) {
            const Index l = starts[k];
            double* src = states.get() + k * stride;
            if (Fr >= F[l - 1] + slot(k).energy()) {
                if (kept != k) {
                    double* dst = states.get() + kept * stride;
                    for (Index t = 0; t < stride; ++t) dst[t] = src[t];
                    starts[kept] = l;
                }
                ++kept;
            }
        }
        live = kept;
    }
    res.complexity_counter = counter;
    return res;
}

}  // namespace

PartitionResult partition_search(const SegmentModel& model, double gamma, Pruning pruning) {
    const Index n = model.n();
    PartitionResult res;
    res.F = prefix_energies(model);
    res.partition.assign(n, 0);
    res.complexity_counter = n;
    // With n = 2 there is no right end to scan (reached only by a NaN gamma
    // under PELT, whose candidate 1 would then never be scored).
    if (gamma >= res.F[n - 1] || n < 3) return res;
    if (pruning == Pruning::FPVI) return search_fpvi(model, gamma, std::move(res));
    return search_pelt(model, gamma, std::move(res));
}

}  // namespace velk
