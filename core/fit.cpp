#include "fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "csaps.hpp"
#include "line_search.hpp"
#include "partition_search.hpp"
#include "segment.hpp"

namespace velk {
namespace {

// Frees a vector's buffer now rather than when its owner goes.
template <class T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

std::vector<Index> index_run(Index first, Index last) {
    std::vector<Index> run = large_vector<Index>(last - first + 1, 0);
    std::iota(run.begin(), run.end(), first);
    return run;
}

// One spline over all samples, extended one unit beyond both ends.
FitResult fit_without_search(PreparedData&& data, Precondition precondition, double p,
                             Ticker& ticker) {
    const Index m = data.x.size();
    PPForm pp = csaps(data.x, data.y, data.w, p, ticker);
    release(data.w);
    release(data.delta);
    pp.extend(data.x.front() - 1.0, data.x.back() + 1.0);

    FitResult out;
    out.interval_cell.push_back(index_run(0, m - 1));
    out.pp_cell.push_back(pp.clone());
    out.F = large_vector(m, 0.0);
    out.partition = large_vector<Index>(m, 0);
    out.pp = std::move(pp);
    out.x = std::move(data.x);
    out.y = std::move(data.y);
    out.tau = large_vector(m, 1.0);
    out.complexity_counter = m;
    out.precondition = precondition;
    return out;
}

// The spline of samples i..j on [l, r]; a lone sample is a constant.
PPForm fit_segment(const PreparedData& data, Index i, Index j, double l, double r, double p,
                   Ticker& ticker) {
    const Index dim = data.y.cols;
    if (i == j) {
        PPForm pp;
        pp.breaks = {l, r};
        pp.coefs = Matrix(dim, 4);
        for (Index k = 0; k < dim; ++k) pp.coefs(k, 3) = data.y(i, k);
        pp.dim = dim;
        pp.order = 4;
        return pp;
    }
    const Index len = j - i + 1;
    const VecView x(data.x.data() + i, len, sizeof(double));
    const MatView y(data.y.row(i), len, dim, static_cast<std::ptrdiff_t>(dim * sizeof(double)),
                    sizeof(double));
    const VecView w(data.w.data() + i, len, sizeof(double));
    PPForm pp = csaps(x, y, w, p, ticker);
    pp.extend(l, r);
    return pp;
}

PartitionResult search(const PreparedData& data, const SegmentModel& model, Pruning pruning,
                       double p, double gamma, Ticker& ticker) {
    if (p == 0.0) return line_partition_search(data.x, data.y, data.delta, gamma, ticker);
    return partition_search(model, gamma, pruning, ticker);
}

// Search for the jumps, then fit each segment and join them at the midpoints.
FitResult fit_with_search(PreparedData&& data, Pruning pruning, Precondition precondition, double p,
                          double gamma, Ticker& ticker) {
    SegmentModel model = make_segment_model(data, p, precondition);
    PartitionResult found = search(data, model, pruning, p, gamma, ticker);
    // The segment fits need only x, y and w.
    release(model.c);
    release(model.h);
    release(data.delta);
    std::vector<Segment> segments = fit_segments(data, found.partition, p, ticker);
    release(data.w);

    FitResult out;
    for (Index k = 0; k < segments.size(); ++k) {
        Segment& s = segments[k];
        out.interval_cell.push_back(index_run(s.first, s.last));
        if (k > 0) {
            out.discont.push_back(s.pp.breaks.front());
            out.discont_idx.push_back(s.first - 1);
        }
        out.pp_cell.push_back(std::move(s.pp));
    }
    out.pp = PPForm::join(out.pp_cell);
    out.F = std::move(found.F);
    out.partition = std::move(found.partition);
    out.complexity_counter = found.complexity_counter;
    out.tau = std::move(model.tau);
    out.x = std::move(data.x);
    out.y = std::move(data.y);
    out.precondition = precondition;
    return out;
}

}  // namespace

std::vector<Segment> fit_segments(const PreparedData& data, const std::vector<Index>& partition,
                                  double p, Ticker& ticker) {
    return walk_segments(data.x, partition, [&](Index i, Index j, double l, double r) {
        return fit_segment(data, i, j, l, r, p, ticker);
    });
}

FitResult fit_prepared(PreparedData&& data, Pruning pruning, Precondition precondition, double p,
                       double gamma, Ticker& ticker) {
    if (p == 1.0 || gamma >= std::numeric_limits<double>::infinity())
        return fit_without_search(std::move(data), precondition, p, ticker);
    return fit_with_search(std::move(data), pruning, precondition, p, gamma, ticker);
}

Outcome<FitResult> fit(const VecView* x, const MatView& y, const VecView* delta, Pruning pruning,
                       Precondition precondition, double p, double gamma, Ticker& ticker) {
    if (!(p >= 0.0 && p <= 1.0)) return InputError::p_out_of_range(p);
    if (gamma < 0.0) return InputError::gamma_out_of_range(gamma);
    Outcome<PreparedData> prepared = prepare_input(x, y, delta, ticker);
    if (!prepared.ok()) return prepared.error();
    return fit_prepared(std::move(prepared.value()), pruning, precondition, p, gamma, ticker);
}

}  // namespace velk
