// _engine.fit(x, y, delta=None, *, lam=None, length=None, jump_cost,
//             pruning="functional", precondition="none", cancel=None)
#include <optional>

#include "convert.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "result.hpp"
#include "scaled.hpp"
#include "unlocked.hpp"

namespace velk_py {

namespace {

// Exactly one of lam and length.
bool convert_smoothing(PyObject* lam, PyObject* length, velk::Smoothing& out) {
    if ((lam == Py_None) == (length == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "give exactly one of lam and length");
        return false;
    }
    out.kind = lam != Py_None ? velk::Smoothing::Kind::Lam : velk::Smoothing::Kind::Length;
    return named(lam != Py_None ? "lam" : "length",
                 convert_double(lam != Py_None ? lam : length, out.value));
}

// None, or a uint8 array whose first byte stops the fit.
bool convert_token(PyObject* obj, Ref& keep, unsigned char*& token) {
    token = nullptr;
    if (obj == Py_None) return true;
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_TYPE(arr) == NPY_UINT8 && PyArray_SIZE(arr) >= 1 && PyArray_ISWRITEABLE(arr)) {
            keep = Ref::borrow(obj);
            token = static_cast<unsigned char*>(PyArray_DATA(arr));
            return true;
        }
    }
    PyErr_SetString(PyExc_TypeError,
                    "argument 'cancel': expected None or a writeable numpy.ndarray of uint8");
    return false;
}

}  // namespace

PyObject* engine_fit_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"x",      "y",         "delta",   "lam",
                                         "length", "jump_cost", "pruning", "precondition",
                                         "cancel", "stats",     nullptr};
        PyObject *x_obj, *y_obj, *delta_obj = Py_None, *lam_obj = Py_None, *length_obj = Py_None;
        PyObject *cost_obj = nullptr, *pruning_obj = nullptr, *precondition_obj = nullptr;
        PyObject* cancel_obj = Py_None;
        int with_stats = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$OOOOOOp:fit",
                                         const_cast<char**>(keywords), &x_obj, &y_obj, &delta_obj,
                                         &lam_obj, &length_obj, &cost_obj, &pruning_obj,
                                         &precondition_obj, &cancel_obj, &with_stats))
            return nullptr;
        if (!cost_obj) {
            PyErr_SetString(PyExc_TypeError, "fit() missing required keyword argument 'jump_cost'");
            return nullptr;
        }
        VecArg x, delta;
        MatArg y;
        velk::Smoothing smoothing;
        double jump_cost;
        velk::Pruning pruning;
        velk::Precondition precondition;
        Ref token_owner;
        unsigned char* token;
        if (!named("x", convert_vec(x_obj, false, x)) || !named("y", convert_mat(y_obj, y)) ||
            !named("delta", convert_vec(delta_obj, true, delta)) ||
            !convert_smoothing(lam_obj, length_obj, smoothing) ||
            !named("jump_cost", convert_double(cost_obj, jump_cost)) ||
            !convert_engine_options(pruning_obj, precondition_obj, pruning, precondition) ||
            !convert_token(cancel_obj, token_owner, token))
            return nullptr;

        // Copies: once the lock is released, other threads may change the arrays.
        velk::Samples samples{copy_vector(x.view), copy_matrix(y.view), {}};
        if (delta.get()) samples.delta = copy_vector(delta.view);
        std::optional<velk::Outcome<velk::ScaledFit>> outcome;
        {
            Unlocked unlocked(token);
            velk::Ticker ticker = unlocked.ticker();
            outcome.emplace(velk::fit_scaled(std::move(samples), pruning, precondition, smoothing,
                                             jump_cost, with_stats != 0, ticker));
        }
        if (!outcome->ok()) {
            PyErr_SetString(PyExc_ValueError, outcome->error().message().c_str());
            return nullptr;
        }
        velk::ScaledFit& scaled = outcome->value();
        Ref result(build_result(std::move(scaled.fit)));
        Ref units(Py_BuildValue("(dd)", scaled.x_unit, scaled.y_unit));
        Ref lam(PyFloat_FromDouble(scaled.lam));
        const velk::Index m = scaled.w.size();
        Ref w(array_of(std::move(scaled.w), m));
        if (!result || !units || !lam || !w ||
            PyDict_SetItemString(result.get(), "scale", units.get()) < 0 ||
            PyDict_SetItemString(result.get(), "lam", lam.get()) < 0 ||
            PyDict_SetItemString(result.get(), "w", w.get()) < 0)
            return nullptr;
        if (with_stats) {
            const velk::FitStats& st = scaled.stats;
            Ref stats(
                Py_BuildValue("{s:d,s:d,s:d}", "rss", st.rss, "edf", st.edf, "logdet", st.logdet));
            if (!stats || PyDict_SetItemString(result.get(), "stats", stats.get()) < 0)
                return nullptr;
        }
        return result.release();
    });
}

}  // namespace velk_py
