#pragma once
// Applies one "HDIFF19" directory diff in separate steps: read the head, load the directory data,
// optionally set up checksums, open the old reference files as one input stream and the new directory
// as one output stream, run the embedded compressed diff from one to the other, close. The three
// closes are safe in every state, so a caller can jump to them after any failed step.
#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/new_dir_output.h"
#include "patch/dir/ref_stream.h"
#include "patch/dir/res_handle_limit.h"
#include "patch/os/file_services.h"

#include <stdint.h>

typedef struct TDirPatcher
{
    TDirDiffInfo dirDiffInfo;
    TDirDiffHead dirDiffHead;
    const char** oldUtf8PathList;
    const size_t* oldRefList;
    int32_t _isDiffDataChecksumError;
    int32_t _isOldRefDataChecksumError;
    TNewDir _newDir;
    dpatch_TRefStream _oldRefStream;
    dpatch_TResHandleLimit _resLimit;
    dpatch_TResHandle* _resList;
    dpatch_TFileStreamInput* _oldFileList;
    char* _oldPathBuf;
    char* _oldRootDir_end;
    char* _oldPathBufEnd;
    void* _pOldRefMem;
    TChecksumSet _checksumSet;
    unsigned char* _pChecksumMem;
    const dpatch_TDecompressPlugin* _decompressPlugin;
    const dpatch_TStreamInput* _dirDiffData;
    void* _pDiffDataMem;
    dpatch_StreamPos_t* _pOldSameRefCount;
    // Most bytes the directory data and the tables sized from its counts may take (0: the default
    // below). A diff whose counts need more is refused before anything is allocated.
    dpatch_StreamPos_t dirDataMemLimit;
} TDirPatcher;

// The limit of a patcher whose dirDataMemLimit is 0: the command line's default cache.
static const dpatch_StreamPos_t kDirDataMemLimitDefault = (dpatch_StreamPos_t)64 * 1024 * 1024;

// Feeds bytes [begin, end) of data to a checksum in bounded pieces; fails when a read fails.
BOOL _checksum_append(dpatch_TChecksumPlugin* checksumPlugin, dpatch_TChecksumHandle csHandle,
                      const dpatch_TStreamInput* data, dpatch_StreamPos_t begin, dpatch_StreamPos_t end);

BOOL TDirPatcher_open(TDirPatcher* self, const dpatch_TStreamInput* dirDiffData, const TDirDiffInfo** out_dirDiffInfo);
// The bytes that loading the directory data of head and patching with it take for the data and its
// tables (path lists, reference lists, the old files' handles); 0 when the sum can't be represented.
dpatch_StreamPos_t TDirPatcher_dirDataMemSize(const TDirDiffHead* head);
BOOL TDirPatcher_loadDirData(TDirPatcher* self, const dpatch_TDecompressPlugin* decompressPlugin,
                             const char* oldPath_utf8, const char* newPath_utf8);
BOOL TDirPatcher_checksum(TDirPatcher* self, const TChecksumSet* checksumSet);
// The old side of each unchanged file must be a regular file (after following links), as a reference file
// must: it is read whole when it is copied, and a FIFO would wait for a writer for ever, a device never end.
// Looked at before anything opens it; a missing one passes here and fails the copy itself.
BOOL TDirPatcher_checkOldSameFiles(TDirPatcher* self);
BOOL TDirPatcher_openOldRefStream(TDirPatcher* self, size_t maxOpenFileNumber,
                                  const dpatch_TStreamInput** out_oldRefStream);
BOOL TDirPatcher_openNewDirStream(TDirPatcher* self, TDirPatchListener* listener,
                                  const dpatch_TStreamOutput** out_newDirStream);
BOOL TDirPatcher_patch(TDirPatcher* self, const dpatch_TStreamOutput* out_newData, const dpatch_TStreamInput* oldData,
                       unsigned char* temp_cache, unsigned char* temp_cache_end);
BOOL TDirPatcher_closeNewDirStream(TDirPatcher* self);
BOOL TDirPatcher_closeOldRefStream(TDirPatcher* self);
BOOL TDirPatcher_close(TDirPatcher* self);

// Full old paths, built in the old path buffer; valid until the next one is built there.
const char* TDirPatcher_getOldPathByIndex(TDirPatcher* self, size_t oldIndex);
const char* TDirPatcher_getOldRefPathByRefIndex(TDirPatcher* self, size_t refIndex);
const char* TDirPatcher_getOldPathBySameIndex(TDirPatcher* self, size_t sameIndex);
// newPath must be the path most recently built by a new-directory path accessor.
const char* TDirPatcher_getOldPathByNewPath(TDirPatcher* self, const char* newPath);

// How many same-file pairs copy each old path, for listeners that move old files instead of copying.
BOOL TDirPatcher_initOldSameRefCount(TDirPatcher* self);
dpatch_StreamPos_t TDirPatcher_oldSameRefCount(TDirPatcher* self, size_t sameIndex);
void TDirPatcher_decOldSameRefCount(TDirPatcher* self, size_t sameIndex);
void TDirPatcher_finishOldSameRefCount(TDirPatcher* self);
