#include "cv.hpp"

#include <cmath>
#include <limits>

#include "fit.hpp"

namespace velk {

double cv_score(const VecView& x, const MatView& y, const VecView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma, Ticker& ticker) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (gamma <= 0.0 || p < 0.0 || p > 1.0 || std::isnan(p)) return inf;

    const Index n = x.size();
    const Index dim = y.cols();
    double score = 0.0;
    // Membership of the held-out values; indices outside 0..n-1 match no sample.
    std::vector<unsigned char> held(n, 0);
    auto as_index = [](std::int64_t v) { return static_cast<Index>(v); };  // negatives wrap past n

    for (const std::vector<std::int64_t>& fold : folds) {
        for (std::int64_t v : fold)
            if (as_index(v) < n) held[as_index(v)] = 1;
        Index t = 0;
        for (Index i = 0; i < n; ++i) t += held[i] ? 0 : 1;

        std::vector<double> tx(t), tdelta(t);
        Matrix ty(t, dim);
        for (Index i = 0, k = 0; i < n; ++i) {
            if (held[i]) continue;
            y.check_row(i);
            tx[k] = x[i];
            for (Index j = 0; j < dim; ++j) ty(k, j) = y(i, j);
            tdelta[k] = delta.at(i);
            ++k;
        }
        for (std::int64_t v : fold)
            if (as_index(v) < n) held[as_index(v)] = 0;

        const VecView txv(tx), tdv(tdelta);
        Outcome<FitResult> trained = fit(&txv, ty, &tdv, pruning, precondition, p, gamma, ticker);
        if (!trained.ok()) return inf;

        std::vector<double> x_test(fold.size());
        for (Index k = 0; k < fold.size(); ++k) x_test[k] = x.at(as_index(fold[k]));
        const Matrix pred = trained.value().pp.evaluate(x_test);
        for (Index k = 0; k < fold.size(); ++k) {
            const Index i = as_index(fold[k]);
            y.check_row(i);
            const double d = delta.at(i);
            for (Index j = 0; j < dim; ++j) {
                const double r = (pred(k, j) - y(i, j)) / d;
                score = score + r * r;
            }
        }
    }
    return score / static_cast<double>(n);
}

}  // namespace velk
