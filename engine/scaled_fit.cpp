#include "scaled_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "ar1.hpp"
#include "fit.hpp"
#include "functional.hpp"
#include "line_search.hpp"
#include "line_states.hpp"
#include "partition_search.hpp"
#include "pow2.hpp"
#include "segment.hpp"
#include "segment_splines.hpp"

namespace velk::engine {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// lam in the units of the fits.
double scaled_lam(Smoothing smoothing, const Samples& smp) {
    if (smoothing.kind == Smoothing::Kind::Lam)
        return std::ldexp(smoothing.value, 2 * smp.ed - 3 * smp.ex);
    const PreparedData& s = smp.scaled;
    const Index m = s.x.size();
    double wsum = 0.0;
    for (double w : s.w) wsum += w;
    const double w_mean = wsum / static_cast<double>(m);
    const double h_mean = (s.x[m - 1] - s.x[0]) / static_cast<double>(m - 1);
    const double length = std::ldexp(smoothing.value, -smp.ex);
    return ((length * length) * (length * length)) * w_mean / h_mean;
}

// The first sample of the last segment of every prefix, and the samples fed.
PartitionResult search(const PreparedData& s, Search search, Precondition precondition, double p,
                       double gamma, Ticker& ticker) {
    const Index m = s.x.size();
    if (p == 1.0 || gamma >= kInf) {
        PartitionResult none;
        none.partition = large_vector<Index>(m, 0);
        none.complexity_counter = m;
        return none;
    }
    if (p == 0.0) {
        if (search == Search::Functional)
            return functional_line_search(LineModel(s.x, s.y, s.delta), gamma, ticker);
        return line_partition_search(s.x, s.y, s.delta, gamma, ticker);
    }
    const SegmentModel model = make_segment_model(s, p, precondition);
    if (search == Search::Functional) return functional_search(model, gamma, ticker);
    return partition_search(model, gamma, search == Search::FPVI ? Pruning::FPVI : Pruning::PELT,
                            ticker);
}

// With AR(1) noise: the functional search on the model's reduced quadratics,
// phi_b the correlation of each interval.
PartitionResult ar1_search(const PreparedData& s, Precondition precondition, double p, double gamma,
                           const std::vector<double>& phi, Ticker& ticker) {
    if (p == 1.0 || gamma >= kInf) {
        PartitionResult none;
        none.partition = large_vector<Index>(s.x.size(), 0);
        none.complexity_counter = s.x.size();
        return none;
    }
    return ar1_functional_search(make_ar1_model(s, p, precondition, phi), gamma, ticker);
}

// Segment `seg` back in the caller's units: its breaks from the caller's x
// (exact sample positions and midpoints), the shift of y in its constant terms;
// the coefficients stay in units of x_unit and y_unit.
void map_back(Segment& seg, const Samples& smp, bool first, bool last, double x_unit) {
    const std::vector<double>& x = smp.x;
    const Index m = x.size(), i = seg.first, j = seg.last;
    PPForm& pp = seg.pp;
    check(pp.breaks.size() == (i < j ? j - i + 3 : 2) && pp.order == 4,
          "segment does not match its run");
    Index b = 0;
    pp.breaks[b++] = first ? x[0] - x_unit : (x[i] + x[i - 1]) * 0.5;
    if (i < j)
        for (Index k = i; k <= j; ++k) pp.breaks[b++] = x[k];
    pp.breaks[b] = last ? x[m - 1] + x_unit : (x[j + 1] + x[j]) * 0.5;
    for (Index row = 0; row < pp.coefs.rows; ++row) pp.coefs(row, 3) += smp.y0[row % pp.dim];
}

std::optional<InvalidInput> invalid(const Setting& setting) {
    const Smoothing smoothing = setting.smoothing;
    if (!(smoothing.value >= 0.0))
        return InvalidInput{(smoothing.kind == Smoothing::Kind::Lam
                                 ? "lam must satisfy 0 <= lam, got "
                                 : "smoothing length must satisfy 0 <= length, got ") +
                            format_shortest(smoothing.value)};
    if (!(setting.jump_cost >= 0.0))
        return InvalidInput{"jump cost must satisfy 0 <= jump cost, got " +
                            format_shortest(setting.jump_cost)};
    if (setting.phi && setting.search != Search::Functional)
        return InvalidInput{
            "phi needs pruning='functional': FPVI and PELT assume independent noise"};
    return std::nullopt;
}

InvalidInput overflow(const std::vector<double>& x) {
    double lo = kInf, hi = 0.0;
    for (std::size_t k = 1; k < x.size(); ++k) {
        lo = std::min(lo, x[k] - x[k - 1]);
        hi = std::max(hi, x[k] - x[k - 1]);
    }
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.3g", hi / lo);
    return InvalidInput{
        std::string("the fit overflows double precision: the largest spacing of x is ") + ratio +
        " times the smallest"};
}

// The correlation of every interval under setting.phi; empty without it.
Checked<std::vector<double>> correlations(const Samples& smp, const Setting& setting, double p) {
    if (!setting.phi) return std::vector<double>{};
    if (p == 0.0)
        return InvalidInput{"phi is not supported with straight lines (an infinite lam or length)"};
    return ar1_correlations(smp.scaled.x, *setting.phi);
}

// The search in the units of the fits: p = 1 / (1 + lam) and gamma = p * cost.
struct Scaled {
    double lam, p, gamma;
};

Scaled scaled_setting(const Samples& smp, const Setting& setting) {
    const double lam = scaled_lam(setting.smoothing, smp);
    const double cost = std::ldexp(setting.jump_cost, 2 * smp.ed - 2 * smp.ey);
    const double p = lam == kInf ? 0.0 : 1.0 / (1.0 + lam);
    return {lam, p, p > 0.0 ? cost * p : cost};
}

// The partition of given jumps, as a search returns it: every sample's entry
// the first sample of its segment.
Checked<PartitionResult> given_partition(Index m, const std::vector<Index>& jumps) {
    PartitionResult out;
    out.partition = large_vector<Index>(m, 0);
    Index start = 0, k = 0;
    for (Index r = 0; r < m; ++r) {
        out.partition[r] = start;
        if (k < jumps.size() && jumps[k] == r) {
            start = r + 1;
            ++k;
        }
    }
    // Every jump was met in order only if they increase and lie before the last sample.
    if (k != jumps.size() || (k > 0 && jumps[k - 1] + 1 >= m))
        return InvalidInput{"jump_index must hold increasing indices of samples before the last (" +
                            std::to_string(m - 1) + ")"};
    return out;
}

}  // namespace

