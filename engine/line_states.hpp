// Forward states of straight-line segments, for the functional search at p = 0.
//
// A segment's weighted least-squares line is kept in terms of its value at the
// current end and its slope, as LineModel::state_size(m) doubles
//   [r00, r01, r11, energy, b0[0..m), b1[0..m)]:
// the 2x2 triangular factor, the energy and the rotated right-hand side, in
// the layout of a SegmentState. Moving the end by h is the column change
// r01 -= h * r00; each new sample is one data row, rotated in.
#pragma once

#include <span>
#include <vector>

#include "array.hpp"
#include "cancel.hpp"

namespace velk::engine {

class LineModel {
public:
    // Views of x (n), y (n x dim, row-major) and delta (n), which must outlive the model.
    LineModel(std::span<const double> x, const Matrix& y, std::span<const double> delta);

    static constexpr Index state_size(Index m) { return 4 + 2 * m; }
    Index n() const { return x_.size(); }
    Index dim() const { return dim_; }

    // Samples l and l + 1: fitted exactly, energy 0.
    void start(double* state, Index l) const;
    // Feeds sample r to a state that ends at r - 1.
    void extend(double* state, Index r) const;
    // The same for `count` states packed from `first`, bit for bit.
    void extend_packed(double* first, Index count, Index r) const;
    // Energies of the prefixes 0..r (0 for r < 2).
    std::vector<double> prefix_energies(Ticker& ticker) const;

private:
    const double* row(Index i) const { return y_ + i * dim_; }

    std::span<const double> x_;
    const double* y_;
    Index dim_;
    std::vector<double> c_;  // 1 / delta
};

}  // namespace velk::engine
