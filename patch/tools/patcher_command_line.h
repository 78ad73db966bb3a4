#pragma once
// The patch engine's own command line, dirpatch: patches a file with a compressed diff or a directory
// with a directory diff (also in place), and builds and runs self-extracting archives (sfx_archive.h).
// Returns a TDirPatchResult or one of the archive codes.

#include "patch/tools/sfx_archive.h"

int runPatcherCommandLine(int argc, char** argv);
