#pragma once
// The new side of a directory patch. The embedded diff writes the new reference data as one stream;
// dpatch_TNewStream walks the new path list in order and splits that stream at file ends, and TNewDir
// turns each path into calls of the caller's TDirPatchListener (directories, empty files, copies of
// unchanged old files, new files), so the engine itself never touches the new directory.
#include "patch/core/dpatch_types.h"
#include "patch/dir/dir_checksum.h"
#include "patch/dir/dir_diff_format.h"
#include "patch/dir/dir_patch_listener.h"
#include "patch/os/file_services.h"

#include <stdint.h>

// Sees every byte of a copied file, in order.
typedef struct dpatch_TCopyListener
{
    void* listenerOwner;
    void (*onCopyData)(struct dpatch_TCopyListener* listener, const unsigned char* data, const unsigned char* data_end);
} dpatch_TCopyListener;

typedef struct dpatch_TNewStreamListener
{
    void* listenerOwner;
    BOOL (*makeNewDirOrEmptyFile)(struct dpatch_TNewStreamListener* listener, size_t pathIndex);
    BOOL (*copySameFile)(struct dpatch_TNewStreamListener* listener, size_t newIndex, size_t oldIndex);
    BOOL(*openNewFile)
    (struct dpatch_TNewStreamListener* listener, size_t newRefIndex, const dpatch_TStreamOutput** out_curNewFile);
    BOOL (*closeNewFile)(struct dpatch_TNewStreamListener* listener, const dpatch_TStreamOutput* curNewFile);
    void (*onNewDataWrite)(struct dpatch_TNewStreamListener* listener, const unsigned char* data,
                           const unsigned char* data_end);
    BOOL (*writedFinish)(struct dpatch_TNewStreamListener* listener);
    // Optional: told that a write into the current file failed, after the check line, to add its own words.
    void (*onNewFileWriteFailed)(struct dpatch_TNewStreamListener* listener, const dpatch_TStreamOutput* curNewFile);
} dpatch_TNewStreamListener;

// An output stream over a list of paths of which the new reference files take the data.
typedef struct dpatch_TNewStream
{
    const dpatch_TStreamOutput* stream;
    int32_t isFinish;
    dpatch_StreamPos_t kAlignSize;
    size_t _pathCount;
    const size_t* _newRefList;
    size_t _newRefCount;
    const dpatch_TSameFilePair* _samePairList;
    size_t _samePairCount;
    dpatch_TStreamOutput _stream;
    size_t _curPathIndex;
    size_t _curNewRefIndex;
    size_t _curSamePairIndex;
    dpatch_StreamPos_t _curWriteToPosEnd;
    const dpatch_TStreamOutput* _curNewFile;
    dpatch_TNewStreamListener* _listener;
} dpatch_TNewStream;

// How the new side reaches full old paths, which the patcher builds in its own buffer.
typedef struct dpatch_TOldPathListener
{
    void* listenerOwner;
    const char* (*getOldPathByIndex)(struct dpatch_TOldPathListener* listener, size_t oldIndex);
} dpatch_TOldPathListener;

typedef struct TNewDir
{
    const char* const* newUtf8PathList;
    const size_t* newRefList;
    const size_t* newExecuteList;
    const dpatch_StreamPos_t* newRefSizeList;
    const dpatch_TSameFilePair* dataSamePairList;
    dpatch_StreamPos_t newDataSize;
    size_t newPathCount;
    size_t newRefFileCount;
    size_t newExecuteCount;
    size_t sameFilePairCount;
    size_t checksumByteSize;
    int32_t isCheck_newRefData;
    int32_t isCheck_copyFileData;
    dpatch_TOldPathListener _oldPathListener;
    char* _newPathBuf;
    char* _newRootDir_end;
    char* _newPathBufEnd;
    const unsigned char* _pStoredChecksums;
    unsigned char* _pComputedChecksum;
    struct dpatch_TChecksumPlugin* checksumPlugin;
    dpatch_TCopyListener _sameFileCopyListener;
    dpatch_TNewStream _newDirStream;
    TDirPatchListener* _listener;
    dpatch_TNewStreamListener _newDirStreamListener;
    void* _newRefChecksumHandle;
    void* _sameFileChecksumHandle;
    int32_t _isNewRefDataChecksumError;
    int32_t _isCopyDataChecksumError;
    dpatch_TFileStreamOutput* _curNewFile;
    void* _pmem;
} TNewDir;

BOOL TNewDir_open(TNewDir* self, TDirPatchListener* listener, size_t kAlignSize,
                  const dpatch_TStreamOutput** out_newDirStream);
BOOL TNewDir_close(TNewDir* self);
BOOL _TDirPatcher_closeNewFileHandles(TNewDir* self);

BOOL dpatch_TNewStream_open(dpatch_TNewStream* self, dpatch_TNewStreamListener* listener,
                            dpatch_StreamPos_t newDataSize, size_t newPathCount, const size_t* newRefList,
                            size_t newRefCount, const dpatch_TSameFilePair* samePairList, size_t samePairCount,
                            size_t kAlignSize);
BOOL dpatch_TNewStream_closeFileHandles(dpatch_TNewStream* self);
BOOL dpatch_TNewStream_close(dpatch_TNewStream* self);

// Full new paths, built in the new path buffer; valid until the next one is built there.
const char* TNewDir_getNewPathRoot(TNewDir* self);
const char* TNewDir_getNewPathByIndex(TNewDir* self, size_t newPathIndex);
const char* TNewDir_getNewPathByRefIndex(TNewDir* self, size_t newRefIndex);
const char* TNewDir_getNewExecutePath(TNewDir* self, size_t executeIndex);
const char* TNewDir_getNewPathBySameIndex(TNewDir* self, size_t sameIndex);
// The full old path of a same-file pair, built in the patcher's old path buffer.
const char* TNewDir_getOldPathBySameIndex(TNewDir* self, size_t sameIndex);

// Copies a file by the fastest way the file systems allow (see file_copy.h); every byte copied passes through
// copyListener when given.
BOOL dpatch_copyFile(const char* oldFileName, const char* newFileName, dpatch_TCopyListener* copyListener);
// Passes the bytes of a file to copyListener without writing anything.
BOOL dpatch_readFileToListener(const char* oldFileName, dpatch_TCopyListener* copyListener);
