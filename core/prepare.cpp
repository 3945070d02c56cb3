#include "prepare.hpp"

#include <algorithm>
#include <cmath>

namespace velk {

Outcome<PreparedData> prepare_input(const VecView* x, const MatView& y, const VecView* delta,
                                    Ticker& ticker) {
    const Index n = y.rows();
    const Index dim = y.cols();
    if (n < 2) return InputError::too_few_points(n);
    if (x != nullptr && x->size() != n) return InputError::length_mismatch(x->size(), n);
    if (delta != nullptr && delta->size() != n)
        return InputError::delta_length_mismatch(n, delta->size());

    // Keep the samples whose whole row is finite; x and delta are not inspected.
    std::vector<Index> kept;
    reserve_large(kept, n);
    for (Index i = 0; i < n; ++i) {
        bool finite = true;
        for (Index j = 0; j < dim && finite; ++j) finite = std::isfinite(y(i, j));
        if (finite) kept.push_back(i);
        ticker.tick();
    }
    const Index k = kept.size();
    if (k < 2) return InputError::too_few_points(k);

    auto x_of = [&](Index i) { return x != nullptr ? (*x)[i] : static_cast<double>(i + 1); };
    auto w_of = [&](Index i) {
        const double d = delta != nullptr ? (*delta)[i] : 1.0;
        return 1.0 / (d * d);
    };

    // Sorting needs a strict weak order: a NaN abscissa breaks it.
    for (Index i : kept)
        if (std::isnan(x_of(i))) fail("NaN in x");
    bool sorted = true;
    for (Index q = 1; q < k && sorted; ++q) sorted = !(x_of(kept[q]) < x_of(kept[q - 1]));
    if (!sorted)
        std::stable_sort(kept.begin(), kept.end(), [&](Index a, Index b) {
            ticker.tick();
            return x_of(a) < x_of(b);
        });

    PreparedData out;
    reserve_large(out.x, k);
    reserve_large(out.w, k);
    out.y.cols = dim;
    reserve_large(out.y.data, k * dim);
    for (Index q = 0; q < k;) {
        const Index first = kept[q];
        const double xg = x_of(first);
        double wsum = w_of(first);
        const std::size_t row0 = out.y.data.size();
        for (Index j = 0; j < dim; ++j) out.y.data.push_back(wsum * y(first, j));
        double* s = out.y.data.data() + row0;
        ++q;
        for (; q < k && x_of(kept[q]) == xg; ++q) {
            const Index i = kept[q];
            const double wi = w_of(i);
            wsum = wsum + wi;
            for (Index j = 0; j < dim; ++j) s[j] = s[j] + wi * y(i, j);
        }
        for (Index j = 0; j < dim; ++j) s[j] = s[j] / wsum;
        out.x.push_back(xg);
        out.w.push_back(wsum);
        ticker.tick();
    }
    const Index m = out.x.size();
    if (m < 2) return InputError::too_few_points(m);
    out.y.rows = m;

    reserve_large(out.delta, m);
    out.delta.resize(m);
    for (Index i = 0; i < m; ++i) out.delta[i] = std::sqrt(1.0 / out.w[i]);
    return out;
}

}  // namespace velk
