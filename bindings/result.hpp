// The result dictionary of a fit.
#pragma once

#include "python.hpp"
#include "velk.hpp"

namespace velk_py {

// Moves the fit's arrays into NumPy arrays (no copy); new reference, or null
// with a Python error set and everything built so far released.
PyObject* build_result(velk::FitResult&& fit);

// A 1-D float64 array that takes over the vector's buffer; null with a Python
// error set.
PyObject* array_of(std::vector<double>&& data, velk::Index size);

}  // namespace velk_py
