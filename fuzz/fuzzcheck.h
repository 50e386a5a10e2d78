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
