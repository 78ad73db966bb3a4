#pragma once
// Applies one "HDIFF19" directory diff from an old directory (or file) to a new one and returns a
// TDirPatchResult. All file-system work on the new side goes through the listener.
#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"
#include "patch/dir/dir_patch_listener.h"
#include "patch/drivers/dir_patch_result.h"

#include <stddef.h>
#include <stdint.h>

int runDirPatch(const char* oldPath, const char* diffFileName, const char* outNewPath, BOOL loadOldAll,
                size_t cacheSize, size_t maxOpenFileNumber, TChecksumSet* checksumSet, TDirPatchListener* listener,
                dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize);

// Writes the new directory in place with the engine's file services and sets execute bits at the end.
// One static record: it serves one run at a time.
extern TDirPatchListener defaultDirPatchListener;
