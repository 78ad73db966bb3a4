#pragma once
// Applies one "HDIFF13" compressed diff to one old file and writes one new file; returns a
// TDirPatchResult. The single-file twin of runDirPatch: the same memory rule, decompressor choice,
// messages and result codes, without a listener.
#include "patch/core/dpatch_types.h"
#include "patch/drivers/dir_patch_result.h"

#include <stddef.h>

// An empty oldPath stands for an old file of zero bytes. With diffDataOffert not 0 the diff is the
// diffDataSize bytes from there on inside diffFileName.
int runFilePatch(const char* oldPath, const char* diffFileName, const char* outNewPath, BOOL loadOldAll,
                 size_t cacheSize, dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize);
