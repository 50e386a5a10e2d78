// Shared by the fuzz targets: a check that stops the run with a readable reason, so libFuzzer
// saves the input as a crash artefact.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                              \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s (%s)\n", __FILE__, __LINE__,   \
                         what, #condition);                                                      \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)

#include <atomic>

// A fault already reported and waiting for a fix in the code under test. Strict runs
// (KIVRA_FUZZ_STRICT=1, the default of scripts/fuzz.sh) stop on it like any check; the CI
// stage only reports it once per run, so the fuzzer goes on looking for new faults.
#define FUZZ_OPEN_FINDING(condition, id, what)                                                   \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            const char *kivraStrict = std::getenv("KIVRA_FUZZ_STRICT");                          \
            if (kivraStrict && kivraStrict[0] == '1')                                            \
                FUZZ_CHECK(condition, what);                                                     \
            static std::atomic<bool> kivraSeen{false};                                           \
            if (!kivraSeen.exchange(true))                                                       \
                std::fprintf(stderr, "OPEN FINDING %s: %s\n", id, what);                         \
        }                                                                                        \
    } while (false)
