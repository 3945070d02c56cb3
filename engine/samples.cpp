#include "samples.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "pow2.hpp"

namespace velk::engine {
namespace {

// The binary exponent of v, or 0 for zero and non-finite values.
int exponent_of(double v) { return v > 0.0 && std::isfinite(v) ? std::ilogb(v) : 0; }

// The binary exponent of a positive finite v, from its bits where it is normal.
int exponent_bits(double v) {
    const int biased = static_cast<int>((std::bit_cast<std::uint64_t>(v) >> 52) & 0x7ff);
    return biased != 0 ? biased - 1023 : std::ilogb(v);
}

std::string too_few(Index count) {
    return "at least two finite data points are required, got " + std::to_string(count);
}

}  // namespace

Checked<Rows> keep_finite(const VecView* x, const MatView& y, const VecView* delta,
                          const VecView* w) {
    check(!(delta && w), "give delta or w, not both");
    const Index n = y.rows(), dim = y.cols();
    if (x && x->size() != n) return InvalidInput{"x must have one value per row of y"};
    const VecView* d = delta ? delta : w;
    if (d && d->size() != n)
        return InvalidInput{delta ? "delta must have one value per row of y"
                                  : "w must have one value per row of y"};
    Rows rows;
    rows.weights = w != nullptr;
    rows.inputs = n;
    // Room for every row at once: an impossible size fails here, before any work.
    rows.x = large_vector(n, 0.0);
    if (d) rows.d = large_vector(n, 0.0);
    rows.y = Matrix(n, dim);
    double top = 0.0, exponents = 0.0;
    Index k = 0;
    bool left_out = false;  // source is filled from the first row left out on
    for (Index i = 0; i < n; ++i) {
        const double xi = x ? (*x)[i] : static_cast<double>(i + 1);
        bool finite = std::isfinite(xi);
        double* row = rows.y.row(k);
        double row_top = 0.0;
        for (Index j = 0; j < dim; ++j) {
            const double yij = y(i, j);
            finite = finite && std::isfinite(yij);
            row[j] = yij;
            row_top = std::max(row_top, std::fabs(yij));
        }
        double v = 1.0;
        if (d) {
            v = (*d)[i];
            if (finite && std::isfinite(v) && !(v > 0.0))
                return InvalidInput{delta ? "delta must be positive" : "w must be positive"};
            finite = finite && std::isfinite(v);
        }
        if (!finite) {
            if (!left_out) {  // the first row left out: the rows so far are 0..i-1
                left_out = true;
                reserve_large(rows.source, n);
                for (Index q = 0; q < i; ++q) rows.source.push_back(q);
            }
            continue;
        }
        rows.x[k] = xi;
        if (d) {
            rows.d[k] = v;
            exponents += exponent_bits(v);
        }
        top = std::max(top, row_top);
        if (left_out) rows.source.push_back(i);
        ++k;
    }
    rows.x.resize(k);
    if (d) rows.d.resize(k);
    rows.y.data.resize(k * dim);
    rows.y.rows = rows.x.size();
    rows.y_top = top;
    rows.d_exponents = exponents;
    if (rows.x.size() < 2) return InvalidInput{too_few(rows.x.size())};
    return rows;
}

namespace {

// Of the mean spacing; the span is halved first so that it cannot overflow.
int spacing_exponent(double lo, double hi, Index count) {
    return exponent_of((hi * 0.5 - lo * 0.5) / static_cast<double>(count - 1)) + 1;
}

// Of the typical standard deviation: the mean of their binary exponents, which
// one pass finds and a few outlying values hardly move.
int deviation_exponent(const Rows& rows) {
    if (rows.d.empty()) return 0;
    const double mean = rows.d_exponents / static_cast<double>(rows.d.size());
    return static_cast<int>(std::lround(rows.weights ? -0.5 * mean : mean));
}

// The samples of rows sorted by x, merged where x repeats in the units of the fits
// (weighted means, summed weights), as the core's preparation merges; a lone
// sample keeps the caller's values exactly.
void merge(Rows& rows, bool sorted, bool with_index, Samples& out, Ticker& ticker) {
    const Index k = rows.x.size(), dim = rows.y.cols;
    std::vector<Index> order(k);
    std::iota(order.begin(), order.end(), Index{0});
    if (!sorted)
        std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) {
            ticker.tick();
            return rows.x[a] < rows.x[b];
        });
    const Pow2 from_y(-out.ey), weight_up(2 * out.ed), delta_down(-out.ed);
    auto scaled_weight = [&](Index q) {
        if (rows.d.empty()) return weight_up(1.0);
        if (rows.weights) return weight_up(rows.d[q]);
        const double s = delta_down(rows.d[q]);
        return 1.0 / (s * s);
    };
    auto source = [&](Index q) { return rows.source.empty() ? q : rows.source[q]; };
    PreparedData& s = out.scaled;
    reserve_large(out.x, k);
    reserve_large(s.w, k);
    s.y.cols = out.y.cols = dim;
    reserve_large(s.y.data, k * dim);
    reserve_large(out.y.data, k * dim);
    std::vector<double> mean(dim);
    for (Index q = 0; q < k;) {
        const Index first = order[q];
        const double xg = rows.x[first];
        const auto sample = static_cast<std::int64_t>(out.x.size());
        double wsum = scaled_weight(first);
        for (Index j = 0; j < dim; ++j) mean[j] = wsum * from_y(rows.y(first, j));
        Index count = 1;
        if (with_index) out.index[source(first)] = sample;
        for (++q; q < k && rows.x[order[q]] == xg; ++q, ++count) {
            const Index i = order[q];
            const double wi = scaled_weight(i);
            wsum = wsum + wi;
            for (Index j = 0; j < dim; ++j) mean[j] = mean[j] + wi * from_y(rows.y(i, j));
            if (with_index) out.index[source(i)] = sample;
        }
        const Pow2 to_y(out.ey);
        for (Index j = 0; j < dim; ++j) {
            const double v = count == 1 ? from_y(rows.y(first, j)) : mean[j] / wsum;
            s.y.data.push_back(v);
            out.y.data.push_back(count == 1 ? rows.y(first, j) : to_y(v));
        }
        out.x.push_back(xg);
        s.w.push_back(wsum);
        ticker.tick();
    }
    s.y.rows = out.y.rows = out.x.size();
}

