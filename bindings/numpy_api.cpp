// Loading NumPy's C API table.
//
// The table lives in the `_ARRAY_API` capsule of NumPy's multiarray module, which
// moved from numpy.core to numpy._core in NumPy 2. The binary is built against
// NumPy 2 headers but targets the 1.23 API, so it runs on both.
#define VELK_NUMPY_API_HOME
#include "python.hpp"
#include "ref.hpp"

namespace velk_py {

namespace {

Ref attr(const Ref& obj, const char* name) { return Ref(PyObject_GetAttrString(obj.get(), name)); }

// The major version of the running NumPy, -1 with a Python error set.
long numpy_major() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    Ref version = attr(numpy, "__version__");
    if (!version) return -1;
    Ref lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return -1;
    Ref parser = attr(lib, "NumpyVersion");
    if (!parser) return -1;
    Ref parsed(PyObject_CallFunctionObjArgs(parser.get(), version.get(), nullptr));
    if (!parsed) return -1;
    Ref major = attr(parsed, "major");
    if (!major) return -1;
    return PyLong_AsLong(major.get());
}

}  // namespace

bool import_numpy() {
    const long major = numpy_major();
    if (major == -1 && PyErr_Occurred()) return false;
    Ref multiarray(
        PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return false;
    Ref capsule = attr(multiarray, "_ARRAY_API");
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
        return false;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return false;
    // The capsule is owned by NumPy's extension module, which is never unloaded.
    PyArray_API = table;

    if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "velk was built against NumPy ABI version 0x%x but the running NumPy has 0x%x",
                     static_cast<unsigned>(NPY_VERSION),
                     static_cast<unsigned>(PyArray_GetNDArrayCVersion()));
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (PyArray_RUNTIME_VERSION < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "velk needs NumPy C-API version 0x%x or later, the running NumPy has 0x%x",
                     static_cast<unsigned>(NPY_FEATURE_VERSION),
                     static_cast<unsigned>(PyArray_RUNTIME_VERSION));
        PyArray_API = nullptr;
        return false;
    }
    return true;
}

}  // namespace velk_py
