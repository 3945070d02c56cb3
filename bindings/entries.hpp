// The module's two functions (METH_VARARGS | METH_KEYWORDS).
#pragma once

#include "python.hpp"

namespace velk_py {

PyObject* velk_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* velk_cvscore_entry(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace velk_py
