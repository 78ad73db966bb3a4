#pragma once
// The check that a path holds no symbolic link below a root, component by component.

#include <stddef.h>

// The first symbolic link among the components of path after its first rootSize bytes, copied into buf,
// or none. A component that doesn't exist ends the search: nothing below it exists either.
const char* dpatch_linkInPath(const char* path, size_t rootSize, char* buf, size_t bufSize);
