// _engine.fit_batch(items, *, pruning="functional", precondition="none", cancel=None,
//                   stats=False, phi=None)
#include <optional>
#include <vector>

#include "convert.hpp"
#include "engine_entries.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "samples_type.hpp"
#include "scaled_fit.hpp"
#include "unlocked.hpp"

namespace velk_py {

namespace {

// One item: (samples, lam, length, jump_cost), exactly one of lam and length not None.
bool convert_item(PyObject* item, Ref& keep, const velk::engine::Samples*& samples,
                  velk::engine::Setting& setting) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'items': expected tuples (samples, lam, length, jump_cost)");
        return false;
    }
    PyObject* obj = PyTuple_GetItem(item, 0);
    keep = Ref::borrow(item);  // the tuple holds the samples
    samples = samples_of(obj, "items");
    return samples &&
           convert_smoothing(PyTuple_GetItem(item, 1), PyTuple_GetItem(item, 2),
                             setting.smoothing) &&
           named("jump_cost", convert_double(PyTuple_GetItem(item, 3), setting.jump_cost));
}

}  // namespace

PyObject* engine_fit_batch_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"items", "pruning", "precondition", "cancel",
                                         "stats", "phi",     nullptr};
        PyObject *items_obj, *pruning_obj = nullptr, *precondition_obj = nullptr;
        PyObject *cancel_obj = Py_None, *phi_obj = Py_None;
        int with_stats = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOpO:fit_batch",
                                         const_cast<char**>(keywords), &items_obj, &pruning_obj,
                                         &precondition_obj, &cancel_obj, &with_stats, &phi_obj))
            return nullptr;
        velk::engine::Setting common;
        Ref token_owner;
        unsigned char* token;
        if (!convert_search(pruning_obj, precondition_obj, common) ||
            !convert_phi(phi_obj, common) || !convert_token(cancel_obj, token_owner, token))
            return nullptr;
        if (!PyList_Check(items_obj)) {
            named("items", expected("a list", items_obj));
            return nullptr;
        }
        const Py_ssize_t count = PyList_Size(items_obj);
        std::vector<Ref> keep(static_cast<std::size_t>(count));
        std::vector<const velk::engine::Samples*> samples(static_cast<std::size_t>(count));
        std::vector<velk::engine::Setting> settings(static_cast<std::size_t>(count), common);
        for (Py_ssize_t k = 0; k < count; ++k) {
            const auto i = static_cast<std::size_t>(k);
            if (!convert_item(PyList_GetItem(items_obj, k), keep[i], samples[i], settings[i]))
                return nullptr;
        }
        // Every fit of the batch without the lock: the samples are immutable, and the
        // list of references above keeps them alive.
        std::vector<std::optional<velk::engine::Checked<velk::engine::Fit>>> outcomes(keep.size());
        {
            Unlocked unlocked(token);
            velk::Ticker ticker = unlocked.ticker();
            for (std::size_t i = 0; i < keep.size(); ++i)
                outcomes[i].emplace(
                    velk::engine::fit(*samples[i], settings[i], with_stats != 0, ticker));
        }
        Ref list(PyList_New(count));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < keep.size(); ++i) {
            auto& outcome = *outcomes[i];
            PyObject* value;
            if (outcome.ok()) {
                value = result_of(std::move(outcome.value()), with_stats != 0);
            } else {  // the failure of this item, for the caller to raise or report
                Ref text(PyUnicode_FromString(outcome.error().message.c_str()));
                value = text ? PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr)
                             : nullptr;
            }
            if (!value) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals value
        }
        return list.release();
    });
}

}  // namespace velk_py
