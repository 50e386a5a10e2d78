// A very small test harness for the Windows platform tests: Qt is not available to the
// mingw-w64 cross build, so each test is a plain program that reports one line per case
// and exits non-zero when any check failed.
#pragma once

#include <cstdio>

namespace wincheck {

inline int &failures()
{
    static int count = 0;
    return count;
}

inline void report(const char *testCase, bool passed)
{
    std::printf("%s : %s\n", passed ? "PASS" : "FAIL", testCase);
    std::fflush(stdout);
}

inline int result()
{
    std::printf("%s\n", failures() == 0 ? "all cases passed" : "some cases FAILED");
    return failures() == 0 ? 0 : 1;
}

} // namespace wincheck

// Records a failed condition with its place; the case goes on, so one run shows every fault.
#define WINCHECK(condition)                                                                      \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::printf("  check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);         \
            ++wincheck::failures();                                                              \
            passed = false;                                                                      \
        }                                                                                        \
    } while (false)
