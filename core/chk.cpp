#include "chk.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace velk {

std::string format_shortest(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";

    // Shortest round-trip digits come from to_chars; its own formats use an
    // exponent for small and large values, so the point is placed here.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const auto e_pos = sci.find('e');
    std::string_view mant = sci.substr(0, e_pos);
    int exp10 = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0),
                    sci.data() + sci.size(), exp10);

    std::string out;
    if (!mant.empty() && mant.front() == '-') {
        out.push_back('-');
        mant.remove_prefix(1);
    }
    std::string digits;
    for (char ch : mant)
        if (ch != '.') digits.push_back(ch);

    const long n_int = static_cast<long>(exp10) + 1;  // digits before the point
    const long n_dig = static_cast<long>(digits.size());
    if (n_int <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n_int), '0');
        out += digits;
    } else if (n_dig <= n_int) {
        out += digits;
        out.append(static_cast<std::size_t>(n_int - n_dig), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(n_int));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(n_int), std::string::npos);
    }
    return out;
}

std::string InputError::message() const {
    switch (kind) {
        case Kind::POutOfRange:
            return "p must satisfy 0 <= p <= 1, got " + format_shortest(value);
        case Kind::GammaOutOfRange:
            return "gamma must satisfy 0 <= gamma, got " + format_shortest(value);
        case Kind::TooFewPoints:
            return "at least two finite data points are required, got " + std::to_string(a);
        case Kind::LengthMismatch:
            return "x and y must have matching length: x has " + std::to_string(a) + ", y has " +
                   std::to_string(b);
        case Kind::DeltaLengthMismatch:
            return "delta must have the same length as x (" + std::to_string(a) + "), got " +
                   std::to_string(b);
        case Kind::LamOutOfRange:
            return "lam must satisfy 0 <= lam, got " + format_shortest(value);
        case Kind::LengthOutOfRange:
            return "smoothing length must satisfy 0 <= length, got " + format_shortest(value);
        case Kind::JumpCostOutOfRange:
            return "jump cost must satisfy 0 <= jump cost, got " + format_shortest(value);
        case Kind::NonFiniteX:
            return "x must be finite, got " + format_shortest(value) + " at index " +
                   std::to_string(a);
        case Kind::BadDelta:
            return "delta must be finite and non-zero, got " + format_shortest(value) +
                   " at index " + std::to_string(a);
    }
    fail("unknown input error kind");
}

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
