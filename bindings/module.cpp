// The extension module _velk_core: two functions, nothing else.
//
//   entry_velk.cpp     velk()           convert.cpp  arguments and options
//   entry_cvscore.cpp  velk_cvscore()   result.cpp   the result dictionary
//   errors.cpp         C++ failures -> Python exceptions
//   numpy_api.cpp      NumPy's C API table
#include <cstdint>

#include "entries.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace velk_py {

namespace {

PyMethodDef functions[] = {
    {"velk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velk_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "velk(x, y, p, gamma, delta=None, pruning=\"FPVI\", precondition=\"none\")\n--\n\n"},
    {"velk_cvscore",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(velk_cvscore_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "velk_cvscore(x, y, p, gamma, delta, folds, pruning=\"FPVI\", precondition=\"none\")\n--\n\n"},
};

// Single-phase init with m_size = 0: CPython calls the init function again on
// every re-initialisation, which returns the one module object and lets a
// second interpreter be refused (m_size = -1 would hand it a silent copy).
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_velk_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

PyObject* create_module() {
    if (!import_numpy() || !init_internal_error()) return nullptr;
    Ref module(PyModule_Create(&definition));
    if (!module) return nullptr;
    Ref name(PyModule_GetNameObject(module.get()));
    if (!name) return nullptr;
    for (PyMethodDef& def : functions) {
        Ref function(PyCMethod_New(&def, module.get(), name.get(), nullptr));
        if (!function || PyModule_AddObject(module.get(), def.ml_name, function.get()) < 0)
            return nullptr;
        function.release();  // the module owns it now
    }
    return module.release();
}

}  // namespace

}  // namespace velk_py

PyMODINIT_FUNC PyInit__velk_core() {
    using namespace velk_py;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (owner_interpreter == -1) owner_interpreter = interpreter;
    if (interpreter != owner_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "velk._velk_core does not support sub-interpreters; import it from the "
                        "main interpreter only");
        return nullptr;
    }
    if (!the_module) the_module = create_module();
    Py_XINCREF(the_module);  // the static reference stays for the life of the process
    return the_module;
}
