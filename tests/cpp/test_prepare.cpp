// Preparation of samples, by the core and by the engine, against a direct
// reference (drop the rows that are not finite, sort by x, merge equal x into
// weighted means with summed weights).
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "check.hpp"
#include "dense.hpp"
#include "fit.hpp"
#include "samples.hpp"

namespace {

using namespace velk;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Group {  // of the finite rows at one x
    double w = 0.0;
    std::vector<double> wy;  // sum of w y
    Index rows = 0;
};

bool finite_row(const Matrix& y, Index i) {
    bool finite = true;
    for (Index j = 0; j < y.cols; ++j) finite = finite && std::isfinite(y(i, j));
    return finite;
}

// x equal, w and the means to rounding; a lone sample's values exactly where
// `lone_exact`.
void check_samples(const std::map<double, Group>& want, const std::vector<double>& x,
                   const Matrix& y, const std::vector<double>& w, bool lone_exact) {
    CHECK_EQ(x.size(), want.size());
    if (x.size() != want.size() || y.rows != x.size() || w.size() != x.size()) return;
    Index i = 0;
    for (const auto& [xg, g] : want) {
        CONTEXT("sample ", i, " at x = ", xg, " of ", g.rows, " rows");
        CHECK_EQ(x[i], xg);
        CHECK_NEAR(w[i], g.w, 1e-14 * g.w);
        for (Index j = 0; j < y.cols; ++j) {
            if (g.rows == 1 && lone_exact) CHECK_EQ(y(i, j) * g.w, g.wy[j]);
            CHECK_NEAR(y(i, j), g.wy[j] / g.w, 1e-12 * 30.0);
        }
        ++i;
    }
}

// Rows with repeated x in random order (or x absent: 1, 2, ...), delta spread
// or absent, a few rows not finite (the first in every third case).
TEST(sorted_merged_and_mapped_to_their_rows) {
    vt::Rng rng(31);
    for (int k = 0; k < 60; ++k) {
        const Index n = 2 + rng.below(40), dim = 1 + rng.below(3);
        const bool with_x = k % 4 != 0, with_delta = k % 2 == 0;
        CONTEXT("case ", k, ": n = ", n, ", dim = ", dim, with_x ? ", x" : "",
                with_delta ? ", delta" : "");
        std::vector<double> xs, ds;
        Matrix y(n, dim);
        std::map<double, Group> want;
        for (Index i = 0; i < n; ++i) {
            xs.push_back(with_x ? static_cast<double>(rng.below(n / 2 + 1)) * 0.75 - 2.0
                                : static_cast<double>(i + 1));
            ds.push_back(with_delta ? rng.uniform(0.3, 3.0) : 1.0);
            for (Index j = 0; j < dim; ++j) y(i, j) = rng.normal() * 10.0;
            const double r = rng.uniform();
            if (r < 0.05 || (i == 0 && k % 3 == 0)) y(i, rng.below(dim)) = kNaN;
            if (r > 0.97) y(i, rng.below(dim)) = -kInf;
            if (!finite_row(y, i)) continue;
            Group& g = want[xs[i]];
            const double w = 1.0 / (ds[i] * ds[i]);
            g.wy.resize(dim, 0.0);
            g.w += w;
            for (Index j = 0; j < dim; ++j) g.wy[j] += w * y(i, j);
            ++g.rows;
        }
        const VecView x(xs), delta(ds);
        const VecView* xp = with_x ? &x : nullptr;
        const VecView* dp = with_delta ? &delta : nullptr;
        Ticker never;
        Outcome<PreparedData> core = prepare_input(xp, y, dp, never);
        CHECK_EQ(core.ok(), want.size() >= 2);
        engine::Checked<engine::Rows> rows = engine::keep_finite(xp, y, dp, nullptr);
        if (!core.ok() || !rows.ok()) continue;
        const PreparedData& d = core.value();
        check_samples(want, d.x, d.y, d.w, false);
        for (Index i = 0; i < d.x.size(); ++i)
            CHECK_NEAR(d.delta[i], 1.0 / std::sqrt(d.w[i]), 1e-15 * d.delta[i]);

        auto samples = engine::prepare(std::move(rows.value()), true, never);
        CHECK(samples.ok());
        if (!samples.ok()) continue;
        const engine::Samples& s = samples.value();
        check_samples(want, s.x, s.y, s.w, true);
        CHECK_EQ(s.index.size(), n);
        for (Index i = 0; i < n && i < s.index.size(); ++i) {
            const auto at = finite_row(y, i) ? std::distance(want.begin(), want.find(xs[i])) : -1;
            CHECK_EQ(s.index[i], at);
        }
    }
}

}  // namespace
