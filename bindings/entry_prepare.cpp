// _engine.prepare(x, y, delta=None, w=None, *, index=False)
#include <optional>

#include "convert.hpp"
#include "engine_entries.hpp"
#include "errors.hpp"
#include "samples_type.hpp"
#include "unlocked.hpp"

namespace velk_py {

PyObject* engine_prepare_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"x", "y", "delta", "w", "index", nullptr};
        PyObject *x_obj, *y_obj, *delta_obj = Py_None, *w_obj = Py_None;
        int with_index = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$p:prepare",
                                         const_cast<char**>(keywords), &x_obj, &y_obj, &delta_obj,
                                         &w_obj, &with_index))
            return nullptr;
        VecArg x, delta, w;
        MatArg y;
        if (!named("x", convert_vec(x_obj, true, x)) || !named("y", convert_mat(y_obj, y)) ||
            !named("delta", convert_vec(delta_obj, true, delta)) ||
            !named("w", convert_vec(w_obj, true, w)))
            return nullptr;
        if (delta.get() && w.get()) {
            PyErr_SetString(PyExc_TypeError, "give delta or w, not both");
            return nullptr;
        }
        // The rows are copied while the lock is held; the rest works on the copy.
        velk::engine::Checked<velk::engine::Rows> rows =
            velk::engine::keep_finite(x.get(), y.view, delta.get(), w.get());
        if (!rows.ok()) return raise_invalid(rows.error());
        std::optional<velk::engine::Checked<velk::engine::Samples>> samples;
        {
            Unlocked unlocked(nullptr);
            velk::Ticker ticker = unlocked.ticker();
            samples.emplace(
                velk::engine::prepare(std::move(rows.value()), with_index != 0, ticker));
        }
        if (!samples->ok()) return raise_invalid(samples->error());
        return wrap_samples(std::move(samples->value()));
    });
}

// samples_from_state(x, y, w, ex, ey, ed): what Samples pickle to.
PyObject* engine_samples_from_state_entry(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_obj, *y_obj, *w_obj;
        int ex, ey, ed;
        if (!PyArg_ParseTuple(args, "OOOiii:samples_from_state", &x_obj, &y_obj, &w_obj, &ex, &ey,
                              &ed))
            return nullptr;
        VecArg x, w;
        MatArg y;
        if (!named("x", convert_vec(x_obj, false, x)) || !named("y", convert_mat(y_obj, y)) ||
            !named("w", convert_vec(w_obj, false, w)))
            return nullptr;
        velk::engine::Checked<velk::engine::Samples> samples =
            velk::engine::restore(copy_vector(x.view), y.view, copy_vector(w.view), ex, ey, ed);
        if (!samples.ok()) return raise_invalid(samples.error());
        return wrap_samples(std::move(samples.value()));
    });
}

}  // namespace velk_py
