// The runner: `velk_tests [GROUP...]` runs the tests of tests/cpp/test_GROUP.cpp
// (every test without arguments) and exits with 1 when a check failed, a test
// threw, or no test ran (a misspelt group).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <vector>

#include "check.hpp"

namespace vt {
namespace {

struct Test {
    std::string group;
    const char* name;
    void (*fn)();
};
std::vector<Test>& tests() {
    static std::vector<Test> all;
    return all;
}
std::vector<std::string>& contexts() {
    static std::vector<std::string> stack;
    return stack;
}
int failures = 0;
constexpr int kShown = 10;  // failures printed per test; the rest are only counted

}  // namespace

bool add_test(const char* file, const char* name, void (*fn)()) {
    std::string stem(file);  // ".../test_search.cpp" -> "search"
    stem = stem.substr(stem.find_last_of("/\\") + 1);
    stem = stem.substr(0, stem.rfind('.'));
    tests().push_back({stem.rfind("test_", 0) == 0 ? stem.substr(5) : stem, name, fn});
    return true;
}

void fail(const char* file, int line, const std::string& what) {
    if (++failures > kShown) return;
    std::printf("%s:%d: %s\n", file, line, what.c_str());
    for (const std::string& c : contexts()) std::printf("    in %s\n", c.c_str());
}

Context::Context(std::string text) { contexts().push_back(std::move(text)); }
Context::~Context() { contexts().pop_back(); }

}  // namespace vt

int main(int argc, char** argv) {
    const std::vector<std::string> groups(argv + 1, argv + argc);
    int run = 0, failed = 0;
    for (const vt::Test& t : vt::tests()) {
        if (!groups.empty() && std::find(groups.begin(), groups.end(), t.group) == groups.end())
            continue;
        vt::failures = 0;
        const auto t0 = std::chrono::steady_clock::now();
        try {
            t.fn();
        } catch (const std::exception& e) {
            vt::fail(t.name, 0, vt::str("threw: ", e.what()));
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        ++run;
        failed += vt::failures > 0;
        std::printf("%s %s.%s (%.2f s)", vt::failures > 0 ? "FAIL" : "ok  ", t.group.c_str(),
                    t.name, took.count());
        if (vt::failures > 0) std::printf(": %d failed checks", vt::failures);
        std::printf("\n");
    }
    std::printf("%d tests, %d failed\n", run, failed);
    return failed > 0 || run == 0 ? 1 : 0;
}