// Distinct x in order: each sample is its row, and only the units change.
void take_as_they_are(Rows& rows, bool with_index, Samples& out) {
    const Index k = rows.x.size(), dim = rows.y.cols;
    PreparedData& s = out.scaled;
    const Pow2 from_y(-out.ey), weight_up(2 * out.ed), delta_down(-out.ed);
    reserve_large(s.w, k);
    if (rows.d.empty())
        s.w.assign(k, weight_up(1.0));
    else if (rows.weights)
        for (Index q = 0; q < k; ++q) s.w.push_back(weight_up(rows.d[q]));
    else
        for (Index q = 0; q < k; ++q) {
            const double v = delta_down(rows.d[q]);
            s.w.push_back(1.0 / (v * v));
        }
    s.y.rows = k;
    s.y.cols = dim;
    reserve_large(s.y.data, k * dim);
    for (double v : rows.y.data) s.y.data.push_back(from_y(v));
    if (with_index)
        for (Index q = 0; q < k; ++q)
            out.index[rows.source.empty() ? q : rows.source[q]] = static_cast<std::int64_t>(q);
    out.x = std::move(rows.x);
    out.y = std::move(rows.y);
}

// The rest of the samples from the caller's x, the merged y and w in the units of
// the fits and the exponents: the caller's w, and x, y and delta for the fits.
void finish(Samples& out) {
    PreparedData& s = out.scaled;
    const Index m = out.x.size(), dim = s.y.cols;
    // Back to the caller's units: exact, being powers of two (but for values beyond
    // the doubles, such as the weight of a delta of 1e-200).
    const Pow2 to_w(-2 * out.ed), from_x(-out.ex);
    out.w = large_vector(m, 0.0);
    s.delta = large_vector(m, 0.0);
    s.x = large_vector(m, 0.0);
    const double* sw = s.w.data();
    double *ow = out.w.data(), *sd = s.delta.data(), *sx = s.x.data();
    const double* ox = out.x.data();
    for (Index i = 0; i < m; ++i) {
        ow[i] = to_w(sw[i]);
        sd[i] = std::sqrt(1.0 / sw[i]);
    }
    // Shifted to start at 0, unless that would merge neighbours (ulps coarser than
    // their spacing); each component centred on its mid-range.
    const double x0 = from_x(ox[0]);
    for (Index i = 0; i < m; ++i) sx[i] = from_x(ox[i]) - x0;
    bool increasing = true;
    for (Index i = 1; i < m; ++i) increasing = increasing && sx[i] > sx[i - 1];
    if (!increasing)
        for (Index i = 0; i < m; ++i) sx[i] = from_x(ox[i]);
    std::vector<double> lo(s.y.row(0), s.y.row(0) + dim), hi = lo;
    for (Index i = 1; i < m; ++i)
        for (Index j = 0; j < dim; ++j) {
            lo[j] = std::min(lo[j], s.y(i, j));
            hi[j] = std::max(hi[j], s.y(i, j));
        }
    out.y0.resize(dim);
    for (Index j = 0; j < dim; ++j) out.y0[j] = lo[j] * 0.5 + hi[j] * 0.5;
    for (Index i = 0; i < m; ++i)
        for (Index j = 0; j < dim; ++j) s.y(i, j) = s.y(i, j) - out.y0[j];
}

}  // namespace

