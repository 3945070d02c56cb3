#include "partition_search.hpp"

#include <limits>
#include <memory>

namespace velk {

namespace {

// Backward scans from every right end. Each reads the curvature rows of the
// intervals below it, so they are computed once, oriented backward (the new
// sample is the lower one).
//
// A scan's extensions do not depend on F, only its scoring and its stop do,
// and the scan from r reads F only below r - 1. So up to kScans scans run at
// once, their extensions interleaved: each keeps the energies E(l, r) it has
// computed, and scores them in order as soon as the F values they need are
// final. A scan still waiting for F extends only while a bound from the
// candidates it can already score says the exact scan may go on; extensions
// past the exact stop are wasted work and not counted. Results and counter
// are those of running the scans one after another.
PartitionResult search_fpvi(const SegmentModel& model, double gamma, PartitionResult res,
                            Ticker& ticker) {
    constexpr Index kScans = 4;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const Index n = model.n();
    const Index m = model.dim();
    const auto& tau = model.tau;
    const auto& c = model.c;
    std::vector<CurvatureRows> rows = large_vector(n - 1, CurvatureRows{});
    for (Index i = 0; i < n - 1; ++i)
        rows[i] = curvature_rows(model.h[i], model.s, tau[i + 1], tau[i]);
    std::vector<double> storage(kScans * (SegmentState::size(m) + n));
    auto& F = res.F;
    std::uint64_t counter = res.complexity_counter;

    struct Scan {
        SegmentState state;
        double* energy;  // energy[l] = E(l, r), for l from low up to next
        Index r = 0;     // 0: slot free
        Index low = 0;   // the state covers low..r
        Index next = 0;  // next start to score
        Index best = 0;
        double Fr = 0.0;       // best cost scored so far, in order
        double bound = 0.0;    // upper bound of the exact running best above low
        double pending = 0.0;  // the candidate at low, if its F was final
    };
    auto slot = [&](Index k) {
        double* base = storage.data() + k * (SegmentState::size(m) + n);
        return Scan{SegmentState(base, m), base + SegmentState::size(m)};
    };
    Scan scans[kScans] = {slot(0), slot(1), slot(2), slot(3)};
    Index next_r = 2;
    Index final_upto = 1;  // F[0 .. final_upto] are final

    // A new energy at s.low. The exact scan extends past low only if
    // gamma + E(low, r) is below its best over the starts above low; the
    // bound is that best over the starts whose F was already final, so it
    // never stops a scan early. The candidate at low joins it once the state
    // has moved below low.
    auto tighten = [&](Scan& s) {
        if (s.pending < s.bound) s.bound = s.pending;
        const Index l = s.low;
        const double E = s.energy[l] = s.state.energy();
        s.pending = l - 1 <= final_upto ? E + (F[l - 1] + gamma) : kNaN;
    };
    auto open = [&](Scan& s, Index r) {
        s.r = r;
        s.low = s.next = r - 1;
        s.best = 0;
        s.Fr = s.bound = F[r];
        s.pending = kNaN;
        s.state.start(rows[r - 1], c[r], c[r - 1], model.y.row(r), model.y.row(r - 1));
        tighten(s);
    };
    // Scores in order what is available; closes the scan when it stops.
    auto score = [&](Scan& s) {
        bool progress = false;
        while (s.next >= s.low && s.next - 1 <= final_upto) {
            progress = true;
            const Index l = s.next;
            const double E = s.energy[l];
            bool stop = gamma + E >= s.Fr;
            if (!stop) {
                const double cand = E + (F[l - 1] + gamma);
                if (s.Fr > cand) {
                    s.Fr = cand;
                    s.best = l;
                }
                stop = l == 1;
            }
            if (stop) {
                counter += 2 + (s.r - 1 - l);
                F[s.r] = s.Fr;
                res.partition[s.r] = s.best;
                s.r = 0;
                return true;
            }
            s.next = l - 1;
        }
        return progress;
    };
    auto wants_extension = [&](const Scan& s) {
        return s.r != 0 && s.low > 1 && !(gamma + s.energy[s.low] >= s.bound);
    };
    auto job = [&](const Scan& s) {
        const Index i = s.low - 1;
        return ExtendJob{s.state.data(), &rows[i], c[i], model.y.row(i)};
    };

    for (;;) {
        bool progress = true;
        while (progress) {
            progress = false;
            for (Scan& s : scans)
                if (s.r == 0 && next_r < n) open(s, next_r++);
            Index oldest = next_r;
            for (const Scan& s : scans)
                if (s.r != 0 && s.r < oldest) oldest = s.r;
            final_upto = oldest - 1;
            for (Scan& s : scans)
                if (s.r != 0 && score(s)) progress = true;
        }
        Scan* todo[kScans];
        Index count = 0;
        for (Scan& s : scans)
            if (wants_extension(s)) todo[count++] = &s;
        if (count == 0) {
            // Only when every scan is closed: the oldest open one is never blocked.
            for (const Scan& s : scans) check(s.r == 0, "backward scan stalled");
            break;
        }
        ExtendJob jobs[kScans];
        for (Index k = 0; k < count; ++k) jobs[k] = job(*todo[k]);
        SegmentState::extend_jobs(jobs, count, m);
        ticker.tick(count);
        for (Index k = 0; k < count; ++k) {
            --todo[k]->low;
            tighten(*todo[k]);
        }
    }
    res.complexity_counter = counter;
    return res;
}

// One forward state per live candidate start, packed in candidate order in a
// flat buffer; pruning compacts the buffer, so slots of dropped candidates
// are reused by later ones.
PartitionResult search_pelt(const SegmentModel& model, double gamma, PartitionResult res,
                            Ticker& ticker) {
    const Index n = model.n();
    const Index m = model.dim();
    const Index stride = SegmentState::size(m);
    const auto& c = model.c;
    auto& F = res.F;
    std::uint64_t counter = res.complexity_counter;

    // Room for every start at once (n - 2), allocated but only touched as far
    // as the live candidates reach.
    const Index cap = n - 2;
    auto states = std::make_unique_for_overwrite<double[]>(cap * stride);
    auto starts = std::make_unique_for_overwrite<Index[]>(cap);
    Index live = 0;
    auto slot = [&](Index k) { return SegmentState(states.get() + k * stride, m); };

    auto push = [&](Index l) {
        slot(live).start(model.rows[l], c[l], c[l + 1], model.y.row(l), model.y.row(l + 1));
        starts[live++] = l;
    };
    push(1);

    for (Index r = 2; r < n; ++r) {
        const CurvatureRows& rows = model.rows[r - 1];
        const VecView y_r = model.y.row(r);
        // Every live state but one appended at r - 1 takes sample r.
        const Index grow = live > 0 && starts[live - 1] == r - 1 ? live - 1 : live;
        SegmentState::extend_packed(states.get(), grow, m, rows, c[r], y_r);
        counter += grow;
        ticker.tick(grow + 1);
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

PartitionResult partition_search(const SegmentModel& model, double gamma, Pruning pruning,
                                 Ticker& ticker) {
    const Index n = model.n();
    PartitionResult res;
    res.F = prefix_energies(model, ticker);
    res.partition = large_vector<Index>(n, 0);
    res.complexity_counter = n;
    // n = 2 leaves no right end to scan. PELT gets that far only with a NaN
    // gamma, and must not start a state on samples 1 and 2 then.
    if (gamma >= res.F[n - 1] || n < 3) return res;
    if (pruning == Pruning::FPVI) return search_fpvi(model, gamma, std::move(res), ticker);
    return search_pelt(model, gamma, std::move(res), ticker);
}

}  // namespace velk
