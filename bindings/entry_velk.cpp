// velk(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none")
#include "convert.hpp"
#include "entries.hpp"
#include "errors.hpp"
#include "fit.hpp"
#include "raw_result.hpp"

namespace velk_py {

PyObject* velk_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {
            "x", "y", "p", "gamma", "delta", "pruning", "precondition", nullptr};
        PyObject *x_obj, *y_obj, *p_obj, *gamma_obj;
        PyObject *delta_obj = Py_None, *pruning_obj = nullptr, *precondition_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OOO:velk",
                                         const_cast<char**>(keywords), &x_obj, &y_obj, &p_obj,
                                         &gamma_obj, &delta_obj, &pruning_obj, &precondition_obj))
            return nullptr;

        // Every conversion in parameter order before any option is parsed.
        velk::Pruning pruning;
        velk::Precondition precondition;
        VecArg x, delta;
        MatArg y;
        double p, gamma;
        if (!named("x", convert_vec(x_obj, true, x)) || !named("y", convert_mat(y_obj, y)) ||
            !named("p", convert_double(p_obj, p)) ||
            !named("gamma", convert_double(gamma_obj, gamma)) ||
            !named("delta", convert_vec(delta_obj, true, delta)) ||
            !convert_options(pruning_obj, precondition_obj, pruning, precondition))
            return nullptr;

        const velk::Matrix y_copy = copy_matrix(y.view);
        velk::Ticker never;  // this entry runs to completion
        velk::Outcome<velk::FitResult> outcome =
            velk::fit(x.get(), y_copy, delta.get(), pruning, precondition, p, gamma, never);
        if (!outcome.ok()) {
            PyErr_SetString(PyExc_RuntimeError, outcome.error().message().c_str());
            return nullptr;
        }
        return build_result(std::move(outcome.value()));
    });
}

}  // namespace velk_py
