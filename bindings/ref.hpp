// Owned Python reference: every error path in the bindings is a plain return.
#pragma once

#include "python.hpp"

namespace velk_py {

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.release();
            Py_XDECREF(old);  // last: a destructor may run arbitrary code
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // A new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (or to an API that steals it).
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace velk_py
