// Broken invariants: the one exception type the core throws.
//
// User errors are values (InputError in chk.hpp); this type is reserved for
// conditions that validated input never reaches. The bindings turn it into the
// Python internal-error exception.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace velk {

class InternalError : public std::exception {
public:
    InternalError(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalError(std::move(message), where);
}

inline void check(bool ok, const char* message,
                  std::source_location where = std::source_location::current()) {
    if (!ok) [[unlikely]]
        fail(message, where);
}

}  // namespace velk
