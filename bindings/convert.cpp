#include "convert.hpp"

#include <algorithm>
#include <string_view>

namespace velk_py {

namespace {

// "list", "NoneType", or for arrays "2-D ndarray of int64" (dtype as NumPy
// prints it, so a byte-swapped array shows as ">f8").
Ref describe(PyObject* obj) {
    Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (!type_name) return {};
    if (!PyArray_Check(obj)) return type_name;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    if (!dtype) return {};
    return Ref(
        PyUnicode_FromFormat("%d-D %U of %U", PyArray_NDIM(arr), type_name.get(), dtype.get()));
}

// Arrays are read in place, so the dtype must be float64 in native byte order:
// an equal type number is not enough ('>f8' has the same one).
PyArrayObject* float64_array(PyObject* obj, int ndim) {
    if (!PyArray_Check(obj)) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) return nullptr;
    PyArray_Descr* f8 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), f8);
    Py_DECREF(f8);
    return same ? arr : nullptr;
}

velk::Index extent(PyArrayObject* arr, int axis) {
    return static_cast<velk::Index>(PyArray_DIM(arr, axis));
}

// A hostile __len__ must not make us allocate: the length is only a hint.
constexpr std::size_t max_reserve = std::size_t{1} << 20;

// The steps shared by the outer sequence and every fold.
bool open_sequence(PyObject* obj, Ref& iter, std::size_t& hint) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) return expected("a Sequence", obj);
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) PyErr_Clear();
    hint = n < 0 ? 0 : std::min(static_cast<std::size_t>(n), max_reserve);
    iter = Ref(PyObject_GetIter(obj));
    return static_cast<bool>(iter);
}

bool convert_index(PyObject* item, std::int64_t& out) {
    Ref index;
    if (!PyLong_Check(item)) {
        index = Ref(PyNumber_Index(item));
        if (!index) return false;
        item = index.get();
    }
    long long v;
    if constexpr (sizeof(long) == 8)
        v = PyLong_AsLong(item);
    else
        v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred()) return false;
    out = static_cast<std::int64_t>(v);
    return true;
}

}  // namespace

bool convert_indices(PyObject* obj, std::vector<std::int64_t>& out) {
    Ref iter;
    std::size_t hint = 0;
    if (!open_sequence(obj, iter, hint)) return false;
    out.reserve(hint);
    while (Ref item{PyIter_Next(iter.get())}) {
        std::int64_t v;
        if (!convert_index(item.get(), v)) return false;
        out.push_back(v);
    }
    return !PyErr_Occurred();
}

bool expected(const char* what, PyObject* obj) {
    Ref got = describe(obj);
    if (got) PyErr_Format(PyExc_TypeError, "expected %s, got %U", what, got.get());
    return false;
}

bool convert_vec(PyObject* obj, bool none_allowed, VecArg& out) {
    if (none_allowed && obj == Py_None) return true;
    PyArrayObject* arr = float64_array(obj, 1);
    if (!arr)
        return expected(none_allowed ? "None or a 1-D numpy.ndarray of float64"
                                     : "a 1-D numpy.ndarray of float64",
                        obj);
    out.array = Ref::borrow(obj);
    out.view = velk::VecView(PyArray_DATA(arr), extent(arr, 0), PyArray_STRIDE(arr, 0));
    return true;
}

bool convert_mat(PyObject* obj, MatArg& out) {
    PyArrayObject* arr = float64_array(obj, 2);
    if (!arr) return expected("a 2-D numpy.ndarray of float64", obj);
    out.array = Ref::borrow(obj);
    out.view = velk::MatView(PyArray_DATA(arr), extent(arr, 0), extent(arr, 1),
                             PyArray_STRIDE(arr, 0), PyArray_STRIDE(arr, 1));
    return true;
}

bool convert_double(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

bool convert_text(PyObject* obj, const char* fallback, TextArg& out) {
    if (!obj) {
        out.bytes = fallback;
        return true;
    }
    if (!PyUnicode_Check(obj)) return expected("str", obj);
    Ref utf8(PyUnicode_AsUTF8String(obj));
    if (!utf8) return false;
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
    out.bytes.assign(data, static_cast<std::size_t>(size));
    out.object = Ref::borrow(obj);
    return true;
}

bool convert_folds(PyObject* obj, Folds& out) {
    Ref iter;
    std::size_t hint = 0;
    if (!open_sequence(obj, iter, hint)) return false;
    out.reserve(hint);
    while (Ref item{PyIter_Next(iter.get())}) {
        out.emplace_back();
        if (!convert_indices(item.get(), out.back())) return false;
    }
    return !PyErr_Occurred();
}

bool named(const char* name, bool ok) {
    if (ok) return true;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    // Exactly TypeError: subclasses and other types keep their identity.
    if (!value || reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return false;
    }
    Ref owned_type(type), first(value), owned_traceback(traceback);
    Ref text(PyObject_Str(first.get()));
    if (!text) return false;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return false;
    Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return false;
    if (PyObject* cause = PyException_GetCause(first.get()))
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

namespace {

bool parse_pruning(const TextArg& text, velk::Pruning& out) {
    const std::string_view s = text.bytes;
    if (s == "FPVI" || s == "fpvi") {
        out = velk::Pruning::FPVI;
        return true;
    }
    if (s == "PELT" || s == "pelt") {
        out = velk::Pruning::PELT;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unknown pruning '%U', expected 'FPVI' or 'PELT'",
                 text.object.get());
    return false;
}

}  // namespace

std::string ascii_lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool parse_precondition(const TextArg& text, velk::Precondition& out) {
    const std::string lower = ascii_lower(text.bytes);
    if (lower == "none") {
        out = velk::Precondition::None;
        return true;
    }
    if (lower == "local") {
        out = velk::Precondition::Local;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unknown precondition '%U', expected 'none' or 'local'",
                 text.object.get());
    return false;
}

bool convert_options(PyObject* pruning_obj, PyObject* precondition_obj, velk::Pruning& pruning,
                     velk::Precondition& precondition) {
    TextArg pruning_text, precondition_text;
    return named("pruning", convert_text(pruning_obj, "FPVI", pruning_text)) &&
           named("precondition", convert_text(precondition_obj, "none", precondition_text)) &&
           parse_pruning(pruning_text, pruning) &&
           parse_precondition(precondition_text, precondition);
}

std::vector<double> copy_vector(const velk::VecView& v) {
    std::vector<double> out = velk::large_vector(v.size(), 0.0);
    for (velk::Index i = 0; i < v.size(); ++i) out[i] = v[i];
    return out;
}

velk::Matrix copy_matrix(const velk::MatView& m) {
    velk::Matrix out(m.rows(), m.cols());
    for (velk::Index i = 0; i < m.rows(); ++i)
        for (velk::Index j = 0; j < m.cols(); ++j) out(i, j) = m(i, j);
    return out;
}

}  // namespace velk_py
