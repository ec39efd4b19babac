// The fuzz targets' own check: a broken promise prints what broke and aborts, which libFuzzer
// reports as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define KV_FUZZ_CHECK(condition, what)                                                       \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "fuzz check failed: %s: %s\n", #condition, std::string(what).c_str()); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (false)
