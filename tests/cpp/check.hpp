// The C++ tests' one assertion: a failed CHECK prints where and what, and the
// run goes on, so one run reports every failure; main() returns nonzero when
// any failed.
#pragma once

#include <cstdio>

namespace quillmere_test {
inline int failures = 0;
inline int checks = 0;
}  // namespace quillmere_test

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        ++quillmere_test::checks;                                                         \
        if (!(cond)) {                                                                    \
            ++quillmere_test::failures;                                                   \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                                 \
    } while (0)