Checked<SearchResult> search_only(const Samples& smp, const Setting& setting, Ticker& ticker) {
    if (auto error = invalid(setting)) return *error;
    const Scaled sc = scaled_setting(smp, setting);
    Checked<std::vector<double>> phi = correlations(smp, setting, sc.p);
    if (!phi.ok()) return phi.error();
    PartitionResult found =
        setting.phi
            ? ar1_search(smp.scaled, setting.precondition, sc.p, sc.gamma, phi.value(), ticker)
            : search(smp.scaled, setting.search, setting.precondition, sc.p, sc.gamma, ticker);
    SearchResult out;
    out.costs = std::move(found.F);
    out.costs.resize(smp.size(), 0.0);  // no search: F was never needed
    const Pow2 to_d(2 * smp.ey - 2 * smp.ed);
    for (double& v : out.costs) v = to_d(sc.p > 0.0 ? v / sc.p : v);
    out.starts = std::move(found.partition);
    out.samples_fed = found.complexity_counter;
    return out;
}

Checked<Fit> fit(const Samples& smp, const Setting& setting, bool with_stats, Ticker& ticker,
                 const std::vector<Index>* jumps) {
    if (auto error = invalid(setting)) return *error;
    const PreparedData& s = smp.scaled;
    const Scaled sc = scaled_setting(smp, setting);
    Checked<std::vector<double>> phi = correlations(smp, setting, sc.p);
    if (!phi.ok()) return phi.error();
    const double lam = sc.lam, p = sc.p;
    PartitionResult found;
    if (jumps) {
        Checked<PartitionResult> given = given_partition(s.x.size(), *jumps);
        if (!given.ok()) return given.error();
        found = std::move(given.value());
    } else {
        found = setting.phi ? ar1_search(s, setting.precondition, p, sc.gamma, phi.value(), ticker)
                            : search(s, setting.search, setting.precondition, p, sc.gamma, ticker);
    }
    Fit out;
    out.samples_fed = found.complexity_counter;
    // At p = 1 every spline interpolates, whatever the noise, and at p = 0 it is
    // the least-squares line: the core's closed forms, exact where the least-squares
    // rows would be singular.
    std::vector<Segment> segments =
        p > 0.0 && p < 1.0 ? segment_splines(s, found.partition, p, phi.value(), ticker)
                           : fit_segments(s, found.partition, p, ticker);
    found = {};

    if (with_stats) {
        const Pow2 to_d(2 * smp.ey - 2 * smp.ed);
        out.stats = setting.phi ? ar1_fit_stats(s, segments, lam, phi.value())
                                : fit_stats(s, segments, lam);
        const double penalised =
            lam == kInf ? out.stats.rss : out.stats.rss + lam * out.stats.roughness;
        out.prss = to_d(penalised);
        out.stats.rss = to_d(out.stats.rss);
        out.stats.roughness = std::ldexp(out.stats.roughness, 2 * smp.ey - 3 * smp.ex);
    }

    out.x_unit = std::ldexp(1.0, smp.ex);
    out.y_unit = std::ldexp(1.0, smp.ey);
    out.lam = std::ldexp(lam, 3 * smp.ex - 2 * smp.ed);
    const Index count = segments.size();
    for (Index k = 0; k < count; ++k) {
        map_back(segments[k], smp, k == 0, k + 1 == count, out.x_unit);
        if (k > 0) {
            out.jumps.push_back(segments[k].pp.breaks.front());
            out.jump_index.push_back(segments[k].first - 1);
        }
    }
    PPForm pp;
    if (count == 1) {
        pp = std::move(segments[0].pp);
    } else {
        std::vector<PPForm> parts;
        parts.reserve(count);
        for (Segment& seg : segments) parts.push_back(std::move(seg.pp));
        segments = {};
        pp = PPForm::join(parts);
    }
    // Every input is finite, yet a spline through samples whose spacings differ by
    // a factor of ~1e100 or more can have coefficients beyond double precision: an
    // error, not a curve of NaN.
    for (double c : pp.coefs.data)
        if (!std::isfinite(c)) return overflow(smp.x);
    if (with_stats && !std::isfinite(out.prss)) return overflow(smp.x);
    out.breaks = std::move(pp.breaks);
    out.coefs = std::move(pp.coefs);
    return out;
}

}  // namespace velk::engine
