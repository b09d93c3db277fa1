// A minimal test harness for the C++ core: TEST(name) { CHECK(...); CHECK_EQ(a, b); }.
// The runner (tests/core/main.cpp) runs every registered test and prints "N passed, N failed".
#pragma once

#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_current() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> body) {
        registry().push_back({name, std::move(body)});
    }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures_in_current();
    std::cerr << file << ":" << line << ": check failed: " << what << "\n";
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
    if (!(a == b)) {
        std::ostringstream os;
        os.precision(17);
        os << ea << " == " << eb << " (" << a << " vs " << b << ")";
        fail(file, line, os.str());
    }
}

inline void check_near(double a, double b, double tol, const char* ea, const char* eb,
                       const char* file, int line) {
    if (!(std::fabs(a - b) <= tol)) {
        std::ostringstream os;
        os.precision(17);
        os << "|" << ea << " - " << eb << "| <= " << tol << " (" << a << " vs " << b << ")";
        fail(file, line, os.str());
    }
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                                   \
    static void name();                                                              \
    static ::check::Register CHECK_CONCAT(register_, name)(#name, name);             \
    static void name()
#define CHECK(cond) \
    ((cond) ? (void)0 : ::check::fail(__FILE__, __LINE__, #cond))
#define CHECK_EQ(a, b) ::check::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
#define CHECK_NEAR(a, b, tol) ::check::check_near((a), (b), (tol), #a, #b, __FILE__, __LINE__)
