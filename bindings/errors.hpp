// Mapping of C++ failures to Python exceptions at the entry points.
#pragma once

#include <exception>
#include <new>
#include <source_location>

#include "cancel.hpp"
#include "error.hpp"
#include "python.hpp"

namespace velk_py {

// Creates the internal-error exception class (once per process), or adopts
// the one another of the package's modules created.
bool init_internal_error(PyObject* existing = nullptr);

// The class, borrowed (null before init_internal_error).
PyObject* internal_error();

// Writes the diagnostic to fd 2, then raises the internal-error exception.
// where may be null when the failure carries no source location.
void raise_internal_error(const char* message, const std::source_location* where) noexcept;

// Runs an entry point's body; no C++ exception gets past this into CPython.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const velk::InternalError& e) {
        raise_internal_error(e.what(), &e.where());
    } catch (const velk::Cancelled&) {
        // Either a signal handler raised (KeyboardInterrupt) or the caller's
        // token asked to stop.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_error(e.what(), nullptr);
    } catch (...) {
        raise_internal_error("unknown C++ exception", nullptr);
    }
    return nullptr;
}

}  // namespace velk_py
