// CPython and NumPy headers, included the same way by every bindings file.
//
// One translation unit (numpy_api.cpp) defines VELK_NUMPY_API_HOME and owns the
// API table; all others refer to it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL velk_ARRAY_API
#ifndef VELK_NUMPY_API_HOME
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velk_py {

// Loads NumPy's C API table; false with a Python error set.
bool import_numpy();

}  // namespace velk_py
