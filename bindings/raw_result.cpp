#include "raw_result.hpp"

#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "ref.hpp"

namespace velk_py {

namespace {

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
