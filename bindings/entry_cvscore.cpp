// velk_cvscore(x, y, p, gamma, delta, folds, pruning="FPVI", precondition="none")
#include "convert.hpp"
#include "cv.hpp"
#include "entries.hpp"
#include "errors.hpp"

namespace velk_py {

PyObject* velk_cvscore_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {
            "x", "y", "p", "gamma", "delta", "folds", "pruning", "precondition", nullptr};
        PyObject *x_obj, *y_obj, *p_obj, *gamma_obj, *delta_obj, *folds_obj;
        PyObject *pruning_obj = nullptr, *precondition_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|OO:velk_cvscore",
                                         const_cast<char**>(keywords), &x_obj, &y_obj, &p_obj,
                                         &gamma_obj, &delta_obj, &folds_obj, &pruning_obj,
                                         &precondition_obj))
            return nullptr;

        velk::Pruning pruning;
        velk::Precondition precondition;
        VecArg x, delta;
        MatArg y;
        double p, gamma;
        Folds folds;
        if (!named("x", convert_vec(x_obj, false, x)) || !named("y", convert_mat(y_obj, y)) ||
            !named("p", convert_double(p_obj, p)) ||
            !named("gamma", convert_double(gamma_obj, gamma)) ||
            !named("delta", convert_vec(delta_obj, false, delta)) ||
            !named("folds", convert_folds(folds_obj, folds)) ||
            !convert_options(pruning_obj, precondition_obj, pruning, precondition))
            return nullptr;

        velk::Ticker never;  // this entry runs to completion
        const double score = velk::cv_score(x.view, y.view, delta.view, folds, pruning,
                                            precondition, p, gamma, never);
        return PyFloat_FromDouble(score);
    });
}

}  // namespace velk_py
