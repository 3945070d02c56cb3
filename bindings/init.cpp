#include "init.hpp"

#include "ref.hpp"

namespace velk_py {

PyObject* init_once(PyObject*& module, std::int64_t& owner, const char* name,
                    PyObject* (*create)()) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (owner == -1) owner = interpreter;
    if (interpreter != owner) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters; import it from the main interpreter "
                     "only",
                     name);
        return nullptr;
    }
    if (!module) module = create();
    Py_XINCREF(module);  // the static reference stays for the life of the process
    return module;
}

bool add_functions(PyObject* module, PyMethodDef* table, std::size_t count) {
    Ref name(PyModule_GetNameObject(module));
    if (!name) return false;
    for (std::size_t k = 0; k < count; ++k) {
        PyMethodDef& def = table[k];
        Ref function(PyCMethod_New(&def, module, name.get(), nullptr));
        if (!function || PyModule_AddObject(module, def.ml_name, function.get()) < 0) return false;
        function.release();  // the module owns it now
    }
    return true;
}

}  // namespace velk_py
