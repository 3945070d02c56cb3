// Module initialisation shared by the package's extension modules.
#pragma once

#include <cstdint>

#include "python.hpp"

namespace velk_py {

// One module object per process, created on first use and returned again on
// every re-initialisation (single-phase init with m_size = 0); an import from
// a second interpreter fails with ImportError. `module` and `owner` are the
// caller's statics. A new reference, or null with a Python error set.
PyObject* init_once(PyObject*& module, std::int64_t& owner, const char* name,
                    PyObject* (*create)());

// Adds the functions of `table` to `module`, in order.
bool add_functions(PyObject* module, PyMethodDef* table, std::size_t count);

}  // namespace velk_py
