#include "result.hpp"

#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

#include "ref.hpp"

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

// A NumPy array over the vector's own buffer: the vector moves into a capsule
// that becomes the array's base, so the data is never copied. Empty arrays have
// no buffer to hand over and are simply allocated by NumPy.
template <class T>
Ref array(std::vector<T>&& data, std::initializer_list<velk::Index> shape) {
    npy_intp dims[2];
    int nd = 0;
    velk::Index size = 1;
    for (velk::Index n : shape) {
        dims[nd++] = static_cast<npy_intp>(n);
        size *= n;
    }
    velk::check(size == data.size(), "result array does not match its shape");
    if (data.empty()) return Ref(PyArray_SimpleNew(nd, dims, type_number<T>()));

    auto* owner = new std::vector<T>(std::move(data));
    Ref capsule(PyCapsule_New(owner, buffer_name, free_buffer<T>));
    if (!capsule) {
        delete owner;
        return {};
    }
    Ref arr(PyArray_New(&PyArray_Type, nd, dims, type_number<T>(), nullptr, owner->data(), 0,
                        NPY_ARRAY_CARRAY, nullptr));
    if (!arr) return {};
    // Steals the capsule, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()), capsule.release()) < 0)
        return {};
    return arr;
}

Ref array(velk::Matrix&& m) {
    const velk::Index rows = m.rows, cols = m.cols;
    return array(std::move(m.data), {rows, cols});
}

Ref integer(std::uint64_t v) { return Ref(PyLong_FromUnsignedLongLong(v)); }

bool put(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The four PPForm keys, in their order.
bool put_ppform(PyObject* dict, velk::PPForm&& pp) {
    const velk::Index nb = pp.breaks.size();
    return put(dict, "breaks", array(std::move(pp.breaks), {nb})) &&
           put(dict, "coefs", array(std::move(pp.coefs))) && put(dict, "dim", integer(pp.dim)) &&
           put(dict, "order", integer(pp.order));
}

Ref interval_list(std::vector<std::vector<velk::Index>>&& runs) {
    Ref list(PyList_New(0));
    if (!list) return {};
    for (auto& run : runs) {
        const velk::Index n = run.size();
        Ref arr = array(std::move(run), {n});
        if (!arr || PyList_Append(list.get(), arr.get()) < 0) return {};
    }
    return list;
}

Ref ppform_list(std::vector<velk::PPForm>&& parts) {
    Ref list(PyList_New(0));
    if (!list) return {};
    for (auto& part : parts) {
        Ref dict(PyDict_New());
        if (!dict || !put_ppform(dict.get(), std::move(part)) ||
            PyList_Append(list.get(), dict.get()) < 0)
            return {};
    }
    return list;
}

}  // namespace

PyObject* array_of(std::vector<double>&& data, velk::Index size) {
    return array(std::move(data), {size}).release();
}

PyObject* build_result(velk::FitResult&& fit) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const velk::Index jumps = fit.discont.size(), jump_indices = fit.discont_idx.size();
    const velk::Index m = fit.x.size(), nf = fit.F.size(), np = fit.partition.size(),
                      nt = fit.tau.size();
    const bool ok =
        put_ppform(d, std::move(fit.pp)) &&
        put(d, "discont", array(std::move(fit.discont), {jumps})) &&
        put(d, "discont_idx", array(std::move(fit.discont_idx), {jump_indices})) &&
        put(d, "x", array(std::move(fit.x), {m})) && put(d, "y", array(std::move(fit.y))) &&
        put(d, "complexity_counter", integer(fit.complexity_counter)) &&
        put(d, "interval_cell", interval_list(std::move(fit.interval_cell))) &&
        put(d, "pp_cell", ppform_list(std::move(fit.pp_cell))) &&
        put(d, "F", array(std::move(fit.F), {nf})) &&
        put(d, "partition", array(std::move(fit.partition), {np})) &&
        put(d, "precondition",
            Ref(PyUnicode_FromString(fit.precondition == velk::Precondition::Local ? "local"
                                                                                   : "none"))) &&
        put(d, "tau", array(std::move(fit.tau), {nt}));
    return ok ? dict.release() : nullptr;
}

}  // namespace velk_py
