#pragma once
// Copies of whole files, as the patch engine makes them for the files a patch leaves unchanged.
//
// The bytes take the fastest way the file systems allow: the copy shares the old file's blocks where the file
// system can (FICLONE: nothing is read or written), else the kernel copies them (copy_file_range: no trip
// through user space), else they are read and written in pieces of dpatch_kCopyBufferSize bytes (for example
// between two file systems). Each way hands over to the next when the kernel refuses it; a failure of the
// copy itself (a full disk, an I/O error, a source shorter than it was) fails the copy. A copy listener needs
// the bytes, so with one the old file is also read, in pieces of at most dpatch_kCopyBufferSize bytes.
//
// The new file is created (or truncated) the way dpatch_TFileStreamOutput_open creates files: its mode is the
// process's default, never the old file's, and execute bits are set by whoever knows which files need them.
// Failures print the engine's "check <expr> error!" lines.

#include "patch/core/dpatch_types.h"

#include <stddef.h>

struct dpatch_TCopyListener;
struct stat;

// The plain way's piece and the largest piece a copy listener is shown.
static const size_t dpatch_kCopyBufferSize = 1024 * 1024;

typedef enum dpatch_TCopyWay
{
    kCopyWay_none = 0,   // no bytes moved: an empty file, a failed copy, or only read for a listener
    kCopyWay_clone = 1,  // the copy shares the old file's blocks
    kCopyWay_kernel = 2, // copy_file_range
    kCopyWay_plain = 3,  // reads and writes
    kCopyWay_link = 4,   // a hard link: the new path names the old file itself
} dpatch_TCopyWay;

// Whether an error from the kernel means "not here": this way of sharing or copying a file is not supported by
// the file system, between these two, for these files or by this kernel, rather than the operation failing
// (a full disk, an I/O error). Every way of sharing or copying files in the project hands over to its next way
// on these errors and only these.
BOOL dpatch_isRefusedHere(int error);

// Copies oldFileName to newFileName; with newFileName 0 only passes the old file's bytes to copyListener.
// Every byte copied passes through copyListener, in order, when it is given. out_way (optional) tells which way
// the bytes took.
BOOL dpatch_copyFileByFastestWay(const char* oldFileName, const char* newFileName,
                                 struct dpatch_TCopyListener* copyListener, dpatch_TCopyWay* out_way);

// For an unchanged file of a new tree made afresh beside the old one, in a folder made empty for this run:
// with mayLink, newFileName becomes a hard link to oldFileName (a symbolic link in the old tree is followed,
// as a copy would read through it); where the file system refuses links, and without mayLink, it becomes a
// copy by the fastest way, created afresh, carrying the old file's modification time. The old side must be a
// regular file (after following links) and nothing may exist at newFileName yet: either fails the call. The
// caller passes mayLink 0 where the new file must not share the old one: where its mode differs, and for
// every new path after the first that comes from one old file. out_way (optional) tells which way was taken.
BOOL dpatch_linkOrCopyFile(const char* oldFileName, const char* newFileName, BOOL mayLink, dpatch_TCopyWay* out_way);
// The same for a caller that has just looked at oldFileName (stat, links followed): old is what it saw.
BOOL dpatch_linkOrCopyFileWithStat(const char* oldFileName, const struct stat* old, const char* newFileName,
                                   BOOL mayLink, dpatch_TCopyWay* out_way);

// Appends the whole of fromFileName to the open file outFd, at *inout_pos, where that file ends, and moves
// *inout_pos past it, as the launcher joins the parts of a download. The bytes take the fastest way, as for a
// copy: the file's blocks are shared where the file system can (only where *inout_pos is on a block boundary),
// else the kernel copies them, else they are read and written in pieces. On failure errno tells why, and outFd
// may hold part of the file after *inout_pos. out_way (optional) tells which way the bytes took.
BOOL dpatch_appendFile(int outFd, dpatch_StreamPos_t* inout_pos, const char* fromFileName, dpatch_TCopyWay* out_way);
