// Runs every TEST of the core test files; an optional argument selects tests by substring.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <exception>

#include "check.hpp"

int main(int argc, char** argv) {
    int passed = 0;
    int failed = 0;
    for (const auto& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        check::failures_in_current() = 0;
        const auto started = std::chrono::steady_clock::now();
        try {
            c.body();
        } catch (const std::exception& e) {
            check::fail(c.name, 0, std::string("exception: ") + e.what());
        }
        // VARNIX_TEST_TIMES=1 lists each test's time, to find the slow ones.
        if (std::getenv("VARNIX_TEST_TIMES") != nullptr) {
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
            std::cerr << took.count() << " s  " << c.name << "\n";
        }
        if (check::failures_in_current() == 0) {
            ++passed;
        } else {
            ++failed;
            std::cerr << "FAILED " << c.name << "\n";
        }
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 && passed > 0 ? 0 : 1;
}
