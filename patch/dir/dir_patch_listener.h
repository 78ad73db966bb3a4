#pragma once
// TDirPatchListener: the callback record through which a directory patch does all file-system work on
// the new side and reports its progress. The caller of runDirPatch fills it and keeps it alive for the
// whole call; every callback runs on that caller's thread and gets the record itself first.
//
//   listenerOwner, userData  free for the caller; the engine never touches them.
//   setProgressTotal         optional; once per run, before the cache is allocated, with the number of bytes
//                            the patch will write into new files from patched data.
//   addProgress              optional; each time a piece of patched data arrives for the new files (before it
//                            is written), with its length; over a complete run the pieces add up to the total.
//                            Copied unchanged files and empty files are not counted.
//   makeNewDir               create pathName (a full path ending in '/'); 0 fails the patch.
//   copySameFile             make newFileName a copy of the unchanged oldFileName; every byte must pass through
//                            copyListener when one is given; 0 fails the patch.
//   openNewFile              open the engine's curNewFile record on newFileName for exactly fileSize bytes
//                            (0 for an empty file), e.g. with dpatch_TFileStreamOutput_open; 0 fails the patch.
//   closeNewFile             close curNewFile, e.g. with dpatch_TFileStreamOutput_close; 0 fails the patch.
//   dirPatcher               room for the patcher, stored by the caller's own patchBegin so that patchFinish
//                            can reach the new directory's lists; the engine neither reads nor writes it.
//   patchBegin               required; once, after the directory data is loaded and before any output;
//                            0 ends the run.
//   patchFinish              required; exactly once per run, with 1 after a successful patch (0 then fails the
//                            run) or with 0 after any failure, before the streams are closed.
// One record serves one run at a time, since patchBegin overwrites dirPatcher.

#include "patch/core/dpatch_types.h"

#include <cstddef>

struct TDirPatcher;
struct dpatch_TCopyListener;
struct dpatch_TFileStreamOutput;

typedef struct TDirPatchListener
{
    void* listenerOwner;
    void* userData;
    void (*setProgressTotal)(struct TDirPatchListener* listener, dpatch_StreamPos_t newDataSize);
    void (*addProgress)(struct TDirPatchListener* listener, dpatch_StreamPos_t byteCount);
    BOOL (*makeNewDir)(struct TDirPatchListener* listener, const char* pathName);
    BOOL(*copySameFile)
    (struct TDirPatchListener* listener, const char* oldFileName, const char* newFileName,
     struct dpatch_TCopyListener* copyListener);
    BOOL(*openNewFile)
    (struct TDirPatchListener* listener, struct dpatch_TFileStreamOutput* curNewFile, const char* newFileName,
     dpatch_StreamPos_t fileSize);
    BOOL (*closeNewFile)(struct TDirPatchListener* listener, struct dpatch_TFileStreamOutput* curNewFile);
    struct TDirPatcher* dirPatcher;
    BOOL (*patchBegin)(struct TDirPatchListener* listener, struct TDirPatcher* dirPatcher);
    BOOL (*patchFinish)(struct TDirPatchListener* listener, BOOL isPatchSuccess);
} TDirPatchListener;

// Callers fill the record slot by slot and some keep it in memory shared with other code; its shape is
// eleven pointer-sized slots in this order.
static_assert(sizeof(TDirPatchListener) == 11 * sizeof(void*), "eleven pointer-sized slots");
static_assert(offsetof(TDirPatchListener, setProgressTotal) == 2 * sizeof(void*), "slot order");
static_assert(offsetof(TDirPatchListener, dirPatcher) == 8 * sizeof(void*), "slot order");
static_assert(offsetof(TDirPatchListener, patchFinish) == 10 * sizeof(void*), "slot order");
