#pragma once

#include <cstdio>
#include <cstdlib>

// A property that must hold for every input. A broken one ends the run the
// way a crash does, so that libFuzzer keeps the input that broke it.
#define FUZZ_REQUIRE(condition)                                                               \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)
