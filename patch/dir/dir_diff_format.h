#pragma once
// Reader of "HDIFF19" directory diffs: the head (three type texts and the counts and sizes of the
// directory data), the list readers of the directory data, and the root/path builders used by both
// sides of a directory patch.
#include "patch/core/compressed_diff.h"
#include "patch/core/dpatch_types.h"
#include "patch/core/stream_cache_clip.h"

#include <stdint.h>

// What readDirDiffInfo reports about a diff.
typedef struct TDirDiffInfo
{
    int32_t isDirDiff;
    int32_t isNewPathDir;
    int32_t isOldPathDir;
    int32_t isDirDataCompressed;
    dpatch_TCompressedDiffInfo cdiffInfo;
    dpatch_StreamPos_t externDataOffset;
    dpatch_StreamPos_t externDataSize;
    dpatch_StreamPos_t checksumOffset;
    dpatch_StreamPos_t checksumByteSize;
    char checksumType[260];
} TDirDiffInfo;

// Counts and positions of a diff that the patcher keeps.
typedef struct TDirDiffHead
{
    dpatch_StreamPos_t oldPathCount;
    dpatch_StreamPos_t oldPathSumSize;
    dpatch_StreamPos_t newPathCount;
    dpatch_StreamPos_t newPathSumSize;
    dpatch_StreamPos_t oldRefFileCount;
    dpatch_StreamPos_t newRefFileCount;
    dpatch_StreamPos_t sameFilePairCount;
    dpatch_StreamPos_t newExecuteCount;
    dpatch_StreamPos_t privateReservedDataSize;
    dpatch_StreamPos_t sameFileSize;
    dpatch_StreamPos_t typesEndPos;
    dpatch_StreamPos_t privateExternDataOffset;
    dpatch_StreamPos_t privateExternDataSize;
    dpatch_StreamPos_t headDataSizesPos;
    dpatch_StreamPos_t headDataOffset;
    dpatch_StreamPos_t headDataSize;
    dpatch_StreamPos_t headDataCompressedSize;
    dpatch_StreamPos_t cdiffDataOffset;
    dpatch_StreamPos_t cdiffDataSize;
} TDirDiffHead;

// A new file that is a copy of an old one.
typedef struct dpatch_TSameFilePair
{
    dpatch_StreamPos_t newIndex;
    dpatch_StreamPos_t oldIndex;
} dpatch_TSameFilePair;

// Reads the head of dirDiffFile. Data of another type gives 1 with isDirDiff 0. With
// out_isAppendContinue given, dirDiffFile may be a prefix of a diff: the flag stays 1 while more data
// is needed to read the whole head.
BOOL _read_dirdiff_head(TDirDiffInfo* out_info, TDirDiffHead* out_head, const dpatch_TStreamInput* dirDiffFile,
                        BOOL* out_isAppendContinue);

// Opens the file, reads its head into out_info and closes it. With diffDataOffert not 0 the diff is
// the diffDataSize bytes from there on.
BOOL readDirDiffInfo(const char* diffFileName, TDirDiffInfo* out_info, dpatch_StreamPos_t diffDataOffert,
                     dpatch_StreamPos_t diffDataSize);
BOOL readDirDiffInfoByStream(const dpatch_TStreamInput* dirDiffFile, TDirDiffInfo* out_info);
BOOL readDirDiffHeadByStream(TDirDiffInfo* out_info, TDirDiffHead* out_head, const dpatch_TStreamInput* dirDiffFile);

// Splits [begin, end) into exactly count NUL-terminated texts.
BOOL clipCStrsTo(const char* begin, const char* end, const char** out_list, size_t count);
BOOL readListTo(TStreamCacheClip* sclip, dpatch_StreamPos_t* out_list, size_t count);
// Strictly increasing indices stored as increments, each below check_endValue.
BOOL readIncListTo(TStreamCacheClip* sclip, size_t* out_list, size_t count, size_t check_endValue);
BOOL readSamePairListTo(TStreamCacheClip* sclip, dpatch_TSameFilePair* out_pairList, size_t pairCount,
                        size_t check_endNewValue, size_t check_endOldValue);

// A relative path from a diff is used only when it stays below its root: not absolute, no "." or ".."
// component and no empty component (the root entry "" and a directory's trailing '/' are allowed).
BOOL dpatch_isSafeRelativePath(const char* path);

// Writes a root (with a '/' added when missing) and returns the position after it, or 0 when it
// doesn't fit.
char* setDirPath(char* out_path, char* out_pathBufEnd, const char* dirPath);
// Writes fileName at out_path and returns the position of its NUL, or 0 when it doesn't fit.
char* setPath(char* out_path, char* out_pathBufEnd, const char* fileName);
