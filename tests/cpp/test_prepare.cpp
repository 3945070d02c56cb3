// Preparation of samples, by the core and by the engine, against a direct
// reference (drop the rows that are not finite, sort by x, merge equal x into
// weighted means with summed weights), and the errors that come back as values.
#include <cmath>
#include <limits>
#include <map>
#include <string>
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

// Bad input gives the message users read; rows that are merely not finite go.
TEST(engine_errors_are_values) {
    Matrix y(3, 1);
    y.data = {1.0, 2.0, 3.0};
    const std::string few = "at least two finite data points are required, got 1";
    const struct {
        std::vector<double> x, delta, w;  // empty: absent
        std::string message;              // empty: none
    } cases[] = {
        {{}, {1.0, 0.0, 1.0}, {}, "delta must be positive"},
        {{}, {1.0, -2.0, 1.0}, {}, "delta must be positive"},
        {{}, {}, {1.0, 1.0, 0.0}, "w must be positive"},
        {{1.0, 2.0}, {}, {}, "x must have one value per row of y"},
        {{}, {1.0, 1.0, 1.0, 1.0}, {}, "delta must have one value per row of y"},
        {{}, {}, {1.0}, "w must have one value per row of y"},
        {{kNaN, 1.0, kInf}, {}, {}, few},
        {{2.0, 2.0, 2.0}, {}, {}, few},
        {{}, {kNaN, 1.0, kInf}, {}, few},
        {{kNaN, 1.0, 2.0}, {0.0, 1.0, 1.0}, {}, ""},  // the zero delta's row goes
        {{}, {}, {kInf, 1.0, 2.0}, ""},
    };
    int k = 0;
    for (const auto& c : cases) {
        CONTEXT("case ", k++);
        const VecView x(c.x), delta(c.delta), w(c.w);
        auto rows =
            engine::keep_finite(c.x.empty() ? nullptr : &x, y, c.delta.empty() ? nullptr : &delta,
                                c.w.empty() ? nullptr : &w);
        std::string message = rows.ok() ? "" : rows.error().message;
        if (rows.ok()) {
            Ticker never;
            auto samples = engine::prepare(std::move(rows.value()), false, never);
            if (!samples.ok()) message = samples.error().message;
        }
        CHECK_EQ(message, c.message);
    }
}

// The core's checks of sizes, counts and the two numbers of a fit.
TEST(core_errors_are_values) {
    using Kind = InputError::Kind;
    const struct {
        Index rows, nx, ndelta, nan_rows;  // nx, ndelta 0: absent
        double p, gamma;
        Kind kind;
        Index a, b;
    } cases[] = {
        {1, 0, 0, 0, 0.5, 1.0, Kind::TooFewPoints, 1, 0},
        {0, 0, 0, 0, 0.5, 1.0, Kind::TooFewPoints, 0, 0},
        {4, 5, 0, 0, 0.5, 1.0, Kind::LengthMismatch, 5, 4},
        {4, 4, 3, 0, 0.5, 1.0, Kind::DeltaLengthMismatch, 4, 3},
        {4, 0, 4, 3, 0.5, 1.0, Kind::TooFewPoints, 1, 0},  // one finite row
        {4, 4, 0, 0, 0.5, 1.0, Kind::TooFewPoints, 1, 0},  // all x equal
        {4, 0, 0, 0, 1.5, 1.0, Kind::POutOfRange, 0, 0},
        {4, 0, 0, 0, -0.1, 1.0, Kind::POutOfRange, 0, 0},
        {4, 0, 0, 0, kNaN, 1.0, Kind::POutOfRange, 0, 0},
        {4, 0, 0, 0, 0.5, -1.0, Kind::GammaOutOfRange, 0, 0},
    };
    int k = 0;
    for (const auto& c : cases) {
        CONTEXT("case ", k++);
        Matrix y(c.rows, 2);
        for (Index i = 0; i < c.rows; ++i) y(i, i % 2) = i < c.nan_rows ? kNaN : 1.0;
        const std::vector<double> xs(c.nx, 1.0), ds(c.ndelta, 1.0);
        const VecView x(xs), delta(ds);
        Ticker never;
        Outcome<FitResult> got = fit(c.nx ? &x : nullptr, y, c.ndelta ? &delta : nullptr,
                                     Pruning::FPVI, Precondition::None, c.p, c.gamma, never);
        CHECK(!got.ok());
        if (got.ok()) continue;
        CHECK(got.error().kind == c.kind);
        CHECK_EQ(got.error().a, c.a);
        CHECK_EQ(got.error().b, c.b);
    }
    Ticker never;
    CHECK(fit(nullptr, Matrix(3, 1), nullptr, Pruning::PELT, Precondition::None, 0.5, kNaN, never)
              .ok());
    CHECK_EQ(InputError::p_out_of_range(1.5).message(), "p must satisfy 0 <= p <= 1, got 1.5");
}

}  // namespace
