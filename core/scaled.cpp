#include "scaled.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velk {
namespace {

// The binary exponent of v, or 0 for zero and non-finite values.
int exponent_of(double v) { return v > 0.0 && std::isfinite(v) ? std::ilogb(v) : 0; }

// Of the mean spacing; the span is halved first so that it cannot overflow.
int spacing_exponent(const std::vector<double>& x) {
    const Index n = x.size();
    if (n < 2) return 0;
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    return exponent_of((*hi * 0.5 - *lo * 0.5) / static_cast<double>(n - 1)) + 1;
}

// Of the largest finite value.
int value_exponent(const Matrix& y) {
    double top = 0.0;
    for (double v : y.data)
        if (std::isfinite(v)) top = std::max(top, std::fabs(v));
    return exponent_of(top);
}

// Of the median deviation.
int deviation_exponent(const std::vector<double>& d) {
    if (d.empty()) return 0;
    std::vector<double> a(d.size());
    for (Index i = 0; i < d.size(); ++i) a[i] = std::fabs(d[i]);
    auto mid = a.begin() + static_cast<std::ptrdiff_t>(a.size() / 2);
    std::nth_element(a.begin(), mid, a.end());
    return exponent_of(*mid);
}

void scale(std::vector<double>& v, int e) {
    for (double& value : v) value = std::ldexp(value, -e);
}

template <class T>
void release(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

// The prepared samples shifted to start at x = 0 and to centre each
// component, for the search and the segment fits. Falls back to no shift of
// x when the shift would merge neighbours (ulps coarser than theirs).
struct Shifted {
    PreparedData data;
    std::vector<double> y0;  // the shift of each component
};

Shifted shifted(PreparedData& p) {
    const Index m = p.x.size(), dim = p.y.cols;
    Shifted s;
    s.data.x = large_vector(m, 0.0);
    bool increasing = true;
    for (Index i = 0; i < m; ++i) {
        s.data.x[i] = p.x[i] - p.x[0];
        if (i > 0 && !(s.data.x[i] > s.data.x[i - 1])) increasing = false;
    }
    if (!increasing) s.data.x = p.x;
    s.y0.assign(dim, 0.0);
    for (Index j = 0; j < dim; ++j) {
        double lo = p.y(0, j), hi = lo;
        for (Index i = 1; i < m; ++i) {
            lo = std::min(lo, p.y(i, j));
            hi = std::max(hi, p.y(i, j));
        }
        s.y0[j] = lo * 0.5 + hi * 0.5;
    }
    s.data.y = Matrix(m, dim);
    for (Index i = 0; i < m; ++i)
        for (Index j = 0; j < dim; ++j) s.data.y(i, j) = p.y(i, j) - s.y0[j];
    s.data.w = std::move(p.w);
    s.data.delta = std::move(p.delta);
    return s;
}

// lam in the units of the shifted, scaled samples.
double scaled_lam(Smoothing smoothing, const PreparedData& s, int ex, int ed) {
    if (smoothing.kind == Smoothing::Kind::Lam) return std::ldexp(smoothing.value, 2 * ed - 3 * ex);
    const Index m = s.x.size();
    double wsum = 0.0;
    for (double w : s.w) wsum += w;
    const double w_mean = wsum / static_cast<double>(m);
    const double h_mean = (s.x[m - 1] - s.x[0]) / static_cast<double>(m - 1);
    const double length = std::ldexp(smoothing.value, -ex);
    return ((length * length) * (length * length)) * w_mean / h_mean;
}

// Segment k's polynomial back in the caller's units: its breaks from the
// prepared x (exact sample positions and midpoints), the shift of y in its
// constant terms; the coefficients stay in units of x_unit and y_unit.
void map_back(PPForm& pp, const std::vector<double>& x, Index i, Index j, bool first, bool last,
              const std::vector<double>& y0, double x_unit) {
    const Index m = x.size();
    const double l = first ? x[0] - x_unit : (x[i] + x[i - 1]) * 0.5;
    const double r = last ? x[m - 1] + x_unit : (x[j + 1] + x[j]) * 0.5;
    std::vector<double> breaks;
    breaks.reserve(j - i + 3);
    breaks.push_back(l);
    if (i < j)
        for (Index k = i; k <= j; ++k) breaks.push_back(x[k]);
    breaks.push_back(r);
    check(breaks.size() == pp.breaks.size() && pp.order == 4, "segment does not match its run");
    pp.breaks = std::move(breaks);
    for (Index row = 0; row < pp.coefs.rows; ++row) pp.coefs(row, 3) += y0[row % pp.dim];
}

}  // namespace

Outcome<ScaledFit> fit_scaled(Samples&& in, Pruning pruning, Precondition precondition,
                              Smoothing smoothing, double jump_cost, bool with_stats,
                              Ticker& ticker) {
    if (!(smoothing.value >= 0.0))
        return smoothing.kind == Smoothing::Kind::Lam
                   ? InputError::lam_out_of_range(smoothing.value)
                   : InputError::length_out_of_range(smoothing.value);
    if (!(jump_cost >= 0.0)) return InputError::jump_cost_out_of_range(jump_cost);
    for (Index i = 0; i < in.x.size(); ++i)
        if (!std::isfinite(in.x[i])) return InputError::non_finite_x(in.x[i], i);
    for (Index i = 0; i < in.delta.size(); ++i)
        if (!std::isfinite(in.delta[i]) || in.delta[i] == 0.0)
            return InputError::bad_delta(in.delta[i], i);

    // Powers of two: the scaled inputs hold exactly the caller's values.
    const int ex = spacing_exponent(in.x);
    const int ey = value_exponent(in.y);
    const int ed = deviation_exponent(in.delta);
    scale(in.x, ex);
    scale(in.y.data, ey);
    scale(in.delta, ed);
    const VecView xv(in.x), dv(in.delta);
    Outcome<PreparedData> prepared =
        prepare_input(&xv, in.y, in.delta.empty() ? nullptr : &dv, ticker);
    if (!prepared.ok()) return prepared.error();
    PreparedData& p = prepared.value();
    release(in.x);
    release(in.y.data);
    release(in.delta);

    Shifted s = shifted(p);
    const double lam = scaled_lam(smoothing, s.data, ex, ed);
    const double cost = std::ldexp(jump_cost, 2 * ed - 2 * ey);
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double sp = lam == inf ? 0.0 : 1.0 / (1.0 + lam);
    std::vector<double> w = s.data.w;
    FitResult out = fit_prepared(std::move(s.data), pruning, precondition, sp,
                                 sp > 0.0 ? cost * sp : cost, ticker);
    FitStats stats;
    if (with_stats) {
        stats = fit_stats(out, w, lam);
        stats.rss = std::ldexp(stats.rss, 2 * ey - 2 * ed);
    }

    // Back to the caller's units.
    out.x = std::move(p.x);
    for (double& v : out.x) v = std::ldexp(v, ex);
    out.y = std::move(p.y);
    for (double& v : out.y.data) v = std::ldexp(v, ey);
    const double x_unit = std::ldexp(1.0, ex);
    const Index segments = out.pp_cell.size();
    for (Index k = 0; k < segments; ++k) {
        const auto& run = out.interval_cell[k];
        map_back(out.pp_cell[k], out.x, run.front(), run.back(), k == 0, k + 1 == segments, s.y0,
                 x_unit);
    }
    out.pp = PPForm::join(out.pp_cell);
    for (Index k = 0; k < out.discont.size(); ++k) {
        const Index i = out.discont_idx[k];
        out.discont[k] = (out.x[i + 1] + out.x[i]) * 0.5;
    }
    for (double& v : out.F) v = std::ldexp(sp > 0.0 ? v / sp : v, 2 * ey - 2 * ed);
    const double caller_lam = std::ldexp(lam, 3 * ex - 2 * ed);
    if (!with_stats) stats = FitStats{};
    for (double& v : w) v = std::ldexp(v, -2 * ed);
    return ScaledFit{std::move(out), x_unit, std::ldexp(1.0, ey), caller_lam, std::move(w), stats};
}

}  // namespace velk
