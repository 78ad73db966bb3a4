#pragma once
// The directory patch's addition to the engine's check macros.
#include "patch/core/dpatch_check.h"

// For a step whose failure line names it as its callers know it rather than as the call is written.
#define check_as(expr, text)                                                                                           \
    do {                                                                                                               \
        if (!(expr)) {                                                                                                 \
            dpatch_fprintf(stderr, "check %s error!\n", text);                                                         \
            return 0;                                                                                                  \
        }                                                                                                              \
    } while (0)
