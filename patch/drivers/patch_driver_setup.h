#pragma once

// What the two patch drivers (directory and single file) share: opening the diff (a whole file, or the
// window of a self-extracting archive that holds it), choosing the decompressor, the one cache they allocate
// per run, the sequence that closes a run, and the wall clock for their timing notes. Each step prints the
// run's own error lines and answers a TDirPatchResult code.

#include "patch/core/decompress_plugin.h"
#include "patch/core/dpatch_types.h"
#include "patch/os/file_services.h"

#include <stddef.h>

// Seconds since the epoch, 0 when the clock can't be read.
double dpatch_clockSeconds();

// Allocates the run's cache for old data of oldSize bytes: all old data plus spare room when
// loadOldAll is set, else cacheSize (at least 32 KiB, at most the old data plus 2 MiB). Halves the
// request while allocation fails; returns 0 once it would drop below 64 KiB. The caller frees it.
unsigned char* dpatch_allocPatchCache(dpatch_StreamPos_t oldSize, BOOL loadOldAll, size_t cacheSize,
                                      size_t* outCacheSize);

// True when a cache of cacheSize bytes holds all old data, so the old files need not stay open.
BOOL dpatch_cacheHoldsOldData(size_t cacheSize, dpatch_StreamPos_t oldSize);

// Opens diffFileName into diffData; with diffDataOffert not 0, only the diffDataSize bytes from there are the
// diff. DPATCH_SUCCESS, or the code whose error line was printed.
int dpatch_openDiffWindow(dpatch_TFileStreamInput* diffData, const char* diffFileName,
                          dpatch_StreamPos_t diffDataOffert, dpatch_StreamPos_t diffDataSize);

// The decompressor for data compressed with compressType, need sections of it compressed: none when the
// data is stored as is (a tag without compressed sections is only noted). DPATCH_SUCCESS with *out_plugin
// set, or DPATCH_COMPRESSTYPE_ERROR when no built-in decompressor opens it.
int dpatch_chooseDecompressPlugin(const char* compressType, int need, const dpatch_TDecompressPlugin** out_plugin);

// The cache of dpatch_allocPatchCache for the run: DPATCH_SUCCESS, or DPATCH_MEM_ERROR with its line printed.
int dpatch_allocRunCache(dpatch_StreamPos_t oldSize, BOOL loadOldAll, size_t cacheSize, unsigned char** out_cache,
                         size_t* out_cacheSize);

// One step of closing a run: close(what), its error line and its code.
typedef struct dpatch_TCloseStep
{
    BOOL (*close)(void* what);
    void* what;
    const char* message;
    int code;
} dpatch_TCloseStep;

// Ends a run: runs every step in order, whatever the earlier ones answered, then frees the run's cache and
// notes the run's time, timeNote followed by the seconds since startTime. A failed step prints its line, and
// the first failure of a run that had succeeded so far gives the run its code; a failed run keeps its own
// code. Answers the run's code.
int dpatch_closeRun(int result, const dpatch_TCloseStep* steps, size_t stepCount, unsigned char* cache,
                    const char* timeNote, double startTime);
