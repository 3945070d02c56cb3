// Core work without the interpreter lock, stoppable from Python.
#pragma once

#include "cancel.hpp"
#include "python.hpp"

namespace velk_py {

// Releases the lock for its lifetime. Its ticker stops the core when `token`
// (a byte another thread may set, or null) is non-zero, or, on the main
// thread, when a signal handler raises (Ctrl-C): the lock is taken back
// briefly for that check, and the exception stays set for the caller.
class Unlocked {
public:
    explicit Unlocked(unsigned char* token);
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    velk::Ticker ticker() { return velk::Ticker(&poll, this); }

private:
    static bool poll(void* self);

    unsigned char* token_;
    bool main_thread_;
    PyThreadState* state_;
};

}  // namespace velk_py
