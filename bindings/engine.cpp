// The extension module _engine, which the public API runs on. Unlike the raw
// _velk_core it offers the functional search, releases the interpreter lock
// while the core runs (on copies of the inputs it owns), stops on Ctrl-C or
// a caller's token, and rescales the inputs so that any scale fits.
//
//   entry_fit.cpp   fit()           unlocked.cpp  running without the lock
// and the files it shares with _velk_core (convert, result, errors, numpy_api, init).
#include <cstdint>
#include <iterator>

#include "errors.hpp"
#include "init.hpp"
#include "ref.hpp"

namespace velk_py {

PyObject* engine_fit_entry(PyObject* module, PyObject* args, PyObject* kwargs);

namespace {

PyMethodDef functions[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "fit(x, y, delta=None, *, lam=None, length=None, jump_cost, pruning='functional', "
     "precondition='none', cancel=None, stats=False)\n--\n\n"
     "The fit minimising the sum over segments of D + lam * R plus jump_cost per jump, D the\n"
     "weighted residual sum of squares and R the integral of f''**2. x (n,) and y (n, dim)\n"
     "are float64 arrays, delta None or (n,); give lam = (1 - p) / p or a smoothing length\n"
     "in units of x. pruning is 'functional', 'FPVI' or 'PELT'. cancel: None or a uint8\n"
     "array whose first element, once set non-zero by another thread, stops the fit with\n"
     "KeyboardInterrupt. Returns the result dictionary of velk.velk in the units of the\n"
     "input, with F in units of D, and more keys: 'scale': (x_unit, y_unit), powers of\n"
     "two in whose units the coefficients are given (piece k of a component is\n"
     "y_unit * sum(coefs[m] * ((t - breaks[k]) / x_unit)**(3 - m))); 'lam', the\n"
     "smoothing in the units of the input (0 or inf where it is not a double); 'w', the\n"
     "weights of the prepared samples (merged where x repeats). ValueError for\n"
     "values the fit rejects. With stats=True one more key, 'stats': a dict of the\n"
     "weighted residual sum of squares 'rss' (units of D), the degrees of freedom 'edf'\n"
     "and 'logdet', both summed over segments and components: see velk.select.\n"},
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
    if (!module || !add_functions(module.get(), functions, std::size(functions))) return nullptr;
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
