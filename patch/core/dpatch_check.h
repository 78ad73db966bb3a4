#pragma once
// The check macros of the layers that report failures (the directory-diff reader, the directory patcher,
// the new-directory output, the limiter, the plugins and the drivers). The core readers and patchers do
// not include this: they only return 0. Include it after framework headers: the macro is named check.

#include "patch/core/dpatch_log.h"

#include <cstdio>

// Prints "check <expr> error!" and returns 0 from the calling function.
#define check(expr)                                                                                                    \
    do {                                                                                                               \
        if (!(expr)) {                                                                                                 \
            dpatch_fprintf(stderr, "check " #expr " error!\n");                                                        \
            return 0;                                                                                                  \
        }                                                                                                              \
    } while (0)

// Prints "check <expr> error!", sets the local result to 0 and jumps to the local label clear, for
// functions that release what they opened on every way out.
#define check_clear(expr)                                                                                              \
    do {                                                                                                               \
        if (!(expr)) {                                                                                                 \
            dpatch_fprintf(stderr, "check " #expr " error!\n");                                                        \
            result = 0;                                                                                                \
            goto clear;                                                                                                \
        }                                                                                                              \
    } while (0)
