#pragma once
// Everything the patch engine does with files and paths goes through this unit.
//
// Streams over stdio files (64-bit offsets):
// - dpatch_TFileStreamInput: a read-only file as a dpatch_TStreamInput (base), optionally narrowed to start
//   further on with dpatch_TFileStreamInput_setOffset; to also end early, lower base.streamSize afterwards.
// - dpatch_TFileStreamOutput: a file created (or truncated) for writing as a dpatch_TStreamOutput (base) of a
//   declared size. Writes must be strictly sequential: each starts where the previous ended, the first at 0,
//   and none may pass the declared size. Reading back what was written is allowed, but a write after a read-back
//   fails.
// Zero-fill a record before its first open. Opening a record that still holds a file fails (nothing leaks);
// close may be called any number of times and only the first one does anything. A failed read or write sets
// fileError, which lets callers tell an I/O failure from bad data.
// A stream from dpatch_TFileStreamOutput_open gathers its writes in a buffer of up to dpatch_kFileIOChunkSize
// bytes, so new data reaches the file system in large writes however small the pieces it comes in (a smaller
// file in one write). The write that completes the declared size also writes out what the buffer holds.
//
// Path services: type and size, one-level directory creation, the owner-execute bit, free temporary names,
// rename and removal. Paths are NUL-terminated UTF-8 with '/' separators; a trailing '/' names a directory.
// Services that strip the trailing '/'s copy the path into a 2048-byte buffer, so such paths are limited to
// dpatch_kMaxPathLength bytes.
//
// Every function answers 1 for success and 0 for failure and prints nothing; callers report in their own words,
// adding the line of dpatch_printOsError for what the system refused.

#include "patch/core/dpatch_types.h"

#include <cstdio>

// Longest path the path services accept where they have to copy it; full paths are built in buffers of
// dpatch_kPathBufSize bytes.
static const size_t dpatch_kPathBufSize = 2048;
static const size_t dpatch_kMaxPathLength = dpatch_kPathBufSize - 1;
// Largest piece moved by one stdio call.
static const size_t dpatch_kFileIOChunkSize = 1024 * 1024;
// filePos of a handle whose position is not known.
static const dpatch_StreamPos_t dpatch_kUnknownFilePos = ~(dpatch_StreamPos_t)0;

typedef struct dpatch_TFileStreamInput
{
    dpatch_TStreamInput base;
    FILE* fileHandle;               // none when closed
    dpatch_StreamPos_t filePos;     // where this stream last left the handle; dpatch_kUnknownFilePos = unknown
    dpatch_StreamPos_t windowStart; // file offset of stream position 0
    int32_t fileError;              // set by any failed read
} dpatch_TFileStreamInput;

typedef struct dpatch_TFileStreamOutput
{
    dpatch_TStreamOutput base; // streamSize: the declared final size
    FILE* fileHandle;
    dpatch_StreamPos_t filePos;
    dpatch_StreamPos_t windowStart;     // always 0 for output streams
    int32_t fileError;                  // set by any failed write or read-back
    int32_t seekAllowed;                // cleared by every open: writes are sequential
    int32_t readingBack;                // 1 after a read-back until the next write
    dpatch_StreamPos_t out_length;      // highest end position written so far
    dpatch_byte* writeBuffer;           // stdio's buffer for the file, owned by the stream; none when closed
    char pathName[dpatch_kPathBufSize]; // the path it was last opened on, for messages (cut if longer)
    int32_t lastErrno;                  // the system's error of the last failed write or close, 0 if none
} dpatch_TFileStreamOutput;

typedef enum dpatch_TPathType
{
    kPathType_notExist = 0,
    kPathType_file = 1, // a regular file
    kPathType_dir = 2,
} dpatch_TPathType;

// Opens path with mode "rb"; streamSize = the file's size. Only a regular file (after following links) opens:
// anything else (a FIFO, a device, a folder) fails with errno ENOTSUP, without waiting for a writer.
BOOL dpatch_TFileStreamInput_open(dpatch_TFileStreamInput* self, const char* path);
// Makes stream position 0 map to offset bytes further on; fails (changing nothing) if offset > streamSize.
BOOL dpatch_TFileStreamInput_setOffset(dpatch_TFileStreamInput* self, dpatch_StreamPos_t offset);
BOOL dpatch_TFileStreamInput_close(dpatch_TFileStreamInput* self);

