#include "ppform.hpp"

#include <algorithm>

namespace velk {
namespace {

// Horner's scheme on one coefficient row.
double horner(const double* row, Index order, double dt) {
    double v = row[0];
    for (Index m = 1; m < order; ++m) v = v * dt + row[m];
    return v;
}

}  // namespace

std::pair<Index, double> PPForm::find_piece(double t) const {
    const Index nb = breaks.size();
    if (nb < 2) return {0, nb == 0 ? 0.0 : breaks[0]};
    Index piece;
    if (breaks[0] >= t) {
        piece = 0;
    } else if (t >= breaks[nb - 1]) {
        piece = nb - 2;
    } else {
        Index lo = 0, hi = nb - 1;
        do {
            const Index mid = (lo + hi) / 2;
            if (t >= breaks[mid])
                lo = mid;
            else
                hi = mid;
        } while (lo + 1 < hi);
        piece = lo;
    }
    return {piece, breaks[piece]};
}

std::vector<double> PPForm::value_at(double t) const {
    const auto [piece, left] = find_piece(t);
    check(coefs.cols >= order && order >= 1 && (piece + 1) * dim <= coefs.rows,
          "index out of range");
    const double dt = t - left;
    std::vector<double> out(dim);
    for (Index j = 0; j < dim; ++j) out[j] = horner(coefs.row(piece * dim + j), order, dt);
    return out;
}

std::vector<double> PPForm::derivative_at(double t) const {
    const auto [piece, left] = find_piece(t);
    check(coefs.cols >= order && order >= 1 && (piece + 1) * dim <= coefs.rows,
          "index out of range");
    const double dt = t - left;
    const Index k = order;
    std::vector<double> out(dim);
    for (Index j = 0; j < dim; ++j) {
        const double* row = coefs.row(piece * dim + j);
        double v = row[0] * static_cast<double>(k - 1);
        if (k > 2)
            for (Index m = 1; m + 1 < k; ++m) v = v * dt + row[m] * static_cast<double>(k - 1 - m);
        out[j] = v;
    }
    return out;
}

Matrix PPForm::evaluate(const VecView& t) const {
    Matrix out(t.size(), dim);
    if (breaks.size() < 2) return out;
    check(coefs.cols >= order && order >= 1 && pieces() * dim <= coefs.rows, "index out of range");
    for (Index i = 0; i < t.size(); ++i) {
        const double ti = t[i];
        const auto [piece, left] = find_piece(ti);
        const double dt = ti - left;
        double* oi = out.row(i);
        for (Index j = 0; j < dim; ++j) oi[j] = horner(coefs.row(piece * dim + j), order, dt);
    }
    return out;
}

void PPForm::extend(double l, double r) {
    check(!breaks.empty(), "index out of range");
    check(l <= breaks.front() && breaks.back() <= r,
          "assertion failed: l <= self.breaks[0] && *self.breaks.last().unwrap() <= r");
    const Index nb = breaks.size();
    check(order == 4 && coefs.cols == 4 && coefs.rows >= (nb - 1) * dim, "index out of range");
    const double b0 = breaks.front(), be = breaks.back();
    const std::vector<double> f0 = value_at(b0), d0 = derivative_at(b0);
    const std::vector<double> fe = value_at(be), de = derivative_at(be);

    // In place: the fits leave room for the two new pieces, so neither array
    // is reallocated, only shifted.
    const Index old_rows = (nb - 1) * dim;
    breaks.insert(breaks.begin(), l);
    breaks.push_back(r);
    coefs.data.resize(old_rows * 4);
    coefs.data.insert(coefs.data.begin(), dim * 4, 0.0);
    coefs.data.resize((nb + 1) * dim * 4, 0.0);
    coefs.rows = (nb + 1) * dim;
    for (Index j = 0; j < dim; ++j) {
        double* first = coefs.row(j);
        first[2] = d0[j];
        first[3] = d0[j] * (l - b0) + f0[j];
        double* last = coefs.row(nb * dim + j);
        last[2] = de[j];
        last[3] = fe[j];
    }
    order = 4;
}

PPForm PPForm::join(const std::vector<PPForm>& parts) {
    check(!parts.empty(), "assertion failed: !parts.is_empty()");
    Index k = 0, nbreaks = 0, rows = 0;
    for (const PPForm& part : parts) {
        k = std::max(k, part.order);
        nbreaks += part.breaks.size();
        rows += part.coefs.rows;
    }
    const Index dim = parts.front().dim;
    Index pieces = 0;
    for (const PPForm& part : parts) pieces += part.pieces();

    PPForm out;
    out.dim = dim;
    out.order = k;
    reserve_large(out.breaks, nbreaks);
    out.coefs = Matrix(pieces * dim, k);
    check(rows <= out.coefs.rows, "index out of range");
    Index at = 0;
    for (Index p = 0; p < parts.size(); ++p) {
        const PPForm& part = parts[p];
        const auto skip = static_cast<std::ptrdiff_t>(p == 0 || part.breaks.empty() ? 0 : 1);
        out.breaks.insert(out.breaks.end(), part.breaks.begin() + skip, part.breaks.end());
        check(part.coefs.cols >= part.order, "index out of range");
        for (Index i = 0; i < part.coefs.rows; ++i, ++at)
            std::copy_n(part.coefs.row(i), part.order, out.coefs.row(at) + (k - part.order));
    }
    return out;
}

}  // namespace velk
