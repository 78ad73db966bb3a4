// The engine's message pair for programs that run the engine without the launcher (the patch tests and
// command-line tools): notes go to stdout, errors to stderr, unbuffered lines as the engine prints them.

#include <stdarg.h>

#include "patch/core/dpatch_check.h"

int dpatch_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = vfprintf(stdout, format, args);
    va_end(args);
    return length;
}

int dpatch_fprintf(void* /*stream*/, const char* format, ...)
{
    // The engine always means the error channel; ignoring the pointer keeps a bad one harmless.
    va_list args;
    va_start(args, format);
    const int length = vfprintf(stderr, format, args);
    va_end(args);
    return length;
}
