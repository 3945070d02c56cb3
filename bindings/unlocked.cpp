#include "unlocked.hpp"

#include <atomic>

#include "ref.hpp"

namespace velk_py {

namespace {

// Signal handlers run on the main thread only; its ident never changes.
bool on_main_thread() {
    static std::atomic<unsigned long> main_ident{0};
    unsigned long ident = main_ident.load(std::memory_order_relaxed);
    if (ident == 0) {
        Ref threading(PyImport_ImportModule("threading"));
        Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr)
                           : nullptr);
        Ref value(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
        if (!value) {
            PyErr_Clear();  // without it, only the token can stop the work
            return false;
        }
        ident = PyLong_AsUnsignedLong(value.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        main_ident.store(ident, std::memory_order_relaxed);
    }
    return PyThread_get_thread_ident() == ident;
}

}  // namespace

Unlocked::Unlocked(unsigned char* token)
    : token_(token), main_thread_(on_main_thread()), state_(PyEval_SaveThread()) {}

bool Unlocked::poll(void* self) {
    auto* u = static_cast<Unlocked*>(self);
    if (u->token_ && std::atomic_ref<unsigned char>(*u->token_).load(std::memory_order_relaxed))
        return true;
    if (!u->main_thread_) return false;
    PyEval_RestoreThread(u->state_);
    const bool raised = PyErr_CheckSignals() < 0;
    u->state_ = PyEval_SaveThread();
    return raised;
}

}  // namespace velk_py
