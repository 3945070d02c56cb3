// _engine.fit(samples, *, lam=None, length=None, jump_cost, pruning="functional",
//             precondition="none", cancel=None, stats=False, phi=None, jump_index=None)
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "convert.hpp"
#include "engine_entries.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "samples_type.hpp"
#include "scaled_fit.hpp"
#include "unlocked.hpp"

namespace velk_py {

using velk::engine::Search;

// Exactly one of lam and length.
bool convert_smoothing(PyObject* lam, PyObject* length, velk::engine::Smoothing& out) {
    if ((lam == Py_None) == (length == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "give exactly one of lam and length");
        return false;
    }
    out.kind =
        lam != Py_None ? velk::engine::Smoothing::Kind::Lam : velk::engine::Smoothing::Kind::Length;
    return named(lam != Py_None ? "lam" : "length",
                 convert_double(lam != Py_None ? lam : length, out.value));
}

namespace {

bool parse_search(const TextArg& text, Search& out) {
    const std::string lower = ascii_lower(text.bytes);
    if (lower == "functional")
        out = Search::Functional;
    else if (lower == "fpvi")
        out = Search::FPVI;
    else if (lower == "pelt")
        out = Search::PELT;
    else {
        PyErr_Format(PyExc_ValueError,
                     "unknown pruning '%U', expected 'functional', 'FPVI' or 'PELT'",
                     text.object.get());
        return false;
    }
    return true;
}

}  // namespace

// The three searches, default "functional", every option in any letter case.
bool convert_search(PyObject* pruning_obj, PyObject* precondition_obj,
                    velk::engine::Setting& setting) {
    TextArg pruning_text, precondition_text;
    return named("pruning", convert_text(pruning_obj, "functional", pruning_text)) &&
           named("precondition", convert_text(precondition_obj, "none", precondition_text)) &&
           parse_search(pruning_text, setting.search) &&
           parse_precondition(precondition_text, setting.precondition);
}

// None (independent noise) or AR(1) noise's lag-one correlation.
bool convert_phi(PyObject* obj, velk::engine::Setting& setting) {
    if (obj == Py_None) return true;
    double phi = 0.0;
    if (!named("phi", convert_double(obj, phi))) return false;
    setting.phi = phi;
    return true;
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

namespace {

bool put(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

// The fit as the public API reads it: the piecewise polynomial and its units,
// the jumps, the smoothing in the caller's units, the work, and the statistics.
PyObject* result_of(velk::engine::Fit&& fit, bool with_stats) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const velk::Index nb = fit.breaks.size(), k = fit.jumps.size();
    bool ok = put(d, "breaks", array(std::move(fit.breaks), {nb})) &&
              put(d, "coefs", array(std::move(fit.coefs))) &&
              put(d, "scale", Ref(Py_BuildValue("(dd)", fit.x_unit, fit.y_unit))) &&
              put(d, "jump_index", array(std::move(fit.jump_index), {k})) &&
              put(d, "jumps", array(std::move(fit.jumps), {k})) &&
              put(d, "lam", Ref(PyFloat_FromDouble(fit.lam))) &&
              put(d, "samples_fed", Ref(PyLong_FromUnsignedLongLong(fit.samples_fed)));
    if (ok && with_stats) {
        const auto& st = fit.stats;
        ok = put(d, "stats",
                 Ref(Py_BuildValue("{s:d,s:d,s:d,s:d}", "rss", st.rss, "prss", fit.prss, "edf",
                                   st.edf, "logdet", st.logdet)));
    }
    return ok ? dict.release() : nullptr;
}

namespace {

// The arguments fit and search share, converted; false with a Python error set.
struct FitArgs {
    const velk::engine::Samples* samples = nullptr;
    velk::engine::Setting setting;
    Ref token_owner;
    unsigned char* token = nullptr;
    bool with_stats = false;
    // fit only: the jumps given, no search
    std::optional<std::vector<velk::Index>> jumps;
};

// Indices of samples; negative ones wrap past every sample, which the engine rejects.
bool convert_jumps(PyObject* obj, std::optional<std::vector<velk::Index>>& out) {
    if (obj == Py_None) return true;
    std::vector<std::int64_t> given;
    if (!named("jump_index", convert_indices(obj, given))) return false;
    out.emplace(given.begin(), given.end());
    return true;
}

bool parse_fit_args(PyObject* args, PyObject* kwargs, const char* name, FitArgs& out,
                    bool jumps_allowed) {
    // search takes every keyword but the last
    static const char* fit_keywords[] = {"samples", "lam",          "length", "jump_cost",
                                         "pruning", "precondition", "cancel", "stats",
                                         "phi",     "jump_index",   nullptr};
    static const char* search_keywords[] = {"samples", "lam",          "length", "jump_cost",
                                            "pruning", "precondition", "cancel", "stats",
                                            "phi",     nullptr};
    const char** keywords = jumps_allowed ? fit_keywords : search_keywords;
    PyObject *samples_obj, *lam_obj = Py_None, *length_obj = Py_None, *cost_obj = nullptr;
    PyObject *pruning_obj = nullptr, *precondition_obj = nullptr, *cancel_obj = Py_None;
    PyObject *phi_obj = Py_None, *jumps_obj = Py_None;
    int with_stats = 0;
    const std::string format = std::string(jumps_allowed ? "O|$OOOOOOpOO:" : "O|$OOOOOOpO:") + name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                     &samples_obj, &lam_obj, &length_obj, &cost_obj, &pruning_obj,
                                     &precondition_obj, &cancel_obj, &with_stats, &phi_obj,
                                     &jumps_obj))
        return false;
    if (!convert_phi(phi_obj, out.setting) || !convert_jumps(jumps_obj, out.jumps)) return false;
    if (!cost_obj) {
        PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument 'jump_cost'", name);
        return false;
    }
    out.samples = samples_of(samples_obj, "samples");
    out.with_stats = with_stats != 0;
    return out.samples && convert_smoothing(lam_obj, length_obj, out.setting.smoothing) &&
           named("jump_cost", convert_double(cost_obj, out.setting.jump_cost)) &&
           convert_search(pruning_obj, precondition_obj, out.setting) &&
           convert_token(cancel_obj, out.token_owner, out.token);
}

}  // namespace

PyObject* engine_fit_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        FitArgs a;
        if (!parse_fit_args(args, kwargs, "fit", a, true)) return nullptr;
        // The samples are immutable and the argument keeps them alive.
        std::optional<velk::engine::Checked<velk::engine::Fit>> outcome;
        {
            Unlocked unlocked(a.token);
            velk::Ticker ticker = unlocked.ticker();
            outcome.emplace(velk::engine::fit(*a.samples, a.setting, a.with_stats, ticker,
                                              a.jumps ? &*a.jumps : nullptr));
        }
        if (!outcome->ok()) return raise_invalid(outcome->error());
        return result_of(std::move(outcome->value()), a.with_stats);
    });
}

PyObject* engine_search_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        FitArgs a;
        if (!parse_fit_args(args, kwargs, "search", a, false)) return nullptr;
        std::optional<velk::engine::Checked<velk::engine::SearchResult>> outcome;
        {
            Unlocked unlocked(a.token);
            velk::Ticker ticker = unlocked.ticker();
            outcome.emplace(velk::engine::search_only(*a.samples, a.setting, ticker));
        }
        if (!outcome->ok()) return raise_invalid(outcome->error());
        velk::engine::SearchResult& r = outcome->value();
        const velk::Index n = r.costs.size();
        Ref dict(PyDict_New());
        if (!dict || !put(dict.get(), "costs", array(std::move(r.costs), {n})) ||
            !put(dict.get(), "starts", array(std::move(r.starts), {n})) ||
            !put(dict.get(), "samples_fed", Ref(PyLong_FromUnsignedLongLong(r.samples_fed))))
            return nullptr;
        return dict.release();
    });
}

}  // namespace velk_py
