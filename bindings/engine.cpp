// The extension module _engine, which the public API runs on. Unlike the raw
// _velk_core it prepares samples once for many fits, offers the functional
// search, releases the interpreter lock while the core runs (on data it owns),
// stops on Ctrl-C or a caller's token, and rescales the inputs so that any
// scale fits.
//
//   entry_prepare.cpp  prepare()    samples_type.cpp  the Samples type
//   entry_fit.cpp      fit()        unlocked.cpp      running without the lock
// and the files it shares with _velk_core (convert, arrays, errors, numpy_api, init).
#include <cstdint>
#include <iterator>

#include "engine_entries.hpp"
#include "errors.hpp"
#include "init.hpp"
#include "ref.hpp"
#include "samples_type.hpp"

namespace velk_py {

// The engine's one mapping of input errors to Python.
PyObject* raise_invalid(const velk::engine::InvalidInput& error) {
    PyErr_SetString(PyExc_ValueError, error.message.c_str());
    return nullptr;
}

namespace {

PyMethodDef functions[] = {
    {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_prepare_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "prepare(x, y, delta=None, w=None, *, index=False)\n--\n\n"
     "Samples for fitting: x (n,) or None (1, 2, ..., n), y (n, dim), and delta (n,) the\n"
     "standard deviations or w (n,) the weights (not both; default all 1), float64 arrays.\n"
     "Rows with a non-finite x, y value, delta or w are left out; the rest are sorted by x\n"
     "(stably) and merged where x repeats (weighted means, summed weights). With index=True\n"
     "the result's index maps every input row to its sample. ValueError for a kept delta or\n"
     "w that is not positive, or fewer than two samples."},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "fit(samples, *, lam=None, length=None, jump_cost, pruning='functional', "
     "precondition='none', cancel=None, stats=False, phi=None, jump_index=None)\n--\n\n"
     "The fit of Samples minimising the sum over segments of D + lam * R plus jump_cost per\n"
     "jump, D the weighted residual sum of squares and R the integral of f''**2. Give\n"
     "lam = (1 - p) / p or a smoothing length in units of x. pruning is 'functional',\n"
     "'FPVI' or 'PELT'. cancel: None or a uint8 array whose first element, once set\n"
     "non-zero by another thread, stops the fit with KeyboardInterrupt. Returns a dict:\n"
     "'breaks', 'coefs' and 'scale' = (x_unit, y_unit), powers of two in whose units the\n"
     "coefficients are given (piece k of a component is\n"
     "y_unit * sum(coefs[m] * ((t - breaks[k]) / x_unit)**(3 - m))); 'jump_index' (the last\n"
     "sample before each jump) and 'jumps' (their positions); 'lam' in the units of the\n"
     "input (0 or inf where it is not a double); 'samples_fed', the work of the search. With\n"
     "stats=True also 'stats': the weighted residual sum of squares 'rss', the penalised one\n"
     "'prss' (rss + lam * R), the degrees of freedom 'edf' and 'logdet', summed over\n"
     "segments and components: see velk.select. phi: AR(1) noise in sample order with this\n"
     "lag-one correlation (phi**(dx / h) between unevenly spaced samples), D then the\n"
     "generalised least-squares e' Sigma^-1 e of each segment; segments' noise independent.\n"
     "Needs pruning='functional' and a finite lam. jump_index: the last sample before each\n"
     "jump, increasing; the fit then has those jumps, found by no search (samples_fed 0)."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_search_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "search(samples, *, lam=None, length=None, jump_cost, pruning='functional', "
     "precondition='none', cancel=None, phi=None)\n--\n\n"
     "The jump search of fit alone, for tests and benchmarks: a dict of 'costs', the least\n"
     "cost of every prefix of the samples in units of D (zeros where no search runs: p = 1 or\n"
     "an infinite jump cost), 'starts', the first sample of the last segment of each, and\n"
     "'samples_fed'."},
    {"fit_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_batch_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "fit_batch(items, *, pruning='functional', precondition='none', cancel=None, "
     "stats=False, phi=None)\n--\n\n"
     "The fits of many (samples, lam, length, jump_cost) items in one call, all without the\n"
     "interpreter lock: a list of fit's results, with a ValueError in place of each item the\n"
     "fit rejects. phi, as for fit, holds for every item."},
    {"samples_from_state",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_samples_from_state_entry)),
     METH_VARARGS,
     "samples_from_state(x, y, w, ex, ey, ed)\n--\n\n"
     "Samples from their pickled state: the prepared x and y, the weights in the units of\n"
     "the fits and the three exponents."},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_engine",
                          "The compiled core behind velk's public API.",
                          0,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

PyObject* create_module() {
    if (!import_numpy() || !init_internal_error()) return nullptr;
    Ref module(PyModule_Create(&definition));
    if (!module || !add_functions(module.get(), functions, std::size(functions)) ||
        !init_samples_type(module.get()))
        return nullptr;
    PyObject* type = internal_error();
    Py_INCREF(type);
    if (PyModule_AddObject(module.get(), "InternalError", type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace velk_py

PyMODINIT_FUNC PyInit__engine() {
    using namespace velk_py;
    return init_once(the_module, owner_interpreter, "velk._engine", create_module);
}
