#pragma once

// A small test runner for the cross-built Windows tests: named tests, checks that report
// their line, and a closing "N passed, M failed" line.

#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

namespace kestrel::wintest {

inline std::string printable(const std::string &text)
{
    return text;
}

inline std::string printable(const char *text)
{
    return text;
}

template <typename Number, typename = std::enable_if_t<std::is_arithmetic_v<Number>>>
std::string printable(Number value)
{
    return std::to_string(value);
}

// Wide texts are shown as UTF-8; defined by the tests, which know the system.
std::string printable(const std::wstring &text);

class Runner {
public:
    using Test = void (*)();

    void add(const char *name, Test test) { m_tests.push_back({name, test}); }

    // Runs every test whose name contains filter; answers the process exit code.
    int runAll(const std::string &filter)
    {
        int passed = 0;
        int failed = 0;
        for (const auto &[name, test] : m_tests) {
            if (name.find(filter) == std::string::npos)
                continue;
            s_failures = 0;
            try {
                test();
            } catch (const std::exception &error) {
                fail(__LINE__, std::string("exception: ") + error.what());
            } catch (...) {
                fail(__LINE__, "unknown exception");
            }
            std::printf("%s %s\n", s_failures == 0 ? "ok  " : "FAIL", name.c_str());
            std::fflush(stdout);
            (s_failures == 0 ? passed : failed)++;
        }
        std::printf("%d passed, %d failed\n", passed, failed);
        return failed == 0 && passed > 0 ? 0 : 1;
    }

    static void fail(int line, const std::string &what)
    {
        ++s_failures;
        std::printf("    line %d: %s\n", line, what.c_str());
    }

private:
    struct Entry {
        std::string name;
        Test test;
    };
    std::vector<Entry> m_tests;
    static inline int s_failures = 0;
};

// The link tests, from their own file.
void addLinkTests(Runner &runner);

} // namespace kestrel::wintest

#define CHECK(condition)                                                                      \
    do {                                                                                      \
        if (!(condition))                                                                     \
            ::kestrel::wintest::Runner::fail(__LINE__, #condition);                           \
    } while (false)

#define CHECK_EQ(actual, expected)                                                            \
    do {                                                                                      \
        const auto &actualValue_ = (actual);                                                  \
        const auto &expectedValue_ = (expected);                                              \
        if (!(actualValue_ == expectedValue_))                                                \
            ::kestrel::wintest::Runner::fail(__LINE__, std::string(#actual " == " #expected)  \
                                                           + " (got \"" + ::kestrel::wintest::printable(actualValue_) \
                                                           + "\")");                          \
    } while (false)
