#include "velk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "csaps.hpp"
#include "dp.hpp"
#include "functional.hpp"
#include "line_search.hpp"
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

// Search for the jumps, then fit each segment and join them at the midpoints.
PartitionResult search(const PreparedData& data, const SegmentModel& model, Pruning pruning,
                       double p, double gamma, Ticker& ticker) {
    if (pruning == Pruning::Functional) {
        if (p == 0.0)
            return functional_line_search(LineModel(data.x, data.y, data.delta), gamma, ticker);
        return functional_search(model, gamma, ticker);
    }
    if (p == 0.0) return line_partition_search(data.x, data.y, data.delta, gamma, ticker);
    return partition_search(model, gamma, pruning, ticker);
}

FitResult fit_with_search(PreparedData&& data, Pruning pruning, Precondition precondition, double p,
                          double gamma, Ticker& ticker) {
    const Index m = data.x.size();
    const std::vector<double>& x = data.x;
    SegmentModel model = make_segment_model(data, p, precondition);
    PartitionResult found = search(data, model, pruning, p, gamma, ticker);
    // The segment fits need only x, y and w.
    release(model.c);
    release(model.h);
    release(data.delta);

    FitResult out;
    Index j = m - 1;
    double r = x[m - 1] + 1.0;
    for (;;) {
        check(j < found.partition.size(), "index out of range");
        const Index i = found.partition[j];
        check(i <= j && i < m, "index out of range");
        const double l = i == 0 ? x[0] - 1.0 : (x[i] + x[i - 1]) * 0.5;
        out.interval_cell.push_back(index_run(i, j));
        out.pp_cell.push_back(fit_segment(data, i, j, l, r, p, ticker));
        if (i == 0) break;
        out.discont.push_back(l);
        r = l;
        j = i - 1;
    }
    std::reverse(out.interval_cell.begin(), out.interval_cell.end());
    std::reverse(out.pp_cell.begin(), out.pp_cell.end());
    std::reverse(out.discont.begin(), out.discont.end());

    release(data.w);
    out.pp = PPForm::join(out.pp_cell);
    for (Index k = 0; k + 1 < out.interval_cell.size(); ++k)
        out.discont_idx.push_back(out.interval_cell[k].back());

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
