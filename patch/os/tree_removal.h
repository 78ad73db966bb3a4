#pragma once
// The removal of a tree of the engine's own, which never follows a link nor goes into a mounted file system.

#include "patch/core/dpatch_types.h"

// Removes path and everything below it, never following a symbolic link nor entering another file system
// mounted below it (a mount point there makes the removal fail); a missing path succeeds. A failure prints one
// line naming the first entry that could not be removed and the system's error.
BOOL dpatch_removeTree(const char* path);
