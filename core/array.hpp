// Arrays of the core: strided read-only views in, owned contiguous arrays out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "error.hpp"

namespace velk {

using Index = std::size_t;

// Asks the kernel to back a large buffer with transparent huge pages. A fit
// writes each of its n-sized arrays about once, and faulting them in 4 KiB
// at a time costs more than the arithmetic. Advice only: buffers under 4 MiB
// and kernels without the feature are left alone, and nothing else changes.
void advise_huge_pages(const void* data, std::size_t bytes);

// reserve(n) with that advice, before any element is written.
template <class T>
void reserve_large(std::vector<T>& v, Index n) {
    v.reserve(n);
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// n copies of value in a buffer advised as above.
template <class T>
std::vector<T> large_vector(Index n, T value) {
    std::vector<T> v;
    reserve_large(v, n);
    v.resize(n, value);
    return v;
}

// Read-only 1-D view of doubles. The stride is in bytes and may be negative or
// not a multiple of 8 (misaligned data), so elements are read with memcpy.
class VecView {
public:
    VecView() = default;
    VecView(const void* data, Index size, std::ptrdiff_t stride)
        : base_(static_cast<const char*>(data)), size_(size), stride_(stride) {}
    VecView(const std::vector<double>& v)  // NOLINT: a vector is a contiguous view
        : VecView(v.data(), v.size(), sizeof(double)) {}

    Index size() const { return size_; }
    double operator[](Index i) const {
        double v;
        std::memcpy(&v, base_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof v);
        return v;
    }
    // Bounds-checked read, for indices that come from the caller.
    double at(Index i) const {
        check(i < size_, "index out of range");
        return (*this)[i];
    }

private:
    const char* base_ = nullptr;
    Index size_ = 0;
    std::ptrdiff_t stride_ = sizeof(double);
};

// Owned row-major matrix.
struct Matrix {
    Index rows = 0;
    Index cols = 0;
    std::vector<double> data;

    Matrix() = default;
    Matrix(Index r, Index c) : rows(r), cols(c), data(large_vector(r * c, 0.0)) {}

    double* row(Index i) { return data.data() + i * cols; }
    const double* row(Index i) const { return data.data() + i * cols; }
    double& operator()(Index i, Index j) { return data[i * cols + j]; }
    double operator()(Index i, Index j) const { return data[i * cols + j]; }
};

// Read-only 2-D view of doubles with byte strides (any sign, any alignment).
class MatView {
public:
    MatView() = default;
    MatView(const void* data, Index rows, Index cols, std::ptrdiff_t row_stride,
            std::ptrdiff_t col_stride)
        : base_(static_cast<const char*>(data)),
          rows_(rows),
          cols_(cols),
          rs_(row_stride),
          cs_(col_stride) {}
    MatView(const Matrix& m)  // NOLINT: a matrix is a contiguous view
        : MatView(m.data.data(), m.rows, m.cols,
                  static_cast<std::ptrdiff_t>(m.cols * sizeof(double)), sizeof(double)) {}

    Index rows() const { return rows_; }
    Index cols() const { return cols_; }
    double operator()(Index i, Index j) const {
        double v;
        std::memcpy(
            &v, base_ + static_cast<std::ptrdiff_t>(i) * rs_ + static_cast<std::ptrdiff_t>(j) * cs_,
            sizeof v);
        return v;
    }
    // Row i as a 1-D view of cols() values.
    VecView row(Index i) const {
        return VecView(base_ + static_cast<std::ptrdiff_t>(i) * rs_, cols_, cs_);
    }
    void check_row(Index i) const { check(i < rows_, "index out of range"); }

private:
    const char* base_ = nullptr;
    Index rows_ = 0;
    Index cols_ = 0;
    std::ptrdiff_t rs_ = 0;
    std::ptrdiff_t cs_ = sizeof(double);
};

}  // namespace velk
