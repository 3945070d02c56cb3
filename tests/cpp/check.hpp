// A small test harness: test functions registered by name, checks that report
// file:line with the values involved and count failures instead of stopping,
// and a context (a seed, a case) printed with every failure in its scope.
#pragma once

#include <cmath>
#include <sstream>
#include <string>

namespace vt {

bool add_test(const char* file, const char* name, void (*fn)());
void fail(const char* file, int line, const std::string& what);

template <class... T>
std::string str(const T&... parts) {
    std::ostringstream out;
    out.precision(17);
    (out << ... << parts);
    return out.str();
}

// What the checks in its scope are about; scopes nest.
struct Context {
    explicit Context(std::string text);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

template <class A, class B>
void check_eq(const A& a, const B& b, const char* what, const char* file, int line) {
    if (!(a == b)) fail(file, line, str(what, ": ", a, " != ", b));
}

// Fails for NaN too.
inline void check_near(double a, double b, double tol, const char* what, const char* file,
                       int line) {
    if (!(std::fabs(a - b) <= tol))
        fail(file, line, str(what, ": ", a, " vs ", b, ", off by ", std::fabs(a - b), " > ", tol));
}

}  // namespace vt

#define VT_JOIN2(a, b) a##b
#define VT_JOIN(a, b) VT_JOIN2(a, b)
#define TEST(name)                                             \
    static void name();                                        \
    [[maybe_unused]] static const bool VT_JOIN(name, _added) = \
        vt::add_test(__FILE__, #name, name);                   \
    static void name()
#define CONTEXT(...) const vt::Context VT_JOIN(vt_context_, __LINE__)(vt::str(__VA_ARGS__))
#define CHECK(cond) ((cond) ? void() : vt::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b) vt::check_eq((a), (b), "CHECK_EQ(" #a ", " #b ")", __FILE__, __LINE__)
#define CHECK_NEAR(a, b, tol) \
    vt::check_near((a), (b), (tol), "CHECK_NEAR(" #a ", " #b ")", __FILE__, __LINE__)
