#include "arrays.hpp"

#include <cstdint>
#include <memory>
#include <type_traits>

namespace velk_py {

namespace {

// Index arrays go out as int64 with their bytes unchanged.
static_assert(sizeof(velk::Index) == sizeof(npy_int64) && std::is_unsigned_v<velk::Index>);
static_assert(sizeof(double) == 8);

template <class T>
constexpr int type_number() {
    if constexpr (std::is_same_v<T, double>)
        return NPY_FLOAT64;
    else
        return NPY_INT64;
}

constexpr const char* buffer_name = "velk.buffer";

template <class T>
void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, buffer_name));
}

int dims_of(std::initializer_list<velk::Index> shape, npy_intp* dims, velk::Index& size) {
    int nd = 0;
    size = 1;
    for (velk::Index n : shape) {
        dims[nd++] = static_cast<npy_intp>(n);
        size *= n;
    }
    return nd;
}

}  // namespace

template <class T>
Ref array(std::vector<T>&& data, std::initializer_list<velk::Index> shape) {
    npy_intp dims[2];
    velk::Index size;
    const int nd = dims_of(shape, dims, size);
    velk::check(size == data.size() && nd <= 2, "result array does not match its shape");
    if (data.empty()) return Ref(PyArray_SimpleNew(nd, dims, type_number<T>()));

    auto owner = std::make_unique<std::vector<T>>(std::move(data));
    Ref capsule(PyCapsule_New(owner.get(), buffer_name, free_buffer<T>));
    if (!capsule) return {};
    std::vector<T>* buffer = owner.release();  // the capsule's now
    Ref arr(PyArray_New(&PyArray_Type, nd, dims, type_number<T>(), nullptr, buffer->data(), 0,
                        NPY_ARRAY_CARRAY, nullptr));
    if (!arr) return {};
    // Steals the capsule, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0)
        return {};
    return arr;
}

template Ref array<double>(std::vector<double>&&, std::initializer_list<velk::Index>);
template Ref array<velk::Index>(std::vector<velk::Index>&&, std::initializer_list<velk::Index>);

Ref view(PyObject* owner, const double* data, std::initializer_list<velk::Index> shape) {
    npy_intp dims[2];
    velk::Index size;
    const int nd = dims_of(shape, dims, size);
    if (size == 0) {
        Ref empty(PyArray_SimpleNew(nd, dims, NPY_FLOAT64));
        if (empty)
            PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(empty.get()), NPY_ARRAY_WRITEABLE);
        return empty;
    }
    // Read-only, and with a base that exposes no buffer NumPy cannot make it
    // writeable again.
    Ref arr(PyArray_New(&PyArray_Type, nd, dims, NPY_FLOAT64, nullptr, const_cast<double*>(data), 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (!arr) return {};
    Py_INCREF(owner);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), owner) < 0) return {};
    return arr;
}

}  // namespace velk_py
