// NumPy arrays over the core's buffers, without copying.
#pragma once

#include <initializer_list>
#include <vector>

#include "array.hpp"
#include "python.hpp"
#include "ref.hpp"

namespace velk_py {

// A float64 (double) or int64 (velk::Index) array that takes over the vector's
// buffer: the vector moves into a capsule that becomes the array's base. An
// empty vector gives a new empty array. Null with a Python error set.
template <class T>
Ref array(std::vector<T>&& data, std::initializer_list<velk::Index> shape);

inline Ref array(velk::Matrix&& m) {
    const velk::Index rows = m.rows, cols = m.cols;
    return array(std::move(m.data), {rows, cols});
}

// A read-only float64 view of memory that `owner` keeps alive (it becomes the
// array's base). Null with a Python error set.
Ref view(PyObject* owner, const double* data, std::initializer_list<velk::Index> shape);

extern template Ref array<double>(std::vector<double>&&, std::initializer_list<velk::Index>);
extern template Ref array<velk::Index>(std::vector<velk::Index>&&,
                                       std::initializer_list<velk::Index>);

}  // namespace velk_py
