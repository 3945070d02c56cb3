// Piecewise polynomial in breaks-and-coefficients form.
#pragma once

#include <utility>
#include <vector>

#include "array.hpp"

namespace velk {

struct PPForm {
    std::vector<double> breaks;  // nb, non-decreasing; piece p is [breaks[p], breaks[p+1]]
    Matrix coefs;                // ((nb-1)*dim) x order; row p*dim+j, highest power first
    Index dim = 0;
    Index order = 0;

    Index pieces() const { return breaks.size() < 2 ? 0 : breaks.size() - 1; }

    // Piece containing t (left-closed; outside points use the end pieces) and its left break.
    std::pair<Index, double> find_piece(double t) const;
    std::vector<double> value_at(double t) const;
    std::vector<double> derivative_at(double t) const;
    // Values at every point: n x dim.
    Matrix evaluate(const VecView& t) const;

    // Adds tangent-line pieces on [l, breaks.front()] and [breaks.back(), r].
    void extend(double l, double r);
    PPForm clone() const { return *this; }

    // Concatenates consecutive parts (each starting where the previous ends)
    // into new arrays; the parts are left as they are.
    static PPForm join(const std::vector<PPForm>& parts);
};

}  // namespace velk
