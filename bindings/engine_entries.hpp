// The functions of _engine (METH_VARARGS | METH_KEYWORDS).
#pragma once

#include "invalid.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "scaled_fit.hpp"

namespace velk_py {

PyObject* engine_prepare_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* engine_fit_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* engine_search_entry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* engine_samples_from_state_entry(PyObject* module, PyObject* args);

PyObject* engine_fit_batch_entry(PyObject* module, PyObject* args, PyObject* kwargs);

// The converters that fit, search and fit_batch share; false with a Python error set.
bool convert_smoothing(PyObject* lam, PyObject* length, velk::engine::Smoothing& out);
bool convert_search(PyObject* pruning_obj, PyObject* precondition_obj,
                    velk::engine::Setting& setting);
bool convert_token(PyObject* obj, Ref& keep, unsigned char*& token);
bool convert_phi(PyObject* obj, velk::engine::Setting& setting);

// The dict of a fit; null with a Python error set.
PyObject* result_of(velk::engine::Fit&& fit, bool with_stats);

// Raises the engine's input error as ValueError; null.
PyObject* raise_invalid(const velk::engine::InvalidInput& error);

}  // namespace velk_py
