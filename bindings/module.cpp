// The extension module _velk_core: two functions, nothing else.
//
//   entry_velk.cpp     velk()           convert.cpp  arguments and options
//   entry_cvscore.cpp  velk_cvscore()   result.cpp   the result dictionary
//   errors.cpp         C++ failures -> Python exceptions
//   numpy_api.cpp      NumPy's C API table
//   init.cpp           module creation, one interpreter
// The public API's module, _engine, is engine.cpp.
#include <cstdint>
#include <iterator>

#include "entries.hpp"
#include "errors.hpp"
#include "init.hpp"
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

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_velk_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;
std::int64_t owner_interpreter = -1;

// The internal-error class is the engine's, so that velk.InternalError names
// the class both modules raise.
bool adopt_internal_error() {
    Ref engine(PyImport_ImportModule("velk._engine"));
    if (!engine) return false;
    Ref type(PyObject_GetAttrString(engine.get(), "InternalError"));
    return type && init_internal_error(type.get());
}

PyObject* create_module() {
    if (!import_numpy() || !adopt_internal_error()) return nullptr;
    Ref module(PyModule_Create(&definition));
    if (!module || !add_functions(module.get(), functions, std::size(functions))) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace velk_py

PyMODINIT_FUNC PyInit__velk_core() {
    using namespace velk_py;
    return init_once(the_module, owner_interpreter, "velk._velk_core", create_module);
}