// Creates or truncates path with mode "wb+" for a file of maxSize bytes.
BOOL dpatch_TFileStreamOutput_open(dpatch_TFileStreamOutput* self, const char* path, dpatch_StreamPos_t maxSize);
// Creates path afresh for a file of maxSize bytes, like dpatch_TFileStreamOutput_open, but fails when anything
// (a file, a link, a folder) is already there (O_CREAT|O_EXCL): for output into a folder made empty for this
// run, where an existing entry can only mean a diff that names a path twice, or a link into another tree.
BOOL dpatch_TFileStreamOutput_create(dpatch_TFileStreamOutput* self, const char* path, dpatch_StreamPos_t maxSize);
// Opens an existing file with mode "rb+" to continue writing at its end; fails if it is already longer than
// maxSize.
BOOL dpatch_TFileStreamOutput_openExisting(dpatch_TFileStreamOutput* self, const char* path,
                                           dpatch_StreamPos_t maxSize);
// Flushes stdio's buffers of the file.
BOOL dpatch_TFileStreamOutput_sync(dpatch_TFileStreamOutput* self);
// Closes (and so flushes) the file; 0 if the data could not be written out, e.g. on a full disk.
BOOL dpatch_TFileStreamOutput_close(dpatch_TFileStreamOutput* self);

// The one rule for a trailing '/' of a path: every trailing '/' goes, except that a path of nothing but '/'s
// keeps one, so that the root still names the root. The length of path without them:
size_t dpatch_lengthWithoutTrailingSlashes(const char* path);
// Copies path without its trailing '/'s into buf (dpatch_kPathBufSize bytes); 0 for a path longer than
// dpatch_kMaxPathLength.
BOOL dpatch_copyWithoutTrailingSlashes(const char* path, char* buf);

// Type of path (symbolic links followed) and, when out_size is given, the size of a regular file (0 for a
// directory). A missing path succeeds with kPathType_notExist; anything but a file or directory fails.
BOOL dpatch_getPathStat(const char* path, dpatch_TPathType* out_type, dpatch_StreamPos_t* out_size);
// Creates the last component of path with mode 0755 unless a directory already stands there.
BOOL dpatch_makeDir(const char* path);
// 1 when path is a regular file with the owner-execute bit set; 0 otherwise or when it can't be examined.
BOOL dpatch_isExecuteFile(const char* path);
// Adds the execute bits for owner, group and others to an existing path.
BOOL dpatch_setExecuteTag(const char* path);
// Writes the first free name path + "001".."999" + ".tmp" (the trailing '/'s of path dropped, so a directory's
// temporary name is its sibling) into [out_buf, out_buf_end), which must hold the path's length + 12 bytes.
BOOL getTempPathName(const char* path, char* out_buf, char* out_buf_end);
BOOL renamePath(const char* oldPath, const char* newPath);
// The same as renamePath, under the name used for moving files into place.
BOOL relocatePath(const char* oldPath, const char* newPath);
// The platform's remove().
BOOL removeFile(const char* path);
// Removes an empty directory.
BOOL deleteDirectory(const char* path);

// Prints one error line naming what failed, the path (and the second one of a rename) and the system's text
// for error: <what> "<path>"[ to "<path2>"]: <strerror(error)>.
void dpatch_printOsError(const char* what, const char* path, const char* path2, int error);

// Plain stdio helpers.
// "rb"; with out_size, the file's size.
BOOL openForRead(const char* path, FILE** out_file, dpatch_StreamPos_t* out_size);
// "wb+".
BOOL openForCreate(const char* path, FILE** out_file);
// "rb+", positioned at the end; with out_size, that end position.
BOOL openForAppend(const char* path, FILE** out_file, dpatch_StreamPos_t* out_size);
// Writes [data, data_end) in pieces of at most dpatch_kFileIOChunkSize bytes; 0 at the first short write.
BOOL writeChunked(FILE* file, const dpatch_byte* data, const dpatch_byte* data_end);
