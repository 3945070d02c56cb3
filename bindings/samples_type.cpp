#include "samples_type.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "arrays.hpp"
#include "convert.hpp"
#include "noise.hpp"
#include "ref.hpp"

namespace velk_py {

namespace {

struct SamplesObject {
    PyObject_HEAD velk::engine::Samples* samples;
};

PyObject* samples_type = nullptr;  // process-wide: one interpreter

velk::engine::Samples& get(PyObject* self) {
    return *reinterpret_cast<SamplesObject*>(self)->samples;
}

void dealloc(PyObject* self) {
    delete reinterpret_cast<SamplesObject*>(self)->samples;
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "Samples are made by velk._engine.prepare");
    return nullptr;
}

PyObject* get_x(PyObject* self, void*) {
    const auto& s = get(self);
    return view(self, s.x.data(), {s.size()}).release();
}

PyObject* get_y(PyObject* self, void*) {
    const auto& s = get(self);
    return view(self, s.y.data.data(), {s.size(), s.dim()}).release();
}

PyObject* get_w(PyObject* self, void*) {
    const auto& s = get(self);
    return view(self, s.w.data(), {s.size()}).release();
}

// For each input row, its sample (-1: left out); None unless prepare was asked.
PyObject* get_index(PyObject* self, void*) {
    const auto& s = get(self);
    if (s.index.empty()) Py_RETURN_NONE;
    npy_intp n = static_cast<npy_intp>(s.index.size());
    Ref arr(PyArray_SimpleNew(1, &n, NPY_INT64));
    if (!arr) return nullptr;
    auto* data =
        static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    std::copy(s.index.begin(), s.index.end(), data);
    return arr.release();
}

// Rebuilt from what defines the samples, bit for bit (see restore).
PyObject* reduce(PyObject* self, PyObject*) {
    const auto& s = get(self);
    Ref engine(PyImport_ImportModule("velk._engine"));
    Ref from_state(engine ? PyObject_GetAttrString(engine.get(), "samples_from_state") : nullptr);
    Ref x(get_x(self, nullptr)), y(get_y(self, nullptr));
    Ref w(view(self, s.scaled.w.data(), {s.size()}));
    if (!from_state || !x || !y || !w) return nullptr;
    return Py_BuildValue("(O(OOOiii))", from_state.get(), x.get(), y.get(), w.get(), s.ex, s.ey,
                         s.ed);
}

PyObject* noise_level(PyObject* self, PyObject*) {
    const auto& s = get(self);
    if (s.size() < 3) {
        PyErr_SetString(PyExc_ValueError, "the noise level needs three distinct x");
        return nullptr;
    }
    std::vector<double> level = velk::engine::noise_level(s);
    const velk::Index n = level.size();
    return array(std::move(level), {n}).release();
}

PyObject* rounding_level(PyObject* self, PyObject*) {
    std::vector<double> level = velk::engine::rounding_level(get(self));
    const velk::Index n = level.size();
    return array(std::move(level), {n}).release();
}

PyObject* rescaled(PyObject* self, PyObject* arg) {
    double factor;
    if (!named("factor", convert_double(arg, factor))) return nullptr;
    if (!(factor > 0.0 && factor < std::numeric_limits<double>::infinity())) {
        PyErr_SetString(PyExc_ValueError, "factor must be positive and finite");
        return nullptr;
    }
    return wrap_samples(velk::engine::rescaled(get(self), factor));
}

PyObject* reweighted(PyObject* self, PyObject* arg) {
    const auto& s = get(self);
    VecArg factors;
    if (!named("factors", convert_vec(arg, false, factors))) return nullptr;
    const velk::VecView& f = factors.view;
    if (f.size() != s.size()) {
        PyErr_Format(PyExc_ValueError, "factors must hold one value per sample (%zd), got %zd",
                     static_cast<Py_ssize_t>(s.size()), static_cast<Py_ssize_t>(f.size()));
        return nullptr;
    }
    for (velk::Index i = 0; i < f.size(); ++i) {
        if (!(f[i] > 0.0 && f[i] < std::numeric_limits<double>::infinity())) {
            PyErr_SetString(PyExc_ValueError, "factors must be positive and finite");
            return nullptr;
        }
    }
    return wrap_samples(velk::engine::reweighted(s, f));
}

PyGetSetDef getset[] = {
    {"x", get_x, nullptr, "The prepared abscissae (M,), strictly increasing: read-only.", nullptr},
    {"y", get_y, nullptr, "The prepared values (M, dim): read-only.", nullptr},
    {"w", get_w, nullptr, "The weights (M,), merged where x repeats: read-only.", nullptr},
    {"index", get_index, nullptr, "For each input row its sample, -1 where left out; or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"noise_level", noise_level, METH_NOARGS,
     "noise_level()\n--\n\nThe noise level of each component before any fit, relative to\n"
     "delta (units of y without it): the median absolute deviation of each sample from the\n"
     "line through its neighbours."},
    {"rounding_level", rounding_level, METH_NOARGS,
     "rounding_level()\n--\n\nThe noise the rounding of the values alone could make, per\n"
     "component and relative to delta: 8 sqrt(M) eps max |y / delta|."},
    {"rescaled", rescaled, METH_O,
     "rescaled(factor)\n--\n\nThe same samples with every standard deviation times factor."},
    {"reweighted", reweighted, METH_O,
     "reweighted(factors)\n--\n\nThe same samples with each weight times its factor (M,)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_doc,
     const_cast<char*>("Samples prepared for fitting: finite, sorted by x and merged where x "
                       "repeats. Immutable; made by velk._engine.prepare.")},
    {0, nullptr},
};

PyType_Spec spec = {"velk._engine.Samples", sizeof(SamplesObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

bool init_samples_type(PyObject* module) {
    if (!samples_type) {
        samples_type = PyType_FromSpec(&spec);
        if (!samples_type) return false;
    }
    Py_INCREF(samples_type);
    if (PyModule_AddObject(module, "Samples", samples_type) < 0) {
        Py_DECREF(samples_type);
        return false;
    }
    return true;
}

PyObject* wrap_samples(velk::engine::Samples&& samples) {
    auto owned = std::make_unique<velk::engine::Samples>(std::move(samples));
    auto* type = reinterpret_cast<PyTypeObject*>(samples_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) return nullptr;
    reinterpret_cast<SamplesObject*>(obj)->samples = owned.release();
    return obj;
}

const velk::engine::Samples* samples_of(PyObject* obj, const char* name) {
    if (samples_type && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(samples_type)))
        return reinterpret_cast<SamplesObject*>(obj)->samples;
    named(name, expected("velk._engine.Samples", obj));
    return nullptr;
}

}  // namespace velk_py