Checked<Samples> prepare(Rows&& rows, bool with_index, Ticker& ticker) {
    const Index k = rows.x.size();
    check(k >= 2 && rows.y.rows == k && (rows.source.empty() || rows.source.size() == k),
          "rows do not match");
    bool sorted = true, distinct = true;
    for (Index q = 1; q < k && sorted; ++q) {
        sorted = !(rows.x[q] < rows.x[q - 1]);
        distinct = distinct && rows.x[q] != rows.x[q - 1];
    }
    Samples out;
    const auto [lo, hi] = sorted ? std::pair{rows.x.begin(), rows.x.end() - 1}
                                 : std::minmax_element(rows.x.begin(), rows.x.end());
    out.ex = spacing_exponent(*lo, *hi, k);
    out.ey = exponent_of(rows.y_top);
    out.ed = deviation_exponent(rows);
    if (with_index) out.index.assign(rows.inputs, -1);
    if (sorted && distinct)
        take_as_they_are(rows, with_index, out);
    else
        merge(rows, sorted, with_index, out, ticker);
    rows = Rows{};
    if (out.x.size() < 2) return InvalidInput{too_few(out.x.size())};
    finish(out);
    return out;
}

Checked<Samples> restore(std::vector<double>&& x, const MatView& y, std::vector<double>&& w, int ex,
                         int ey, int ed) {
    const Index m = x.size();
    if (m < 2 || y.rows() != m || w.size() != m) return InvalidInput{"not the state of Samples"};
    for (Index i = 0; i < m; ++i)
        if (!(std::isfinite(x[i]) && (i == 0 || x[i] > x[i - 1]) && w[i] > 0.0 &&
              std::isfinite(w[i])))
            return InvalidInput{"not the state of Samples"};
    Samples out;
    out.ex = ex, out.ey = ey, out.ed = ed;
    out.x = std::move(x);
    out.scaled.w = std::move(w);
    out.y = Matrix(m, y.cols());
    out.scaled.y = Matrix(m, y.cols());
    const Pow2 from_y(-ey);
    for (Index i = 0; i < m; ++i)
        for (Index j = 0; j < y.cols(); ++j) {
            out.y(i, j) = y(i, j);
            out.scaled.y(i, j) = from_y(y(i, j));
        }
    finish(out);
    return out;
}

}  // namespace velk::engine
