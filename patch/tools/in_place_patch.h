#pragma once
// Patching onto the old path itself. A file is patched into a free temporary name beside it, which then
// replaces it. A folder is patched through the in-place swap: the new tree is made beside the real old
// folder and swapped in only when complete, and a run cut short is finished (or its half-made tree
// removed) by the next run of the same command.

#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"

#include <stddef.h>

// What a patch run is given besides the path it writes.
struct PatchArgs
{
    const char* oldPath;
    const char* diffFile;
    BOOL loadOldAll;
    size_t cacheSize;
    size_t maxOpenFileNumber;
    TChecksumSet* checksumSet;
    dpatch_StreamPos_t diffDataOffert;
    dpatch_StreamPos_t diffDataSize;
};

// The old file patched with a directory diff (isDirDiff) or a compressed diff into a temporary name beside
// outNewPath (the old file however spelled), which then replaces the old file.
int patchFileInPlace(const PatchArgs* a, const char* outNewPath, BOOL isDirDiff);
// The old folder patched with a directory diff through the in-place swap.
int patchDirInPlace(const PatchArgs* a);
