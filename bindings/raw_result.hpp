// The result dictionary of a fit.
#pragma once

#include "fit.hpp"
#include "python.hpp"

namespace velk_py {

// Moves the fit's arrays into NumPy arrays (no copy); new reference, or null
// with a Python error set and everything built so far released.
PyObject* build_result(velk::FitResult&& fit);

}  // namespace velk_py
