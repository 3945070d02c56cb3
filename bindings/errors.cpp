#include "errors.hpp"

#include "ref.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace velk_py {

namespace {

// Process-wide: the module supports a single interpreter.
PyObject* internal_error_type = nullptr;

// Straight to the file descriptor: no allocation, and nothing Python-level
// (sys.stderr may be replaced or broken when an invariant fails).
void write_stderr(const char* text, std::size_t size) noexcept {
    while (size > 0) {
#ifdef _WIN32
        const int n = _write(2, text, static_cast<unsigned>(size));
#else
        const ssize_t n = ::write(2, text, size);
#endif
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

bool init_internal_error(PyObject* existing) {
    if (internal_error_type) return true;
    if (existing) {
        Py_INCREF(existing);  // held for the life of the process
        internal_error_type = existing;
        return true;
    }
    internal_error_type = PyErr_NewExceptionWithDoc(
        "velk.InternalError",
        "A broken invariant inside velk's core; not meant to be caught by `except Exception`.",
        PyExc_BaseException, nullptr);
    return internal_error_type != nullptr;
}

PyObject* internal_error() { return internal_error_type; }

void raise_internal_error(const char* message, const std::source_location* where) noexcept {
    char head[512];
    const int n =
        where ? std::snprintf(head, sizeof head, "velk: internal error in thread %lu at %s:%u: ",
                              PyThread_get_thread_ident(), where->file_name(),
                              static_cast<unsigned>(where->line()))
              : std::snprintf(head, sizeof head,
                              "velk: internal error in thread %lu: ", PyThread_get_thread_ident());
    if (n > 0) write_stderr(head, std::strlen(head));
    write_stderr(message, std::strlen(message));
    write_stderr("\n", 1);
    // Core messages are ASCII; a stray byte from a foreign what() must not turn
    // the internal error into a UnicodeDecodeError.
    Ref text(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (text) PyErr_SetObject(internal_error_type, text.get());
}

}  // namespace velk_py
